// The direct hand-off of a finished cluster tree to a decoder, with no stream in between. The mesh
// record's triangle table and texture coordinates are rewritten into the order in which a stream would
// bring the triangles, every cluster of the tree gets a decoder node (a merged cluster with the corner
// list and cumulative triangle count of its split), and the decoder receives tree, level array and mesh
// record through its virtual reset. It then stands where reading this encoder's whole stream would have
// left it, except that it keeps the mesh's own vertex numbers and full-precision floats.
#include <cstring>
#include <unordered_map>
#include <vector>

#include "LumoDecoder.h"
#include "LumoEncoder.h"

namespace {

// Fills row `t` of the triangle table as a stream reader fills it at k's split: the representative
// vertices of the third cluster and of k's two children at that moment, which later splits refine
// through the corner lists. Position 0 shows the third cluster and the orientation decides which of
// positions 1 and 2 shows the first child, so that the row keeps the winding of the mesh's triangle.
// The texture coordinates of row `t` of `streamCoords` are the mesh triangle's own, moved with their
// corners.
void restoreTriangle(const LumoEncoderCluster* k, const LumoEncoderSplitTriangle* split, uint32_t t,
                     LumoBrep& brep, float* streamCoords) {
  int a = split->orientation ? 1 : 2;
  int b = 3 - a;
  int32_t* row = brep.triangles + size_t(t) * 4;
  row[0] = int32_t(split->thirdCluster->vertex);
  row[a] = int32_t(k->vertex);
  row[b] = int32_t(k->secondChild->vertex);
  if (!streamCoords) return;
  const float* old = brep.texCoords + size_t(split->triangle) * 6;
  float* coords = streamCoords + size_t(t) * 6;
  int third = 3 - split->firstCorner - split->secondCorner;
  std::memcpy(coords, old + 2 * third, 2 * sizeof(float));
  std::memcpy(coords + 2 * a, old + 2 * split->firstCorner, 2 * sizeof(float));
  std::memcpy(coords + 2 * b, old + 2 * split->secondCorner, 2 * sizeof(float));
}

const uint32_t notRestored = 0xFFFFFFFFu;

// Numbers the split triangles in stream order: cluster by cluster in clusterList order, each cluster's
// in its splitTriangles order, which is the order of the writer's triangle packets. Triangles that no
// split restores (the tree builder may leave degenerate ones out) take the numbers after them in mesh
// order, so that the rewritten table still holds every triangle of the mesh. Returns the number of
// restored triangles.
uint32_t numberTriangles(const LumoEncoderCluster* clusterList, uint32_t noTriangles,
                         uint32_t* streamNumber) {
  for (uint32_t i = 0; i < noTriangles; i++) streamNumber[i] = notRestored;
  uint32_t t = 0;
  for (const LumoEncoderCluster* k = clusterList; k; k = k->next)
    for (const LumoEncoderSplitTriangle* split = k->splitTriangles; split; split = split->next)
      streamNumber[split->triangle] = t++;
  uint32_t noRestored = t;
  for (uint32_t i = 0; i < noTriangles; i++)
    if (streamNumber[i] == notRestored) streamNumber[i] = t++;
  return noRestored;
}

// Rewrites the triangle table and texture coordinates into stream order. Restored rows are built from
// the cluster records only, so they can overwrite the table in place; the rows of triangles no split
// restores are saved first. Coordinates are read by mesh number and go through a copy, which is then
// written back into the record's own array, so that every holder of the record keeps a valid array.
void rewriteIntoStreamOrder(const LumoEncoderCluster* clusterList, LumoBrep& brep,
                            const uint32_t* streamNumber, uint32_t noRestored) {
  std::vector<int32_t> keptRows;
  for (uint32_t i = 0; i < brep.noTriangles; i++)
    if (streamNumber[i] >= noRestored)
      keptRows.insert(keptRows.end(), brep.triangles + size_t(i) * 4,
                      brep.triangles + size_t(i) * 4 + 4);

  float* streamCoords = nullptr;
  size_t noCoords = size_t(brep.noTriangles) * 6;
  if (brep.hasTexture) streamCoords = new float[noCoords];
  uint32_t t = 0;
  for (const LumoEncoderCluster* k = clusterList; k; k = k->next)
    for (const LumoEncoderSplitTriangle* split = k->splitTriangles; split; split = split->next)
      restoreTriangle(k, split, t++, brep, streamCoords);

  if (!keptRows.empty())
    std::memcpy(brep.triangles + size_t(noRestored) * 4, keptRows.data(),
                keptRows.size() * sizeof(int32_t));
  if (!streamCoords) return;
  for (uint32_t i = 0; i < brep.noTriangles; i++)
    if (streamNumber[i] >= noRestored)
      std::memcpy(streamCoords + size_t(streamNumber[i]) * 6, brep.texCoords + size_t(i) * 6,
                  6 * sizeof(float));
  if (noCoords) std::memcpy(brep.texCoords, streamCoords, noCoords * sizeof(float));
  delete[] streamCoords;
}

LumoDecoderCluster* newDecoderCluster(const LumoEncoderCluster* cluster) {
  LumoDecoderCluster* node = new LumoDecoderCluster;
  node->vertex = cluster->vertex;
  node->size = cluster->size;
  node->corners = nullptr;
  node->firstChild = nullptr;
  node->secondChild = nullptr;
  node->totalNoTriangles = 0;
  return node;
}

// Detaches k's corner list and keeps, in their order, the records of corners that go to the second
// child, renumbered into stream order: the list a decoder keeps for a split cluster. The others are
// released.
LumoCorner* takeSecondChildCorners(LumoEncoderCluster* k, const uint32_t* streamNumber) {
  LumoCorner* kept = nullptr;
  LumoCorner** tail = &kept;
  LumoCorner* entry = k->splitCorners;
  k->splitCorners = nullptr;
  while (entry) {
    LumoCorner* next = entry->next;
    if (entry->side == 1) {
      entry->triangle = streamNumber[entry->triangle];
      entry->next = nullptr;
      *tail = entry;
      tail = &entry->next;
    } else {
      delete entry;
    }
    entry = next;
  }
  return kept;
}

uint32_t countTriangles(const LumoEncoderSplitTriangle* split) {
  uint32_t n = 0;
  for (; split; split = split->next) n++;
  return n;
}

// Builds the decoder's tree and fills `levels` in clusterList order. Every cluster of the tree is the
// root or a child of a merged cluster, and every merged cluster comes after its parent in clusterList,
// so one pass down the list reaches all of them with no walk of the tree itself. `pending` holds the
// nodes made for merged children until the list reaches them.
LumoDecoderCluster* buildDecoderTree(LumoEncoderCluster* clusterList, const uint32_t* streamNumber,
                                     LumoDecoderCluster** levels) {
  if (!clusterList) return nullptr;
  std::unordered_map<const LumoEncoderCluster*, LumoDecoderCluster*> pending;
  LumoDecoderCluster* root = newDecoderCluster(clusterList);
  pending[clusterList] = root;
  uint32_t total = 0;
  uint32_t n = 0;
  for (LumoEncoderCluster* k = clusterList; k; k = k->next) {
    auto found = pending.find(k);
    LumoDecoderCluster* node = found->second;
    pending.erase(found);
    node->firstChild = newDecoderCluster(k->firstChild);
    node->secondChild = newDecoderCluster(k->secondChild);
    if (k->firstChild->secondChild) pending[k->firstChild] = node->firstChild;
    if (k->secondChild->secondChild) pending[k->secondChild] = node->secondChild;
    node->corners = takeSecondChildCorners(k, streamNumber);
    total += countTriangles(k->splitTriangles);
    node->totalNoTriangles = total;
    levels[n++] = node;
  }
  return root;
}

}  // namespace

// The decoder ends up owning the new tree and the level array and borrowing the mesh arrays; the
// encoder's own tree is released here, so the encoder holds no tree afterwards and a later call builds
// one anew from the rewritten record. From here on the shared triangle table shows the decoder's current
// level (right after the hand-off, each row as its own split restores it), so the record holds the
// mesh's own triangles again only while the decoder shows all of them.
void LumoEncoder::initDecoder(LumoDecoder* decoder) {
  if (!clusterTreeBuilt) generateClusterTree();
  uint32_t* streamNumber = new uint32_t[brep.noTriangles];
  uint32_t noRestored = numberTriangles(clusterList, brep.noTriangles, streamNumber);
  rewriteIntoStreamOrder(clusterList, brep, streamNumber, noRestored);
  uint32_t count = 0;
  for (const LumoEncoderCluster* k = clusterList; k; k = k->next) count++;
  LumoDecoderCluster** levels = new LumoDecoderCluster*[count];
  LumoDecoderCluster* root = buildDecoderTree(clusterList, streamNumber, levels);
  delete[] streamNumber;
  releaseClusterTree();
  decoder->reset(brep, root, levels, count);
}
