// Bake throughput: a 1024x1024 plane of the new map at one sample a pixel, loaded through the
// plug-in's exports as tamrel does, with one and two threads; and a whole set of five maps from
// the same evaluation, whose cost beside the colour alone shows what the extra maps add. Bands
// are handed to a sink that keeps nothing, as a streaming bake does. Items are shading samples,
// so items_per_second reads directly as samples per second.
//
// BM_KernelAlone1024 evaluates the same samples with the pattern kernel alone, in the chunks the
// map hands it: the one-thread bake's rate over it is the share of the kernel's speed a bake
// keeps. BM_Command runs tamrel itself as a user does, start-up, shading, encoding and the files
// included: the figures the README quotes come from it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Bake.h"
#include "engine/PluginLibrary.h"
#include "iparamb2.h"
#include "pattern/ScratchFast.h"
#include "scenefile.h"

extern char** environ;

namespace {

using namespace tamrel::host;

// A new map of the plug-in, loaded through its exports as tamrel loads it, in scene; null (the
// benchmark skipped with the reason) when the library does not load.
Texmap* NewMap(benchmark::State& state, PluginLibrary& library, Scene& scene) {
  if (!library.Open(TAMREL_PLUGIN_PATH)) {
    state.SkipWithError(library.error().c_str());
    return nullptr;
  }
  auto* map = static_cast<Texmap*>(library.GetClassDesc(0)->Create(FALSE));
  scene.AddRoot(map);
  return map;
}

// Bakes to a sink that keeps nothing, as a streaming bake hands its bands on; gives a value of
// the bands, for the benchmark to keep.
float BakeToNothing(Texmap& map, const BakeSettings& settings) {
  float checksum = 0.0f;
  BakeFrame(map, 0, settings, [&](int, int, const std::vector<Raster>& bands) {
    checksum += bands[0].pixels[0];
    return std::string();
  });
  return checksum;
}

void Bake(benchmark::State& state, std::vector<MapKind> maps) {
  PluginLibrary library;
  Scene scene;
  Texmap* map = NewMap(state, library, scene);
  if (!map) return;
  BakeSettings settings;
  settings.view.width = settings.view.height = 1024;
  settings.samples = 1;
  settings.maps = std::move(maps);
  settings.render.threads = static_cast<int>(state.range(0));
  float checksum = 0.0f;
  for (auto _ : state) {
    checksum += BakeToNothing(*map, settings);
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

// The editor's 1024x1024 preview at four samples on two threads: the final frame alone (0); the
// frames a progressive preview streams before it too, 64x64 at four samples and a draft of
// 512x512 at one (1); and the draft alone (2).
void BM_PreviewFrames1024(benchmark::State& state) {
  PluginLibrary library;
  Scene scene;
  Texmap* map = NewMap(state, library, scene);
  if (!map) return;
  std::vector<std::pair<int, int>> frames{{1024, 4}};  // size, samples
  if (state.range(0) == 1) frames = {{64, 4}, {512, 1}, {1024, 4}};
  if (state.range(0) == 2) frames = {{512, 1}};
  std::int64_t samples = 0;
  for (const auto& [size, n] : frames) samples += std::int64_t{size} * size * n;
  float checksum = 0.0f;
  for (auto _ : state) {
    for (const auto& [size, n] : frames) {
      BakeSettings settings;
      settings.view.width = settings.view.height = size;
      settings.samples = n;
      settings.render.threads = 2;
      checksum += BakeToNothing(*map, settings);
    }
    benchmark::DoNotOptimize(checksum);
  }
  state.SetItemsProcessed(state.iterations() * samples);
}
BENCHMARK(BM_PreviewFrames1024)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The ordinary bake (0) against the tileable one (1), 1024x1024 on one thread, the new map with
// erosion on. The tile's lattices are built in the first iteration and then reused, as for the
// frames of one bake; BM_TileLattices in pattern_bench times the building.
void BM_BakeTileable1024(benchmark::State& state) {
  PluginLibrary library;
  Scene scene;
  Texmap* map = NewMap(state, library, scene);
  if (!map) return;
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

// The samples of the one-sample 1024x1024 colour bake of the new map (size 10, 40 scene units
// across), through the filtered kernel in chunks of 64, one row at a time.
void BM_KernelAlone1024(benchmark::State& state) {
  constexpr int kSize = 1024;
  constexpr float kExtent = 40.0f, kMapSize = 10.0f;
  const tamrel::ScratchParams params{0.0f, 1.0f, 10.0f, 0, 0.5f, 0.5f, 1.0f, 0.8f,
                                     tamrel::SCRATCH_3D, 6};
  const float pixel = kExtent / kSize / kMapSize;
  std::vector<Point3> p(kSize), dx(kSize, Point3(pixel, 0.0f, 0.0f)),
      dy(kSize, Point3(0.0f, -pixel, 0.0f));
  std::vector<float> out(kSize);
  for (auto _ : state) {
    for (int y = 0; y < kSize; ++y) {
      const float v = 1.0f - (static_cast<float>(y) + 0.5f) / kSize;
      for (int x = 0; x < kSize; ++x) {
        const float u = (static_cast<float>(x) + 0.5f) / kSize;
        p[x] = Point3((u - 0.5f) * kExtent, (v - 0.5f) * kExtent, 0.0f) / kMapSize;
      }
      for (int x = 0; x < kSize; x += 64) {
        tamrel::EvalScratchFilteredBatch(&p[x], &dx[x], &dy[x], 64, params, &out[x]);
      }
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
// On two threads, each evaluating the whole set: what the machine's two cores give the kernel
// alone, the ceiling of a two-thread bake's scaling.
BENCHMARK(BM_KernelAlone1024)->Threads(1)->Threads(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// tamrel run as a command, its output files in a folder of their own; each iteration is one run
// from start to exit.
struct Command {
  const char* name;
  std::vector<std::string> args;
};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"version", {"--version"}},
      {"params", {"params"}},
      {"bake 256 colour", {"render", "-q", "--size", "256", "-o", "c256.png"}},
      {"bake 4096 colour 1 sample", {"render", "-q", "--size", "4096", "--samples", "1", "-o",
                                     "c4096.png"}},
      {"bake 4096 five maps 1 sample",
       {"render", "-q", "--size", "4096", "--samples", "1", "--maps",
        "color,height,normal,roughness,anisotropy", "-o", "s4096_{map}.png"}},
      {"bake 4096 colour 4 samples", {"render", "-q", "--size", "4096", "-o", "c4096x4.png"}},
      {"bake 4096 height exr 1 sample", {"render", "-q", "--size", "4096", "--samples", "1",
                                         "--output", "height", "-o", "h4096.exr"}},
  };
  return commands;
}

void BM_Command(benchmark::State& state) {
  const Command& command = Commands()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(command.name);
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("tamrel_bench_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  std::vector<std::string> args{TAMREL_BINARY};
  for (const std::string& a : command.args) {
    args.push_back(a.find('.') != std::string::npos && a[0] != '-' ? (folder / a).string() : a);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the command failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&quiet);
  std::error_code ec;
  fs::remove_all(folder, ec);
}
// Commands that take milliseconds run ten times, the large bakes twice.
BENCHMARK(BM_Command)->DenseRange(0, 2)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Command)->DenseRange(3, 6)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
