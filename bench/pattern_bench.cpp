// Throughput of the pattern kernels and of the whole scratch evaluation at the values a new map
// starts with. Each iteration evaluates a block of points spread over a large region, so the
// figures (items_per_second = samples per second) include the cost of cache-cold cells.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "pattern/CellularDistance.h"
#include "pattern/ScratchPattern.h"
#include "pattern/ScratchStrand.h"
#include "pattern/SimplexNoise.h"

namespace {

using namespace tamrel;

constexpr int kPoints = 4096;

const std::vector<Point3>& Points() {
  static const std::vector<Point3> points = [] {
    std::vector<Point3> v;
    std::uint32_t s = 2463534242u;
    auto next = [&] {
      s ^= s << 13, s ^= s >> 17, s ^= s << 5;
      return (static_cast<float>(s >> 8) / 16777216.0f * 2.0f - 1.0f) * 1000.0f;
    };
    for (int i = 0; i < kPoints; ++i) {
      const float x = next(), y = next(), z = next();
      v.emplace_back(x, y, z);
    }
    return v;
  }();
  return points;
}

// The map's new values; the point is already divided by the size (10), so sizeDiv20 is 0.5.
ScratchParams NewMapParams(bool erosion) {
  return ScratchParams{0.0f, 1.0f, 10.0f, erosion ? 1 : 0, 0.5f, 0.5f, 1.0f, 0.8f, SCRATCH_3D, 6};
}

template <class Kernel>
void RunOverPoints(benchmark::State& state, Kernel kernel) {
  const std::vector<Point3>& points = Points();
  for (auto _ : state) {
    for (const Point3& p : points) benchmark::DoNotOptimize(kernel(p));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points.size()));
}

void BM_Simplex2D(benchmark::State& state) {
  RunOverPoints(state, [](const Point3& p) { return Simplex2D(p.x, p.y); });
}
void BM_Simplex3D(benchmark::State& state) {
  RunOverPoints(state, [](const Point3& p) { return Simplex3D(p.x, p.y, p.z); });
}
void BM_CellularDistances(benchmark::State& state) {
  RunOverPoints(state, [](const Point3& p) {
    const double q[3] = {p.x, p.y, p.z};
    double f1;
    CellularDistances(q, 1, &f1);
    return f1;
  });
}
void BM_CellularValue(benchmark::State& state) {
  RunOverPoints(state, [](const Point3& p) { return CellularValue(p, 0.8f); });
}

const ScratchParams kErosionParams = NewMapParams(true);
constexpr float kWidth = 0.002f;

void BM_RidgedErosion2D(benchmark::State& state) {
  RunOverPoints(state, [](const Point3& p) { return RidgedErosion2D(p, kErosionParams); });
}
void BM_RidgedErosion2DFiltered(benchmark::State& state) {
  RunOverPoints(state,
                [](const Point3& p) { return RidgedErosion2DFiltered(p, kWidth, kErosionParams); });
}
void BM_RidgedErosion3D(benchmark::State& state) {
  RunOverPoints(state, [](const Point3& p) { return RidgedErosion3D(p, kErosionParams); });
}
void BM_RidgedErosion3DFiltered(benchmark::State& state) {
  RunOverPoints(state,
                [](const Point3& p) { return RidgedErosion3DFiltered(p, kWidth, kErosionParams); });
}

// Arg 0: erosion off, 1: erosion on (0.5).
void BM_EvalScratchPlain(benchmark::State& state) {
  const ScratchParams params = NewMapParams(state.range(0) != 0);
  RunOverPoints(state, [&](const Point3& p) { return EvalScratchPlain(p, params); });
}
void BM_EvalScratchFiltered(benchmark::State& state) {
  const ScratchParams params = NewMapParams(state.range(0) != 0);
  const Point3 dx(kWidth, 0.0f, 0.0f), dy(0.0f, kWidth, 0.0f);
  RunOverPoints(state, [&](const Point3& p) { return EvalScratchFiltered(p, dx, dy, params); });
}

}  // namespace

BENCHMARK(BM_Simplex2D);
BENCHMARK(BM_Simplex3D);
BENCHMARK(BM_CellularDistances);
BENCHMARK(BM_CellularValue);
BENCHMARK(BM_RidgedErosion2D);
BENCHMARK(BM_RidgedErosion2DFiltered);
BENCHMARK(BM_RidgedErosion3D);
BENCHMARK(BM_RidgedErosion3DFiltered);
BENCHMARK(BM_EvalScratchPlain)->ArgName("erosion")->Arg(0)->Arg(1);
BENCHMARK(BM_EvalScratchFiltered)->ArgName("erosion")->Arg(0)->Arg(1);

BENCHMARK_MAIN();
