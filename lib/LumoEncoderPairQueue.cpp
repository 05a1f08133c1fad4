// The nearest-pair queue: a best-first search over pairs of cluster-octree nodes that hands the tree
// build the two nearest active leaves, one pair per call. Entries carry the distance between the boxes
// of their two nodes and sit in a binary min-heap kept as a linked complete tree (nodes in level order,
// chained by previous/next). Which entry wins among equal distances, and the order of the two nodes in
// every queued entry, decide which clusters merge first and which leaf is first: both shape the stream.
#include <cmath>
#include <vector>

#include "LumoEncoder.h"

float dx, dy, dz;

namespace {

bool isLeaf(const LumoClusterOctreeNode* node) { return (node->flags & lumoOctreeLeaf) != 0; }
bool isActive(const LumoClusterOctreeNode* node) { return (node->flags & lumoOctreeActive) != 0; }

LumoClusterOctreeIntermediateNode* asInner(LumoClusterOctreeNode* node) {
  return static_cast<LumoClusterOctreeIntermediateNode*>(node);
}
LumoClusterOctreeLeaf* asLeaf(LumoClusterOctreeNode* node) {
  return static_cast<LumoClusterOctreeLeaf*>(node);
}

float axisGap(float aLow, float aHigh, float bLow, float bHigh) {
  float gap = aLow - bHigh;
  if (gap < 0) {
    gap = bLow - aHigh;
    if (gap < 0) gap = 0;
  }
  return gap;
}

// Leaves the axis gaps in dx, dy, dz; boxes that touch or overlap are 0 apart.
float boxDistance(const LumoClusterOctreeNode* a, const LumoClusterOctreeNode* b) {
  dx = axisGap(a->boxMin[0], a->boxMax[0], b->boxMin[0], b->boxMax[0]);
  dy = axisGap(a->boxMin[1], a->boxMax[1], b->boxMin[1], b->boxMax[1]);
  dz = axisGap(a->boxMin[2], a->boxMax[2], b->boxMin[2], b->boxMax[2]);
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The queue holds up to millions of nodes and every insertion and removal walks a path of them, so
// nodes come from blocks in level order rather than one allocation each: node k of the level order,
// whose heap children are 2k + 1 and 2k + 2, is slot k. The sifts find nodes by these numbers and
// compare distances in `pairDistances` (distance of node k at k), a sixteenth of the nodes' memory,
// so that a level of the heap costs one node's cache line rather than two.
const uint32_t pairBlockShift = 14;
const uint32_t pairBlockSize = uint32_t(1) << pairBlockShift;

LumoClusterOctreePair* nodeAt(LumoEncoder& queue, uint32_t k) {
  return &queue.pairBlocks[k >> pairBlockShift][k & (pairBlockSize - 1)];
}

void moveEntry(LumoClusterOctreePair* to, const LumoClusterOctreePair* from) {
  to->distance = from->distance;
  to->first = from->first;
  to->second = from->second;
}

// Removes the top entry into `first` and `second` and restores the heap with the entry of the last
// node, whose node is then released. Equal distances go to the left child. The last node stays in the
// heap during the sift, as the moving entry's own place.
void takeTopPair(LumoEncoder& queue, LumoClusterOctreeNode*& first, LumoClusterOctreeNode*& second) {
  LumoClusterOctreePair* top = queue.pairTop;
  LumoClusterOctreePair* last = queue.pairLast;
  first = top->first;
  second = top->second;

  const uint32_t count = queue.noPairs;
  float* distance = queue.pairDistances.data();
  LumoClusterOctreePair moving = *last;
  uint32_t k = 0;
  LumoClusterOctreePair* node = top;
  for (uint32_t child = 1; child < count; child = 2 * k + 1) {
    if (child + 1 < count && distance[child + 1] < distance[child]) child++;
    if (moving.distance <= distance[child]) break;
    LumoClusterOctreePair* childNode = nodeAt(queue, child);
    moveEntry(node, childNode);
    distance[k] = distance[child];
    node = childNode;
    k = child;
  }
  moveEntry(node, &moving);
  distance[k] = moving.distance;

  if (queue.pairParent->left) {
    queue.pairParent->left = nullptr;
  } else {
    queue.pairParent = queue.pairParent->previous;
    queue.pairParent->right = nullptr;
  }
  queue.pairLast = last->previous;
  if (last->previous == last)
    queue.pairTop = queue.pairLast = queue.pairParent = nullptr;
  else
    last->previous->next = nullptr;
  queue.noPairs--;
  queue.pairDistances.pop_back();
}

// Every member of a chain is queued against the head, never against its neighbour: the head is the
// first leaf of each such entry and keeps the merged cluster, so the head stays active and every
// member reaches it whatever order the heap gives the zero-distance entries. (Neighbour entries would
// strand a member whenever the entry before it is taken first.)
bool expandChain(LumoEncoder& queue, LumoClusterOctreeLeaf* head) {
  if (!head->nextCoincident || (head->flags & lumoOctreeChainExpanded)) return false;
  head->flags |= lumoOctreeChainExpanded;
  for (LumoClusterOctreeLeaf* member = head->nextCoincident; member; member = member->nextCoincident) {
    member->flags |= lumoOctreeChainExpanded;
    queue.newClusterOctreePair(head, member);
  }
  return true;
}

// The first chain member of `head` that has not merged yet, or null. A head must not meet any other
// leaf while such a member is left: if the head's cluster were absorbed, the member could never be
// reached again. Its entries normally come out first (distance 0), but a pair of distinct positions
// whose distance underflows to 0, or positions chained because halving could not part them, can come
// out earlier.
LumoClusterOctreeLeaf* unmergedMember(LumoClusterOctreeLeaf* head) {
  if (!head->nextCoincident || (head->flags & lumoOctreeChainDrained)) return nullptr;
  for (LumoClusterOctreeLeaf* member = head->nextCoincident; member; member = member->nextCoincident)
    if (isActive(member)) return member;
  head->flags |= lumoOctreeChainDrained;
  return nullptr;
}

// One level of the initial entries between the subtrees of `a` and `b` (within `a` when both are the
// same node). `slot` and `laterSlot` say how far the level has got, so that it can be left for a
// deeper level and resumed afterwards in exactly the order a recursive walk would take.
struct BorderingFrame {
  LumoClusterOctreeIntermediateNode* a;
  LumoClusterOctreeIntermediateNode* b;
  int slot;
  int laterSlot;  // within one node: -1 until the child in `slot` has been started
};

}  // namespace

void LumoEncoder::releasePairStorage() {
  for (LumoClusterOctreePair* block : pairBlocks) delete[] block;
  pairBlocks.clear();
  std::vector<float>().swap(pairDistances);
  noPairs = 0;
}

void LumoEncoder::newClusterOctreePair(LumoClusterOctreeNode* first, LumoClusterOctreeNode* second) {
  // A null top is an empty queue, also one that a caller abandoned: numbering starts again.
  if (!pairTop) {
    noPairs = 0;
    pairDistances.clear();
  }
  if (noPairs >> pairBlockShift == pairBlocks.size())
    pairBlocks.push_back(new LumoClusterOctreePair[pairBlockSize]);
  uint32_t k = noPairs++;
  LumoClusterOctreePair* node = nodeAt(*this, k);
  pairDistances.push_back(0.0f);
  node->next = nullptr;
  node->left = nullptr;
  node->right = nullptr;
  if (!pairTop) {
    node->previous = node;
    node->parent = nullptr;
    pairTop = pairLast = pairParent = node;
  } else {
    node->previous = pairLast;
    node->parent = pairParent;
    pairLast->next = node;
    pairLast = node;
    if (pairParent->left) {
      pairParent->right = node;
      pairParent = pairParent->next;
    } else {
      pairParent->left = node;
    }
  }

  float distance = boxDistance(first, second);
  // An entry rises past every entry of equal distance: among equals the newest stands highest.
  while (k > 0 && pairDistances[(k - 1) / 2] >= distance) {
    uint32_t parent = (k - 1) / 2;
    LumoClusterOctreePair* parentNode = nodeAt(*this, parent);
    moveEntry(node, parentNode);
    pairDistances[k] = pairDistances[parent];
    node = parentNode;
    k = parent;
  }
  node->distance = distance;
  node->first = first;
  node->second = second;
  pairDistances[k] = distance;
}

void LumoEncoder::newClusterOctreeBorderingPair(LumoClusterOctreeIntermediateNode* a,
                                                LumoClusterOctreeIntermediateNode* b) {
  // Octrees can be hundreds of levels deep, so the walk keeps its own stack.
  std::vector<BorderingFrame> stack;
  stack.push_back({a, b, 0, -1});
  while (!stack.empty()) {
    BorderingFrame& frame = stack.back();
    LumoClusterOctreeNode** children = frame.a->children;
    BorderingFrame deeper{nullptr, nullptr, 0, -1};

    if (frame.a == frame.b) {
      for (; frame.slot < 8; frame.slot++, frame.laterSlot = -1) {
        LumoClusterOctreeNode* child = children[frame.slot];
        if (!child) continue;
        if (frame.laterSlot < 0) {
          frame.laterSlot = frame.slot + 1;
          if (!isLeaf(child)) {
            deeper = {asInner(child), asInner(child), 0, -1};
            break;
          }
        }
        while (frame.laterSlot < 8) {
          LumoClusterOctreeNode* later = children[frame.laterSlot++];
          if (!later) continue;
          if (!isLeaf(child) && !isLeaf(later)) {
            deeper = {asInner(child), asInner(later), 0, -1};
            break;
          }
          newClusterOctreePair(child, later);
        }
        if (deeper.a) break;
      }
    } else {
      while (frame.slot < 8) {
        LumoClusterOctreeNode* child = children[frame.slot++];
        if (!child) continue;
        // Touching cells are refined at once, with the roles of the two nodes exchanged.
        if (!isLeaf(child) && boxDistance(child, frame.b) == 0) {
          deeper = {frame.b, asInner(child), 0, -1};
          break;
        }
        newClusterOctreePair(frame.b, child);
      }
    }

    if (deeper.a)
      stack.push_back(deeper);
    else
      stack.pop_back();
  }
}

int LumoEncoder::getNearestPair(LumoClusterOctreeLeaf*& first, LumoClusterOctreeLeaf*& second) {
  while (pairTop) {
    LumoClusterOctreeNode* a;
    LumoClusterOctreeNode* b;
    takeTopPair(*this, a, b);

    // An entry is dropped as soon as either side has nothing left to merge: an absorbed leaf, or a
    // cell all of whose leaves have been absorbed. Such entries could only ever yield pairs that get
    // dropped; kept and refined instead, they would walk the search through nearly every pair of
    // vertices, since the last merges span the whole mesh.
    if (!isActive(a) || !isActive(b)) continue;
    if (isLeaf(a) && !isLeaf(b)) {
      for (LumoClusterOctreeNode* child : asInner(b)->children)
        if (child && isActive(child)) newClusterOctreePair(child, a);
      continue;
    }
    if (!isLeaf(a)) {
      for (LumoClusterOctreeNode* child : asInner(a)->children)
        if (child && isActive(child)) newClusterOctreePair(b, child);
      continue;
    }

    LumoClusterOctreeLeaf* leafA = asLeaf(a);
    LumoClusterOctreeLeaf* leafB = asLeaf(b);
    bool expandedA = expandChain(*this, leafA);
    bool expandedB = expandChain(*this, leafB);
    if (expandedA || expandedB) {
      newClusterOctreePair(a, b);
      continue;
    }

    first = leafA;
    second = leafB;
    if (leafB->flags & lumoOctreeChainMember) return 1;  // head and member of one chain
    for (LumoClusterOctreeLeaf* head : {leafA, leafB}) {
      LumoClusterOctreeLeaf* member = unmergedMember(head);
      if (!member) continue;
      // The pair waits for its turn again; the member merges into its head first.
      newClusterOctreePair(a, b);
      first = head;
      second = member;
      return 1;
    }
    return 1;
  }
  return 0;
}
