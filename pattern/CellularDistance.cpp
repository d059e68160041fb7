// The cellular basis. Seeds are unsigned 32-bit with wrap-around; everything else is double.
#include "pattern/CellularDistance.h"

#include <cmath>

#include "pattern/CellIndex.h"
#include "pattern/CellularSearch.h"
#include "pattern/ScratchFormulas.h"

namespace tamrel {

using namespace cellular;

void AddCubeFeatures(std::int32_t x, std::int32_t y, std::int32_t z, const double q[3], int n,
                     double* distances) {
  const double cx = static_cast<double>(x), cy = static_cast<double>(y),
               cz = static_cast<double>(z);
  ForEachFeature(CubeSeed(x, y, z), [&](double fx, double fy, double fz) {
    const double dx = cx + fx - q[0];
    const double dy = cy + fy - q[1];
    const double dz = cz + fz - q[2];
    const double d = std::sqrt(formula::SquaredDistance(dx, dy, dz));
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

  ForEachAdmittedNeighbour(q, c, distances[n - 1], [&](const Step& s) {
    AddCubeFeatures(WrapAdd(c[0], s.x), WrapAdd(c[1], s.y), WrapAdd(c[2], s.z), q, n, distances);
  });

  for (int i = 0; i < n; ++i) distances[i] = formula::FeatureValue(std::sqrt(distances[i]));
}

int CubeFeaturePoints(std::int32_t x, std::int32_t y, std::int32_t z, double points[5][3]) {
  int count = 0;
  ForEachFeature(CubeSeed(x, y, z), [&](double fx, double fy, double fz) {
    points[count][0] = static_cast<double>(x) + fx;
    points[count][1] = static_cast<double>(y) + fy;
    points[count][2] = static_cast<double>(z) + fz;
    ++count;
  });
  return count;
}

}  // namespace tamrel
