// The cluster tree build: the worked example field by field, the survivor and tie-break rules, the
// degenerate meshes (no vertex, one, all at one position, no triangles), coincident and nearly
// coincident vertices, hostile coordinates, and the invariants of the finished tree on the shared real
// meshes, checked by an independent walk of the tree (membership by pre-order intervals, corner lists
// recomputed from the restored triangles).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "LumoEncoder.h"
#include "MeshFile.h"

namespace {

// A mesh record that owns copies of the given positions and triangles; the test releases it.
struct Mesh {
  LumoBrep brep;
  Mesh(const std::vector<float>& positions, const std::vector<int32_t>& corners) {
    brep.noVertices = uint32_t(positions.size() / 3);
    brep.vertices = new float[positions.size() + 1];
    std::copy(positions.begin(), positions.end(), brep.vertices);
    brep.noTriangles = uint32_t(corners.size() / 3);
    brep.triangles = new int32_t[brep.noTriangles * 4 + 1];
    for (uint32_t t = 0; t < brep.noTriangles; t++) {
      for (int c = 0; c < 3; c++) brep.triangles[4 * t + c] = corners[3 * t + c];
      brep.triangles[4 * t + 3] = -1;
    }
  }
  ~Mesh() { brep.deleteLists(); }
};

bool isRotation(int c0, int c1, int c2) { return c1 == (c0 + 1) % 3 && c2 == (c1 + 1) % 3; }

// An independent reading of a finished tree. Clusters are numbered: merged ones by their place in
// clusterList (0 the newest), single-vertex ones after them by vertex.
class TreeCheck {
 public:
  TreeCheck(const LumoEncoder& encoder) : encoder_(encoder), brep_(encoder.brep) {}

  // Checks everything that holds for a full tree over n vertices at two or more positions.
  void checkFullTree() {
    uint32_t n = brep_.noVertices;
    ASSERT_NE(encoder_.clusterTree, nullptr);
    ASSERT_TRUE(encoder_.clusterTreeBuilt);
    EXPECT_EQ(encoder_.noClusters, 2 * n - 1);
    readList();
    ASSERT_EQ(merged_.size(), size_t(n - 1));
    ASSERT_EQ(merged_.front(), encoder_.clusterTree);
    walkTree();
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    checkClusters();
    checkSplitTriangles();
    checkCornerLists();
  }

  // The subtree of the given cluster holds the given vertex.
  bool holds(const LumoEncoderCluster* cluster, uint32_t vertex) const {
    uint32_t at = preorder_.at(leaves_[vertex]);
    return preorder_.at(cluster) <= at && at < subtreeEnd_.at(cluster);
  }

  size_t depth() const { return depth_; }

 private:
  const LumoEncoder& encoder_;
  const LumoBrep& brep_;
  std::vector<const LumoEncoderCluster*> merged_;
  std::unordered_map<const LumoEncoderCluster*, size_t> age_;  // place in clusterList
  std::vector<const LumoEncoderCluster*> leaves_;              // by vertex
  std::unordered_map<const LumoEncoderCluster*, uint32_t> preorder_, subtreeEnd_;
  std::vector<const LumoEncoderSplitTriangle*> restoredBy_;  // by triangle
  size_t depth_ = 0;

  const float* position(uint32_t v) const { return brep_.vertices + size_t(v) * 3; }

  void readList() {
    for (const LumoEncoderCluster* c = encoder_.clusterList; c && merged_.size() <= brep_.noVertices;
         c = c->next) {
      age_[c] = merged_.size();
      merged_.push_back(c);
    }
  }

  size_t ageOf(const LumoEncoderCluster* c) const {
    auto it = age_.find(c);
    return it == age_.end() ? std::numeric_limits<size_t>::max() : it->second;
  }

