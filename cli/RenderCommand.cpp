// tamrel render: bakes the map to a set of image files. Everything the user typed is checked
// before anything is loaded, rendered or written; the maps are rendered band by band into
// temporary files beside their targets, and renamed into place together once every map of the
// frame is complete, so a failed or interrupted run leaves no partial file.
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli/CliParse.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "engine/BakeJob.h"
#include "engine/EchoText.h"
#include "engine/GltfExport.h"
#include "engine/Interrupt.h"
#include "engine/MeshModelFile.h"
#include "engine/OutputFiles.h"
#include "engine/ParamSchema.h"
#include "engine/SceneMap.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

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

// Nudges above these are visible side by side with an ordinary bake; the soft erosion noise
// hides more than the sharp scratches do.
constexpr double kNoticeableNudge = 0.03;
constexpr double kNoticeableErosionNudge = 0.10;
constexpr double kNoticeableTurnDeg = 1.0;

}  // namespace

std::string ReportText(const json& report) {
  return report.dump(2, ' ', false, json::error_handler_t::replace);
}

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
  auto* maps = render.add_option(
      "--maps", r.maps, std::string("maps to bake from one evaluation: any of ") + MapNames());
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
  render.add_option("--metallic", r.metallic,
                    "SURFACE,SCRATCH: metallic of the untouched surface and of a scratch's "
                    "middle, the orm map's blue (default 0,0)");
  auto* geometry = render
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
  render
      .add_option("--compression", r.compression,
                  "PNG zlib level 0-9 (default " + std::to_string(kDefaultPngCompression) +
                      "): higher is smaller and slower; EXR and TIFF keep their lossless "
                      "compression")
      ->check(CLI::Range(0, kMaxPngCompression));
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
  auto* offset = render.add_option(
      "--offset", r.offset,
      "X,Y: move the view across the plane by whole pixels (the plane continues)");
  render
      .add_option("--mesh", r.mesh,
                  "bake into the UV layout of this model (.glb, .gltf, .obj or .ply), every "
                  "texel shaded where it lies on the surface")
      ->excludes(geometry)
      ->excludes(offset);
  render.add_option("--uv", r.uv,
                    "UV set of the model to bake into, from 1 (default 1; a map reading a map "
                    "channel uses that channel)")
      ->check(CLI::Range(1, 64));
  render
      .add_option("--padding", r.padding,
                  "texels by which each UV island is extended into the empty space around it "
                  "(default " + std::to_string(kDefaultPadding) + ")")
      ->check(CLI::Range(0, kMaxPadding));
  render.add_option("--gltf", r.gltf,
                    "also write a glTF 2.0 asset (.glb, or .gltf with a .bin beside it) of the "
                    "model, of the plane, or of the sphere (whose UV layout the maps are then "
                    "baked into), with a material of the maps; adds color, normal-gl, orm and "
                    "anisotropy-gltf to the maps, as PNG");
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
  if (!a.metallic.empty() &&
      !ParseFloatPair(a.metallic, settings.metallicSurface, settings.metallicScratch)) {
    Fail(EXIT_USAGE,
         "--metallic takes SURFACE,SCRATCH, two numbers from 0 to 1, not " + Quote(a.metallic));
  }
  const bool gltf = !a.gltf.empty();
  const bool glb = gltf && IsGlbPath(a.gltf);
  if (static_cast<long>(settings.view.width) * a.repeat > kMaxImageEdge ||
      static_cast<long>(settings.view.height) * a.repeat > kMaxImageEdge) {
    Fail(EXIT_USAGE, "--repeat " + std::to_string(a.repeat) + " of a " + a.size +
                         " image exceeds the largest image edge, " + std::to_string(kMaxImageEdge));
  }
  if (a.repeat > 1 && !a.sheet.empty()) {
    Fail(EXIT_USAGE, "--repeat lays each map side by side; bake the --sheet without it");
  }
  settings.tileable = a.tileable;
  if (a.mesh.empty() && (a.uv != 0 || a.padding >= 0)) {
    Fail(EXIT_USAGE, std::string(a.uv != 0 ? "--uv" : "--padding") + " needs a model (--mesh)");
  }
  if (!a.mesh.empty()) settings.view.geometry = Geometry::MESH;
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
  std::shared_ptr<const mesh::MeshModel> model;
  if (gltf) {
    // The asset is one model with one whole set of textures. The lit sphere is a picture; the
    // sphere of an asset is a model of it, whose UV layout the set is baked into.
    if (settings.view.geometry == Geometry::SPHERE) {
      model = PreviewSphereModel(settings.view.extent);
      settings.view.geometry = Geometry::MESH;
      settings.mesh = PrepareMeshBake(model, 0, kDefaultPadding);
    }
    if (last > first) Fail(EXIT_USAGE, "--gltf writes one asset; bake one frame with it");
    if (!a.region.empty()) Fail(EXIT_USAGE, "--gltf needs the whole image; bake it without --region");
    if (a.repeat > 1) Fail(EXIT_USAGE, "--gltf needs each map once; bake it without --repeat");
    if (!a.outputGiven) {
      // The maps beside the asset, named after it.
      const fs::path p(a.gltf);
      output = (p.parent_path() / (p.stem().string() + "_{map}.png")).string();
    } else if (!HasMapPattern(output)) {
      Fail(EXIT_USAGE, "--gltf bakes several maps (color, normal-gl, orm, anisotropy-gltf); -o " +
                           output + " needs a '{map}' pattern (for example steel_{map}.png)");
    }
  }
  if (last > first && !HasFramePattern(output)) {
    if (a.outputGiven) {
      Fail(EXIT_USAGE,
           "rendering frames " + Quote(a.frames) + " needs a '####' frame pattern in -o " + output);
    }
    const fs::path p(output);
    output = (p.parent_path() / (p.stem().string() + ".####" + p.extension().string())).string();
  }
  OutputRequest request;
  request.output = output;
  if (a.maps.empty()) {
    request.maps = {a.outputKind};
    request.mapsOption = "--output";
  } else {
    std::string bad;
    if (!ParseNameList(a.maps, request.maps, bad)) {
      Fail(EXIT_USAGE, "--maps takes a comma-separated list of distinct maps (" +
                           std::string(MapNames()) + "); " + Quote(bad) + " is empty or repeated");
    }
  }
  request.convention = convention;
  // The maps the asset's material reads, unless asked for already (by any name).
  constexpr MapKind kGltfMaps[GLTF_IMAGES] = {MapKind::COLOR, MapKind::NORMAL_GL, MapKind::ORM,
                                              MapKind::ANISOTROPY_GLTF};
  if (gltf) {
    for (MapKind need : kGltfMaps) {
      bool asked = false;
      for (const std::string& name : request.maps) {
        MapKind kind;
        asked = asked || (ParseMapName(name, convention, kind) && kind == need);
      }
      if (!asked) request.maps.push_back(MapKindName(need));
    }
    request.otherOutputs.emplace_back("the glTF asset", a.gltf);
    if (!glb) request.otherOutputs.emplace_back("the glTF buffer", GltfBufferPath(a.gltf));
  }
  request.mapFormats = a.mapFormats;
  if (!a.type.empty() && !ParsePixelType(a.type, request.type)) {
    Fail(EXIT_USAGE, "--type takes uint8, uint16, half or float, not " + Quote(a.type));
  }
  request.bits = a.bits;
  request.compression = a.compression;
  request.sheet = a.sheet;
  request.repeat = a.repeat;
  request.firstFrame = first;
  request.lastFrame = last;
  if (!a.savePreset.empty()) request.otherOutputs.emplace_back("the preset", a.savePreset);
  if (!a.saveScene.empty()) request.otherOutputs.emplace_back("the scene", a.saveScene);
  OutputPlan plan = PlanOutputs(request, settings);
  std::string gltfImages[GLTF_IMAGES];
  if (gltf) {
    for (int k = 0; k < GLTF_IMAGES; ++k) {
      for (const MapOutput& m : plan.maps) {
        if (m.kind != kGltfMaps[k]) continue;
        gltfImages[k] = ExpandFramePattern(m.pathTemplate, first);
        std::string ext = fs::path(gltfImages[k]).extension().string();
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext != ".png") {
          Fail(EXIT_USAGE, "--gltf takes PNG images; the map " + m.name + " would be written to " +
                               gltfImages[k] + " (use --map-format " + m.name + "=png)");
        }
      }
    }
    CheckWritableFolder(a.gltf, "glTF asset");
    if (!glb) CheckWritableFolder(GltfBufferPath(a.gltf), "glTF buffer");
  }
  if (!a.savePreset.empty()) CheckWritableFolder(a.savePreset, "preset");
  if (!a.saveScene.empty()) CheckWritableFolder(a.saveScene, "scene");

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
  Texmap* map = a.scene.empty()
                    ? NewMap(*plugin.cd, *scene)
                    : OpenSceneMap(a.scene, *plugin.cd, MakeClassDirectory(plugin), scene);
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

  // The model last: everything cheaper to check has been.
  if (!a.mesh.empty()) {
    model = OpenMeshModel(a.mesh);
    std::string warning;
    const int uvSet = ChooseUvSet(*map, schema, first * kTicksPerFrame, *model, a.uv, warning);
    if (!warning.empty()) std::cerr << "tamrel: warning: " << warning << "\n";
    for (const std::string& w : SharedLayoutWarnings(*model)) {
      std::cerr << "tamrel: warning: " << w << "\n";
    }
    settings.mesh =
        PrepareMeshBake(model, uvSet - 1, a.padding >= 0 ? a.padding : kDefaultPadding);
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

  BakeJob job(std::move(plan), settings, SoftwareTag(plugin));
  const Region region = job.Rect();
  const bool showProgress = !a.quiet && !a.json && ::isatty(STDERR_FILENO);
  const int frameCount = last - first + 1;
  Progress progress(showProgress, frameCount);
  std::int64_t coveredPixels = 0;
  json& files = report["files"];
  for (int frame = first; frame <= last; ++frame) {
    const FrameResult done =
        job.RunFrame(*map, frame, params, [&, index = frame - first](std::int64_t d, std::int64_t t) {
          progress.Report(index, d, t);
        });
    progress.Finish();
    const TileNudge& nudge = done.nudge;
    if (frame == first) coveredPixels = done.coveredPixels;
    for (const WrittenFile& w : done.files) {
      files.push_back(w.Json());
      if (!a.quiet && !a.json) {
        std::cout << "tamrel: wrote " << w.path << " (" << w.width << "x" << w.height << ", "
                  << w.map << ", " << PixelTypeName(w.type)
                  << (settings.tileable ? ", " + DescribeNudge(nudge) : std::string()) << ")"
                  << std::endl;
      }
    }
    // Warnings go out even with --quiet, once per run.
    if (settings.tileable && frame == first) {
      if (a.json)
        report["tileable"] = TileableJson(settings.view.width, nudge);
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
  report["png_compression"] = a.compression;
  report["seconds"] = seconds;
  report["samples_per_second"] = seconds > 0.0 ? samples / seconds : 0.0;
  report["size"] = {settings.view.width, settings.view.height};
  report["region"] = {region.x0, region.y0, region.x1, region.y1};
  if (settings.mesh) {
    json m = MeshJson(*settings.mesh);
    const double share = static_cast<double>(coveredPixels) /
                         (static_cast<double>(region.Width()) * region.Height());
    m["coverage"] = share;
    report["mesh"] = m;
    if (!a.quiet && !a.json) {
      char text[64];
      std::snprintf(text, sizeof text, "%.1f %%", share * 100.0);
      std::cout << "tamrel: baked " << m["triangles"].get<std::size_t>() << " triangles of "
                << model->source << " into UV set " << settings.mesh->uvSet + 1 << " (tangents "
                << (m["tangents"] == "file" ? "from the file" : "generated") << "), " << text
                << " of the texels covered" << std::endl;
    }
  }
  report["maps"] = json::array();
  for (const MapOutput& m : job.Plan().maps) report["maps"].push_back(m.name);
  if (gltf) {
    const GltfScene shown{settings.mesh.get(), settings.view};
    const json written = WriteGltf(a.gltf, shown, gltfImages, SoftwareTag(plugin));
    report["gltf"] = written;
    if (!a.quiet && !a.json) {
      const std::size_t nodes = written["nodes"].get<std::size_t>();
      if (!glb) {
        std::cout << "tamrel: wrote " << written["buffer"].get<std::string>() << " (glTF buffer)"
                  << std::endl;
      }
      std::cout << "tamrel: wrote " << written["path"].get<std::string>() << " (glTF "
                << (glb ? "binary" : "with external files") << ", " << nodes
                << (nodes == 1 ? " node, " : " nodes, ")
                << written["triangles"].get<std::size_t>() << " triangles)" << std::endl;
    }
  }
  if (a.json) std::cout << ReportText(report) << std::endl;
  return EXIT_OK;
}

}  // namespace tamrel::host
