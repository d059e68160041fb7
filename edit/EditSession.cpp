#include "edit/EditSession.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "boundedread.h"
#include "engine/BakeJob.h"
#include "engine/GltfExport.h"
#include "engine/Host.h"
#include "engine/MeshModelFile.h"
#include "engine/OutputFiles.h"
#include "engine/SceneMap.h"
#include "cli/CliParse.h"
#include "engine/ImageFile.h"
#include "imtl.h"
#include "iparamm2.h"
#include "maxapi.h"
#include "rolloutinfo.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The engine's failures as the editor answers them: what the request asked wrong is 400, a file
// that cannot be read or written 422, an interrupted run 503, anything else 500.
EditError AsEditError(const Failure& f) {
  switch (f.code) {
    case EXIT_USAGE:
      return EditError(400, f.message);
    case EXIT_INPUT:
    case EXIT_OUTPUT:
      return EditError(422, f.message);
    default:
      return EditError(f.code >= 128 ? 503 : 500, f.message);
  }
}

// Runs an engine step, answering its failure as the editor does.
template <typename F>
auto Engine(F&& step) {
  try {
    return step();
  } catch (const Failure& f) {
    throw AsEditError(f);
  }
}

TimeValue FrameTime(int frame) {
  if (frame < 0 || frame > kMaxEditFrame) {
    throw EditError(400, "the frame must be from 0 to " + std::to_string(kMaxEditFrame));
  }
  return frame * kTicksPerFrame;
}

// A progressive preview's draft: half the size at one sample a pixel, a sixteenth of the final
// frame's samples at four. A full-size draft at one sample, whose samples lie a pixel apart and
// share few of the pattern's cells, costs twice as much a sample as the final frame's.
PreviewSettings DraftOf(const PreviewSettings& settings) {
  PreviewSettings draft = settings;
  draft.size = (settings.size + 1) / 2;
  draft.samples = 1;
  return draft;
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
  json doc = {{"params", params_}, {"maps", MapsOf(*originalMap_)}, {"path", path_}, {"kind", kind_}};
  if (model_) {
    doc["mesh"] = {{"file", model_->source},
                   {"triangles", model_->TriangleCount()},
                   {"uv_sets", model_->CommonUvSets()}};
  }
  return doc;
}

void EditSession::OpenModel(const std::string& path, int uv, int padding) {
  std::shared_ptr<const mesh::MeshModel> model = Engine([&] { return OpenMeshModel(path); });
  std::lock_guard lock(work_);
  model_ = std::move(model);
  modelUv_ = uv;
  modelPadding_ = padding;
  prepared_.reset();
}

void EditSession::AddModel(BakeSettings& bake, const PreviewSettings& view, Texmap& map,
                           TimeValue t) {
  if (view.geometry != Geometry::MESH) return;
  if (!model_) throw EditError(400, "\"geometry\" mesh needs a model (tamrel edit --mesh FILE)");
  std::string warning;
  const int set = Engine([&] { return ChooseUvSet(map, schema_, t, *model_, modelUv_, warning); });
  // Tangents are made once per UV set, not for every preview.
  if (!prepared_ || prepared_->uvSet != set - 1) {
    prepared_ = PrepareMeshBake(model_, set - 1,
                                modelPadding_ >= 0 ? modelPadding_ : kDefaultPadding);
  }
  bake.mesh = prepared_;
}

json EditSession::OpenScene(const std::string& path) {
  std::lock_guard lock(work_);
  const std::string abs = Absolute(path);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw EditError(404, "cannot read scene " + abs);
  std::unique_ptr<Scene> scene;
  Texmap* found = Engine([&] { return OpenSceneMap(abs, cd_, classes_, scene); });
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
  // Which spinners show scene units follows the values just read, as the rollouts' spinners do.
  auto* info = static_cast<IRolloutInfo*>(map->GetInterface(I_ROLLOUTINFO));
  json units = json::object();
  for (const ParamEntry& p : schema_.Params()) {
    IParamBlock2* block = map->GetParamBlockByID(p.block->ID);
    IParamMap2* editor = block ? block->GetMap(0) : nullptr;
    enabled[p.name] = editor ? editor->IsEnabled(p.def->ID) : true;
    if (!p.def->IsReference()) values[p.name] = ParamSchema::ValueJson(*map, p, t);
    if (info && info->IsUnitSpinner(p.block->ID, p.def->ID)) {
      units[p.name] = info->InSceneUnits(p.block->ID, p.def->ID) != FALSE;
    }
  }
  if (dlg) dlg->DeleteThis();
  return {{"values", values}, {"enabled", enabled}, {"units", units}, {"maps", MapsOf(*map)}};
}

bool EditSession::Preview(const json& params, const PreviewSettings& settings,
                          std::uint64_t generation, std::string& png) {
  return Preview(params, settings, std::string(), generation, png);
}

