// The nearest-pair queue: the heap's rules for equal distances (by hand and against an array model
// of the same rules), the initial entries (each two leaves covered exactly once, in the order of a
// plain recursive walk), and the pair search: expansion orders, dropped entries, chains of coincident
// leaves and a chain head that must drain before it meets another leaf.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "LumoEncoder.h"
#include "MeshFile.h"

namespace {

typedef LumoClusterOctreeNode Node;
typedef LumoClusterOctreeIntermediateNode Inner;
typedef LumoClusterOctreeLeaf Leaf;

bool isLeaf(const Node* node) { return node->flags & lumoOctreeLeaf; }

Leaf handLeaf(float x) {
  Leaf leaf{};
  leaf.flags = lumoOctreeLeaf | lumoOctreeActive;
  leaf.boxMin[0] = leaf.boxMax[0] = x;
  return leaf;
}

// An encoder with the octree of the given positions and an empty queue; releases what a tree build
// would release.
struct Search {
  LumoBrep brep;
  LumoEncoder encoder;
  explicit Search(const std::vector<float>& positions) {
    brep.noVertices = uint32_t(positions.size() / 3);
    brep.vertices = new float[positions.size() + 1];
    std::copy(positions.begin(), positions.end(), brep.vertices);
    encoder.setBrep(brep);
    encoder.generateClusterOctree();
    encoder.pairTop = nullptr;
  }
  ~Search() {
    clearQueue();
    for (uint32_t k = 0; k < brep.noVertices; k++) delete encoder.vertexClusters[k].target.cluster;
    delete[] encoder.vertexClusters;
    destroyClusterOctree(encoder.octree);
    brep.deleteLists();
  }
  // The nodes belong to the encoder's queue storage; an abandoned queue is reused or freed by it.
  void clearQueue() { encoder.pairTop = nullptr; }
  // The queued entries in level order.
  std::vector<LumoClusterOctreePair> entries() const {
    std::vector<LumoClusterOctreePair> list;
    for (LumoClusterOctreePair* p = encoder.pairTop; p; p = p->next) list.push_back(*p);
    return list;
  }
  Leaf* leafOf(uint32_t vertex) {
    std::vector<Node*> stack{encoder.octree};
    while (!stack.empty()) {
      Node* node = stack.back();
      stack.pop_back();
      if (isLeaf(node)) {
        for (Leaf* l = static_cast<Leaf*>(node); l; l = l->nextCoincident)
          if (l->cluster->vertex == vertex) return l;
        continue;
      }
      for (Node* child : static_cast<Inner*>(node)->children)
        if (child) stack.push_back(child);
    }
    return nullptr;
  }
};

// The same heap rules on an array: sift up past equal distances; sift down preferring the right child
// only when strictly nearer, stopping at the first child that is not nearer than the moving entry.
struct ArrayHeap {
  struct Entry {
    float distance;
    const void* first;
    const void* second;
  };
  std::vector<Entry> a;
  void insert(Entry e) {
    a.push_back(e);
    size_t i = a.size() - 1;
    for (; i > 0 && a[(i - 1) / 2].distance >= e.distance; i = (i - 1) / 2) a[i] = a[(i - 1) / 2];
    a[i] = e;
  }
  Entry pop() {
    Entry top = a[0], e = a.back();
    size_t n = 0;
    while (2 * n + 1 < a.size()) {
      size_t c = 2 * n + 1;
      if (c + 1 < a.size() && a[c + 1].distance < a[c].distance) c++;
      if (e.distance <= a[c].distance) break;
      a[n] = a[c];
      n = c;
    }
    a[n] = e;
    a.pop_back();
    return top;
  }
};

typedef std::pair<const void*, const void*> Pair;

Pair next(LumoEncoder& encoder) {
  Leaf* first = nullptr;
  Leaf* second = nullptr;
  if (!encoder.getNearestPair(first, second)) return {nullptr, nullptr};
  return {first, second};
}

// Hand-worked orders. Three entries at one distance come out newest first; the order a reversed rule
// gives is noted with each case.
TEST(PairQueue, EqualDistanceOrderByHand) {
  Leaf base = handLeaf(0), one = handLeaf(1);
  Leaf oneB = handLeaf(-1), oneC = handLeaf(1);
  LumoEncoder encoder;
  encoder.pairTop = nullptr;

  // Rising past equals: E3, E2, E1 (staying below equals would give E1, E3, E2).
  encoder.newClusterOctreePair(&base, &one);
  encoder.newClusterOctreePair(&base, &oneB);
  encoder.newClusterOctreePair(&oneC, &base);
  EXPECT_EQ(next(encoder), Pair(&oneC, &base));
  EXPECT_EQ(next(encoder), Pair(&base, &oneB));
  EXPECT_EQ(next(encoder), Pair(&base, &one));
  EXPECT_EQ(next(encoder), Pair(nullptr, nullptr));
  EXPECT_EQ(encoder.pairTop, nullptr);

  // T(1), A(2), B(2), C(3), D(3): equal children go left, and the moving entry stops at an equal
  // child: T, A, B, C, D (preferring the right child on equals would give T, B, A, D, C).
  Leaf t = handLeaf(1), a = handLeaf(2), b = handLeaf(-2), c = handLeaf(3), d = handLeaf(-3);
  for (Leaf* leaf : {&t, &a, &b, &c, &d}) encoder.newClusterOctreePair(&base, leaf);
  for (Leaf* leaf : {&t, &a, &b, &c, &d}) EXPECT_EQ(next(encoder), Pair(&base, leaf));
  EXPECT_EQ(next(encoder), Pair(nullptr, nullptr));
}

// Random interleavings of insertions and removals with many equal distances, against the array model.
TEST(PairQueue, EqualDistancesMatchTheHeapRules) {
  std::vector<Leaf> leaves;
  for (int k = 0; k < 8; k++) leaves.push_back(handLeaf(float(k)));
  std::mt19937 random(3);
  for (int round = 0; round < 200; round++) {
    LumoEncoder encoder;
    encoder.pairTop = nullptr;
    ArrayHeap model;
    int operations = 1 + int(random() % 300);
    for (int op = 0; op < operations; op++) {
      bool insert = model.a.empty() || random() % 5 < 3;
      if (insert) {
        Leaf* first = &leaves[random() % leaves.size()];
        Leaf* second = &leaves[random() % leaves.size()];
        encoder.newClusterOctreePair(first, second);
        model.insert({std::abs(first->boxMin[0] - second->boxMin[0]), first, second});
        continue;
      }
      ArrayHeap::Entry e = model.pop();
      ASSERT_EQ(next(encoder), Pair(e.first, e.second)) << "round " << round << " operation " << op;
    }
    while (!model.a.empty()) {
      ArrayHeap::Entry e = model.pop();
      ASSERT_EQ(next(encoder), Pair(e.first, e.second)) << "round " << round << " draining";
    }
    EXPECT_EQ(next(encoder), Pair(nullptr, nullptr));
  }
}

std::vector<const Leaf*> standingLeaves(const Node* node) {
  std::vector<const Leaf*> leaves;
  std::vector<const Node*> stack{node};
  while (!stack.empty()) {
    const Node* n = stack.back();
    stack.pop_back();
    if (isLeaf(n)) {
      leaves.push_back(static_cast<const Leaf*>(n));
      continue;
    }
    for (const Node* child : static_cast<const Inner*>(n)->children)
      if (child) stack.push_back(child);
  }
  return leaves;
}

std::vector<float> gridPoints(std::mt19937& random, int n, int spread) {
  std::uniform_int_distribution<int> grid(-spread, spread);
  std::vector<float> positions;
  for (int k = 0; k < 3 * n; k++) positions.push_back(float(grid(random)) * 0.25f);
  return positions;
}

// The initial entries cover every two standing leaves exactly once, never a node with itself.
TEST(PairQueue, InitialEntriesCoverEveryPairOnce) {
  std::mt19937 random(9);
  for (int round = 0; round < 30; round++) {
    Search search(gridPoints(random, 2 + int(random() % 120), 1 + round % 6));
    search.encoder.newClusterOctreeBorderingPair(search.encoder.octree, search.encoder.octree);
    std::map<std::pair<const Leaf*, const Leaf*>, int> covered;
    for (const LumoClusterOctreePair& entry : search.entries()) {
      ASSERT_NE(entry.first, entry.second);
      for (const Leaf* a : standingLeaves(entry.first))
        for (const Leaf* b : standingLeaves(entry.second)) covered[{std::min(a, b), std::max(a, b)}]++;
    }
    std::vector<const Leaf*> all = standingLeaves(search.encoder.octree);
    EXPECT_EQ(covered.size(), all.size() * (all.size() - 1) / 2) << "round " << round;
    for (const auto& c : covered) EXPECT_EQ(c.second, 1) << "round " << round;
  }
}

// The plain recursive walk of the initial entries, for comparison with the one that keeps its own
// stack. Test inputs are shallow, so recursion is fine here.
void recursiveBordering(LumoEncoder& encoder, Inner* a, Inner* b) {
  auto touching = [](const Node* x, const Node* y) {
    for (int k = 0; k < 3; k++)
      if (x->boxMin[k] > y->boxMax[k] || y->boxMin[k] > x->boxMax[k]) return false;
    return true;
  };
  if (a == b) {
    for (int i = 0; i < 8; i++) {
      Node* ci = a->children[i];
      if (!ci) continue;
      if (!isLeaf(ci)) recursiveBordering(encoder, static_cast<Inner*>(ci), static_cast<Inner*>(ci));
      for (int j = i + 1; j < 8; j++) {
        Node* cj = a->children[j];
        if (!cj) continue;
        if (!isLeaf(ci) && !isLeaf(cj))
          recursiveBordering(encoder, static_cast<Inner*>(ci), static_cast<Inner*>(cj));
        else
          encoder.newClusterOctreePair(ci, cj);
      }
    }
    return;
  }
  for (Node* c : a->children) {
    if (!c) continue;
    if (!isLeaf(c) && touching(c, b))
      recursiveBordering(encoder, b, static_cast<Inner*>(c));
    else
      encoder.newClusterOctreePair(b, c);
  }
}

// Numbers the nodes of an octree in a fixed walk, so that two octrees of one mesh can be compared.
std::map<const Node*, int> numbering(const Node* root) {
  std::map<const Node*, int> number;
  std::vector<const Node*> stack{root};
  while (!stack.empty()) {
    const Node* n = stack.back();
    stack.pop_back();
    number[n] = int(number.size());
    if (isLeaf(n)) continue;
    for (const Node* child : static_cast<const Inner*>(n)->children)
      if (child) stack.push_back(child);
  }
  return number;
}

TEST(PairQueue, InitialEntriesInRecursiveOrder) {
  std::mt19937 random(4);
  std::vector<std::vector<float>> meshes;
  for (int round = 0; round < 10; round++) meshes.push_back(gridPoints(random, 5 + round * 20, 3));
  LumoBrep cow;
  ASSERT_TRUE(meshfile::read(meshfile::path("cow.iv"), cow));
  meshes.push_back(std::vector<float>(cow.vertices, cow.vertices + 3 * cow.noVertices));
  cow.deleteLists();
  for (const std::vector<float>& positions : meshes) {
    Search iterative(positions), recursive(positions);
    iterative.encoder.newClusterOctreeBorderingPair(iterative.encoder.octree, iterative.encoder.octree);
    recursiveBordering(recursive.encoder, recursive.encoder.octree, recursive.encoder.octree);
    std::map<const Node*, int> a = numbering(iterative.encoder.octree);
    std::map<const Node*, int> b = numbering(recursive.encoder.octree);
    std::vector<LumoClusterOctreePair> x = iterative.entries(), y = recursive.entries();
    ASSERT_EQ(x.size(), y.size());
    for (size_t i = 0; i < x.size(); i++) {
      EXPECT_EQ(x[i].distance, y[i].distance);
      EXPECT_EQ(a[x[i].first], b[y[i].first]) << "entry " << i;
      EXPECT_EQ(a[x[i].second], b[y[i].second]) << "entry " << i;
    }
  }
}

// Nothing to pair: no entry is queued and the search ends at once; a lone chain is never expanded.
TEST(PairQueue, NothingToPair) {
  const std::vector<float> cases[] = {{}, {1, 2, 3}, {2, 2, 2, 2, 2, 2, 2, 2, 2}};
  for (const std::vector<float>& positions : cases) {
    Search search(positions);
    search.encoder.newClusterOctreeBorderingPair(search.encoder.octree, search.encoder.octree);
    EXPECT_EQ(search.encoder.pairTop, nullptr);
    EXPECT_EQ(next(search.encoder), Pair(nullptr, nullptr));
    for (uint32_t v = 0; v < search.brep.noVertices; v++)
      EXPECT_FALSE(search.leafOf(v)->flags & lumoOctreeChainExpanded);
  }
}

// Two positions, however deep the octree between them: one initial entry, one pair, then nothing.
TEST(PairQueue, TwoPositions) {
  Search search({3, 3, 3, 4, 4, 4});
  search.encoder.newClusterOctreeBorderingPair(search.encoder.octree, search.encoder.octree);
  EXPECT_EQ(search.entries().size(), 1u);
  EXPECT_EQ(next(search.encoder), Pair(search.leafOf(0), search.leafOf(1)));
  EXPECT_EQ(next(search.encoder), Pair(nullptr, nullptr));
}

// Expanding an inner node keeps the child first when the leaf came first, and the leaf first when the
// inner node came first; entries naming an absorbed leaf, or a cell with no active leaf left, are
// dropped.
TEST(PairQueue, ExpansionOrderAndDroppedEntries) {
  // Vertex 2 stands alone in root slot 0; vertices 0 and 1 share root slot 7, a cell of their own.
  Search search({4, 4, 4, 2.5f, 2.5f, 2.5f, 0.5f, 0.5f, 0.5f});
  Node* cell = search.encoder.octree->children[7];
  ASSERT_TRUE(cell && !isLeaf(cell));
  Leaf* lone = search.leafOf(2);
  Leaf* near = search.leafOf(1);
  Leaf* far = search.leafOf(0);
  ASSERT_EQ(search.encoder.octree->children[0], lone);

  search.encoder.newClusterOctreePair(lone, cell);
  EXPECT_EQ(next(search.encoder), Pair(near, lone));
  search.clearQueue();
  search.encoder.newClusterOctreePair(cell, lone);
  EXPECT_EQ(next(search.encoder), Pair(lone, near));
  search.clearQueue();

  deactivateClusterOctreeLeaf(near);
  search.encoder.newClusterOctreePair(cell, lone);
  EXPECT_EQ(next(search.encoder), Pair(lone, far));
  search.clearQueue();

  deactivateClusterOctreeLeaf(lone);
  search.encoder.newClusterOctreePair(lone, cell);
  search.encoder.newClusterOctreePair(cell, lone);
  EXPECT_EQ(next(search.encoder), Pair(nullptr, nullptr));
  EXPECT_EQ(search.encoder.pairTop, nullptr);

  Search emptied({4, 4, 4, 2.5f, 2.5f, 2.5f, 0.5f, 0.5f, 0.5f});
  Node* emptiedCell = emptied.encoder.octree->children[7];
  deactivateClusterOctreeLeaf(emptied.leafOf(0));
  deactivateClusterOctreeLeaf(emptied.leafOf(1));
  emptied.encoder.newClusterOctreePair(emptied.leafOf(2), emptiedCell);
  emptied.encoder.newClusterOctreePair(emptiedCell, emptied.leafOf(2));
  EXPECT_EQ(next(emptied.encoder), Pair(nullptr, nullptr));
}

// Two chain heads taken together: both chains are expanded and their zero-distance entries, each
// pairing a member with its head, come out before the heads meet.
TEST(PairQueue, ChainsDrainIntoTheirHeads) {
  Search search({1, 1, 1, 3, 3, 3, 1, 1, 1, 3, 3, 3, 1, 1, 1});
  search.encoder.newClusterOctreeBorderingPair(search.encoder.octree, search.encoder.octree);
  Leaf* headP = search.leafOf(4);
  Leaf* headQ = search.leafOf(3);
  ASSERT_EQ(headP->nextCoincident, search.leafOf(0));
  std::vector<Pair> pairs;
  for (Pair p = next(search.encoder); p.first; p = next(search.encoder)) {
    pairs.push_back(p);
    const Leaf* second = static_cast<const Leaf*>(p.second);
    if (!(second->flags & lumoOctreeChainMember)) break;
    deactivateClusterOctreeLeaf(const_cast<Leaf*>(second));  // as the merge would
  }
  ASSERT_EQ(pairs.size(), 4u);
  std::vector<Pair> chainPairs(pairs.begin(), pairs.begin() + 3);
  std::sort(chainPairs.begin(), chainPairs.end());
  std::vector<Pair> expected = {
      {headP, search.leafOf(0)}, {headP, search.leafOf(2)}, {headQ, search.leafOf(1)}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(chainPairs, expected);
  EXPECT_TRUE(pairs[3] == Pair(headP, headQ) || pairs[3] == Pair(headQ, headP));
  for (uint32_t v = 0; v < 5; v++) EXPECT_TRUE(search.leafOf(v)->flags & lumoOctreeChainExpanded);
}

// A distance that underflows to 0 ties with the chain's own entries and, being newest, comes out
// first: the head still takes its members one by one, in chain order, before it meets the other leaf.
TEST(PairQueue, HeadDrainsBeforeMeetingAnotherLeaf) {
  Search search({1e-30f, 0, 0, 1e-30f, 0, 0, 1e-30f, 0, 0, 2e-30f, 0, 0});
  search.encoder.newClusterOctreeBorderingPair(search.encoder.octree, search.encoder.octree);
  Leaf* head = search.leafOf(2);
  Leaf* other = search.leafOf(3);
  ASSERT_EQ(head->nextCoincident, search.leafOf(0));
  for (uint32_t member : {0u, 1u}) {
    EXPECT_EQ(next(search.encoder), Pair(head, search.leafOf(member)));
    deactivateClusterOctreeLeaf(search.leafOf(member));
  }
  EXPECT_EQ(next(search.encoder), Pair(head, other));
}

}  // namespace