  // Pre-order numbering without recursion; every cluster must be reached exactly once.
  void walkTree() {
    leaves_.assign(brep_.noVertices, nullptr);
    std::vector<std::pair<const LumoEncoderCluster*, size_t>> stack{{encoder_.clusterTree, 0}};
    std::vector<const LumoEncoderCluster*> order;
    EXPECT_EQ(encoder_.clusterTree->parent, nullptr);
    while (!stack.empty()) {
      auto [c, level] = stack.back();
      stack.pop_back();
      depth_ = std::max(depth_, level);
      ASSERT_EQ(preorder_.count(c), 0u) << "cluster reached twice";
      preorder_[c] = uint32_t(order.size());
      order.push_back(c);
      if (!c->firstChild) {
        ASSERT_EQ(c->secondChild, nullptr);
        ASSERT_LT(c->vertex, brep_.noVertices);
        ASSERT_EQ(leaves_[c->vertex], nullptr) << "vertex " << c->vertex << " in two leaves";
        leaves_[c->vertex] = c;
        continue;
      }
      ASSERT_NE(c->secondChild, nullptr);
      ASSERT_EQ(c->firstChild->parent, c);
      ASSERT_EQ(c->secondChild->parent, c);
      stack.push_back({c->secondChild, level + 1});
      stack.push_back({c->firstChild, level + 1});
    }
    ASSERT_EQ(order.size(), size_t(2 * brep_.noVertices - 1));
    // Subtree ends: a cluster's subtree is the pre-order interval up to its last descendant.
    for (size_t i = order.size(); i-- > 0;) {
      const LumoEncoderCluster* c = order[i];
      subtreeEnd_[c] = c->firstChild ? subtreeEnd_[c->secondChild] : uint32_t(i + 1);
    }
    for (uint32_t v = 0; v < brep_.noVertices; v++) ASSERT_NE(leaves_[v], nullptr);
  }

