// tamrel: the command-line host. It loads the scratches plug-in through its exported functions,
// creates a map the way the host application does, sets it from scenes, presets and --set, and
// bakes it to image files; it also lists the parameters and what the plug-in reports.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/Bake.h"
#include "host/CliParse.h"
#include "host/EchoText.h"
#include "host/ImageFile.h"
#include "host/Interrupt.h"
#include "host/MapWork.h"
#include "host/ParamSchema.h"
#include "host/PluginLibrary.h"
#include "atomicfile.h"
#include "boundedread.h"
#include "imtl.h"
#include "paramlisting.h"
#include "scenefile.h"
#include "texout.h"

namespace {

using namespace tamrel::host;
namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kVersion = "1.0.0";

// Exit codes, distinct per kind of failure so that scripts can tell them apart.
enum Exit : int {
  EXIT_OK = 0,
  EXIT_RENDER = 1,      // the render itself failed
  EXIT_USAGE = 2,       // bad option or parameter
  EXIT_INPUT = 3,       // a preset or scene cannot be read
  EXIT_OUTPUT = 4,      // an image, preset or scene cannot be written
  EXIT_PLUGIN = 5,      // the plug-in cannot be loaded or has no texture map
  // Interrupted runs end with 128 + the signal: 130 for SIGINT, 143 for SIGTERM.
};

// Presets are small JSON files; anything larger or nested deeper is not one.
constexpr std::size_t kMaxPresetBytes = std::size_t{16} << 20;
constexpr int kMaxPresetDepth = 32;

struct Failure {
  int code;
  std::string message;
};

[[noreturn]] void Fail(int code, const std::string& message) { throw Failure{code, message}; }

struct Plugin {
  PluginLibrary library;
  ClassDesc* cd = nullptr;
};

void LoadPlugin(const std::string& path, Plugin& plugin) {
  if (!plugin.library.Open(path)) Fail(EXIT_PLUGIN, plugin.library.error());
  for (int i = 0; i < plugin.library.NumberClasses(); ++i) {
    ClassDesc* cd = plugin.library.GetClassDesc(i);
    if (cd && cd->SuperClassID() == TEXMAP_CLASS_ID) {
      plugin.cd = cd;
      return;
    }
  }
  Fail(EXIT_PLUGIN, "plug-in " + path + " offers no texture map class");
}

std::string PluginSummary(const Plugin& p) {
  char version[16];
  std::snprintf(version, sizeof version, "0x%08X", static_cast<unsigned>(p.library.Version()));
  return Narrow(p.cd->NonLocalizedClassName()) + " from " +
         fs::path(p.library.path()).filename().string() + " (" +
         Narrow(p.library.Description()) + ", SDK " + version + ")";
}

// A new map, kept alive by the scene that owns it.
Texmap* NewMap(ClassDesc& cd, Scene& scene) {
  auto* map = static_cast<Texmap*>(cd.Create(FALSE));
  if (!map) Fail(EXIT_PLUGIN, "the plug-in did not create a map");
  scene.AddRoot(map);
  return map;
}

ClassDirectory MakeClassDirectory(const Plugin& p) {
  ClassDirectory dir;
  for (int i = 0; i < p.library.NumberClasses(); ++i) {
    if (ClassDesc* cd = p.library.GetClassDesc(i)) dir.AddClass(cd);
  }
  dir.AddClass(GetStdTexoutClassDesc());
  return dir;
}

std::string DisplayName(ClassDesc& cd, int id) {
  if (id == 0) return {};
  const MCHAR* text = cd.GetRsrcString(id);
  return text ? Narrow(text) : "#" + std::to_string(id);
}

// ---- params and info --------------------------------------------------------------------------

int RunParams(const std::string& pluginPath, bool asJson) {
  Plugin plugin;
  LoadPlugin(pluginPath, plugin);
  const ParamSchema schema(*plugin.cd);
  Scene scene;
  Texmap* map = NewMap(*plugin.cd, scene);

  json list = json::array();
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"block", "name", "id", "type", "default", "new map", "range", "anim",
                  "display name"});
  for (const ParamEntry& p : schema.Params()) {
    const std::string def = FormatParamValue(p.def->type, p.def->def);
    std::string now;
    if (!p.def->IsReference()) {
      const TimeValue t = 0;
      PB2Value v;
      IParamBlock2* block = map->GetParamBlockByID(p.block->ID);
      Interval iv = FOREVER;
      if (p.def->type == TYPE_FLOAT) block->GetValue(p.def->ID, t, v.f, iv);
      if (p.def->type == TYPE_INT || p.def->type == TYPE_BOOL) block->GetValue(p.def->ID, t, v.i, iv);
      if (p.def->type == TYPE_RGBA) block->GetValue(p.def->ID, t, v.c, iv);
      now = FormatParamValue(p.def->type, v);
    }
    const std::string range =
        p.def->has_range ? FormatParamValue(p.def->type, p.def->range_low) + " .. " +
                               FormatParamValue(p.def->type, p.def->range_high)
                         : "";
    const bool anim = (p.def->flags & P_ANIMATABLE) != 0;
    const std::string display = DisplayName(*plugin.cd, p.def->local_name);
    rows.push_back({Narrow(p.block->int_name), p.name, std::to_string(p.def->ID),
                    ParamTypeName(p.def->type), def, now, range, anim ? "yes" : "no", display});
    list.push_back({{"block", Narrow(p.block->int_name)},
                    {"name", p.name},
                    {"id", p.def->ID},
                    {"type", ParamTypeName(p.def->type)},
                    {"default", def},
                    {"new_map", now},
                    {"range", range},
                    {"animatable", anim},
                    {"display_name", display}});
  }
  if (asJson) {
    std::cout << list.dump(2) << "\n";
    return EXIT_OK;
  }
  std::vector<std::size_t> width(rows[0].size(), 0);
  for (const auto& r : rows) {
    for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
  }
  for (const auto& r : rows) {
    std::string line;
    for (std::size_t c = 0; c < r.size(); ++c) {
      line += r[c];
      if (c + 1 < r.size()) line += std::string(width[c] - r[c].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
  return EXIT_OK;
}

std::string Hex(unsigned long v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%08lX", v);
  return buf;
}

int RunInfo(const std::string& pluginPath) {
  Plugin plugin;
  LoadPlugin(pluginPath, plugin);
  const PluginLibrary& lib = plugin.library;
  std::cout << "library:        " << lib.path() << "\n"
            << "description:    " << Narrow(lib.Description()) << "\n"
            << "SDK version:    " << Hex(lib.Version()) << "\n"
            << "classes:        " << lib.NumberClasses() << "\n";
  for (int i = 0; i < lib.NumberClasses(); ++i) {
    ClassDesc* cd = lib.GetClassDesc(i);
    if (!cd) continue;
    const Class_ID id = cd->ClassID();
    std::cout << "class " << i << ":\n"
              << "  name:         " << Narrow(cd->ClassName()) << "\n"
              << "  internal:     " << Narrow(cd->InternalName()) << "\n"
              << "  non-localised " << Narrow(cd->NonLocalizedClassName()) << "\n"
              << "  category:     " << Narrow(cd->Category()) << "\n"
              << "  super class:  " << Hex(cd->SuperClassID()) << "\n"
              << "  class ID:     (" << Hex(id.PartA()) << ", " << Hex(id.PartB()) << ")\n"
              << "  public:       " << (cd->IsPublic() ? "yes" : "no") << "\n";
    for (int b = 0; b < cd->NumParamBlockDescs(); ++b) {
      ParamBlockDesc2* d = cd->GetParamBlockDesc(b);
      if (!d) continue;
      std::cout << "  block " << d->ID << ":      \"" << Narrow(d->int_name) << "\", "
                << d->Count() << " parameters, rollout \"" << DisplayName(*cd, d->title)
                << "\"\n";
    }
  }
  return EXIT_OK;
}

// ---- render -----------------------------------------------------------------------------------

struct RenderArgs {
  std::string output = "scratches.png";
  bool outputGiven = false;
  std::string size = "1024x1024";
  int threads = 0;
  std::string filter = "on";
  std::vector<std::string> sets;
  std::string preset, savePreset, scene, saveScene;
  std::string outputKind = "color";
  std::string normalConvention = "opengl";
  std::string geometry = "plane";
  float extent = 40.0f;
  float bumpScale = 1.0f;
  std::string frames;
  int bits = 0;
  std::string type;
  bool quiet = false;
};

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

std::string ReadPresetText(const std::string& path) {
  std::string text, why;
  if (!ReadRegularFile(path, kMaxPresetBytes, text, why)) {
    Fail(EXIT_INPUT, "cannot read preset " + path + ": " + why);
  }
  return text;
}

// A preset nested deeper than any preset is refused while it is parsed, before a deep value can
// reach anything that walks it recursively.
json ParsePreset(const std::string& path, const std::string& text) {
  struct TooDeep {};
  const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxPresetDepth) throw TooDeep{};
    return true;
  };
  try {
    return json::parse(text, limitDepth);
  } catch (const TooDeep&) {
    Fail(EXIT_INPUT, "preset " + path + " nests values deeper than " +
                         std::to_string(kMaxPresetDepth) + " levels");
  } catch (const json::exception& e) {
    Fail(EXIT_INPUT, "preset " + path + " is not valid JSON: " + e.what());
  }
}

