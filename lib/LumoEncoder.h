// The encoder: it turns a mesh record into a binary tree of vertex clusters by merging the nearest pair
// of clusters again and again, and writes the tree coarsest first as a bit-packed stream or hands it
// straight to a decoder. The implementation is split by concern: LumoEncoder.cpp (object and records),
// LumoEncoderOctree.cpp, LumoEncoderPairQueue.cpp, LumoEncoderClusterTree.cpp, LumoEncoderWriter.cpp,
// LumoEncoderHandOff.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "Lumo.h"

class LumoDecoder;
struct LumoEncoderCluster;

typedef LumoCorner LumoEncoderCorner;

// One per vertex during a tree build: the parentless cluster that the vertex represents, or, once its
// cluster has been absorbed, the entry of the vertex whose cluster absorbed it.
struct LumoEncoderVertexEntry {
  uint8_t forwarded;
  union {
    LumoEncoderCluster* cluster;      // not forwarded
    LumoEncoderVertexEntry* entry;    // forwarded
  } target;
};

// A triangle that a merge collapses, that is, that the split of the merged cluster restores.
struct LumoEncoderSplitTriangle {
  uint32_t triangle;
  uint8_t firstCorner;                // corner lying in the first child
  uint8_t secondCorner;               // corner lying in the second child
  LumoEncoderCluster* thirdCluster;   // parentless cluster of the third corner at the merge
  uint8_t orientation;
  LumoEncoderSplitTriangle* next;
};

// A node of the cluster tree. The first six fields correspond to the decoder's cluster record.
struct LumoEncoderCluster {
  uint32_t vertex;
  float size;
  LumoEncoderCorner* liveCorners;
  LumoEncoderCluster* firstChild;
  LumoEncoderCluster* secondChild;
  LumoEncoderCorner* splitCorners;
  LumoEncoderSplitTriangle* splitTriangles;
  LumoEncoderCluster* parent;
  LumoEncoderCluster* next;           // in clusterList: the next older merged cluster

  // Releases the three lists and the whole subtree (without recursion: trees may be deep).
  ~LumoEncoderCluster();
};

// Octree over the vertex positions. No virtual operations: a node's kind is told by its leaf flag.
enum : uint8_t {
  lumoOctreeLeaf = 1,
  lumoOctreeActive = 2,
  lumoOctreeChainExpanded = 4,
  lumoOctreeChainMember = 8,     // a leaf behind a chain head, reached only through the head
  lumoOctreeChainDrained = 16,   // a chain head whose members have all been merged into it
};

struct LumoClusterOctreeIntermediateNode;

struct LumoClusterOctreeNode {
  uint8_t flags;
  float boxMin[3];
  float boxMax[3];
  LumoClusterOctreeIntermediateNode* parent;   // null for the root and for leaves behind a chain head
};

// An inner node is active while an active leaf stands below it, so that the pair queue can drop
// entries of cells in which nothing is left to merge.
struct LumoClusterOctreeIntermediateNode : LumoClusterOctreeNode {
  LumoClusterOctreeNode* children[8];   // slot = 4 × (x half) + 2 × (y half) + (z half)
  uint32_t noActiveLeaves;              // active leaves standing in the subtree
};

struct LumoClusterOctreeLeaf : LumoClusterOctreeNode {
  LumoEncoderCluster* cluster;
  LumoClusterOctreeLeaf* nextCoincident;
};

// Destroys a node and everything below it (children in slot order, a leaf's coincident chain).
void destroyClusterOctree(LumoClusterOctreeNode* node);

// Takes a leaf whose cluster has been absorbed out of the search; cells left without an active leaf
// become inactive too.
void deactivateClusterOctreeLeaf(LumoClusterOctreeLeaf* leaf);