bool EditSession::Newest(const PreviewSettings& settings, const std::string& page,
                         std::uint64_t generation,
                         const std::function<bool(std::atomic<bool>& cancel)>& work) {
  if (settings.size < 1 || settings.size > kMaxPreviewSize) {
    throw EditError(400, "the preview size must be from 1 to " + std::to_string(kMaxPreviewSize));
  }
  FrameTime(settings.frame);  // refuses a frame out of range
  if (stop_) throw EditError(503, "the editor is stopping");
  {
    std::lock_guard lock(previewMutex_);
    // Pages long closed are forgotten; their generations then start afresh.
    if (newestPreview_.size() > kMaxPreviewPages && !newestPreview_.count(page)) {
      newestPreview_.clear();
    }
    std::uint64_t& newest = newestPreview_[page];
    if (generation < newest) return false;
    if (generation > newest) {
      newest = generation;
      if (inFlight_ && inFlightPage_ == page) inFlight_->store(true);
    }
  }
  std::lock_guard lock(work_);
  std::atomic<bool> cancel{false};
  {
    std::lock_guard plock(previewMutex_);
    if (generation < newestPreview_[page] || stop_) return false;
    inFlight_ = &cancel;
    inFlightPage_ = page;
  }
  struct Release {
    EditSession& s;
    std::atomic<bool>* mine;
    ~Release() {
      std::lock_guard plock(s.previewMutex_);
      if (s.inFlight_ == mine) s.inFlight_ = nullptr;
    }
  } release{*this, &cancel};
  return work(cancel);
}

bool EditSession::Preview(const json& params, const PreviewSettings& settings,
                          const std::string& page, std::uint64_t generation, std::string& png) {
  return Newest(settings, page, generation, [&](std::atomic<bool>& cancel) {
    return BakePreview(params, {{settings, PreviewFrame::FINAL}}, cancel,
                       [&png](std::string bytes, PreviewFrame) {
                         png = std::move(bytes);
                         return true;
                       });
  });
}

bool EditSession::ProgressivePreview(
    const json& params, const PreviewSettings& settings, const std::string& page,
    std::uint64_t generation, const std::function<bool(const std::string&, PreviewFrame)>& frame) {
  return Newest(settings, page, generation, [&](std::atomic<bool>& cancel) {
    std::vector<std::pair<PreviewSettings, PreviewFrame>> frames;
    if (settings.size > kCoarsePreviewSize) {
      PreviewSettings coarse = settings;
      coarse.size = kCoarsePreviewSize;
      frames.emplace_back(coarse, PreviewFrame::COARSE);
    }
    // A model's preview is its UV layout with padding, which a draft would lay out again.
    if (settings.size >= kDraftFromSize && settings.samples > 1 &&
        settings.geometry != Geometry::MESH) {
      frames.emplace_back(DraftOf(settings), PreviewFrame::DRAFT);
    }
    frames.emplace_back(settings, PreviewFrame::FINAL);
    return BakePreview(params, frames, cancel, frame);
  });
}

bool EditSession::BakePreview(
    const json& params, const std::vector<std::pair<PreviewSettings, PreviewFrame>>& frames,
    std::atomic<bool>& cancel,
    const std::function<bool(std::string png, PreviewFrame kind)>& frame) {
  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  const json values = schema_.ToJson(*map);
  for (const auto& [settingsOfFrame, kind] : frames) {
    const PreviewSettings& settings = settingsOfFrame;  // a lambda cannot take a binding's name
    // A bake of the colour through the same job as every bake, to a file of the session's own
    // folder that is read back and removed.
    static std::atomic<unsigned> counter{0};
    OutputRequest request;
    request.output =
        (fs::path(scratch_) / ("preview" + std::to_string(counter++) + ".png")).string();
    request.compression = 1;
    BakeSettings bake = SettingsFor(settings);
    bake.render.cancel = &cancel;
    AddModel(bake, settings, *map, FrameTime(settings.frame));
    const FrameResult done = Engine([&] {
      BakeJob job(PlanOutputs(request, bake), bake, software_);
      return job.RunFrame(*map, settings.frame, values);
    });
    if (!done.complete) {
      if (stop_) cutShort_ = 128 + signal_.load();
      return false;
    }
    std::string png, error;
    const bool read = ReadRegularFile(request.output, kMaxPreviewFileBytes, png, error);
    std::error_code ec;
    fs::remove(request.output, ec);
    if (!read) throw EditError(500, "cannot read the preview back: " + error);
    if (!frame(std::move(png), kind)) return false;
  }
  return true;
}

