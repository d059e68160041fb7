// Throughput of the pattern kernels and of the whole scratch evaluation at the values a new map
// starts with. Each iteration evaluates a block of points spread over a large region, so the
// figures (items_per_second = samples per second) include the cost of cache-cold cells.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "pattern/CellularDistance.h"
#include "pattern/ScratchFast.h"
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

// The fast entry points per kernel variant, beside the plain ones. Args: variant, erosion, type.
ScratchParams FastParams(const benchmark::State& state) {
  ScratchParams params = NewMapParams(state.range(1) != 0);
  params.type = static_cast<std::int32_t>(state.range(2));
  return params;
}

bool UseVariant(benchmark::State& state) {
  const auto path = static_cast<ScratchPath>(state.range(0));
  if (SelectScratchPath(path)) return true;
  state.SkipWithError("variant not supported here");
  return false;
}

void BM_FastPlain(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  RunOverPoints(state, [&](const Point3& p) { return EvalScratchPlainFast(p, params); });
}
void BM_FastFiltered(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  const Point3 dx(kWidth, 0.0f, 0.0f), dy(0.0f, kWidth, 0.0f);
  RunOverPoints(state, [&](const Point3& p) { return EvalScratchFilteredFast(p, dx, dy, params); });
}
// The entries that also give the winning level (the plain variant runs EvalScratch*Level).
void BM_FastPlainLevel(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  RunOverPoints(state, [&](const Point3& p) {
    int level = 0;
    const float v = EvalScratchPlainFastLevel(p, params, level);
    return v + static_cast<float>(level);
  });
}
void BM_FastFilteredLevel(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  const Point3 dx(kWidth, 0.0f, 0.0f), dy(0.0f, kWidth, 0.0f);
  RunOverPoints(state, [&](const Point3& p) {
    int level = 0;
    const float v = EvalScratchFilteredFastLevel(p, dx, dy, params, level);
    return v + static_cast<float>(level);
  });
}
void BM_FastPlainBatch(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  const std::vector<Point3>& points = Points();
  std::vector<float> out(points.size());
  for (auto _ : state) {
    // Rows of 256 samples, as the renderer hands them over.
    for (std::size_t i = 0; i < points.size(); i += 256) {
      EvalScratchPlainBatch(points.data() + i, 256, params, out.data() + i);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points.size()));
}
void BM_FastFilteredBatch(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  const std::vector<Point3>& points = Points();
  const std::vector<Point3> dx(points.size(), Point3(kWidth, 0.0f, 0.0f));
  const std::vector<Point3> dy(points.size(), Point3(0.0f, kWidth, 0.0f));
  std::vector<float> out(points.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < points.size(); i += 256) {
      EvalScratchFilteredBatch(points.data() + i, dx.data() + i, dy.data() + i, 256, params,
                               out.data() + i);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points.size()));
}

// Rows as a bake hands them over: 16 rows of 256 samples a pixel apart (a 1024-pixel map over a
// unit square at the map's size of 10), each row starting somewhere else in a large region.
const std::vector<Point3>& RowPoints() {
  static const std::vector<Point3> points = [] {
    std::vector<Point3> v;
    const std::vector<Point3>& starts = Points();
    const float pixel = 1.0f / 1024.0f / 10.0f;
    for (int row = 0; row < 16; ++row) {
      for (int i = 0; i < 256; ++i) {
        v.emplace_back(starts[row].x + pixel * static_cast<float>(i), starts[row].y, starts[row].z);
      }
    }
    return v;
  }();
  return points;
}

void BM_RowPlainBatch(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  const std::vector<Point3>& points = RowPoints();
  std::vector<float> out(points.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < points.size(); i += 256) {
      EvalScratchPlainBatch(points.data() + i, 256, params, out.data() + i);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points.size()));
}
void BM_RowFilteredBatch(benchmark::State& state) {
  if (!UseVariant(state)) return;
  const ScratchParams params = FastParams(state);
  const std::vector<Point3>& points = RowPoints();
  const float pixel = 1.0f / 1024.0f / 10.0f;
  const std::vector<Point3> dx(points.size(), Point3(pixel, 0.0f, 0.0f));
  const std::vector<Point3> dy(points.size(), Point3(0.0f, pixel, 0.0f));
  std::vector<float> out(points.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < points.size(); i += 256) {
      EvalScratchFilteredBatch(points.data() + i, dx.data() + i, dy.data() + i, 256, params,
                               out.data() + i);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points.size()));
}

void FastArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"variant", "erosion", "type"});
  for (ScratchPath path :
       {ScratchPath::PLAIN, ScratchPath::SCALAR, ScratchPath::AVX2, ScratchPath::AVX512}) {
    for (int erosion : {0, 1}) {
      for (int type : {SCRATCH_3D, SCRATCH_2D}) {
        b->Args({static_cast<int>(path), erosion, type});
      }
    }
  }
}

// Collects every run's throughput and, at the end, prints each variant's ratio to the plain one.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto it = run.counters.find("items_per_second");
      if (it != run.counters.end() && !run.error_occurred)
        rates_[run.benchmark_name()] = it->second;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nfast / plain, same run (Msamples/s per core):\n");
    for (const auto& [name, rate] : rates_) {
      const std::size_t at = name.find("variant:");
      if ((name.rfind("BM_Fast", 0) != 0 && name.rfind("BM_Row", 0) != 0) ||
          at == std::string::npos) {
        continue;
      }
      const std::string variantArg = name.substr(at, name.find('/', at) - at);
      if (variantArg == "variant:0") continue;
      std::string plainName = name;
      plainName.replace(at, variantArg.size(), "variant:0");
      // The batch is compared with the plain per-sample evaluation it replaces (over the same
      // points: the rows with the plain variant of the row batch, a loop over the plain code).
      const std::size_t batch = plainName.find("Batch");
      if (batch != std::string::npos && name.rfind("BM_Row", 0) != 0) plainName.erase(batch, 5);
      const auto plain = rates_.find(plainName);
      if (plain == rates_.end() || plain->second <= 0.0) continue;
      std::printf("  %-52s %7.2f vs %6.3f  x%5.1f\n", name.c_str(), rate / 1e6, plain->second / 1e6,
                  rate / plain->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

// --interleaved: fast/plain ratios that hold on a machine whose speed drifts. Each round times
// a pass of the plain code and a pass of the fast entry over the same samples back to back, and
// the ratio is that of the fastest passes of several rounds. Each record runs with the new map's
// ramp (0 to 1), where most samples finish at 1 and the fast search stops early, and with a ramp
// to 3, where few do: the figures of the search itself.
using Pass = std::function<void(const ScratchParams&)>;

struct Entry {
  const char* name;
  Pass plain, fast;
};

std::vector<Entry> Entries() {
  static std::vector<float> out(kPoints * 4);
  const Point3 dx(kWidth, 0.0f, 0.0f), dy(0.0f, kWidth, 0.0f);
  auto perSample = [](const std::vector<Point3>& points, auto eval) {
    return [&points, eval](const ScratchParams& params) {
      float* o = out.data();
      for (const Point3& p : points) *o++ = eval(p, params);
      benchmark::DoNotOptimize(out.data());
    };
  };
  auto plain = [](const Point3& p, const ScratchParams& params) {
    return EvalScratchPlain(p, params);
  };
  auto filtered = [dx, dy](const Point3& p, const ScratchParams& params) {
    return EvalScratchFiltered(p, dx, dy, params);
  };
  const float pixel = 1.0f / 1024.0f / 10.0f;
  const Point3 rx(pixel, 0.0f, 0.0f), ry(0.0f, pixel, 0.0f);
  auto rowFiltered = [rx, ry](const Point3& p, const ScratchParams& params) {
    return EvalScratchFiltered(p, rx, ry, params);
  };
  auto batch = [](const std::vector<Point3>& points, bool filter, Point3 ddx, Point3 ddy) {
    // The derivatives are laid out once, outside the timed passes.
    return [&points, filter, dxs = std::vector<Point3>(points.size(), ddx),
            dys = std::vector<Point3>(points.size(), ddy)](const ScratchParams& params) {
      for (std::size_t i = 0; i < points.size(); i += 256) {
        const int n = static_cast<int>(std::min<std::size_t>(256, points.size() - i));
        if (filter) {
          EvalScratchFilteredBatch(points.data() + i, dxs.data() + i, dys.data() + i, n, params,
                                   out.data() + i);
        } else {
          EvalScratchPlainBatch(points.data() + i, n, params, out.data() + i);
        }
      }
      benchmark::DoNotOptimize(out.data());
    };
  };
  const std::vector<Point3>& random = Points();
  const std::vector<Point3>& rows = RowPoints();
  return {
      {"plain per sample", perSample(random, plain),
       perSample(random,
                 [](const Point3& p, const ScratchParams& params) {
                   return EvalScratchPlainFast(p, params);
                 })},
      {"filtered per sample", perSample(random, filtered),
       perSample(random,
                 [dx, dy](const Point3& p, const ScratchParams& params) {
                   return EvalScratchFilteredFast(p, dx, dy, params);
                 })},
      {"plain batch, random points", perSample(random, plain), batch(random, false, dx, dy)},
      {"filtered batch, random points", perSample(random, filtered), batch(random, true, dx, dy)},
      {"plain batch, rows", perSample(rows, plain), batch(rows, false, rx, ry)},
      {"filtered batch, rows", perSample(rows, rowFiltered), batch(rows, true, rx, ry)},
  };
}

void PrintInterleavedRatios(int rounds) {
  using Clock = std::chrono::steady_clock;
  const ScratchPath paths[] = {ScratchPath::SCALAR, ScratchPath::AVX2, ScratchPath::AVX512};
  std::printf("fast / plain, passes interleaved, fastest of %d rounds\n", rounds);
  std::printf("%-30s %-19s", "entry", "record");
  for (ScratchPath path : paths) std::printf(" %8s", ScratchPathName(path));
  std::printf("  %s\n", "ns/sample (widest)");
  // The records: the new map's and its ramp to 3, each type with the erosion off and on.
  std::vector<std::pair<std::string, ScratchParams>> records;
  for (const float high : {1.0f, 3.0f}) {
    for (int type : {SCRATCH_3D, SCRATCH_2D}) {
      for (int erosion : {0, 1}) {
        ScratchParams params = NewMapParams(erosion != 0);
        params.type = type;
        params.thresholdHigh = high;
        char label[32];
        std::snprintf(label, sizeof label, "%s %-7s %s", type == SCRATCH_3D ? "3D" : "2D",
                      erosion ? "eroded" : "", high == 1.0f ? "" : "ramp 0-3");
        records.emplace_back(label, params);
      }
    }
  }
  for (const Entry& entry : Entries()) {
    for (const auto& [label, params] : records) {
      std::printf("%-30s %-19s", entry.name, label.c_str());
      double widestNs = 0.0;
      for (ScratchPath path : paths) {
        if (!SelectScratchPath(path)) {
          std::printf(" %8s", "-");
          continue;
        }
        double plain = 1e300, fast = 1e300;
        for (int r = 0; r < rounds; ++r) {
          const auto t0 = Clock::now();
          entry.plain(params);
          const auto t1 = Clock::now();
          entry.fast(params);
          const auto t2 = Clock::now();
          plain = std::min(plain, std::chrono::duration<double>(t1 - t0).count());
          fast = std::min(fast, std::chrono::duration<double>(t2 - t1).count());
        }
        std::printf(" %7.1fx", plain / fast);
        widestNs = fast * 1e9 / static_cast<double>(kPoints);
      }
      std::printf("  %6.0f\n", widestNs);
      std::fflush(stdout);
    }
  }
}

}  // namespace

BENCHMARK(BM_FastPlain)->Apply(FastArgs);
BENCHMARK(BM_FastFiltered)->Apply(FastArgs);
BENCHMARK(BM_FastPlainLevel)->Apply(FastArgs);
BENCHMARK(BM_FastFilteredLevel)->Apply(FastArgs);
BENCHMARK(BM_FastPlainBatch)->Apply(FastArgs);
BENCHMARK(BM_FastFilteredBatch)->Apply(FastArgs);
BENCHMARK(BM_RowPlainBatch)->Apply(FastArgs);
BENCHMARK(BM_RowFilteredBatch)->Apply(FastArgs);
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

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--interleaved") {
      PrintInterleavedRatios(9);
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
