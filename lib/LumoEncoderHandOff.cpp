// The direct hand-off of a finished cluster tree to a decoder, with no stream in between. The mesh
// record's triangle table and texture coordinates are rewritten into the order in which a stream would
// bring the triangles, every cluster of the tree gets a decoder node (a merged cluster with the corner
// list and cumulative triangle count of its split), and the decoder receives tree, level array and mesh
// record through its virtual reset. It then stands where reading this encoder's whole stream would have
// left it, except that it keeps the mesh's own vertex numbers and full-precision floats.
#include <cstring>
#include <unordered_map>

#include "LumoDecoder.h"
#include "LumoEncoder.h"

namespace {

// Puts row `t` of the triangle table and of `streamCoords` together from split triangle `split` of `k`.
// Position 0 shows the third cluster; the orientation decides which of positions 1 and 2 shows the
// first child, so that the row is a rotation of the mesh's triangle and keeps its winding.
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

// Numbers the split triangles in stream order (cluster by cluster in clusterList order, each cluster's
// in its splitTriangles order: the order of the writer's triangle packets) and rewrites the triangle
// table and texture coordinates into that order. Rows are built from the cluster records only, so the
// table can be overwritten in place; coordinates are read by mesh number and go through a copy, which is
// then written back into the record's own array so that every holder of the record keeps a valid one.
void rewriteIntoStreamOrder(const LumoEncoderCluster* clusterList, LumoBrep& brep,
                            uint32_t* streamNumber) {
  float* streamCoords = nullptr;
  size_t noCoords = size_t(brep.noTriangles) * 6;
  if (brep.hasTexture) streamCoords = new float[noCoords]();
  uint32_t t = 0;
  for (const LumoEncoderCluster* k = clusterList; k; k = k->next) {
    for (const LumoEncoderSplitTriangle* split = k->splitTriangles; split; split = split->next) {
      streamNumber[split->triangle] = t;
      restoreTriangle(k, split, t, brep, streamCoords);
      t++;
    }
  }
  if (streamCoords) {
    if (noCoords) std::memcpy(brep.texCoords, streamCoords, noCoords * sizeof(float));
    delete[] streamCoords;
  }
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
// one anew from the rewritten record.
void LumoEncoder::initDecoder(LumoDecoder* decoder) {
  if (!clusterTreeBuilt) generateClusterTree();
  uint32_t* streamNumber = new uint32_t[brep.noTriangles]();
  rewriteIntoStreamOrder(clusterList, brep, streamNumber);
  uint32_t count = 0;
  for (const LumoEncoderCluster* k = clusterList; k; k = k->next) count++;
  LumoDecoderCluster** levels = new LumoDecoderCluster*[count];
  LumoDecoderCluster* root = buildDecoderTree(clusterList, streamNumber, levels);
  delete[] streamNumber;
  releaseClusterTree();
  decoder->reset(brep, root, levels, count);
}
