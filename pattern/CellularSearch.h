// The pieces of the cellular search that every variant of the scatter shares: the density
// constants, the cube hash, the generation of a cube's feature points from its seed, and the walk
// over the 26 neighbouring cubes with its bound test. Callers decide where a cube's seed comes from
// and what they keep of its features.
#pragma once

#include <cstdint>

#include "pattern/PatternTables.h"

namespace tamrel::cellular {

inline constexpr double kDensity = 0.39815;  // mean nearest distance ~1 in the caller's units
inline constexpr double kInverseDensity = 2.5116162250408136;
inline constexpr double kNothingFound = 999999.9;

inline constexpr std::uint32_t kHashX = 702395077u;
inline constexpr std::uint32_t kHashY = 915488749u;
inline constexpr std::uint32_t kHashZ = 2120969693u;

// The seed of the cube at (x, y, z); the arithmetic wraps modulo 2^32.
inline std::uint32_t CubeSeed(std::int32_t x, std::int32_t y, std::int32_t z) {
  return kHashX * static_cast<std::uint32_t>(x) + kHashY * static_cast<std::uint32_t>(y) +
         kHashZ * static_cast<std::uint32_t>(z);
}

inline std::uint32_t Next(std::uint32_t s) {
  return 1402024253u * s + 586950981u;
}

// Maps a 32-bit seed to the open interval (0, 1).
inline double UnitOffset(std::uint32_t s) {
  return (static_cast<double>(s) + 0.5) * 0x1p-32;
}

// Walks the feature points of the cube with this seed in generation order, handing visit their
// offsets within the cube.
template <class Visit>
inline void ForEachFeature(std::uint32_t seed, Visit visit) {
  const int count = kFeatureCount[seed >> 24];
  seed = Next(seed);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t s1 = Next(seed);
    const std::uint32_t s2 = Next(s1);
    const std::uint32_t s3 = Next(s2);
    seed = Next(s3);
    visit(UnitOffset(s1), UnitOffset(s2), UnitOffset(s3));
  }
}

// A neighbour cube: its step per axis.
struct Step {
  std::int8_t x, y, z;
};

// Faces, then edges, then corners, in the fixed visiting order.
inline constexpr Step kNeighbours[26] = {
    {-1, 0, 0},  {0, -1, 0},  {0, 0, -1}, {1, 0, 0},  {0, 1, 0},    {0, 0, 1},   {-1, -1, 0},
    {-1, 0, -1}, {0, -1, -1}, {1, 1, 0},  {1, 0, 1},  {0, 1, 1},    {-1, 1, 0},  {-1, 0, 1},
    {0, -1, 1},  {1, -1, 0},  {1, 0, -1}, {0, 1, -1}, {-1, -1, -1}, {-1, -1, 1}, {-1, 1, -1},
    {-1, 1, 1},  {1, -1, -1}, {1, -1, 1}, {1, 1, -1}, {1, 1, 1}};

// Visits, in the fixed order, the neighbours of cube c (which holds the scaled point q) whose
// squared face gap is below worst, the caller's current largest kept distance (read afresh before
// each test, as the visits lower it). The gap is squared and the distance is not: that admits more
// cubes than a Euclidean bound would and is part of the pattern.
template <class Cell, class AddNeighbour>
inline void ForEachAdmittedNeighbour(const double q[3], const Cell c[3], const double& worst,
                                     AddNeighbour add) {
  double lower[3], upper[3];
  for (int a = 0; a < 3; ++a) {
    const double g = q[a] - static_cast<double>(c[a]);
    lower[a] = g * g;
    upper[a] = (1.0 - g) * (1.0 - g);
  }
  const auto gap = [](int s, double lo, double up) { return s < 0 ? lo : (s > 0 ? up : 0.0); };
  for (const Step& s : kNeighbours) {
    const double bound =
        gap(s.x, lower[0], upper[0]) + gap(s.y, lower[1], upper[1]) + gap(s.z, lower[2], upper[2]);
    if (bound < worst) add(s);
  }
}

}  // namespace tamrel::cellular
