// The cluster octree: one leaf per distinct vertex position (coincident vertices hang behind it in a
// chain), an inner node for every cell that two positions had to share. The tree build inserts every
// vertex here first, creating its single-vertex cluster on the way; the nearest-pair queue then walks
// the octree. Insertion runs from the last vertex down and descends without recursion. Each inner node
// counts the active leaves standing below it, so that cells with nothing left to merge drop out of the
// search.
#include <cstring>
#include <vector>

#include "LumoEncoder.h"

namespace {

bool isLeaf(const LumoClusterOctreeNode* node) { return (node->flags & lumoOctreeLeaf) != 0; }

bool samePosition(const float* a, const float* b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// Bit-for-bit equality, so that a cell bound that has become NaN (infinite input coordinates) still
// counts as unchanged and the insertion ends.
bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

// Slot bits: x 4, y 2, z 1; a coordinate on the centre goes to the upper half.
int childSlot(const float* point, const float* centre) {
  int slot = 0;
  if (!(point[0] < centre[0])) slot |= 4;
  if (!(point[1] < centre[1])) slot |= 2;
  if (!(point[2] < centre[2])) slot |= 1;
  return slot;
}

// Links `leaf` directly behind the chain head `head`: the head stays in the octree slot and keeps the
// highest vertex index, later (lower) vertices follow it in the order they arrive.
void chainBehind(LumoClusterOctreeLeaf* head, LumoClusterOctreeLeaf* leaf) {
  leaf->flags |= lumoOctreeChainMember;
  leaf->parent = nullptr;
  leaf->nextCoincident = head->nextCoincident;
  head->nextCoincident = leaf;
}

LumoClusterOctreeIntermediateNode* newInnerNode(const float* boxMin, const float* boxMax,
                                                LumoClusterOctreeIntermediateNode* parent,
                                                uint32_t noActiveLeaves) {
  LumoClusterOctreeIntermediateNode* node = new LumoClusterOctreeIntermediateNode;
  node->flags = lumoOctreeActive;
  node->parent = parent;
  node->noActiveLeaves = noActiveLeaves;
  std::memcpy(node->boxMin, boxMin, sizeof(node->boxMin));
  std::memcpy(node->boxMax, boxMax, sizeof(node->boxMax));
  for (LumoClusterOctreeNode*& child : node->children) child = nullptr;
  return node;
}

LumoClusterOctreeLeaf* newLeaf(const float* position, LumoEncoderCluster* cluster) {
  LumoClusterOctreeLeaf* leaf = new LumoClusterOctreeLeaf;
  leaf->flags = lumoOctreeLeaf | lumoOctreeActive;
  std::memcpy(leaf->boxMin, position, sizeof(leaf->boxMin));
  std::memcpy(leaf->boxMax, position, sizeof(leaf->boxMax));
  leaf->parent = nullptr;
  leaf->cluster = cluster;
  leaf->nextCoincident = nullptr;
  return leaf;
}

// Stores a new standing leaf in the empty slot below `parent` and counts it in every cell above.
void standLeaf(LumoClusterOctreeNode** slot, LumoClusterOctreeIntermediateNode* parent,
               LumoClusterOctreeLeaf* leaf) {
  *slot = leaf;
  leaf->parent = parent;
  for (LumoClusterOctreeIntermediateNode* cell = parent; cell; cell = cell->parent)
    cell->noActiveLeaves++;
}

LumoEncoderCluster* newSingleVertexCluster(uint32_t vertex) {
  LumoEncoderCluster* cluster = new LumoEncoderCluster{};
  cluster->vertex = vertex;
  return cluster;
}

// Low and high corner of all positions and the origin. Runs from the last vertex down, like the
// insertion; a coordinate below the low corner is never also checked against the high one.
void boundingBox(const LumoBrep& brep, float* low, float* high) {
  for (int axis = 0; axis < 3; axis++) low[axis] = high[axis] = 0.0f;
  for (uint32_t k = brep.noVertices; k-- > 0;) {
    const float* p = brep.vertices + size_t(k) * 3;
    for (int axis = 0; axis < 3; axis++) {
      if (p[axis] < low[axis])
        low[axis] = p[axis];
      else if (p[axis] > high[axis])
        high[axis] = p[axis];
    }
  }
}

}  // namespace

void destroyClusterOctree(LumoClusterOctreeNode* node) {
  std::vector<LumoClusterOctreeNode*> pending;
  if (node) pending.push_back(node);
  while (!pending.empty()) {
    LumoClusterOctreeNode* current = pending.back();
    pending.pop_back();
    if (isLeaf(current)) {
      for (LumoClusterOctreeLeaf* leaf = static_cast<LumoClusterOctreeLeaf*>(current); leaf;) {
        LumoClusterOctreeLeaf* next = leaf->nextCoincident;
        delete leaf;
        leaf = next;
      }
      continue;
    }
    LumoClusterOctreeIntermediateNode* inner = static_cast<LumoClusterOctreeIntermediateNode*>(current);
    for (int slot = 7; slot >= 0; slot--)
      if (inner->children[slot]) pending.push_back(inner->children[slot]);
    delete inner;
  }
}

void deactivateClusterOctreeLeaf(LumoClusterOctreeLeaf* leaf) {
  leaf->flags &= uint8_t(~lumoOctreeActive);
  if (leaf->flags & lumoOctreeChainMember) return;
  for (LumoClusterOctreeIntermediateNode* cell = leaf->parent; cell; cell = cell->parent)
    if (--cell->noActiveLeaves == 0) cell->flags &= uint8_t(~lumoOctreeActive);
}

void LumoEncoder::gotoChild() {
  LumoClusterOctreeIntermediateNode* inner =
      static_cast<LumoClusterOctreeIntermediateNode*>(*insertSlot);
  int slot = 0;
  for (int axis = 0; axis < 3; axis++) {
    if (insertPoint[axis] < cellCentre[axis]) {
      cellMax[axis] = cellCentre[axis];
    } else {
      slot |= 4 >> axis;
      cellMin[axis] = cellCentre[axis];
    }
  }
  insertSlot = &inner->children[slot];
}

namespace {

void centreOf(const float* low, const float* high, float* centre) {
  for (int axis = 0; axis < 3; axis++) centre[axis] = (low[axis] + high[axis]) / 2;
}

// Whether halving the current cell would put the new position into the same child as `leaf` and
// leave that child's cell exactly as large as the cell itself. Near a float's resolution the midpoint
// rounds onto a bound (or overflows), the cell stops shrinking, and splitting would go on forever.
bool halvingStalls(const float* point, const LumoClusterOctreeLeaf* leaf, const float* centre,
                   const float* low, const float* high) {
  if (childSlot(point, centre) != childSlot(leaf->boxMin, centre)) return false;
  for (int axis = 0; axis < 3; axis++) {
    float bound = point[axis] < centre[axis] ? high[axis] : low[axis];
    if (!sameBits(bound, centre[axis])) return false;
  }
  return true;
}

}  // namespace

void LumoEncoder::generateClusterOctree() {
  float low[3], high[3];
  boundingBox(brep, low, high);
  octree = newInnerNode(low, high, nullptr, 0);
  noClusters = brep.noVertices;
  vertexClusters = new LumoEncoderVertexEntry[brep.noVertices];

  // The root slot is never written (the root stays the root), so a copy of it serves as the slot that
  // every descent starts from.
  LumoClusterOctreeNode* rootSlot = octree;
  for (uint32_t k = brep.noVertices; k-- > 0;) {
    std::memcpy(insertPoint, brep.vertices + size_t(k) * 3, sizeof(insertPoint));
    LumoEncoderCluster* cluster = newSingleVertexCluster(k);
    vertexClusters[k].forwarded = 0;
    vertexClusters[k].target.cluster = cluster;
    LumoClusterOctreeLeaf* leaf = newLeaf(insertPoint, cluster);

    insertSlot = &rootSlot;
    std::memcpy(cellMin, low, sizeof(cellMin));
    std::memcpy(cellMax, high, sizeof(cellMax));
    for (;;) {
      centreOf(cellMin, cellMax, cellCentre);
      if (!isLeaf(*insertSlot)) {
        LumoClusterOctreeIntermediateNode* cell =
            static_cast<LumoClusterOctreeIntermediateNode*>(*insertSlot);
        gotoChild();
        if (!*insertSlot) {
          standLeaf(insertSlot, cell, leaf);
          break;
        }
        continue;
      }
      LumoClusterOctreeLeaf* resident = static_cast<LumoClusterOctreeLeaf*>(*insertSlot);
      if (samePosition(resident->boxMin, insertPoint)) {
        chainBehind(resident, leaf);
        break;
      }
      // Split until the two positions part. Positions that halving cannot separate any more count as
      // coincident: the new leaf joins the resident's chain.
      if (halvingStalls(insertPoint, resident, cellCentre, cellMin, cellMax)) {
        chainBehind(resident, leaf);
        break;
      }
      // The new cell holds the resident, already counted in every cell above.
      LumoClusterOctreeIntermediateNode* inner = newInnerNode(cellMin, cellMax, resident->parent, 1);
      inner->children[childSlot(resident->boxMin, cellCentre)] = resident;
      resident->parent = inner;
      *insertSlot = inner;
      gotoChild();
      if (!*insertSlot) {
        standLeaf(insertSlot, inner, leaf);
        break;
      }
    }
  }
  insertSlot = nullptr;
}