// One node of the nearest-pair queue: a binary min-heap on distance kept as a linked complete tree.
struct LumoClusterOctreePair {
  float distance;
  LumoClusterOctreeNode* first;
  LumoClusterOctreeNode* second;
  LumoClusterOctreePair* previous;
  LumoClusterOctreePair* next;
  LumoClusterOctreePair* parent;
  LumoClusterOctreePair* left;
  LumoClusterOctreePair* right;
};

// The phases of a tree build in the order they end, as reported to LumoEncoder::phaseHook.
enum LumoBuildPhase : int {
  lumoOctreePhase = 0,
  lumoInitialPairsPhase = 1,
  lumoMergePhase = 2,        // corner lists, merging, and the release of octree and vertex table
  lumoFinalPassPhase = 3,
  lumoNoBuildPhases = 4,
};

// Process-wide scratch: the axis gaps of the latest box distance.
extern float dx, dy, dz;

class LumoEncoder {
 public:
  // Octree insertion.
  LumoClusterOctreeIntermediateNode* octree;
  LumoClusterOctreeNode** insertSlot;
  float insertPoint[3];
  float cellCentre[3];
  float cellMin[3];
  float cellMax[3];
  // Pair queue.
  LumoClusterOctreePair* pairTop;
  LumoClusterOctreePair* pairLast;
  LumoClusterOctreePair* pairParent;
  // Storage of the queue's nodes: node k in level order is slot k of the blocks, so that a node's heap
  // children lie next to each other, and the node a removal releases is always the newest one.
  std::vector<LumoClusterOctreePair*> pairBlocks;
  std::vector<float> pairDistances;   // the distance of node k at k, for the sifts
  uint32_t noPairs;
  // The mesh; the encoder never owns its arrays.
  LumoBrep brep;
  // Cluster tree.
  LumoEncoderVertexEntry* vertexClusters;
  LumoEncoderCluster* clusterTree;
  uint8_t clusterTreeBuilt;
  uint32_t noClusters;
  LumoEncoderCluster* clusterList;
  // Stream writer.
  LumoBitstream* writeBitstream;
  uint32_t bitstreamSize;
  unsigned char* writeEnd;
  unsigned char* writeBytePtr;
  uint8_t writeBitPos;
  std::vector<uint8_t> pathScratch;   // the bits of one cluster path, deepest level first
  // Measurement: when set, called at the end of every phase of generateClusterTree.
  void (*phaseHook)(void* context, int phase);
  void* phaseContext;

  LumoEncoder();
  ~LumoEncoder();
  LumoEncoder(const LumoEncoder&) = delete;
  LumoEncoder& operator=(const LumoEncoder&) = delete;

  void setBrep(LumoBrep& brep);

  // Cluster octree.
  void generateClusterOctree();
  void gotoChild();
  // Nearest-pair queue.
  void newClusterOctreePair(LumoClusterOctreeNode* first, LumoClusterOctreeNode* second);
  void newClusterOctreeBorderingPair(LumoClusterOctreeIntermediateNode* a,
                                     LumoClusterOctreeIntermediateNode* b);
  int getNearestPair(LumoClusterOctreeLeaf*& first, LumoClusterOctreeLeaf*& second);
  // Frees the storage of the queue's nodes; the queue must be empty or be abandoned (pairTop null).
  void releasePairStorage();
  // Cluster tree.
  void generateClusterTree();
  LumoEncoderCluster* getCluster(unsigned int vertex);
  // Stream writer.
  LumoBitstream* getBitstream(unsigned int bufferSize);
  void encodeBit(unsigned int value, char width);
  void encodeFloat32(float f);
  void encodeClusterId(LumoEncoderCluster* cluster);
  // Direct hand-off.
  void initDecoder(LumoDecoder* decoder);

 protected:
  // encodeBit for a field whose bytes all lie in the current buffer.
  void encodeWithinBuffer(unsigned int value, unsigned int n);
  // Releases the tree the encoder owns, if any, and clears the built flag.
  void releaseClusterTree();
};
