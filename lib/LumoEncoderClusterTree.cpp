// The cluster tree build: every vertex starts as a single-vertex cluster, the nearest pair of clusters
// (from the octree and the pair queue) is merged again and again, and each merge records the
// triangles it collapses. A final pass then turns that bookkeeping into what a split needs, newest
// merge first: the corner list of every cluster with the side each corner takes, which the stream
// writer and the decoder hand-off read. All lists are built by putting records at the front; their
// order is the order of the stream's bits.
#include <cmath>
#include <cstring>

#include "LumoEncoder.h"
#include "vector.h"

namespace {

// orientation[firstCorner][secondCorner] is 1 when, in the triangle's winding, the second child's
// corner follows the first child's.
const uint8_t orientation[3][3] = {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}};

const float* positionOf(const LumoBrep& brep, uint32_t vertex) {
  return brep.vertices + size_t(vertex) * 3;
}

const int32_t* cornersOf(const LumoBrep& brep, uint32_t triangle) {
  return brep.triangles + size_t(triangle) * 4;
}

float distanceFromOrigin(const float* p) { return std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]); }

LumoEncoderCorner* pushCorner(LumoEncoderCorner* list, uint32_t triangle, uint8_t corner, uint8_t side) {
  return new LumoEncoderCorner{triangle, corner, side, list};
}

// A triangle that names one vertex at two or three corners never collapses properly (its repeated
// corner would end in the very cluster that restores it), and one that names a vertex the mesh does
// not have cannot be placed at all: neither takes part in the build. Their corners are never listed,
// so no merge collapses them and no split restores them.
bool takesPart(const int32_t* corners, uint32_t noVertices) {
  uint32_t a = uint32_t(corners[0]), b = uint32_t(corners[1]), c = uint32_t(corners[2]);
  return a < noVertices && b < noVertices && c < noVertices && a != b && b != c && a != c;
}

// From the last triangle down, so that each single-vertex cluster's list runs in ascending order.
void listCorners(LumoEncoder& encoder) {
  const LumoBrep& brep = encoder.brep;
  for (uint32_t t = brep.noTriangles; t-- > 0;) {
    const int32_t* corners = cornersOf(brep, t);
    if (!takesPart(corners, brep.noVertices)) continue;
    for (uint8_t c = 0; c < 3; c++) {
      LumoEncoderCluster* cluster = encoder.vertexClusters[corners[c]].target.cluster;
      cluster->liveCorners = pushCorner(cluster->liveCorners, t, c, 0);
    }
  }
}

// Per-triangle state of the build: bit 0 is set while the triangle is live; bits 1 and 2 hold, only
// during one merge, 1 + the corner of the absorbed cluster's first list entry for the triangle, so
// that the survivor's entries find their match without a search of the absorbed cluster's list.
const uint8_t liveBit = 1;

// Steps through the survivor's corners: a live triangle with a corner in the absorbed cluster too
// collapses here, the others stay live in the new cluster (side 0); then the absorbed cluster's live
// corners follow (side 1). A triangle still live after the first loop has no corner in the survivor,
// or it would have collapsed there, so the second loop needs no search of the survivor's list.
void collapseTriangles(LumoEncoder& encoder, LumoEncoderCluster* merged, uint8_t* live) {
  LumoEncoderCluster* survivor = merged->firstChild;
  LumoEncoderCluster* absorbed = merged->secondChild;
  // Only the first entry of a triangle is marked, as a front-to-back search would find it.
  for (LumoEncoderCorner* moved = absorbed->liveCorners; moved; moved = moved->next)
    if (live[moved->triangle] == liveBit)
      live[moved->triangle] = uint8_t(liveBit | (moved->corner + 1) << 1);
  for (LumoEncoderCorner* kept = survivor->liveCorners; kept; kept = kept->next) {
    uint8_t state = live[kept->triangle];
    if (!(state & liveBit)) continue;
    if (state == liveBit) {
      merged->liveCorners = pushCorner(merged->liveCorners, kept->triangle, kept->corner, 0);
      continue;
    }
    uint8_t otherCorner = uint8_t((state >> 1) - 1);
    live[kept->triangle] = 0;
    LumoEncoderSplitTriangle* split = new LumoEncoderSplitTriangle;
    split->triangle = kept->triangle;
    split->firstCorner = kept->corner;
    split->secondCorner = otherCorner;
    int third = 3 - kept->corner - otherCorner;
    split->thirdCluster = encoder.getCluster(uint32_t(cornersOf(encoder.brep, kept->triangle)[third]));
    split->orientation = orientation[kept->corner][otherCorner];
    split->next = merged->splitTriangles;
    merged->splitTriangles = split;
  }
  for (LumoEncoderCorner* moved = absorbed->liveCorners; moved; moved = moved->next)
    if (live[moved->triangle] & liveBit) {
      live[moved->triangle] = liveBit;
      merged->liveCorners = pushCorner(merged->liveCorners, moved->triangle, moved->corner, 1);
    }
}