  void checkClusters() {
    for (const LumoEncoderCluster* c : merged_) {
      ASSERT_TRUE(preorder_.count(c)) << "a listed cluster is not in the tree";
      EXPECT_EQ(c->vertex, c->firstChild->vertex);
      EXPECT_EQ(c->liveCorners, nullptr);
      // Every cluster is older than its parent: it comes later in the list (single-vertex clusters
      // count as oldest of all).
      EXPECT_GT(ageOf(c->firstChild), ageOf(c));
      EXPECT_GT(ageOf(c->secondChild), ageOf(c));
      const float* a = position(c->firstChild->vertex);
      const float* b = position(c->secondChild->vertex);
      float d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
      float size = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      if (!std::isnan(size)) {
        EXPECT_EQ(c->size, size);
      }
      // The survivor lies at least as far from the origin as the absorbed vertex.
      float ra = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
      float rb = std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]);
      if (!std::isnan(ra) && !std::isnan(rb)) {
        EXPECT_GE(ra, rb);
      }
    }
    for (const LumoEncoderCluster* leaf : leaves_) EXPECT_EQ(leaf->size, 0.0f);
  }

  bool takesPart(uint32_t t) const {
    const int32_t* v = brep_.triangles + size_t(t) * 4;
    return uint32_t(v[0]) < brep_.noVertices && uint32_t(v[1]) < brep_.noVertices &&
           uint32_t(v[2]) < brep_.noVertices && v[0] != v[1] && v[1] != v[2] && v[0] != v[2];
  }

  void checkSplitTriangles() {
    std::vector<int> restored(brep_.noTriangles, 0);
    restoredBy_.assign(brep_.noTriangles, nullptr);
    for (const LumoEncoderCluster* k : merged_) {
      for (const LumoEncoderSplitTriangle* r = k->splitTriangles; r; r = r->next) {
        ASSERT_LT(r->triangle, brep_.noTriangles);
        restored[r->triangle]++;
        restoredBy_[r->triangle] = r;
        const int32_t* v = brep_.triangles + size_t(r->triangle) * 4;
        int third = 3 - r->firstCorner - r->secondCorner;
        ASSERT_TRUE(r->firstCorner < 3 && r->secondCorner < 3 && r->firstCorner != r->secondCorner);
        EXPECT_TRUE(holds(k->firstChild, uint32_t(v[r->firstCorner])));
        EXPECT_TRUE(holds(k->secondChild, uint32_t(v[r->secondCorner])));
        ASSERT_TRUE(preorder_.count(r->thirdCluster));
        EXPECT_TRUE(holds(r->thirdCluster, uint32_t(v[third])));
        // The third cluster stood without parent at the merge: older than it, its parent newer.
        EXPECT_GT(ageOf(r->thirdCluster), ageOf(k));
        ASSERT_NE(r->thirdCluster->parent, nullptr);
        EXPECT_LT(ageOf(r->thirdCluster->parent), ageOf(k));
        EXPECT_EQ(r->orientation, r->secondCorner == (r->firstCorner + 1) % 3 ? 1 : 0);
        int p1 = r->orientation ? r->firstCorner : r->secondCorner;
        int p2 = r->orientation ? r->secondCorner : r->firstCorner;
        EXPECT_TRUE(isRotation(third, p1, p2)) << "triangle " << r->triangle << " loses its winding";
      }
    }
    for (uint32_t t = 0; t < brep_.noTriangles; t++)
      EXPECT_EQ(restored[t], takesPart(t) ? 1 : 0) << "triangle " << t;
  }

  // A cluster's list holds one entry for every corner in it of every triangle restored before its
  // own split; a merged cluster's entry says which child takes the corner.
  void checkCornerLists() {
    typedef std::pair<uint32_t, int> Entry;
    std::map<const LumoEncoderCluster*, std::vector<Entry>> expected;
    for (const LumoEncoderCluster* k : merged_) {
      for (const LumoEncoderSplitTriangle* r = k->splitTriangles; r; r = r->next) {
        const int32_t* v = brep_.triangles + size_t(r->triangle) * 4;
        int third = 3 - r->firstCorner - r->secondCorner;
        int corners[3] = {third, r->orientation ? r->firstCorner : r->secondCorner,
                          r->orientation ? r->secondCorner : r->firstCorner};
        for (int p = 0; p < 3; p++) {
          const LumoEncoderCluster* c = leaves_[uint32_t(v[corners[p]])];
          for (; c && ageOf(c) > ageOf(k); c = c->parent) expected[c].push_back({r->triangle, p});
        }
      }
    }
    EXPECT_EQ(encoder_.clusterTree->splitCorners, nullptr);
    auto check = [&](const LumoEncoderCluster* c) {
      std::vector<Entry> actual;
      for (const LumoEncoderCorner* e = c->splitCorners; e; e = e->next) {
        actual.push_back({e->triangle, e->corner});
        if (!c->firstChild) continue;
        const int32_t* v = brep_.triangles + size_t(e->triangle) * 4;
        // The position names a corner of the restored triangle; find the mesh vertex it shows.
        const LumoEncoderSplitTriangle* r = restoredBy_[e->triangle];
        ASSERT_NE(r, nullptr);
        int third = 3 - r->firstCorner - r->secondCorner;
        int corners[3] = {third, r->orientation ? r->firstCorner : r->secondCorner,
                          r->orientation ? r->secondCorner : r->firstCorner};
        bool inFirst = holds(c->firstChild, uint32_t(v[corners[e->corner]]));
        EXPECT_EQ(e->side, inFirst ? 0 : 1) << "triangle " << e->triangle;
      }
      std::vector<Entry> want = expected[c];
      std::sort(actual.begin(), actual.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(actual, want) << "corner list of the cluster of vertex " << c->vertex;
    };
    for (const LumoEncoderCluster* c : merged_) check(c);
    for (const LumoEncoderCluster* c : leaves_) check(c);
  }
};

