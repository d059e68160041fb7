// tamrel render: bakes the map to a set of image files. Everything the user typed is checked
// before anything is loaded, rendered or written; the maps are rendered band by band into
// temporary files beside their targets, and renamed into place together once every map of the
// frame is complete, so a failed or interrupted run leaves no partial file.
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <span>
#include <sstream>

#include "atomicfile.h"
#include "boundedread.h"
#include "engine/Bake.h"
#include "cli/CliParse.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "engine/EchoText.h"
#include "engine/ImageFile.h"
#include "engine/Interrupt.h"
#include "engine/MapWork.h"
#include "engine/ParamSchema.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

PixelType RequestedType(const RenderArgs& a, const std::string& path) {
  PixelType t = PixelType::DEFAULT;
  if (!a.type.empty() && !ParsePixelType(a.type, t)) {
    Fail(EXIT_USAGE, "--type takes uint8, uint16, half or float, not " + Quote(a.type));
  }
  if (a.bits == 8) t = PixelType::UINT8;
  if (a.bits == 32) t = PixelType::FLOAT;
  if (a.bits == 16) {
    std::string ext = fs::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    t = ext == ".exr" ? PixelType::HALF : PixelType::UINT16;
  }
  return t;
}

Texmap* LoadSceneMap(const std::string& path, const Plugin& plugin, std::unique_ptr<Scene>& scene) {
  const ClassDirectory dir = MakeClassDirectory(plugin);
  std::string bytes, error;
  if (!ReadRegularFile(path, kSceneMaxFileBytes, bytes, error)) {
    Fail(EXIT_INPUT, "cannot read scene " + path + ": " + error);
  }
  scene = LoadSceneFromBytes(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), dir, error);
  if (!scene) Fail(EXIT_INPUT, "cannot load scene " + path + ": " + error);
  for (int i = 0; i < scene->NumRoots(); ++i) {
    ReferenceTarget* root = scene->GetRoot(i);
    if (root && root->SuperClassID() == TEXMAP_CLASS_ID &&
        root->ClassID() == plugin.cd->ClassID()) {
      auto* map = static_cast<Texmap*>(root);
      if (std::string why = CheckMapWork(*map); !why.empty()) {
        Fail(EXIT_INPUT, "scene " + path + ": " + why);
      }
      return map;
    }
  }
  Fail(EXIT_INPUT,
       "scene " + path + " holds no " + Narrow(plugin.cd->NonLocalizedClassName()) + " map");
}

class Progress {
 public:
  Progress(bool enabled, int frames) : enabled_(enabled), frames_(frames) {}
  void Report(int frameIndex, std::int64_t done, std::int64_t total) {
    if (!enabled_) return;
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    if (frames_ > 1) {
      std::fprintf(stderr, "\rtamrel: frame %d/%d %3d%%", frameIndex + 1, frames_, percent);
    } else {
      std::fprintf(stderr, "\rtamrel: rendering %3d%%", percent);
    }
    std::fflush(stderr);
    dirty_ = true;
  }
  void Finish() {
    if (dirty_) std::fputs("\r\033[K", stderr);
    dirty_ = false;
  }
  ~Progress() { Finish(); }

 private:
  bool enabled_;
  int frames_;
  bool dirty_ = false;
};

