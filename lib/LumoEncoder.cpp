// The encoder object and the records of the tree build: construction, destruction, setBrep, and the
// release of cluster subtrees.
#include "LumoEncoder.h"

#include <vector>

LumoEncoderCluster::~LumoEncoderCluster() {
  deleteCornerList(liveCorners);
  deleteCornerList(splitCorners);
  for (LumoEncoderSplitTriangle* t = splitTriangles; t;) {
    LumoEncoderSplitTriangle* next = t->next;
    delete t;
    t = next;
  }
  // Children are detached before they are deleted, so every destructor below frees only its lists.
  std::vector<LumoEncoderCluster*> pending;
  if (firstChild) pending.push_back(firstChild);
  if (secondChild) pending.push_back(secondChild);
  while (!pending.empty()) {
    LumoEncoderCluster* cluster = pending.back();
    pending.pop_back();
    if (cluster->firstChild) pending.push_back(cluster->firstChild);
    if (cluster->secondChild) pending.push_back(cluster->secondChild);
    cluster->firstChild = cluster->secondChild = nullptr;
    delete cluster;
  }
}

LumoEncoder::LumoEncoder()
    : octree(nullptr), insertSlot(nullptr), insertPoint{}, cellCentre{}, cellMin{}, cellMax{},
      pairTop(nullptr), pairLast(nullptr), pairParent(nullptr), noPairs(0), vertexClusters(nullptr),
      clusterTree(nullptr), clusterTreeBuilt(0), noClusters(0), clusterList(nullptr),
      writeBitstream(nullptr), bitstreamSize(0), writeEnd(nullptr), writeBytePtr(nullptr),
      writeBitPos(0), phaseHook(nullptr), phaseContext(nullptr) {}

LumoEncoder::~LumoEncoder() {
  releaseClusterTree();
  releasePairStorage();
}

void LumoEncoder::releaseClusterTree() {
  if (clusterTree && clusterTreeBuilt) delete clusterTree;
  if (clusterTreeBuilt) {
    clusterTree = nullptr;
    clusterList = nullptr;
  }
  clusterTreeBuilt = 0;
}

// A tree built for an earlier mesh is released here rather than left behind unreachable.
void LumoEncoder::setBrep(LumoBrep& source) {
  releaseClusterTree();
  brep = source;
}
