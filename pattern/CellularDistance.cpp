// The cellular basis. Seeds are unsigned 32-bit with wrap-around; everything else is double.
#include "pattern/CellularDistance.h"

#include <cmath>

#include "pattern/CellIndex.h"
#include "pattern/PatternTables.h"

namespace tamrel {
namespace {

constexpr double kDensity = 0.39815;  // mean nearest distance ~1 in the caller's units
constexpr double kInverseDensity = 2.5116162250408136;
constexpr double kNothingFound = 999999.9;

constexpr std::uint32_t kHashX = 702395077u;
constexpr std::uint32_t kHashY = 915488749u;
constexpr std::uint32_t kHashZ = 2120969693u;

inline std::uint32_t Next(std::uint32_t s) { return 1402024253u * s + 586950981u; }

inline std::uint32_t CubeSeed(std::int32_t x, std::int32_t y, std::int32_t z) {
  return kHashX * static_cast<std::uint32_t>(x) + kHashY * static_cast<std::uint32_t>(y) +
         kHashZ * static_cast<std::uint32_t>(z);
}

// Maps a 32-bit seed to the open interval (0, 1).
inline double UnitOffset(std::uint32_t s) { return (static_cast<double>(s) + 0.5) * 0x1p-32; }

// Walks the feature points of one cube in generation order.
template <class Visit>
inline void ForEachFeature(std::int32_t x, std::int32_t y, std::int32_t z, Visit visit) {
  std::uint32_t seed = CubeSeed(x, y, z);
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
constexpr Step kNeighbours[26] = {
    {-1, 0, 0},  {0, -1, 0},  {0, 0, -1},  {1, 0, 0},   {0, 1, 0},   {0, 0, 1},   {-1, -1, 0},
    {-1, 0, -1}, {0, -1, -1}, {1, 1, 0},   {1, 0, 1},   {0, 1, 1},   {-1, 1, 0},  {-1, 0, 1},
    {0, -1, 1},  {1, -1, 0},  {1, 0, -1},  {0, 1, -1},  {-1, -1, -1}, {-1, -1, 1}, {-1, 1, -1},
    {-1, 1, 1},  {1, -1, -1}, {1, -1, 1},  {1, 1, -1},  {1, 1, 1}};

// Squared gap to the face crossed by a step of s along one axis (0 for no step).
inline double Gap(int s, double lower, double upper) {
  return s < 0 ? lower : (s > 0 ? upper : 0.0);
}

}  // namespace

void AddCubeFeatures(std::int32_t x, std::int32_t y, std::int32_t z, const double q[3], int n,
                     double* distances) {
  const double cx = static_cast<double>(x), cy = static_cast<double>(y),
               cz = static_cast<double>(z);
  ForEachFeature(x, y, z, [&](double fx, double fy, double fz) {
    const double dx = cx + fx - q[0];
    const double dy = cy + fy - q[1];
    const double dz = cz + fz - q[2];
    const double d = std::sqrt(dy * dy + dx * dx + dz * dz);
    if (!(d < distances[n - 1])) return;
    // Insert after any equal entry, dropping the former last one.
    int p = n;
    while (p > 0 && d < distances[p - 1]) --p;
    for (int k = n - 1; k > p; --k) distances[k] = distances[k - 1];
    distances[p] = d;
  });
}

void CellularDistances(const double point[3], int n, double* distances) {
  for (int i = 0; i < n; ++i) distances[i] = kNothingFound;

  const double q[3] = {kDensity * point[0], kDensity * point[1], kDensity * point[2]};
  const std::int32_t c[3] = {CellIndex(q[0]), CellIndex(q[1]), CellIndex(q[2])};
  AddCubeFeatures(c[0], c[1], c[2], q, n, distances);

  double lower[3], upper[3];
  for (int a = 0; a < 3; ++a) {
    const double g = q[a] - static_cast<double>(c[a]);
    lower[a] = g * g;
    upper[a] = (1.0 - g) * (1.0 - g);
  }

  for (const Step& s : kNeighbours) {
    const double bound =
        Gap(s.x, lower[0], upper[0]) + Gap(s.y, lower[1], upper[1]) + Gap(s.z, lower[2], upper[2]);
    if (bound < distances[n - 1]) {
      AddCubeFeatures(WrapAdd(c[0], s.x), WrapAdd(c[1], s.y), WrapAdd(c[2], s.z), q, n, distances);
    }
  }

  for (int i = 0; i < n; ++i) distances[i] = std::sqrt(distances[i]) * kInverseDensity;
}

int CubeFeaturePoints(std::int32_t x, std::int32_t y, std::int32_t z, double points[5][3]) {
  int count = 0;
  ForEachFeature(x, y, z, [&](double fx, double fy, double fz) {
    points[count][0] = static_cast<double>(x) + fx;
    points[count][1] = static_cast<double>(y) + fy;
    points[count][2] = static_cast<double>(z) + fz;
    ++count;
  });
  return count;
}

}  // namespace tamrel