bool EditSession::Asset(const json& params, const PreviewSettings& settings,
                        const std::string& page, std::uint64_t generation, std::string& glb) {
  return Newest(settings, page, generation, [&](std::atomic<bool>& cancel) {
    Scene keeper;
    Texmap* map = BuildMap(params, keeper);
    static const char* const kMaps[GLTF_IMAGES] = {"color", "normal-gl", "orm",
                                                   "anisotropy-gltf"};
    static std::atomic<unsigned> counter{0};
    OutputRequest request;
    request.output = (fs::path(scratch_) /
                      ("asset" + std::to_string(counter++) + "-{map}.png")).string();
    request.maps.assign(std::begin(kMaps), std::end(kMaps));
    BakeSettings bake = SettingsFor(settings);
    bake.render.cancel = &cancel;
    AddModel(bake, settings, *map, FrameTime(settings.frame));
    if (settings.geometry == Geometry::SPHERE) {
      // The sphere of an asset is a model of the preview's, the set baked into its UV layout.
      bake.view.geometry = Geometry::MESH;
      bake.mesh = PrepareMeshBake(PreviewSphereModel(settings.extent), 0, kDefaultPadding);
    }
    const json values = schema_.ToJson(*map);
    const FrameResult done = Engine([&] {
      // Planned first: the plan sets the settings' maps, which the job then takes.
      OutputPlan plan = PlanOutputs(request, bake);
      BakeJob job(std::move(plan), bake, software_);
      return job.RunFrame(*map, settings.frame, values);
    });
    // The images are read back in the asset's order, whatever order the job wrote them in.
    GltfImageRef images[GLTF_IMAGES];
    std::string error;
    bool read = done.complete;
    for (int k = 0; k < GLTF_IMAGES; ++k) {
      const std::string path = ExpandMapPattern(request.output, kMaps[k]);
      if (read && !ReadRegularFile(path, kMaxPreviewFileBytes, images[k].bytes, error)) {
        read = false;
        error = "cannot read the " + std::string(kMaps[k]) + " map back: " + error;
      }
      std::error_code ec;
      fs::remove(path, ec);
    }
    // The 3D view's asset is the view's own refresh, which nobody asked to be written: an
    // editor stopped while it is made has lost nothing and ends as an idle one does.
    if (!done.complete) return false;
    if (!read) throw EditError(500, error);
    const GltfScene scene{bake.mesh.get(), bake.view};
    glb = Engine([&] { return GlbBytes(BuildGltf(scene, images, software_, std::string())); });
    return true;
  });
}

std::string EditSession::SaveScene(const json& params, const std::string& path) {
  Engine([&] { CheckWritableFolder(path, "scene"); });
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
  Engine([&] { CheckWritableFolder(path, "preset"); });
  std::lock_guard lock(work_);
  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  Engine([&] { WriteTextFile(path, schema_.ToJson(*map).dump(2) + "\n", "preset"); });
  return Absolute(path);
}

void EditSession::Interrupt(int signal) {
  signal_ = signal;
  stop_ = true;
  std::lock_guard lock(previewMutex_);
  if (inFlight_) inFlight_->store(true);
}

BakeSettings EditSession::SettingsFor(const PreviewSettings& view) {
  BakeSettings bake;
  bake.view.geometry = view.geometry;
  bake.view.width = bake.view.height = view.size;
  bake.view.extent = view.extent;
  bake.samples = view.samples;
  return bake;
}

std::vector<std::string> EditSession::Bake(const json& params, const PreviewSettings& view,
                                           const std::vector<std::string>& maps,
                                           const std::string& path, PixelType type) {
  FrameTime(view.frame);
  if (view.size < 1 || view.size > kMaxEditBakeSize) {
    throw EditError(400, "the bake size must be from 1 to " + std::to_string(kMaxEditBakeSize));
  }
  if (maps.empty()) throw EditError(400, "a bake needs at least one map");
  OutputRequest request;
  request.output = path;
  request.outputLabel = "the file name";
  request.maps = maps;
  request.mapsOption = "a map to bake";
  request.type = type;
  request.firstFrame = request.lastFrame = view.frame;
  BakeSettings bake = SettingsFor(view);
  bake.render.cancel = &stop_;
  OutputPlan plan = Engine([&] { return PlanOutputs(request, bake); });
  std::lock_guard lock(work_);
  if (stop_) throw EditError(503, "the editor is stopping");
  Scene keeper;
  Texmap* map = BuildMap(params, keeper);
  AddModel(bake, view, *map, FrameTime(view.frame));
  const json values = schema_.ToJson(*map);
  const FrameResult done = Engine([&] {
    BakeJob job(std::move(plan), bake, software_);
    return job.RunFrame(*map, view.frame, values);
  });
  if (!done.complete) {
    cutShort_ = 128 + signal_.load();
    throw EditError(503, "interrupted; " + ExpandMapPattern(path, maps.front()) +
                             (maps.size() > 1 ? " and the other maps were" : " was") +
                             " not written");
  }
  std::vector<std::string> written;
  for (const WrittenFile& f : done.files) written.push_back(f.path);
  return written;
}

}  // namespace tamrel::host
