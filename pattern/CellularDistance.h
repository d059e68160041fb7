// Distances from a point to the nearest points of a fixed pseudo-random scatter of feature points
// (the cellular basis): cube-by-cube generation from a hashed seed, a Poisson count table, a
// density factor and a search of the 26 neighbouring cubes. Double precision, stateless.
#pragma once

#include <cstdint>

namespace tamrel {

// Fills distances[0..n) with the n smallest feature distances around point, ascending; n >= 1.
//
// The values are sqrt(d) / 0.39815 with d the Euclidean distance in the density-scaled space: the
// search keeps unsquared distances and the finish takes their square root once more. That, and
// the neighbour bound comparing squared face gaps with those unsquared distances, are part of the
// pattern's look and are kept deliberately.
void CellularDistances(const double point[3], int n, double* distances);

// Merges the feature points of cube (x, y, z) into the ascending list, given the scaled point q.
void AddCubeFeatures(std::int32_t x, std::int32_t y, std::int32_t z, const double q[3], int n,
                     double* distances);

// The feature points of one cube in generation order, in scaled space (for inspection and tests);
// returns how many were written, at most 5.
int CubeFeaturePoints(std::int32_t x, std::int32_t y, std::int32_t z, double points[5][3]);

}  // namespace tamrel