// The example: three vertices, one triangle.
TEST(ClusterTree, WorkedExample) {
  Mesh mesh({0, 0, 0, 1, 0, 0, 0, 3, 0}, {0, 1, 2});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();

  EXPECT_TRUE(encoder.clusterTreeBuilt);
  EXPECT_EQ(encoder.noClusters, 5u);
  LumoEncoderCluster* n2 = encoder.clusterTree;
  ASSERT_NE(n2, nullptr);
  ASSERT_EQ(encoder.clusterList, n2);
  LumoEncoderCluster* n1 = n2->next;
  ASSERT_NE(n1, nullptr);
  EXPECT_EQ(n1->next, nullptr);

  EXPECT_EQ(n2->vertex, 2u);
  EXPECT_EQ(n2->size, std::sqrt(10.0f));
  EXPECT_EQ(n2->parent, nullptr);
  ASSERT_NE(n2->firstChild, nullptr);
  EXPECT_EQ(n2->firstChild->vertex, 2u);
  EXPECT_EQ(n2->firstChild->firstChild, nullptr);
  EXPECT_EQ(n2->secondChild, n1);
  EXPECT_EQ(n2->splitCorners, nullptr);
  EXPECT_EQ(n2->splitTriangles, nullptr);
  EXPECT_EQ(n2->liveCorners, nullptr);

  EXPECT_EQ(n1->vertex, 1u);
  EXPECT_EQ(n1->size, 1.0f);
  EXPECT_EQ(n1->parent, n2);
  LumoEncoderCluster* c1 = n1->firstChild;
  LumoEncoderCluster* c0 = n1->secondChild;
  LumoEncoderCluster* c2 = n2->firstChild;
  EXPECT_EQ(c1->vertex, 1u);
  EXPECT_EQ(c0->vertex, 0u);
  EXPECT_EQ(c1->parent, n1);
  EXPECT_EQ(c0->parent, n1);
  EXPECT_EQ(c2->parent, n2);
  for (LumoEncoderCluster* leaf : {c0, c1, c2}) EXPECT_EQ(leaf->size, 0.0f);

  LumoEncoderSplitTriangle* t = n1->splitTriangles;
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->next, nullptr);
  EXPECT_EQ(t->triangle, 0u);
  EXPECT_EQ(t->firstCorner, 1);
  EXPECT_EQ(t->secondCorner, 0);
  EXPECT_EQ(t->thirdCluster, c2);
  EXPECT_EQ(t->orientation, 0);

  // N1's split puts {0, 0} on vertex 2's cluster, {0, 2} on vertex 1's and {0, 1} on vertex 0's;
  // N1's own list got the corner of vertex 1 from N2 (whose split restores nothing): empty.
  EXPECT_EQ(n1->splitCorners, nullptr);
  struct Expected {
    LumoEncoderCluster* cluster;
    uint8_t corner;
  } lists[] = {{c2, 0}, {c1, 2}, {c0, 1}};
  for (const Expected& e : lists) {
    ASSERT_NE(e.cluster->splitCorners, nullptr) << "vertex " << e.cluster->vertex;
    EXPECT_EQ(e.cluster->splitCorners->triangle, 0u);
    EXPECT_EQ(e.cluster->splitCorners->corner, e.corner);
    EXPECT_EQ(e.cluster->splitCorners->next, nullptr);
  }

  // The restored triangle: third cluster, then the children as the orientation orders them.
  uint32_t restored[3];
  restored[0] = t->thirdCluster->vertex;
  restored[t->orientation ? 1 : 2] = n1->vertex;
  restored[t->orientation ? 2 : 1] = n1->secondChild->vertex;
  EXPECT_EQ(std::vector<uint32_t>(restored, restored + 3), (std::vector<uint32_t>{2, 0, 1}));

  TreeCheck(encoder).checkFullTree();
}

// With equal distances from the origin the pair's first leaf keeps its vertex. In this octree the
// leaf of vertex 1 (slot 3) comes before the leaf of vertex 0 (slot 5).
TEST(ClusterTree, EqualDistanceFromOriginKeepsFirstLeaf) {
  Mesh mesh({1, 0, 0, 0, 1, 0}, {});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  ASSERT_NE(encoder.clusterTree, nullptr);
  EXPECT_EQ(encoder.clusterTree->vertex, 1u);
  EXPECT_EQ(encoder.clusterTree->firstChild->vertex, 1u);
  EXPECT_EQ(encoder.clusterTree->secondChild->vertex, 0u);
  EXPECT_EQ(encoder.clusterTree->size, std::sqrt(2.0f));
}

