#include "edit/EditSession.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "atomicfile.h"
#include "cli/CliParse.h"
#include "engine/ImageFile.h"
#include "imtl.h"
#include "iparamm2.h"
#include "maxapi.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A save goes through the same replace-when-complete path as every file tamrel writes.
void WriteFileReplacing(const std::string& path, const std::string& text, const char* what) {
  std::string error;
  if (!WriteFileAtomically(path, text, error)) {
    throw EditError(422, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

// Refuses an output whose folder is missing before anything is rendered.
void CheckFolder(const std::string& path, const char* what) {
  if (path.empty()) throw EditError(400, std::string("the ") + what + " needs a file name");
  const fs::path p(path);
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    throw EditError(422, std::string("cannot write ") + what + " " + path + ": folder " +
                             dir.string() + " does not exist");
  }
  if (fs::is_directory(p, ec)) {
    throw EditError(422, std::string("cannot write ") + what + " " + path + ": it is a folder");
  }
}

TimeValue FrameTime(int frame) {
  if (frame < 0 || frame > kMaxEditFrame) {
    throw EditError(400, "the frame must be from 0 to " + std::to_string(kMaxEditFrame));
  }
  return frame * kTicksPerFrame;
}

}  // namespace

EditSession::EditSession(ClassDesc& cd, ClassDirectory classes, std::string software)
    : cd_(cd), classes_(std::move(classes)), schema_(cd), software_(std::move(software)) {
  std::string pattern = (fs::temp_directory_path() / "tamrel-edit.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw EditError(500, "cannot create a temporary folder");
  scratch_ = pattern;
  original_ = std::make_unique<Scene>();
  originalMap_ = static_cast<Texmap*>(cd_.Create(FALSE));
  if (!originalMap_) throw EditError(500, "the plug-in did not create a map");
  original_->AddRoot(originalMap_);
  params_ = schema_.ToJson(*originalMap_);
}

EditSession::~EditSession() {
  std::error_code ec;
  fs::remove_all(scratch_, ec);
}

std::string EditSession::Absolute(const std::string& path) const {
  std::error_code ec;
  const fs::path abs = fs::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

Texmap* EditSession::BuildMap(const json& params, Scene& keeper) {
  auto* map = static_cast<Texmap*>(cd_.Create(FALSE));
  if (!map) throw EditError(500, "the plug-in did not create a map");
  keeper.AddRoot(map);
  // The original's sub-maps and output object, as clones: the built map is changed by Update.
  for (const ParamEntry& p : schema_.Params()) {
    if (!p.def->IsReference()) continue;
    IParamBlock2* from = originalMap_->GetParamBlockByID(p.block->ID);
    IParamBlock2* to = map->GetParamBlockByID(p.block->ID);
    if (!from || !to) continue;
    Interval iv = FOREVER;
    ReferenceTarget* target = nullptr;
    from->GetValue(p.def->ID, 0, target, iv);
    if (!target) continue;
    ReferenceTarget* clone = CloneRefHierarchy(target);
    if (!clone || !to->SetValue(p.def->ID, 0, clone)) {
      throw EditError(500, "cannot copy \"" + p.name + "\" of the document's map");
    }
  }
  try {
    schema_.FromJson(*map, params);
  } catch (const ParamError& e) {
    throw EditError(400, e.what());
  }
  return map;
}

json EditSession::MapsOf(Texmap& map) {
  json maps = json::object();
  for (const ParamEntry& p : schema_.Params()) {
    if (p.def->type != TYPE_TEXMAP) continue;
    IParamBlock2* block = map.GetParamBlockByID(p.block->ID);
    Texmap* sub = nullptr;
    Interval iv = FOREVER;
    if (block) block->GetValue(p.def->ID, 0, sub, iv);
    if (sub) {
      MSTR name;
      sub->GetClassName(name);
      maps[p.name] = Narrow(name);
    } else {
      maps[p.name] = nullptr;
    }
  }
  return maps;
}

json EditSession::Document() {
  std::lock_guard lock(work_);
  return {{"params", params_}, {"maps", MapsOf(*originalMap_)}, {"path", path_}, {"kind", kind_}};
}

json EditSession::OpenScene(const std::string& path) {
  std::lock_guard lock(work_);
  const std::string abs = Absolute(path);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw EditError(404, "cannot read scene " + abs);
  std::string error;
  std::unique_ptr<Scene> scene = LoadScene(path, classes_, error);
  if (!scene) throw EditError(422, "cannot load scene " + abs + ": " + error);
  Texmap* found = nullptr;
  for (int i = 0; i < scene->NumRoots() && !found; ++i) {
    ReferenceTarget* root = scene->GetRoot(i);
    if (root && root->SuperClassID() == TEXMAP_CLASS_ID && root->ClassID() == cd_.ClassID()) {
      found = static_cast<Texmap*>(root);
    }
  }
  if (!found) {
    throw EditError(422,
                    "scene " + abs + " holds no " + Narrow(cd_.NonLocalizedClassName()) + " map");
  }
  original_ = std::move(scene);
  originalMap_ = found;
  params_ = schema_.ToJson(*found);
  path_ = abs;
  kind_ = "scene";
  return {{"params", params_}, {"maps", MapsOf(*originalMap_)}, {"path", path_}, {"kind", kind_}};
}

json EditSession::OpenPreset(const std::string& path) {
  std::lock_guard lock(work_);
  const std::string abs = Absolute(path);
  std::error_code ec;
  if (!fs::exists(abs, ec)) throw EditError(404, "cannot read preset " + abs);
  json preset;
  try {
    preset = ReadPresetFile(abs);
  } catch (const ParamError& e) {
    throw EditError(422, e.what());
  }
  // A preset carries values only: it is applied over a new map with the document's sub-maps,
  // as `tamrel render --scene ... --preset ...` applies it.
  Scene keeper;
  Texmap* map;
  try {
    map = BuildMap(preset, keeper);
  } catch (const EditError& e) {
    throw EditError(422, "preset " + abs + ": " + e.what());
  }
  params_ = schema_.ToJson(*map);
  path_ = abs;
  kind_ = "preset";
  return {{"params", params_}, {"maps", MapsOf(*originalMap_)}, {"path", path_}, {"kind", kind_}};
}

json EditSession::State(const json& params, int frame) {
  const TimeValue t = FrameTime(frame);
  std::lock_guard lock(work_);
  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  json values = json::object(), enabled = json::object();
  // The editor as the material editor opens it; the map's update runs its enabling rules.
  GetCOREInterface()->SetTime(t);
  ParamDlg* dlg = map->CreateParamDlg(nullptr, nullptr);
  Interval valid = FOREVER;
  map->Update(t, valid);
  for (const ParamEntry& p : schema_.Params()) {
    IParamBlock2* block = map->GetParamBlockByID(p.block->ID);
    IParamMap2* editor = block ? block->GetMap(0) : nullptr;
    enabled[p.name] = editor ? editor->IsEnabled(p.def->ID) : true;
    if (!p.def->IsReference()) values[p.name] = ParamSchema::ValueJson(*map, p, t);
  }
  if (dlg) dlg->DeleteThis();
  return {{"values", values}, {"enabled", enabled}, {"maps", MapsOf(*map)}};
}

std::string EditSession::EncodePng(const Raster& raster, const std::string& scratchFolder) {
  static std::atomic<unsigned> counter{0};
  const std::string path =
      (fs::path(scratchFolder) / ("preview" + std::to_string(counter++) + ".png")).string();
  ImageFileOptions options;
  if (std::string why = WriteImageFile(path, raster, options); !why.empty()) {
    throw EditError(500, why);
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::error_code ec;
  fs::remove(path, ec);
  return bytes.str();
}

bool EditSession::Preview(const json& params, const PreviewSettings& settings,
                          std::uint64_t generation, std::string& png) {
  if (settings.size < 1 || settings.size > kMaxPreviewSize) {
    throw EditError(400, "the preview size must be from 1 to " + std::to_string(kMaxPreviewSize));
  }
  const TimeValue t = FrameTime(settings.frame);
  {
    std::lock_guard lock(previewMutex_);
    if (generation < newestPreview_) return false;
    if (generation > newestPreview_) {
      newestPreview_ = generation;
      if (inFlight_) inFlight_->store(true);
    }
  }
  std::lock_guard lock(work_);
  std::atomic<bool> cancel{false};
  {
    std::lock_guard plock(previewMutex_);
    if (generation < newestPreview_) return false;
    inFlight_ = &cancel;
  }
  struct Release {
    EditSession& s;
    std::atomic<bool>* mine;
    ~Release() {
      std::lock_guard plock(s.previewMutex_);
      if (s.inFlight_ == mine) s.inFlight_ = nullptr;
    }
  } release{*this, &cancel};

  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  BakeSettings bake = SettingsFor(settings);
  bake.render.cancel = &cancel;
  std::vector<Raster> rasters;
  try {
    if (!BakeFrame(*map, t, bake, rasters)) return false;
  } catch (const BakeError& e) {
    throw EditError(400, e.what());
  }
  png = EncodePng(rasters.front(), scratch_);
  return true;
}

std::string EditSession::SaveScene(const json& params, const std::string& path) {
  CheckFolder(path, "scene");
  std::lock_guard lock(work_);
  Scene keeper;
  BuildMap(params, keeper);
  std::string error;
  if (!::SaveScene(keeper, path, error)) {
    throw EditError(422, "cannot write scene " + path + ": " + error);
  }
  params_ = params;
  path_ = Absolute(path);
  kind_ = "scene";
  return path_;
}

std::string EditSession::SavePreset(const json& params, const std::string& path) {
  CheckFolder(path, "preset");
  std::lock_guard lock(work_);
  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  WriteFileReplacing(path, schema_.ToJson(*map).dump(2) + "\n", "preset");
  return Absolute(path);
}

BakeSettings EditSession::SettingsFor(const PreviewSettings& view) {
  BakeSettings bake;
  bake.view.geometry = view.geometry;
  bake.view.width = bake.view.height = view.size;
  bake.view.extent = view.extent;
  bake.samples = kDefaultSamples;
  return bake;
}

std::vector<std::string> EditSession::Bake(const json& params, const PreviewSettings& view,
                                           const std::vector<MapKind>& maps,
                                           const std::string& path) {
  const TimeValue t = FrameTime(view.frame);
  if (view.size < 1 || view.size > kMaxEditBakeSize) {
    throw EditError(400, "the bake size must be from 1 to " + std::to_string(kMaxEditBakeSize));
  }
  if (maps.empty()) throw EditError(400, "a bake needs at least one map");
  if (maps.size() > 1 && !HasMapPattern(path)) {
    throw EditError(400, "baking several maps needs a '{map}' pattern in the file name " + path +
                             " (for example steel_{map}.png)");
  }
  // Each map's file, pixel type and tags.
  struct Output {
    MapKind kind;
    std::string name, path;
    ImageFileOptions options;
  };
  std::vector<Output> outputs;
  for (const MapKind kind : maps) {
    Output o;
    o.kind = kind;
    o.name = kind == MapKind::NORMAL_GL ? "normal" : MapKindName(kind);
    o.path = ExpandMapPattern(path, o.name);
    CheckFolder(o.path, "image");
    for (const Output& other : outputs) {
      if (other.kind == kind) throw EditError(400, "the map " + o.name + " is asked for twice");
    }
    o.options.data = IsDataMap(kind);
    PixelType resolved;
    if (std::string why = ResolvePixelType(o.path, o.options, resolved); !why.empty()) {
      throw EditError(400, why);
    }
    if (kind == MapKind::HEIGHT && resolved == PixelType::UINT8) {
      o.options.type = PixelType::UINT16;
    }
    outputs.push_back(std::move(o));
  }
  BakeSettings bake = SettingsFor(view);
  bake.maps = maps;
  if (std::string why = CheckBakeSettings(bake); !why.empty()) throw EditError(400, why);
  std::lock_guard lock(work_);
  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  // What reproduces each image, as `tamrel render` records it.
  const json description = {{"tamrel",
                             {{"frame", view.frame},
                              {"fps", kFramesPerSecond},
                              {"size", {view.size, view.size}},
                              {"samples", bake.samples},
                              {"geometry", view.geometry == Geometry::SPHERE ? "sphere" : "plane"},
                              {"extent", view.extent},
                              {"filter", bake.filter},
                              {"normal_convention", "opengl"},
                              {"bump_scale", bake.bumpScale},
                              {"roughness", {bake.roughnessSurface, bake.roughnessScratch}}}},
                            {"params", schema_.ToJson(*map)}};
  std::vector<std::unique_ptr<ImageFileWriter>> writers;
  for (Output& o : outputs) {
    json tagged = description;
    tagged["tamrel"]["output"] = o.name;
    o.options.metadata = {{"ImageDescription", tagged.dump()}, {"Software", software_}};
    auto writer = std::make_unique<ImageFileWriter>();
    if (std::string why =
            writer->Open(o.path, view.size, view.size, MapChannels(o.kind), o.options);
        !why.empty()) {
      throw EditError(422, why);
    }
    writers.push_back(std::move(writer));
  }
  bool sinkFailed = false;
  try {
    BakeFrame(*map, t, bake, [&](int y0, int y1, const std::vector<Raster>& bands) {
      for (std::size_t i = 0; i < bands.size(); ++i) {
        std::string why = writers[i]->WriteRows(y0, y1, bands[i].pixels.data());
        if (!why.empty()) {
          sinkFailed = true;
          return why;
        }
      }
      return std::string();
    });
  } catch (const BakeError& e) {
    throw EditError(sinkFailed ? 422 : 400, e.what());
  }
  if (std::string why = CloseAndCommitAll(writers); !why.empty()) throw EditError(422, why);
  std::vector<std::string> written;
  for (const auto& w : writers) written.push_back(Absolute(w->path()));
  return written;
}

}  // namespace tamrel::host
