// The process-wide scratch difference vector of cluster sizes. Encoder and decoder both form a cluster's
// size here, so only one of them may compute sizes at a time.
#pragma once

extern float vD[3];

// vD = a − b; returns the single-precision length of vD (square root of the three squares summed
// x, y, z in that order).
float distanceInVD(const float* a, const float* b);
