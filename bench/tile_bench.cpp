// Building a tile's lattices: the search that runs once per tileable bake, for the new map's six
// 3D levels and for eight 2D levels, at tiles one, four and sixteen scratch units across.
#include <benchmark/benchmark.h>

#include "pattern/TileableField.h"

namespace {

using namespace tamrel;

void BM_TileLattices(benchmark::State& state) {
  const double side = static_cast<double>(state.range(1));
  ScratchParams params{0.0f, 1.0f, 10.0f, 1, 0.5f, 0.5f, 1.0f, 0.8f, SCRATCH_3D, 6};
  if (state.range(0) == 2) {
    params.type = SCRATCH_2D;
    params.levels = 8;
  }
  TileFrame frame;
  frame.edgeU = {side, 0.0, 0.0};
  frame.edgeV = {0.0, -side, 0.0};
  for (auto _ : state) {
    TileablePattern pattern(frame, params);
    benchmark::DoNotOptimize(pattern.Nudge());
  }
}
BENCHMARK(BM_TileLattices)
    ->ArgNames({"dims", "side"})
    ->ArgsProduct({{3, 2}, {1, 4, 16}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
