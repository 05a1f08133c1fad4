// Level-of-detail control of the decoder: the shown mesh is the first `level` splits of the level array
// applied to the triangle table, whose first `totalNoTriangles` slots of the top applied split are shown.
// update() moves the level to meet a requested triangle count or, when none is requested, a minimum
// split-cluster size; the setters store a target and call update() through the virtual table so that
// the Inventor decoder follows every change.
#include "LumoDecoder.h"

#include <cstddef>

// Corners move in list order; the fourth word of a slot is never touched.
void LumoDecoder::applyNextSplit() {
  LumoDecoderCluster* split = levelClusters[level];
  int32_t vertex = int32_t(split->secondChild->vertex);
  for (LumoDecoderCorner* c = split->corners; c; c = c->next)
    brep.triangles[size_t(c->triangle) * 4 + c->corner] = vertex;
  level++;
}

void LumoDecoder::takeBackTopSplit() {
  LumoDecoderCluster* split = levelClusters[level - 1];
  int32_t vertex = int32_t(split->vertex);
  for (LumoDecoderCorner* c = split->corners; c; c = c->next)
    brep.triangles[size_t(c->triangle) * 4 + c->corner] = vertex;
  level--;
}

void LumoDecoder::setShownCount() {
  brep.noTriangles = level ? levelClusters[level - 1]->totalNoTriangles : 0;
}

// The highest level whose total is at most the request, whatever level we start from.
void LumoDecoder::updateCountMode() {
  uint32_t request = requestedNoTriangles;
  if (level > 0 && request < levelClusters[level - 1]->totalNoTriangles) {
    do takeBackTopSplit();
    while (level > 0 && request < levelClusters[level - 1]->totalNoTriangles);
    setShownCount();
    return;
  }
  while (level < noLevels && levelClusters[level]->totalNoTriangles <= request) applyNextSplit();
  setShownCount();
}

// Only the top split is looked at when taking back, so a small split below a large applied one stays.
// Splits of size 0 (the new vertex on the parent's) are applied whatever the threshold; a size that is
// not a number counts as not less than any threshold.
void LumoDecoder::updateSizeMode() {
  float threshold = minParentClusterSize;
  if (level > 0 && levelClusters[level - 1]->size < threshold) {
    do takeBackTopSplit();
    while (level > 0 && levelClusters[level - 1]->size < threshold);
    if (level == 0) {
      setShownCount();
      return;
    }
  }
  while (level < noLevels &&
         (levelClusters[level]->size == 0.0f || !(levelClusters[level]->size < threshold)))
    applyNextSplit();
  setShownCount();
}

void LumoDecoder::update() {
  if (requestedNoTriangles)
    updateCountMode();
  else
    updateSizeMode();
}

unsigned int LumoDecoder::setNoTriangles(unsigned int n) {
  requestedNoTriangles = n > availableNoTriangles ? availableNoTriangles : n;
  update();
  return requestedNoTriangles;
}

// Modulo 2^32: adding 2^32 - k lowers the request by k; a sum that wraps below 0 is a large value and is
// clamped to the available triangles.
unsigned int LumoDecoder::changeNoTriangles(unsigned int delta) {
  uint32_t sum = requestedNoTriangles + delta;
  requestedNoTriangles = sum > availableNoTriangles ? availableNoTriangles : sum;
  update();
  return requestedNoTriangles;
}

unsigned int LumoDecoder::setAvailableNoTriangles() {
  requestedNoTriangles = availableNoTriangles;
  update();
  return requestedNoTriangles;
}

void LumoDecoder::setMinParentClusterSize(float size) {
  minParentClusterSize = size;
  update();
}