// Replaces the file whole or not at all, as the images are.
void WriteTextFile(const std::string& path, const std::string& text, const char* what) {
  std::string error;
  if (!WriteFileAtomically(path, text, error)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

// Refuses before rendering an output that could not be written afterwards.
void CheckWritableFolder(const std::string& path, const char* what) {
  const fs::path p(path);
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": folder " +
                          dir.string() + " does not exist");
  }
  if (::access(dir.c_str(), W_OK) != 0) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": folder " +
                          dir.string() + " is not writable");
  }
  if (fs::is_directory(p, ec)) Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " +
                                                     path + ": it is a folder");
  // A name the file system cannot hold, or a folder that takes no new file, fails now rather
  // than after the render.
  const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  const std::size_t nameLength = p.filename().string().size();
  if (nameMax > 0 && nameLength > static_cast<std::size_t>(nameMax)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": its name is " +
                          std::to_string(nameLength) + " bytes long, more than the " +
                          std::to_string(nameMax) + " its folder allows");
  }
  AtomicFile trial;
  std::string error;
  if (!trial.Create(p, error)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

Texmap* LoadSceneMap(const std::string& path, const Plugin& plugin,
                     std::unique_ptr<Scene>& scene) {
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
  Fail(EXIT_INPUT, "scene " + path + " holds no " + Narrow(plugin.cd->NonLocalizedClassName()) +
                       " map");
}

class Progress {
 public:
  Progress(bool enabled, int frames) : enabled_(enabled), frames_(frames) {}
  void Report(int frameIndex, int done, int total) {
    if (!enabled_) return;
    const int percent = total > 0 ? done * 100 / total : 100;
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

int RunRender(const std::string& pluginPath, const RenderArgs& a) {
  // Everything the user typed is checked before anything is loaded, rendered or written.
  BakeSettings settings;
  if (!ParseImageSize(a.size, settings.view.width, settings.view.height)) {
    Fail(EXIT_USAGE, "--size takes WxH or N with edges from 1 to " +
                         std::to_string(kMaxImageEdge) + ", not " + Quote(a.size));
  }
  if (!ParseOutputKind(a.outputKind, settings.output)) {
    Fail(EXIT_USAGE, "--output takes color, mono, height or normal, not " + Quote(a.outputKind));
  }
  settings.view.geometry = a.geometry == "sphere" ? Geometry::SPHERE : Geometry::PLANE;
  settings.view.extent = a.extent;
  settings.bumpScale = a.bumpScale;
  settings.convention =
      a.normalConvention == "directx" ? NormalConvention::DIRECTX : NormalConvention::OPENGL;
  settings.filter = a.filter == "on";
  settings.render.threads = a.threads;
  settings.render.cancel = &InterruptRequested();
  if (std::string why = CheckBakeSettings(settings); !why.empty()) Fail(EXIT_USAGE, why);

  int first = 0, last = 0;
  if (!a.frames.empty() && !ParseFrameRange(a.frames, first, last)) {
    Fail(EXIT_USAGE, "--frames takes A-B or N (0 to " + std::to_string(kMaxFrame) +
                         ", A <= B), not " + Quote(a.frames));
  }
  std::string output = a.output;
  if (last > first && !HasFramePattern(output)) {
    if (a.outputGiven) {
      Fail(EXIT_USAGE, "rendering frames " + Quote(a.frames) +
                           " needs a '####' frame pattern in -o " + output);
    }
    output = "scratches.####.png";
  }

  ImageFileOptions imageOptions;
  imageOptions.data = IsDataOutput(settings.output);
  imageOptions.type = RequestedType(a, output);
  PixelType resolved;
  if (std::string why = ResolvePixelType(output, imageOptions, resolved); !why.empty()) {
    Fail(EXIT_OUTPUT, why);
  }
  if (settings.output == OutputKind::HEIGHT && resolved == PixelType::UINT8) {
    Fail(EXIT_USAGE, "the height output needs 16-bit or float pixels, not uint8");
  }
  CheckWritableFolder(ExpandFramePattern(output, first), "image");
  if (last != first) CheckWritableFolder(ExpandFramePattern(output, last), "image");
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
  Texmap* map = a.scene.empty() ? NewMap(*plugin.cd, *scene) : LoadSceneMap(a.scene, plugin, scene);
  if (!a.preset.empty()) {
    const json preset = ParsePreset(a.preset, ReadPresetText(a.preset));
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

  const std::string software = std::string("tamrel ") + kVersion + "; " + PluginSummary(plugin);
  const bool showProgress = !a.quiet && ::isatty(STDERR_FILENO);
  const int frameCount = last - first + 1;
  Progress progress(showProgress, frameCount);
  for (int frame = first; frame <= last; ++frame) {
    const std::string path = ExpandFramePattern(output, frame);
    settings.render.progress = [&, index = frame - first](int done, int total) {
      progress.Report(index, done, total);
    };
    Raster raster;
    bool complete;
    try {
      const GracefulInterrupt stopsAtNextCheck;
      complete = BakeFrame(*map, frame * kTicksPerFrame, settings, raster);
    } catch (const BakeError& e) {
      Fail(EXIT_USAGE, e.what());
    } catch (const std::exception& e) {
      Fail(EXIT_RENDER, std::string("render failed: ") + e.what());
    }
    if (!complete || InterruptRequested().load()) {
      progress.Finish();
      Fail(InterruptExitCode() != 0 ? InterruptExitCode() : 128 + SIGINT,
           "interrupted; " + path + " was not written");
    }

    // What reproduces the image: the parameters (with their keys) and the bake settings.
    json description = {
        {"tamrel",
         {{"frame", frame},
          {"fps", kFramesPerSecond},
          {"size", {settings.view.width, settings.view.height}},
          {"output", OutputKindName(settings.output)},
          {"geometry", a.geometry},
          {"extent", settings.view.extent},
          {"filter", settings.filter},
          {"normal_convention", a.normalConvention},
          {"bump_scale", settings.bumpScale}}},
        {"params", params}};
    ImageFileOptions frameOptions = imageOptions;
    frameOptions.metadata = {{"ImageDescription", description.dump()}, {"Software", software}};
    if (std::string why = WriteImageFile(path, raster, frameOptions); !why.empty()) {
      progress.Finish();
      Fail(EXIT_OUTPUT, why);
    }
    progress.Finish();
    if (!a.quiet) {
      std::error_code ec;
      const fs::path abs = fs::absolute(path, ec);
      PixelType written;
      ResolvePixelType(path, frameOptions, written);
      std::cout << "tamrel: wrote " << (ec ? path : abs.lexically_normal().string()) << " ("
                << settings.view.width << "x" << settings.view.height << ", "
                << OutputKindName(settings.output) << ", " << PixelTypeName(written) << ")"
                << std::endl;
    }
  }
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  InstallInterruptHandlers();
  CLI::App app{"tamrel: bakes the procedural scratches texture map to image files."};
  app.set_version_flag("--version", std::string("tamrel ") + kVersion);
  app.require_subcommand(1);
  std::string plugin;
  app.add_option("--plugin", plugin,
                 "the plug-in library (default: TamrelScratches.dlt beside tamrel, or $TAMREL_PLUGIN)");

  RenderArgs r;
  CLI::App* render = app.add_subcommand("render", "bake the map to an image file");
  render->footer(
      "Frames run at 30 per second (160 ticks a frame). Parameters are set by their internal\n"
      "names from 'tamrel params'; colours as r,g,b, bools as 0/1/true/false/on/off.\n"
      "Examples:\n"
      "  tamrel render\n"
      "  tamrel render -o scratches.exr --output height --set size=4 --set erosion=0.8\n"
      "  tamrel render --geometry sphere --set color1=0.6,0.1,0.05 -o preview.png\n"
      "  tamrel render --frames 0-30 --set 'size@0=5' --set 'size@30=20' -o anim.####.png");
  render->add_option("-o,--out", r.output, "image file; .png, .exr, .tif or .tiff")
      ->capture_default_str()
      ->each([&](const std::string&) { r.outputGiven = true; });
  render->add_option("--size", r.size, "image size WxH (or N for NxN)")->capture_default_str();
  render->add_option("--threads", r.threads, "worker threads (0: all cores)")
      ->check(CLI::Range(0, 1024))
      ->capture_default_str();
  render->add_option("--filter", r.filter, "filter the map over each pixel's footprint")
      ->check(CLI::IsMember({"on", "off"}))
      ->capture_default_str();
  render->add_option("--set", r.sets, "NAME=VALUE, or NAME@FRAME=VALUE for a key; repeatable");
  render->add_option("--preset", r.preset, "JSON preset to apply (keys are internal names)");
  render->add_option("--save-preset", r.savePreset, "write the map's parameters as a JSON preset");
  render->add_option("--scene", r.scene, "scene file to take the map from, with its sub-maps");
  render->add_option("--save-scene", r.saveScene, "write the map and its sub-maps to a scene file");
  render->add_option("--output", r.outputKind, "what to bake: color, mono, height or normal")
      ->capture_default_str();
  render->add_option("--normal-convention", r.normalConvention,
                     "green channel of normal maps: opengl (+y up) or directx (+y down)")
      ->check(CLI::IsMember({"opengl", "directx"}))
      ->capture_default_str();
  render->add_option("--geometry", r.geometry,
                     "plane (flat square with UVW channel 1 and object/world positions) or sphere "
                     "(lit preview)")
      ->check(CLI::IsMember({"plane", "sphere"}))
      ->capture_default_str();
  render->add_option("--extent", r.extent, "width of the view in scene units")
      ->capture_default_str();
  render->add_option("--bump-scale", r.bumpScale,
                     "strength of the bump in normal maps and on the sphere")
      ->capture_default_str();
  render->add_option("--frames", r.frames, "frame A or range A-B; -o needs a #### pattern");
  auto* bits = render->add_option("--bits", r.bits, "bits per channel: 8, 16 (half in EXR) or 32")
                   ->check(CLI::IsMember({8, 16, 32}));
  render->add_option("--type", r.type, "pixel type: uint8, uint16, half or float")
      ->check(CLI::IsMember({"uint8", "uint16", "half", "float"}))
      ->excludes(bits);
  render->add_flag("-q,--quiet", r.quiet, "no progress and no report of the file written");

  bool paramsJson = false;
  CLI::App* params = app.add_subcommand("params", "list every parameter of both blocks");
  params->add_flag("--json", paramsJson, "as JSON");
  CLI::App* info = app.add_subcommand("info", "what the plug-in reports through its exports");

  // An empty value is a mistake (an unset shell variable, a stray pair of quotes), never a
  // request for zero or for the default.
  const CLI::Validator nonEmpty(
      [](std::string& value) { return value.empty() ? std::string("empty value") : std::string(); },
      "", "NONEMPTY");
  for (CLI::App* command : {&app, render, params, info}) {
    for (CLI::Option* option : command->get_options()) {
      if (option->get_expected_min() > 0 && option->get_name() != "--help") option->check(nonEmpty);
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string what = e.what();
    if (what.empty()) what = "bad command line";
    std::cerr << "tamrel: error: " << OneLine(what) << " (see 'tamrel --help')\n";
    return EXIT_USAGE;
  }

  const std::string pluginPath = plugin.empty() ? DefaultPluginPath() : plugin;
  try {
    if (render->parsed()) return RunRender(pluginPath, r);
    if (params->parsed()) return RunParams(pluginPath, paramsJson);
    if (info->parsed()) return RunInfo(pluginPath);
  } catch (const Failure& f) {
    std::cerr << "tamrel: error: " << OneLine(f.message) << "\n";
    return f.code;
  } catch (const std::exception& e) {
    std::cerr << "tamrel: error: " << OneLine(e.what()) << "\n";
    return EXIT_RENDER;
  }
  return EXIT_USAGE;
}
