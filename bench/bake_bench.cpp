// Bake throughput: a 1024x1024 plane of the new map at one sample a pixel, loaded through the
// plug-in's exports as tamrel does, with one and two threads; and a whole set of five maps from
// the same evaluation, whose cost beside the colour alone shows what the extra maps add. Bands
// are handed to a sink that keeps nothing, as a streaming bake does. Items are shading samples,
// so items_per_second reads directly as samples per second.
#include <benchmark/benchmark.h>

#include "engine/Bake.h"
#include "engine/PluginLibrary.h"
#include "iparamb2.h"
#include "scenefile.h"

namespace {

using namespace tamrel::host;

void Bake(benchmark::State& state, std::vector<MapKind> maps) {
  PluginLibrary library;
  if (!library.Open(TAMREL_PLUGIN_PATH)) {
    state.SkipWithError(library.error().c_str());
    return;
  }
  Scene scene;
  auto* map = static_cast<Texmap*>(library.GetClassDesc(0)->Create(FALSE));
  scene.AddRoot(map);
  BakeSettings settings;
  settings.view.width = settings.view.height = 1024;
  settings.samples = 1;
  settings.maps = std::move(maps);
  settings.render.threads = static_cast<int>(state.range(0));
  float checksum = 0.0f;
  for (auto _ : state) {
    BakeFrame(*map, 0, settings, [&](int, int, const std::vector<Raster>& bands) {
      checksum += bands[0].pixels[0];
      return std::string();
    });
    benchmark::DoNotOptimize(checksum);
  }
  state.SetItemsProcessed(state.iterations() * 1024 * 1024);
}

void BM_BakeColour1024(benchmark::State& state) { Bake(state, {MapKind::COLOR}); }
void BM_BakeSetOfFive1024(benchmark::State& state) {
  Bake(state, {MapKind::COLOR, MapKind::HEIGHT, MapKind::NORMAL_GL, MapKind::ROUGHNESS,
               MapKind::ANISOTROPY});
}
BENCHMARK(BM_BakeColour1024)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BakeSetOfFive1024)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The ordinary bake (0) against the tileable one (1), 1024x1024 on one thread, the new map with
// erosion on. The tile's lattices are built in the first iteration and then reused, as for the
// frames of one bake; BM_TileLattices in pattern_bench times the building.
void BM_BakeTileable1024(benchmark::State& state) {
  PluginLibrary library;
  if (!library.Open(TAMREL_PLUGIN_PATH)) {
    state.SkipWithError(library.error().c_str());
    return;
  }
  Scene scene;
  auto* map = static_cast<Texmap*>(library.GetClassDesc(0)->Create(FALSE));
  scene.AddRoot(map);
  IParamBlock2* block = map->GetParamBlock(1);
  const ParamBlockDesc2* desc = block->GetDesc();
  block->SetValue(desc->IndextoID(desc->NameToIndex(L"useErosion")), 0, 1);
  BakeSettings settings;
  settings.view.width = settings.view.height = 1024;
  settings.samples = 1;
  settings.render.threads = 1;
  settings.tileable = state.range(0) != 0;
  std::vector<Raster> rasters;
  for (auto _ : state) {
    BakeFrame(*map, 0, settings, rasters);
    benchmark::DoNotOptimize(rasters[0].pixels.data());
  }
  state.SetItemsProcessed(state.iterations() * 1024 * 1024);
}
BENCHMARK(BM_BakeTileable1024)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