// One map of the set: what it is, the name it was asked by, its file and how it is written.
struct MapOutput {
  MapKind kind;
  std::string name;          // as asked ("normal" stays "normal" in file names)
  std::string pathTemplate;  // may still hold a frame pattern
  ImageFileOptions options;
  PixelType type = PixelType::DEFAULT;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The maps asked for, each with its file template, pixel type and tags.
std::vector<MapOutput> PlanOutputs(const RenderArgs& a, NormalConvention convention,
                                   std::string output) {
  std::vector<std::string> names;
  if (a.maps.empty()) {
    names.push_back(a.outputKind);
  } else {
    std::string bad;
    if (!ParseNameList(a.maps, names, bad)) {
      Fail(EXIT_USAGE, "--maps takes a comma-separated list of distinct maps (" +
                           std::string(MapNames()) + "); " + Quote(bad) + " is empty or repeated");
    }
  }
  std::vector<MapOutput> outputs;
  for (const std::string& name : names) {
    MapOutput m;
    if (!ParseMapName(name, convention, m.kind)) {
      Fail(EXIT_USAGE, std::string(a.maps.empty() ? "--output" : "--maps") + " takes " +
                           MapNames() + ", not " + Quote(name));
    }
    m.name = name;
    outputs.push_back(m);
  }
  if (outputs.size() > 1 && !HasMapPattern(output)) {
    Fail(EXIT_USAGE, "baking several maps needs a '{map}' pattern in -o " + output +
                         " (for example steel_{map}.exr)");
  }
  for (const std::string& f : a.mapFormats) {
    const std::size_t eq = f.find('=');
    const std::string name = f.substr(0, eq);
    bool found = false;
    for (const MapOutput& m : outputs) found = found || m.name == name;
    if (eq == std::string::npos || eq + 1 == f.size() || !found) {
      Fail(EXIT_USAGE,
           "--map-format takes MAP=EXT for a map being baked (for example "
           "height=exr), not " +
               Quote(f));
    }
  }
  for (MapOutput& m : outputs) {
    std::string path = ExpandMapPattern(output, m.name);
    for (const std::string& f : a.mapFormats) {
      const std::size_t eq = f.find('=');
      if (f.substr(0, eq) != m.name) continue;
      std::string ext = f.substr(eq + 1);
      if (ext[0] != '.') ext = "." + ext;
      path = fs::path(path).replace_extension(ext).string();
    }
    m.pathTemplate = path;
    m.options.data = IsDataMap(m.kind);
    m.options.type = RequestedType(a, path);
    if (std::string why = ResolvePixelType(path, m.options, m.type); !why.empty()) {
      Fail(EXIT_OUTPUT, why);
    }
    if (m.kind == MapKind::HEIGHT && m.type == PixelType::UINT8) {
      Fail(EXIT_USAGE, "the height map needs 16-bit or float pixels, not uint8");
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (Lower(outputs[i].pathTemplate) == Lower(outputs[j].pathTemplate)) {
        Fail(EXIT_USAGE, "maps " + outputs[j].name + " and " + outputs[i].name +
                             " would both be written to " + outputs[i].pathTemplate);
      }
    }
  }
  return outputs;
}

float SrgbToLinear(float v) {
  if (!(v > 0.0f)) return 0.0f;
  if (v >= 1.0f) return 1.0f;
  return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

std::string ColourSpace(const ImageFileWriter& w) {
  return w.encoded() ? "sRGB" : "Linear";
}

// Rows of the contact sheet: the maps side by side as they look, the colour without its alpha,
// one-channel maps as grey, the others' three channels. The sheet is an sRGB picture, so data
// values are decoded here to come out of its encoding as they are.
void SheetRows(const std::vector<Raster>& bands, std::vector<float>& rows) {
  const int width = bands.front().width, height = bands.front().height;
  const int sheetWidth = width * static_cast<int>(bands.size());
  rows.assign(static_cast<std::size_t>(sheetWidth) * height * 3, 0.0f);
  for (std::size_t m = 0; m < bands.size(); ++m) {
    const Raster& b = bands[m];
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const float* in = b.Pixel(x, y);
        float* out = &rows[(static_cast<std::size_t>(y) * sheetWidth + m * width + x) * 3];
        for (int c = 0; c < 3; ++c) {
          const float v = in[b.channels == 1 ? 0 : c];
          out[c] = b.channels == 4 ? v : SrgbToLinear(v);
        }
      }
    }
  }
}

// Rows of a baked image laid n times side by side; y runs over n copies down.
void RepeatedRows(const Raster& r, int n, std::vector<float>& rows) {
  const std::size_t rowFloats = static_cast<std::size_t>(r.width) * r.channels;
  rows.resize(rowFloats * n * static_cast<std::size_t>(r.height) * n);
  float* out = rows.data();
  for (int y = 0; y < r.height * n; ++y) {
    const float* row = r.Pixel(0, y % r.height);
    for (int k = 0; k < n; ++k, out += rowFloats) std::copy_n(row, rowFloats, out);
  }
}

// The closing note's account of a tileable bake: how far the scratches were moved to repeat.
std::string DescribeNudge(const TileNudge& n) {
  char text[160];
  std::snprintf(text, sizeof text,
                "tileable; scratches nudged by up to %.2f %% in length, %.2f %% in width, %.2f "
                "deg in direction",
                n.length * 100.0, n.width * 100.0, n.angleDeg);
  std::string s = text;
  if (n.erosion > 0.0) {
    std::snprintf(text, sizeof text, ", erosion noise %.2f %%", n.erosion * 100.0);
    s += text;
  }
  return s;
}