// Without a merge there is no tree: nothing is left allocated (LeakSanitizer watches), the count is
// the number of vertices, and the flag is set.
TEST(ClusterTree, NoMergeLeavesNoTree) {
  struct Case {
    const char* name;
    std::vector<float> positions;
    std::vector<int32_t> corners;
  } cases[] = {
      {"no vertex", {}, {}},
      {"one vertex", {1, 2, 3}, {}},
      {"all at one position", {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}, {0, 1, 2, 1, 2, 3}},
      {"one position, signed zeros", {0, 0, 0, -0.0f, 0, -0.0f}, {}},
  };
  for (const Case& c : cases) {
    Mesh mesh(c.positions, c.corners);
    LumoEncoder encoder;
    encoder.setBrep(mesh.brep);
    encoder.generateClusterTree();
    EXPECT_EQ(encoder.clusterTree, nullptr) << c.name;
    EXPECT_EQ(encoder.clusterList, nullptr) << c.name;
    EXPECT_EQ(encoder.noClusters, mesh.brep.noVertices) << c.name;
    EXPECT_TRUE(encoder.clusterTreeBuilt) << c.name;
    EXPECT_EQ(encoder.octree, nullptr) << c.name;
    EXPECT_EQ(encoder.vertexClusters, nullptr) << c.name;
    EXPECT_EQ(encoder.pairTop, nullptr) << c.name;
  }
}

TEST(ClusterTree, NoTrianglesStillMergesEverything) {
  Mesh mesh({0, 0, 0, 5, 0, 0, 0, 2, 1, 1, 1, 1, -3, 4, 0}, {});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  TreeCheck(encoder).checkFullTree();
  for (LumoEncoderCluster* c = encoder.clusterList; c; c = c->next) {
    EXPECT_EQ(c->splitTriangles, nullptr);
    EXPECT_EQ(c->splitCorners, nullptr);
  }
}

// A triangle whose three vertices end in one cluster collapses once, at the merge that first joins
// two of them; the merge that adds the third sees it dead.
TEST(ClusterTree, TriangleCollapsesOnce) {
  Mesh mesh({0, 0, 0, 1, 0, 0, 0, 1.5f, 0, 10, 10, 10}, {0, 1, 2, 1, 3, 2});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  TreeCheck(encoder).checkFullTree();
  // Merges: {0,1} (collapses triangle 0 and nothing else), then {2, {0,1}}, then the far vertex.
  LumoEncoderCluster* first = encoder.clusterList->next->next;
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->splitTriangles, nullptr);
  EXPECT_EQ(first->splitTriangles->triangle, 0u);
  EXPECT_EQ(first->splitTriangles->next, nullptr);
  LumoEncoderCluster* second = encoder.clusterList->next;
  ASSERT_NE(second->splitTriangles, nullptr);
  EXPECT_EQ(second->splitTriangles->triangle, 1u);
  EXPECT_EQ(second->splitTriangles->next, nullptr);
}

// Triangles naming one vertex twice, or a vertex the mesh lacks, are left out; triangles of three
// different vertices stay in even when two of them share a position.
TEST(ClusterTree, DegenerateTrianglesLeftOut) {
  Mesh mesh({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0},
            {0, 0, 1, 1, 2, 1, 3, 3, 3, 0, 1, 7, -1, 0, 1, 0, 1, 2, 1, 3, 2, 2, 3, 4, 4, 2, 2});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  TreeCheck(encoder).checkFullTree();
}

// The tree for a mesh built and released twice: a second build after setBrep, and a build asked for
// again directly, free what the first one built (LeakSanitizer watches).
TEST(ClusterTree, RebuildReleasesTheFirstTree) {
  Mesh mesh({0, 0, 0, 1, 0, 0, 0, 3, 0}, {0, 1, 2});
  Mesh other({0, 0, 0, 1, 1, 1, 2, 0, 0, 0, 2, 0}, {0, 1, 2, 0, 2, 3});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  encoder.generateClusterTree();
  encoder.setBrep(other.brep);
  EXPECT_FALSE(encoder.clusterTreeBuilt);
  encoder.generateClusterTree();
  TreeCheck(encoder).checkFullTree();
}

