// The cluster octree: the worked example node by node, the root box, slot choice on cell centres,
// chains of coincident vertices and their order, positions too close for halving to part, and the
// structural invariants (every vertex in exactly one leaf, every node inside its cell, the active-leaf
// counts) on random point sets with many ties.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "LumoEncoder.h"

namespace {

typedef LumoClusterOctreeIntermediateNode Inner;
typedef LumoClusterOctreeLeaf Leaf;

bool isLeaf(const LumoClusterOctreeNode* node) { return node->flags & lumoOctreeLeaf; }
const Inner* inner(const LumoClusterOctreeNode* node) { return static_cast<const Inner*>(node); }
const Leaf* leaf(const LumoClusterOctreeNode* node) { return static_cast<const Leaf*>(node); }

// An encoder that has built the octree of the given positions; releases octree, clusters and
// vertex table as a tree build would.
struct Octree {
  LumoBrep brep;
  LumoEncoder encoder;
  explicit Octree(const std::vector<float>& positions) {
    brep.noVertices = uint32_t(positions.size() / 3);
    brep.vertices = new float[positions.size() + 1];
    std::copy(positions.begin(), positions.end(), brep.vertices);
    encoder.setBrep(brep);
    encoder.generateClusterOctree();
  }
  ~Octree() {
    for (uint32_t k = 0; k < brep.noVertices; k++) delete encoder.vertexClusters[k].target.cluster;
    delete[] encoder.vertexClusters;
    destroyClusterOctree(encoder.octree);
    brep.deleteLists();
  }
  const Inner* root() const { return encoder.octree; }
};

std::vector<float> box(const LumoClusterOctreeNode* n) {
  return {n->boxMin[0], n->boxMin[1], n->boxMin[2], n->boxMax[0], n->boxMax[1], n->boxMax[2]};
}

std::vector<uint32_t> chainOf(const Leaf* head) {
  std::vector<uint32_t> vertices;
  for (const Leaf* l = head; l; l = l->nextCoincident) vertices.push_back(l->cluster->vertex);
  return vertices;
}

int childSlot(const float* p, const float* centre) {
  return (p[0] < centre[0] ? 0 : 4) + (p[1] < centre[1] ? 0 : 2) + (p[2] < centre[2] ? 0 : 1);
}

// Walks the whole octree and checks its shape: returns the vertices of all leaves, chains included.
// Without `geometry` (coordinates that are infinite or NaN) only the links and counts are checked.
std::vector<uint32_t> checkStructure(const Octree& tree, bool geometry = true) {
  std::vector<uint32_t> vertices;
  std::vector<const Inner*> stack{tree.root()};
  EXPECT_EQ(tree.root()->parent, nullptr);
  while (!stack.empty()) {
    const Inner* node = stack.back();
    stack.pop_back();
    EXPECT_EQ(node->flags, lumoOctreeActive);
    float centre[3];
    for (int a = 0; a < 3; a++) centre[a] = (node->boxMin[a] + node->boxMax[a]) / 2;
    uint32_t standing = 0;
    for (int slot = 0; slot < 8; slot++) {
      const LumoClusterOctreeNode* child = node->children[slot];
      if (!child) continue;
      EXPECT_EQ(child->parent, node);
      if (isLeaf(child)) {
        const Leaf* head = leaf(child);
        EXPECT_EQ(head->flags, lumoOctreeLeaf | lumoOctreeActive);
        if (geometry) {
          EXPECT_EQ(childSlot(head->boxMin, centre), slot);
        }
        standing++;
        for (const Leaf* l = head; l; l = l->nextCoincident) {
          vertices.push_back(l->cluster->vertex);
          const float* p = tree.brep.vertices + size_t(l->cluster->vertex) * 3;
          EXPECT_EQ(0, std::memcmp(l->boxMin, p, sizeof(float) * 3));
          EXPECT_EQ(0, std::memcmp(l->boxMax, p, sizeof(float) * 3));
          if (l == head || !geometry) continue;
          EXPECT_EQ(l->flags, lumoOctreeLeaf | lumoOctreeActive | lumoOctreeChainMember);
          EXPECT_LT(l->cluster->vertex, head->cluster->vertex) << "the head has the highest index";
          // Members share the head's position, or lie within a unit of the last place of it.
          for (int a = 0; a < 3; a++)
            EXPECT_TRUE(l->boxMin[a] == head->boxMin[a] ||
                        std::nextafter(l->boxMin[a], head->boxMin[a]) == head->boxMin[a] ||
                        (std::isnan(l->boxMin[a]) && std::isnan(head->boxMin[a])));
        }
      } else {
        const Inner* cell = inner(child);
        // The child's cell is the slot's half of the parent's cell.
        for (int a = 0; a < 3 && geometry; a++) {
          bool high = slot & (4 >> a);
          EXPECT_EQ(cell->boxMin[a], high ? centre[a] : node->boxMin[a]);
          EXPECT_EQ(cell->boxMax[a], high ? node->boxMax[a] : centre[a]);
        }
        standing += cell->noActiveLeaves;
        stack.push_back(cell);
      }
    }
    EXPECT_EQ(node->noActiveLeaves, standing);
  }
  std::sort(vertices.begin(), vertices.end());
  return vertices;
}

TEST(ClusterOctree, WorkedExample) {
  Octree tree({3, 3, 3, 4, 4, 4});
  EXPECT_EQ(tree.encoder.noClusters, 2u);
  EXPECT_EQ(box(tree.root()), (std::vector<float>{0, 0, 0, 4, 4, 4}));
  for (int slot = 0; slot < 7; slot++) EXPECT_EQ(tree.root()->children[slot], nullptr);
  const LumoClusterOctreeNode* first = tree.root()->children[7];
  ASSERT_NE(first, nullptr);
  ASSERT_FALSE(isLeaf(first));
  EXPECT_EQ(box(first), (std::vector<float>{2, 2, 2, 4, 4, 4}));
  for (int slot = 0; slot < 7; slot++) EXPECT_EQ(inner(first)->children[slot], nullptr);
  const LumoClusterOctreeNode* second = inner(first)->children[7];
  ASSERT_NE(second, nullptr);
  ASSERT_FALSE(isLeaf(second));
  EXPECT_EQ(box(second), (std::vector<float>{3, 3, 3, 4, 4, 4}));
  const LumoClusterOctreeNode* leaf0 = inner(second)->children[0];
  const LumoClusterOctreeNode* leaf1 = inner(second)->children[7];
  ASSERT_TRUE(leaf0 && isLeaf(leaf0) && leaf1 && isLeaf(leaf1));
  for (int slot = 1; slot < 7; slot++) EXPECT_EQ(inner(second)->children[slot], nullptr);
  EXPECT_EQ(leaf(leaf0)->cluster->vertex, 0u);
  EXPECT_EQ(leaf(leaf1)->cluster->vertex, 1u);
  EXPECT_EQ(box(leaf0), (std::vector<float>{3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(box(leaf1), (std::vector<float>{4, 4, 4, 4, 4, 4}));
  // Each vertex's single-vertex cluster, reachable from its table entry.
  for (uint32_t k = 0; k < 2; k++) {
    const LumoEncoderVertexEntry& entry = tree.encoder.vertexClusters[k];
    EXPECT_FALSE(entry.forwarded);
    EXPECT_EQ(entry.target.cluster->vertex, k);
    EXPECT_EQ(entry.target.cluster->size, 0.0f);
    EXPECT_EQ(entry.target.cluster->firstChild, nullptr);
    EXPECT_EQ(entry.target.cluster->liveCorners, nullptr);
  }
  EXPECT_EQ(leaf(leaf0)->cluster, tree.encoder.vertexClusters[0].target.cluster);
  EXPECT_EQ(checkStructure(tree), (std::vector<uint32_t>{0, 1}));
}

// Where single vertices land: the root box always reaches the origin, and a coordinate on the
// cell centre goes to the upper half.
TEST(ClusterOctree, RootBoxAndSlots) {
  struct Case {
    const char* name;
    std::vector<float> positions;
    std::vector<float> rootBox;
    int slot;  // of the last vertex, the first one inserted
  } cases[] = {
      {"one vertex", {1, 1, 1}, {0, 0, 0, 1, 1, 1}, 7},
      {"centre goes up", {-1, 2, 0}, {-1, 0, 0, 0, 2, 0}, 3},
      {"box reaches the origin", {1, 1, 1, 2, 2, 2}, {0, 0, 0, 2, 2, 2}, 7},
      {"far from the origin", {101, 100, 100, 100, 100, 100}, {0, 0, 0, 101, 100, 100}, 7},
      {"below zero", {-4, -1, -2, -3, 5, 1}, {-4, -1, -2, 0, 5, 1}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Octree tree(c.positions);
    EXPECT_EQ(box(tree.root()), c.rootBox);
    const LumoClusterOctreeNode* node = tree.root()->children[c.slot];
    ASSERT_NE(node, nullptr);
    uint32_t n = tree.brep.noVertices;
    std::vector<uint32_t> all(n);
    for (uint32_t k = 0; k < n; k++) all[k] = k;
    EXPECT_EQ(checkStructure(tree), all);
    if (n == 1) {
      EXPECT_EQ(leaf(node)->cluster->vertex, 0u);
    }
  }
}

TEST(ClusterOctree, NoVertices) {
  Octree tree({});
  EXPECT_EQ(tree.encoder.noClusters, 0u);
  EXPECT_EQ(box(tree.root()), (std::vector<float>{0, 0, 0, 0, 0, 0}));
  for (const LumoClusterOctreeNode* child : tree.root()->children) EXPECT_EQ(child, nullptr);
}

// The head of a chain is the highest index; later arrivals go directly behind it.
TEST(ClusterOctree, ChainOrder) {
  Octree tree({5, 5, 5, 5, 5, 5, 1, 1, 1, 5, 5, 5});
  const LumoClusterOctreeNode* node = tree.root()->children[7];
  ASSERT_TRUE(node && isLeaf(node));
  EXPECT_EQ(chainOf(leaf(node)), (std::vector<uint32_t>{3, 0, 1}));
  EXPECT_EQ(checkStructure(tree), (std::vector<uint32_t>{0, 1, 2, 3}));

  Octree same({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2});
  int standing = 0;
  for (const LumoClusterOctreeNode* child : same.root()->children)
    if (child) {
      standing++;
      EXPECT_EQ(chainOf(leaf(child)), (std::vector<uint32_t>{4, 0, 1, 2, 3}));
    }
  EXPECT_EQ(standing, 1);
  EXPECT_EQ(same.root()->noActiveLeaves, 1u);
}

// Two positions one unit of the last place apart: the insertion must end, both vertices must be in
// the octree, and where halving cannot part them they share a chain. At some magnitudes the float
// midpoint still parts them; at 1 and at the top of the range it never can.
TEST(ClusterOctree, PositionsOneUlpApart) {
  const float inf = std::numeric_limits<float>::infinity();
  const float values[] = {1e-44f, FLT_MIN, 1e-30f, 0.1f, 1.0f, 3.0f, 1e30f, FLT_MAX / 2, FLT_MAX};
  for (float v : values) {
    for (int axis = 0; axis < 3; axis++) {
      float low = v == FLT_MAX ? std::nextafter(v, 0.0f) : v;
      float high = std::nextafter(low, inf);
      for (bool higherFirst : {false, true}) {
        std::vector<float> positions = {1, 1, 1, 1, 1, 1};
        positions[axis] = higherFirst ? high : low;
        positions[3 + axis] = higherFirst ? low : high;
        SCOPED_TRACE(::testing::Message() << v << " axis " << axis << " higher first " << higherFirst);
        Octree tree(positions);
        EXPECT_EQ(checkStructure(tree), (std::vector<uint32_t>{0, 1}));
        if (v == 1.0f || v == FLT_MAX) {
          // One standing leaf with the other behind it.
          EXPECT_EQ(tree.root()->noActiveLeaves, 1u);
        }
      }
    }
  }
}

// Infinite and NaN coordinates: the insertion still ends and places every vertex.
TEST(ClusterOctree, HostileCoordinates) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> cases[] = {
      {inf, 0, 0, 1, 0, 0, 2, 0, 0},
      {-inf, 1, 0, inf, 1, 0, 1, 1, 0, 3, 1, 0},
      {nan, 0, 0, nan, 0, 0, 1, nan, 2, 0, 0, 0},
      {FLT_MAX, FLT_MAX, FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX, FLT_MAX, 0, -FLT_MAX},
  };
  for (const std::vector<float>& positions : cases) {
    Octree tree(positions);
    std::vector<uint32_t> all(tree.brep.noVertices);
    for (uint32_t k = 0; k < all.size(); k++) all[k] = k;
    EXPECT_EQ(checkStructure(tree, false), all);
  }
}

// Random points on a small grid (many coincident, many on cell centres) and spread points.
TEST(ClusterOctree, RandomPointSets) {
  std::mt19937 random(5);
  for (int round = 0; round < 30; round++) {
    int n = 1 + int(random() % 200);
    std::vector<float> positions;
    if (round % 2) {
      std::uniform_int_distribution<int> grid(-2, 3);
      for (int k = 0; k < 3 * n; k++) positions.push_back(float(grid(random)) * 0.5f);
    } else {
      std::uniform_real_distribution<float> spread(-100, 100);
      for (int k = 0; k < 3 * n; k++) positions.push_back(spread(random));
    }
    Octree tree(positions);
    std::vector<uint32_t> all(n);
    for (int k = 0; k < n; k++) all[k] = uint32_t(k);
    SCOPED_TRACE(::testing::Message() << "round " << round);
    EXPECT_EQ(checkStructure(tree), all);
    EXPECT_EQ(tree.encoder.noClusters, uint32_t(n));
  }
}

// Taking leaves out: a cell turns inactive with its last active leaf; leaves behind a chain head
// never counted.
TEST(ClusterOctree, DeactivatingLeaves) {
  Octree tree({3, 3, 3, 4, 4, 4, 4, 4, 4});
  Inner* first = static_cast<Inner*>(tree.encoder.octree->children[7]);
  Inner* second = static_cast<Inner*>(first->children[7]);
  Leaf* leaf0 = static_cast<Leaf*>(second->children[0]);
  Leaf* head = static_cast<Leaf*>(second->children[7]);
  ASSERT_EQ(chainOf(head), (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(tree.encoder.octree->noActiveLeaves, 2u);

  deactivateClusterOctreeLeaf(head->nextCoincident);
  EXPECT_FALSE(head->nextCoincident->flags & lumoOctreeActive);
  EXPECT_EQ(tree.encoder.octree->noActiveLeaves, 2u);
  deactivateClusterOctreeLeaf(leaf0);
  EXPECT_EQ(second->noActiveLeaves, 1u);
  EXPECT_TRUE(second->flags & lumoOctreeActive);
  deactivateClusterOctreeLeaf(head);
  for (Inner* cell : {tree.encoder.octree, first, second}) {
    EXPECT_EQ(cell->noActiveLeaves, 0u);
    EXPECT_FALSE(cell->flags & lumoOctreeActive);
  }
}

}  // namespace
