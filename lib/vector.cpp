// The scratch vector vD and the size computation that uses it.
#include "vector.h"

#include <cmath>

float vD[3];

float distanceInVD(const float* a, const float* b) {
  vD[0] = a[0] - b[0];
  vD[1] = a[1] - b[1];
  vD[2] = a[2] - b[2];
  return std::sqrt(vD[0] * vD[0] + vD[1] * vD[1] + vD[2] * vD[2]);
}