json NudgeJson(const TileNudge& n) {
  return {
      {"length", n.length}, {"width", n.width}, {"angle_deg", n.angleDeg}, {"erosion", n.erosion}};
}

// Nudges above these are visible side by side with an ordinary bake; the soft erosion noise
// hides more than the sharp scratches do.
constexpr double kNoticeableNudge = 0.03;
constexpr double kNoticeableErosionNudge = 0.10;
constexpr double kNoticeableTurnDeg = 1.0;

}  // namespace

void AddRenderOptions(CLI::App& render, RenderArgs& r) {
  render.footer(
      "Frames run at 30 per second (160 ticks a frame). Parameters are set by their internal\n"
      "names from 'tamrel params'; colours as r,g,b, bools as 0/1/true/false/on/off.\n"
      "Examples:\n"
      "  tamrel render\n"
      "  tamrel render --maps color,height,normal,roughness -o steel_{map}.png\n"
      "  tamrel render -o scratches.exr --output height --set size=4 --set erosion=0.8\n"
      "  tamrel render --geometry sphere --set color1=0.6,0.1,0.05 -o preview.png\n"
      "  tamrel render --size 32768 --region 0,0,8192,8192 -o tile_0_0_{map}.exr --maps color\n"
      "  tamrel render --frames 0-30 --set 'size@0=5' --set 'size@30=20' -o anim.####.png");
  render
      .add_option("-o,--out", r.output,
                  "image file, or a template with {map} for several maps; .png, .exr, .tif or "
                  ".tiff")
      ->capture_default_str()
      ->each([&](const std::string&) { r.outputGiven = true; });
  auto* maps = render.add_option("--maps", r.maps,
                                 "maps to bake from one evaluation: any of color, mono, height, "
                                 "normal, normal-gl, normal-dx, roughness, anisotropy");
  render.add_option("--map-format", r.mapFormats,
                    "MAP=EXT: write that map with its own extension (for example height=exr)");
  render.add_option("--size", r.size, "image size WxH (or N for NxN)")->capture_default_str();
  render
      .add_option("--samples", r.samples,
                  "samples per pixel, stratified and box-filtered (default " +
                      std::to_string(kDefaultSamples) + ")")
      ->check(CLI::Range(1, kMaxSamples));
  render.add_option("--region", r.region,
                    "X0,Y0,X1,Y1: bake only this pixel rectangle of the full image, with the "
                    "values the full bake has there");
  render.add_option("--threads", r.threads, "worker threads (0: all cores)")
      ->check(CLI::Range(0, 1024))
      ->capture_default_str();
  render.add_option("--filter", r.filter, "filter the map over each sample's footprint")
      ->check(CLI::IsMember({"on", "off"}))
      ->capture_default_str();
  render.add_option("--set", r.sets, "NAME=VALUE, or NAME@FRAME=VALUE for a key; repeatable");
  render.add_option("--preset", r.preset, "JSON preset to apply (keys are internal names)");
  render.add_option("--save-preset", r.savePreset, "write the map's parameters as a JSON preset");
  render.add_option("--scene", r.scene, "scene file to take the map from, with its sub-maps");
  render.add_option("--save-scene", r.saveScene, "write the map and its sub-maps to a scene file");
  render.add_option("--output", r.outputKind, "one map to bake (see --maps)")
      ->capture_default_str()
      ->each([&](const std::string&) { r.outputKindGiven = true; })
      ->excludes(maps);
  render
      .add_option("--normal-convention", r.normalConvention,
                  "green channel of 'normal': opengl (+y up) or directx (+y down)")
      ->check(CLI::IsMember({"opengl", "directx"}))
      ->capture_default_str();
  render.add_option("--roughness", r.roughness,
                    "SURFACE,SCRATCH: roughness of the untouched surface and of a scratch's "
                    "middle (default 0.3,0.6)");
  render
      .add_option("--geometry", r.geometry,
                  "plane (flat square with UVW channel 1 and object/world positions) or sphere "
                  "(lit preview)")
      ->check(CLI::IsMember({"plane", "sphere"}))
      ->capture_default_str();
  render.add_option("--extent", r.extent, "width of the view in scene units")
      ->capture_default_str();
  render
      .add_option("--bump-scale", r.bumpScale,
                  "strength of the height in normal maps and of the bump on the sphere")
      ->capture_default_str();
  render.add_option("--frames", r.frames, "frame A or range A-B; -o needs a #### pattern");
  auto* bits = render.add_option("--bits", r.bits, "bits per channel: 8, 16 (half in EXR) or 32")
                   ->check(CLI::IsMember({8, 16, 32}));
  render.add_option("--type", r.type, "pixel type: uint8, uint16, half or float")
      ->check(CLI::IsMember({"uint8", "uint16", "half", "float"}))
      ->excludes(bits);
  render.add_option("--sheet", r.sheet,
                    "also write the maps side by side in one picture (a contact sheet)");
  render.add_flag("-q,--quiet", r.quiet, "no progress and no report of the files written");
  render.add_flag("--json", r.json,
                  "print one JSON report on standard output when the run ends (errors too)");
  render.add_flag("--tileable", r.tileable,
                  "bake a field that repeats exactly every image width across and down, for "
                  "textures laid side by side (plane only)");
  render
      .add_option("--repeat", r.repeat,
                  "write each baked map N x N times side by side, to see how it repeats")
      ->check(CLI::Range(1, 8))
      ->capture_default_str();
  render.add_option("--offset", r.offset,
                    "X,Y: move the view across the plane by whole pixels (the plane continues)");
}