// Vertices sharing positions: every member of every chain ends under the one root, whatever the
// chain lengths, however many chains, and whether or not the heads first meet each other.
TEST(ClusterTree, CoincidentVerticesAllMerge) {
  struct Case {
    const char* name;
    std::vector<int> chainLengths;  // vertices at each shared position
    int singles;                    // vertices at positions of their own
  } cases[] = {
      {"chain of 2", {2}, 3},           {"chain of 3", {3}, 1},
      {"chain of 7", {7}, 4},           {"chain of 300", {300}, 20},
      {"chains of 3 and 7", {3, 7}, 0}, {"many chains", {2, 3, 4, 5, 6, 7, 8, 9}, 30},
      {"chains only", {5, 5, 5}, 0},
  };
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(-4, 4);
  for (const Case& c : cases) {
    std::vector<float> positions;
    std::vector<std::vector<float>> places;
    for (size_t i = 0; i < c.chainLengths.size(); i++)
      places.push_back({coordinate(random), coordinate(random), coordinate(random)});
    std::vector<int> placeOf;
    for (size_t i = 0; i < c.chainLengths.size(); i++)
      for (int k = 0; k < c.chainLengths[i]; k++) placeOf.push_back(int(i));
    for (int k = 0; k < c.singles; k++) placeOf.push_back(-1);
    std::shuffle(placeOf.begin(), placeOf.end(), random);
    for (int place : placeOf) {
      if (place < 0)
        positions.insert(positions.end(), {coordinate(random), coordinate(random), coordinate(random)});
      else
        positions.insert(positions.end(), places[place].begin(), places[place].end());
    }
    // A fan around each vertex with its neighbours in index order, so that triangles join coincident
    // vertices too.
    std::vector<int32_t> corners;
    int32_t n = int32_t(placeOf.size());
    for (int32_t v = 0; v + 2 < n; v++) corners.insert(corners.end(), {v, v + 1, v + 2});
    Mesh mesh(positions, corners);
    LumoEncoder encoder;
    encoder.setBrep(mesh.brep);
    encoder.generateClusterTree();
    SCOPED_TRACE(c.name);
    TreeCheck(encoder).checkFullTree();
  }
}

float nextUp(float f) { return std::nextafter(f, std::numeric_limits<float>::infinity()); }

// Positions too close for halving to part count as coincident in the octree; they must still all end
// in the tree, also when the chained vertex lies farther from the origin than the chain's head, and
// at every magnitude.
TEST(ClusterTree, NearlyCoincidentVerticesAllMerge) {
  const float magnitudes[] = {1e-42f, FLT_MIN, 1e-20f, 1.0f, 3.0f, 1e20f, 1e38f, FLT_MAX / 2, FLT_MAX};
  for (float m : magnitudes) {
    for (int axis = 0; axis < 3; axis++) {
      std::vector<float> positions;
      // Vertex 0 one unit of the last place above vertex 1 (the chain's head), vertex 2 elsewhere.
      float p[3] = {m, m, m};
      float q[3] = {m, m, m};
      q[axis] = nextUp(m);
      if (std::isinf(q[axis])) q[axis] = m, p[axis] = std::nextafter(m, 0.0f);
      positions.insert(positions.end(), q, q + 3);
      positions.insert(positions.end(), p, p + 3);
      positions.insert(positions.end(), {-1, 0, 0});
      positions.insert(positions.end(), {m, 0, 0});
      Mesh mesh(positions, {0, 1, 2, 1, 0, 3});
      LumoEncoder encoder;
      encoder.setBrep(mesh.brep);
      encoder.generateClusterTree();
      SCOPED_TRACE(::testing::Message() << "magnitude " << m << " axis " << axis);
      TreeCheck(encoder).checkFullTree();
    }
  }
}