// Merges the clusters of the leaves `a` and `b` (a being the pair's first leaf) and returns the new
// cluster. The cluster whose vertex lies farther from the origin survives, the first leaf's at equal
// distances. The surviving leaf carries the new cluster on; the other leaf leaves the search.
LumoEncoderCluster* mergePair(LumoEncoder& encoder, LumoClusterOctreeLeaf* a, LumoClusterOctreeLeaf* b,
                              uint8_t* live) {
  LumoEncoderCluster* clusterA = a->cluster;
  LumoEncoderCluster* clusterB = b->cluster;
  const float* positionA = positionOf(encoder.brep, clusterA->vertex);
  const float* positionB = positionOf(encoder.brep, clusterB->vertex);
  bool aSurvives = distanceFromOrigin(positionB) <= distanceFromOrigin(positionA);
  LumoEncoderCluster* survivor = aSurvives ? clusterA : clusterB;
  LumoEncoderCluster* absorbed = aSurvives ? clusterB : clusterA;
  // Only the head of a chain stands in the octree, so in a pair of head and member the head carries
  // the merged cluster on even when the member's vertex survives: positions chained because halving
  // could not part them need not be equally far from the origin.
  LumoClusterOctreeLeaf* survivingLeaf = (aSurvives || (b->flags & lumoOctreeChainMember)) ? a : b;
  LumoClusterOctreeLeaf* absorbedLeaf = survivingLeaf == a ? b : a;
  deactivateClusterOctreeLeaf(absorbedLeaf);

  encoder.noClusters++;
  LumoEncoderCluster* merged = new LumoEncoderCluster{};
  merged->vertex = survivor->vertex;
  merged->size = distanceInVD(positionA, positionB);
  merged->firstChild = survivor;
  merged->secondChild = absorbed;
  survivor->parent = merged;
  absorbed->parent = merged;

  LumoEncoderVertexEntry* kept = &encoder.vertexClusters[merged->vertex];
  kept->target.cluster = merged;
  LumoEncoderVertexEntry* gone = &encoder.vertexClusters[absorbed->vertex];
  gone->forwarded = 1;
  gone->target.entry = kept;

  survivingLeaf->cluster = merged;
  merged->next = encoder.clusterList;
  encoder.clusterList = merged;
  collapseTriangles(encoder, merged, live);
  return merged;
}

// Every vertex whose cluster was never absorbed heads a cluster without parent. After a full build
// that is the root alone; when nothing merged (no vertex, one vertex, or all at one position) these
// are the single-vertex clusters, which no tree reaches, so they are released here.
void releaseUnmergedClusters(LumoEncoder& encoder, LumoEncoderCluster* root) {
  for (uint32_t v = 0; v < encoder.brep.noVertices; v++) {
    LumoEncoderVertexEntry& entry = encoder.vertexClusters[v];
    if (!entry.forwarded && entry.target.cluster != root) delete entry.target.cluster;
  }
}

// Newest merge first, so that a cluster's list is handed down by its parent before the merges that
// named it as third cluster (all older than the parent, newer than the cluster) push onto it.
// `sideOf` (one byte per triangle, all 0) holds, while one cluster is handled, 1 + the side of the
// first entry of each triangle in the cluster's live list, which a search of that list would find.
void prepareSplits(LumoEncoderCluster* clusterList, uint8_t* sideOf) {
  clusterList->parent = nullptr;
  clusterList->splitCorners = nullptr;
  for (LumoEncoderCluster* cluster = clusterList; cluster; cluster = cluster->next) {
    for (LumoEncoderCorner* live = cluster->liveCorners; live; live = live->next)
      if (!sideOf[live->triangle]) sideOf[live->triangle] = uint8_t(live->side + 1);
    LumoEncoderCorner* toFirst = nullptr;
    LumoEncoderCorner* toSecond = nullptr;
    for (LumoEncoderCorner* entry = cluster->splitCorners; entry; entry = entry->next) {
      // The corner's triangle was still live when this cluster formed, so the cluster listed it.
      entry->side = uint8_t(sideOf[entry->triangle] - 1);
      if (entry->side == 0)
        toFirst = pushCorner(toFirst, entry->triangle, entry->corner, 0);
      else
        toSecond = pushCorner(toSecond, entry->triangle, entry->corner, 0);
    }
    for (LumoEncoderCorner* live = cluster->liveCorners; live; live = live->next)
      sideOf[live->triangle] = 0;
    deleteCornerList(cluster->liveCorners);
    cluster->liveCorners = nullptr;

    for (LumoEncoderSplitTriangle* split = cluster->splitTriangles; split; split = split->next) {
      LumoEncoderCluster* third = split->thirdCluster;
      third->splitCorners = pushCorner(third->splitCorners, split->triangle, 0, 0);
      uint8_t firstPosition = split->orientation ? 1 : 2;
      toFirst = pushCorner(toFirst, split->triangle, firstPosition, 0);
      toSecond = pushCorner(toSecond, split->triangle, uint8_t(3 - firstPosition), 0);
    }
    cluster->firstChild->splitCorners = toFirst;
    cluster->secondChild->splitCorners = toSecond;
  }
}

}  // namespace

LumoEncoderCluster* LumoEncoder::getCluster(unsigned int vertex) {
  LumoEncoderVertexEntry* entry = &vertexClusters[vertex];
  while (entry->forwarded) entry = entry->target.entry;
  return entry->target.cluster;
}

void LumoEncoder::generateClusterTree() {
  auto phaseEnds = [this](LumoBuildPhase phase) {
    if (phaseHook) phaseHook(phaseContext, phase);
  };
  releaseClusterTree();
  generateClusterOctree();
  phaseEnds(lumoOctreePhase);
  pairTop = nullptr;
  newClusterOctreeBorderingPair(octree, octree);
  phaseEnds(lumoInitialPairsPhase);

  uint8_t* live = new uint8_t[brep.noTriangles];
  std::memset(live, liveBit, brep.noTriangles);
  listCorners(*this);

  clusterList = nullptr;
  LumoEncoderCluster* lastMerge = nullptr;
  LumoClusterOctreeLeaf* a;
  LumoClusterOctreeLeaf* b;
  while (getNearestPair(a, b)) lastMerge = mergePair(*this, a, b, live);

  releaseUnmergedClusters(*this, lastMerge);
  delete[] vertexClusters;
  vertexClusters = nullptr;
  destroyClusterOctree(octree);
  octree = nullptr;
  releasePairStorage();
  phaseEnds(lumoMergePhase);

  clusterTree = lastMerge;
  if (clusterTree) {
    // The live flags have done their work; their bytes serve the final pass.
    std::memset(live, 0, brep.noTriangles);
    prepareSplits(clusterList, live);
  }
  delete[] live;
  clusterTreeBuilt = 1;
  phaseEnds(lumoFinalPassPhase);
}