int RunRender(const std::string& pluginPath, const RenderArgs& a, json& report) {
  const auto started = std::chrono::steady_clock::now();
  report["files"] = json::array();
  BakeSettings settings;
  if (!ParseImageSize(a.size, settings.view.width, settings.view.height)) {
    Fail(EXIT_USAGE, "--size takes WxH or N with edges from 1 to " + std::to_string(kMaxImageEdge) +
                         ", not " + Quote(a.size));
  }
  const NormalConvention convention =
      a.normalConvention == "directx" ? NormalConvention::DIRECTX : NormalConvention::OPENGL;
  settings.view.geometry = a.geometry == "sphere" ? Geometry::SPHERE : Geometry::PLANE;
  settings.view.extent = a.extent;
  settings.bumpScale = a.bumpScale;
  settings.filter = a.filter == "on";
  settings.samples = a.samples > 0 ? a.samples : kDefaultSamples;
  settings.render.threads = a.threads;
  settings.render.cancel = &InterruptRequested();
  if (!a.roughness.empty() &&
      !ParseFloatPair(a.roughness, settings.roughnessSurface, settings.roughnessScratch)) {
    Fail(EXIT_USAGE,
         "--roughness takes SURFACE,SCRATCH, two numbers from 0 to 1, not " + Quote(a.roughness));
  }
  if (static_cast<long>(settings.view.width) * a.repeat > kMaxImageEdge ||
      static_cast<long>(settings.view.height) * a.repeat > kMaxImageEdge) {
    Fail(EXIT_USAGE, "--repeat " + std::to_string(a.repeat) + " of a " + a.size +
                         " image exceeds the largest image edge, " + std::to_string(kMaxImageEdge));
  }
  if (a.repeat > 1 && !a.sheet.empty()) {
    Fail(EXIT_USAGE, "--repeat lays each map side by side; bake the --sheet without it");
  }
  settings.tileable = a.tileable;
  if (!a.offset.empty() && !ParseOffset(a.offset, settings.view.offsetX, settings.view.offsetY)) {
    Fail(EXIT_USAGE, "--offset takes X,Y in whole pixels from -" + std::to_string(kMaxOffset) +
                         " to " + std::to_string(kMaxOffset) + ", not " + Quote(a.offset));
  }
  if (!a.region.empty()) {
    Region& r = settings.region;
    if (!ParseRegion(a.region, r.x0, r.y0, r.x1, r.y1)) {
      Fail(EXIT_USAGE,
           "--region takes X0,Y0,X1,Y1 with X0 < X1 and Y0 < Y1, not " + Quote(a.region));
    }
  }

  int first = 0, last = 0;
  if (!a.frames.empty() && !ParseFrameRange(a.frames, first, last)) {
    Fail(EXIT_USAGE, "--frames takes A-B or N (0 to " + std::to_string(kMaxFrame) +
                         ", A <= B), not " + Quote(a.frames));
  }
  std::string output = a.output;
  if (!a.outputGiven && !a.maps.empty() && a.maps.find(',') != std::string::npos) {
    output = "scratches_{map}.png";
  }
  if (last > first && !HasFramePattern(output)) {
    if (a.outputGiven) {
      Fail(EXIT_USAGE,
           "rendering frames " + Quote(a.frames) + " needs a '####' frame pattern in -o " + output);
    }
    const fs::path p(output);
    output = (p.parent_path() / (p.stem().string() + ".####" + p.extension().string())).string();
  }
  std::vector<MapOutput> outputs = PlanOutputs(a, convention, output);
  settings.maps.clear();
  for (const MapOutput& m : outputs) settings.maps.push_back(m.kind);
  if (std::string why = CheckBakeSettings(settings); !why.empty()) Fail(EXIT_USAGE, why);
  for (const MapOutput& m : outputs) {
    CheckWritableFolder(ExpandFramePattern(m.pathTemplate, first), "image");
    if (last != first) CheckWritableFolder(ExpandFramePattern(m.pathTemplate, last), "image");
  }
  if (!a.savePreset.empty()) CheckWritableFolder(a.savePreset, "preset");
  if (!a.saveScene.empty()) CheckWritableFolder(a.saveScene, "scene");
  ImageFileOptions sheetOptions;
  if (!a.sheet.empty()) {
    if (last > first) Fail(EXIT_USAGE, "--sheet makes one picture; bake one frame with it");
    PixelType t;
    if (std::string why = ResolvePixelType(a.sheet, sheetOptions, t); !why.empty()) {
      Fail(EXIT_OUTPUT, why);
    }
    if (static_cast<std::int64_t>(BakeRegion(settings).Width()) * outputs.size() > kMaxImageEdge) {
      Fail(EXIT_USAGE, "--sheet would be wider than " + std::to_string(kMaxImageEdge) +
                           " pixels; bake a smaller size for it");
    }
    CheckWritableFolder(a.sheet, "image");
  }

  Plugin plugin;
  LoadPlugin(pluginPath, plugin);
  const ParamSchema schema(*plugin.cd);
  std::vector<ParamAssignment> assignments;
  for (const std::string& s : a.sets) {
    try {
      assignments.push_back(schema.ParseAssignment(s));
    } catch (const ParamError& e) {
      Fail(EXIT_USAGE, e.what());
    }
  }

  // The map: from the scene, else new; then the preset, then --set, in that order.
  std::unique_ptr<Scene> scene = std::make_unique<Scene>();
  Texmap* map = a.scene.empty() ? NewMap(*plugin.cd, *scene) : LoadSceneMap(a.scene, plugin, scene);
  if (!a.preset.empty()) {
    json preset;
    try {
      preset = ReadPresetFile(a.preset);
    } catch (const ParamError& e) {
      Fail(EXIT_INPUT, e.what());
    }
    try {
      schema.FromJson(*map, preset);
    } catch (const ParamError& e) {
      Fail(EXIT_INPUT, "preset " + a.preset + ": " + e.what());
    }
  }
  for (const ParamAssignment& s : assignments) {
    try {
      ParamSchema::Apply(*map, s);
    } catch (const ParamError& e) {
      Fail(EXIT_USAGE, e.what());
    }
  }

  const json params = schema.ToJson(*map);
  if (!a.savePreset.empty()) WriteTextFile(a.savePreset, params.dump(2) + "\n", "preset");
  if (!a.saveScene.empty()) {
    Scene out;
    out.AddRoot(map);
    std::string error;
    if (!SaveScene(out, a.saveScene, error)) {
      Fail(EXIT_OUTPUT, "cannot write scene " + a.saveScene + ": " + error);
    }
  }

  const Region region = BakeRegion(settings);
  const std::string software = std::string("tamrel ") + kVersion + "; " + PluginSummary(plugin);
  const bool showProgress = !a.quiet && !a.json && ::isatty(STDERR_FILENO);
  const int frameCount = last - first + 1;
  Progress progress(showProgress, frameCount);
  json& files = report["files"];
  for (int frame = first; frame <= last; ++frame) {
    settings.progress = [&, index = frame - first](std::int64_t done, std::int64_t total) {
      progress.Report(index, done, total);
    };

    // What reproduces the images: the parameters (with their keys) and the bake settings.
    json bake = {{"frame", frame},
                 {"fps", kFramesPerSecond},
                 {"size", {settings.view.width, settings.view.height}},
                 {"samples", settings.samples},
                 {"geometry", a.geometry},
                 {"extent", settings.view.extent},
                 {"filter", settings.filter},
                 {"normal_convention", a.normalConvention},
                 {"bump_scale", settings.bumpScale},
                 {"roughness", {settings.roughnessSurface, settings.roughnessScratch}}};
    if (!settings.region.Empty()) {
      bake["region"] = {region.x0, region.y0, region.x1, region.y1};
    }
    if (settings.view.offsetX != 0 || settings.view.offsetY != 0) {
      bake["offset"] = {settings.view.offsetX, settings.view.offsetY};
    }
    if (a.repeat > 1) bake["repeat"] = a.repeat;
    // A repeated bake holds the frame to write it n times over; every other bake streams its
    // bands to the files.
    const bool holdFrame = a.repeat > 1;
    const int n = a.repeat;
    std::vector<std::unique_ptr<ImageFileWriter>> writers;
    std::vector<Raster> held;
    TileNudge nudge;
    const auto openWriters = [&] {
      if (settings.tileable) {
        bake["tileable"] = {{"period", settings.view.width}, {"nudge", NudgeJson(nudge)}};
      }
      for (const MapOutput& m : outputs) {
        json description = {{"tamrel", bake}, {"params", params}};
        description["tamrel"]["output"] = m.name;
        ImageFileOptions options = m.options;
        options.metadata = {{"ImageDescription", description.dump()}, {"Software", software}};
        auto writer = std::make_unique<ImageFileWriter>();
        const std::string path = ExpandFramePattern(m.pathTemplate, frame);
        if (std::string why = writer->Open(path, region.Width() * n, region.Height() * n,
                                           MapChannels(m.kind), options);
            !why.empty()) {
          Fail(EXIT_OUTPUT, why);
        }
        writers.push_back(std::move(writer));
      }
    };
    std::unique_ptr<ImageFileWriter> sheet;
    std::vector<float> sheetRows;
    const auto openSheet = [&] {
      if (a.sheet.empty()) return;
      sheet = std::make_unique<ImageFileWriter>();
      sheetOptions.metadata = {{"Software", software}};
      if (std::string why = sheet->Open(a.sheet, region.Width() * static_cast<int>(outputs.size()),
                                        region.Height(), 3, sheetOptions);
          !why.empty()) {
        Fail(EXIT_OUTPUT, why);
      }
    };
    // A tileable bake's nudge, which its files record, is known once the map is in its tileable
    // state: its files open with the first band.
    if (!holdFrame && !settings.tileable) {
      openWriters();
      openSheet();
    }
    bool complete;
    bool sinkFailed = false;
    try {
      const GracefulInterrupt stopsAtNextCheck;
      if (holdFrame) {
        complete = BakeFrame(*map, frame * kTicksPerFrame, settings, held, &nudge);
      } else {
        complete = BakeFrame(
            *map, frame * kTicksPerFrame, settings,
            [&](int y0, int y1, const std::vector<Raster>& bands) {
              if (writers.empty()) {
                try {
                  openWriters();
                  openSheet();
                } catch (const Failure& f) {
                  sinkFailed = true;
                  return f.message;
                }
              }
              for (std::size_t i = 0; i < bands.size(); ++i) {
                std::string e = writers[i]->WriteRows(y0, y1, bands[i].pixels.data());
                if (!e.empty()) {
                  sinkFailed = true;
                  return e;
                }
              }
              if (sheet) {
                SheetRows(bands, sheetRows);
                std::string e = sheet->WriteRows(y0, y1, sheetRows.data());
                sinkFailed = !e.empty();
                return e;
              }
              return std::string();
            },
            &nudge);
      }
    } catch (const BakeError& e) {
      progress.Finish();
      Fail(sinkFailed ? EXIT_OUTPUT : EXIT_USAGE, e.what());
    } catch (const std::exception& e) {
      progress.Finish();
      Fail(EXIT_RENDER, std::string("render failed: ") + e.what());
    }
    progress.Finish();
    if (holdFrame && complete && !InterruptRequested().load()) {
      openWriters();
      openSheet();
      std::vector<float> rows;
      for (std::size_t i = 0; i < held.size(); ++i) {
        RepeatedRows(held[i], n, rows);
        if (std::string e = writers[i]->WriteRows(0, held[i].height * n, rows.data()); !e.empty()) {
          Fail(EXIT_OUTPUT, e);
        }
      }
      if (sheet) {
        SheetRows(held, sheetRows);
        if (std::string e = sheet->WriteRows(0, region.Height(), sheetRows.data()); !e.empty()) {
          Fail(EXIT_OUTPUT, e);
        }
      }
    }
    if (!complete || InterruptRequested().load()) {
      Fail(InterruptExitCode() != 0 ? InterruptExitCode() : 128 + SIGINT,
           "interrupted; " +
               (writers.empty() ? ExpandFramePattern(outputs.front().pathTemplate, frame)
                                : writers.front()->path()) +
               (outputs.size() > 1 ? " and the other maps were" : " was") + " not written");
    }
    // Every map of the frame is complete before any of them replaces a file.
    if (sheet) writers.push_back(std::move(sheet));
    if (std::string why = CloseAndCommitAll(writers); !why.empty()) Fail(EXIT_OUTPUT, why);
    for (std::size_t i = 0; i < writers.size(); ++i) {
      const ImageFileWriter& w = *writers[i];
      std::error_code ec;
      const fs::path abs = fs::absolute(w.path(), ec);
      const std::string shown = ec ? w.path() : abs.lexically_normal().string();
      const bool isSheet = i == outputs.size();
      const std::string name = isSheet ? "sheet" : outputs[i].name;
      const int width =
          isSheet ? region.Width() * static_cast<int>(outputs.size()) : region.Width() * n;
      const int height = isSheet ? region.Height() : region.Height() * n;
      files.push_back({{"path", shown},
                       {"map", name},
                       {"width", width},
                       {"height", height},
                       {"channels", isSheet ? 3 : MapChannels(outputs[i].kind)},
                       {"pixel_type", PixelTypeName(w.type())},
                       {"color_space", ColourSpace(w)},
                       {"frame", frame}});
      if (!a.quiet && !a.json) {
        std::cout << "tamrel: wrote " << shown << " (" << width << "x" << height << ", " << name
                  << ", " << PixelTypeName(w.type())
                  << (settings.tileable ? ", " + DescribeNudge(nudge) : std::string()) << ")"
                  << std::endl;
      }
    }
    // Warnings go out even with --quiet, once per run.
    if (settings.tileable && frame == first) {
      if (a.json)
        report["tileable"] = {{"period", settings.view.width}, {"nudge", NudgeJson(nudge)}};
      const double worst = std::max({nudge.length, nudge.width, nudge.erosion});
      if (std::max(nudge.length, nudge.width) > kNoticeableNudge ||
          nudge.erosion > kNoticeableErosionNudge || nudge.angleDeg > kNoticeableTurnDeg) {
        std::cerr << "tamrel: warning: the tile is small for these scratches; to repeat, they "
                     "were nudged by up to "
                  << std::round(worst * 1000.0) / 10.0 << " % (" << DescribeNudge(nudge)
                  << "); a larger --extent or a smaller \"size\" keeps their look closer\n";
      }
      if (settings.view.height != settings.view.width) {
        std::cerr << "tamrel: warning: the field repeats every " << settings.view.width
                  << " pixels across and down; a " << settings.view.width << "x"
                  << settings.view.height << " image tiles across"
                  << (settings.view.height % settings.view.width == 0
                          ? " and down"
                          : ", but its top and bottom edges do not meet")
                  << "\n";
      }
    }
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double samples =
      static_cast<double>(region.Width()) * region.Height() * settings.samples * frameCount;
  report["params"] = params;
  report["samples_per_pixel"] = settings.samples;
  report["threads"] = ResolveThreads(a.threads);
  report["seconds"] = seconds;
  report["samples_per_second"] = seconds > 0.0 ? samples / seconds : 0.0;
  report["size"] = {settings.view.width, settings.view.height};
  report["region"] = {region.x0, region.y0, region.x1, region.y1};
  report["maps"] = json::array();
  for (const MapOutput& m : outputs) report["maps"].push_back(m.name);
  if (a.json) std::cout << report.dump(2) << std::endl;
  return EXIT_OK;
}

}  // namespace tamrel::host