// Infinite and NaN coordinates make no sense as a mesh, but the build must still end and put every
// vertex into one tree.
TEST(ClusterTree, HostileCoordinatesStillGiveOneTree) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<float> positions;
  } cases[] = {
      {"infinity", {inf, 0, 0, 1, 0, 0, 2, 0, 0, 0, 1, 0}},
      {"both infinities", {inf, 1, 0, -inf, 1, 0, 1, 1, 0, 2, 1, 0, 0, 5, inf}},
      {"NaN", {nan, 0, 0, 1, 0, 0, nan, 0, 0, 0, nan, nan, 3, 3, 3}},
      {"huge of both signs",
       {FLT_MAX, FLT_MAX, 0, -FLT_MAX, -FLT_MAX, 0, FLT_MAX, -FLT_MAX, 1, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Mesh mesh(c.positions, {0, 1, 2, 1, 2, 3});
    LumoEncoder encoder;
    encoder.setBrep(mesh.brep);
    encoder.generateClusterTree();
    SCOPED_TRACE(c.name);
    TreeCheck(encoder).checkFullTree();
  }
}

// Distances between distinct positions that underflow to 0 compete with the zero-distance entries
// of a chain; the chain still drains into its head before the head meets anything else.
TEST(ClusterTree, UnderflowingDistancesDoNotStrandChains) {
  std::vector<float> positions;
  for (int k = 0; k < 5; k++) positions.insert(positions.end(), {1e-30f, 0, 0});
  positions.insert(positions.end(), {2e-30f, 0, 0});
  positions.insert(positions.end(), {2e-30f, 1e-30f, 0});
  for (int k = 0; k < 3; k++) positions.insert(positions.end(), {2e-30f, 1e-30f, 0});
  Mesh mesh(positions, {0, 5, 6, 1, 2, 5, 7, 8, 9});
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  TreeCheck(encoder).checkFullTree();
}

// Points that keep halving the same cell: a geometric series toward the origin builds an octree
// hundreds of levels deep.
TEST(ClusterTree, DeepOctree) {
  std::vector<float> positions;
  for (int k = 0; k < 149; k++) positions.insert(positions.end(), {std::ldexp(1.0f, -k), 0, 0});
  std::vector<int32_t> corners;
  for (int32_t v = 0; v + 2 < 149; v++) corners.insert(corners.end(), {v, v + 1, v + 2});
  Mesh mesh(positions, corners);
  LumoEncoder encoder;
  encoder.setBrep(mesh.brep);
  encoder.generateClusterTree();
  TreeCheck(encoder).checkFullTree();
}

// Random meshes with many ties: points on a small integer grid (distances repeat, coordinates fall
// on cell centres) and repeated positions.
TEST(ClusterTree, RandomGridMeshes) {
  std::mt19937 random(11);
  for (int round = 0; round < 20; round++) {
    int n = 3 + int(random() % 60);
    std::uniform_int_distribution<int> grid(-3, 3);
    std::vector<float> positions;
    for (int k = 0; k < 3 * n; k++) positions.push_back(float(grid(random)));
    std::vector<int32_t> corners;
    std::uniform_int_distribution<int32_t> vertex(0, n - 1);
    for (int t = 0; t < 2 * n; t++)
      corners.insert(corners.end(), {vertex(random), vertex(random), vertex(random)});
    Mesh mesh(positions, corners);
    std::set<std::tuple<float, float, float>> distinct;
    for (int k = 0; k < n; k++)
      distinct.insert({positions[3 * k], positions[3 * k + 1], positions[3 * k + 2]});
    if (distinct.size() < 2) continue;
    LumoEncoder encoder;
    encoder.setBrep(mesh.brep);
    encoder.generateClusterTree();
    SCOPED_TRACE(::testing::Message() << "round " << round);
    TreeCheck(encoder).checkFullTree();
  }
}

class ClusterTreeOnMesh : public ::testing::TestWithParam<const char*> {};

TEST_P(ClusterTreeOnMesh, Invariants) {
  LumoBrep brep;
  ASSERT_TRUE(meshfile::read(meshfile::path(GetParam()), brep));
  {
    LumoEncoder encoder;
    encoder.setBrep(brep);
    encoder.generateClusterTree();
    TreeCheck(encoder).checkFullTree();
  }
  brep.deleteLists();
}

INSTANTIATE_TEST_SUITE_P(Meshes, ClusterTreeOnMesh,
                         ::testing::Values("spot.iv", "cow.iv", "fandisk.iv", "bunny.iv", "horse.iv"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace
