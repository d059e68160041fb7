// Bake throughput: a 2048x2048 plane of the new map, loaded through the plug-in's exports as tamrel
// does, with one and two threads. Items are shading samples, so items_per_second reads directly
// as samples per second.
#include <benchmark/benchmark.h>

#include "host/Bake.h"
#include "host/PluginLibrary.h"
#include "scenefile.h"

namespace {

using namespace tamrel::host;

void BM_BakePlane2048(benchmark::State& state) {
  PluginLibrary library;
  if (!library.Open(TAMREL_PLUGIN_PATH)) {
    state.SkipWithError(library.error().c_str());
    return;
  }
  Scene scene;
  auto* map = static_cast<Texmap*>(library.GetClassDesc(0)->Create(FALSE));
  scene.AddRoot(map);
  BakeSettings settings;
  settings.view.width = settings.view.height = 2048;
  settings.render.threads = static_cast<int>(state.range(0));
  Raster raster;
  for (auto _ : state) {
    BakeFrame(*map, 0, settings, raster);
    benchmark::DoNotOptimize(raster.pixels.data());
  }
  state.SetItemsProcessed(state.iterations() * 2048 * 2048);
}
BENCHMARK(BM_BakePlane2048)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
