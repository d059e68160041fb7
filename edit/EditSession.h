// The document behind the browser editor. The page holds the map's values as a preset (internal
// names, with keys for animated parameters) and sends them whole with every request, which keeps
// undo a matter of the page and makes every answer a function of what the page shows. The session
// keeps the rest: the map the document came from (a scene's map brings its sub-maps and output
// settings), and the plug-in that builds, checks, enables and renders every map.
//
// Every request builds its own map from the document's original and the values, through the
// plug-in's class descriptor, as `tamrel render --scene ... --preset ...` does; so a preview is
// the same bits as a bake of the same settings. Requests run one at a time: the SDK's editor and
// its current time are process-wide, as they are in the host application. A preview can be
// cancelled from another thread by a newer one.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "engine/Bake.h"
#include "engine/ImageFile.h"
#include "engine/MeshSource.h"
#include "engine/ParamSchema.h"
#include "scenefile.h"

namespace tamrel::host {

// A request the session refuses, with the HTTP status that fits and a one-line message.
class EditError : public std::runtime_error {
 public:
  EditError(int httpStatus, const std::string& message)
      : std::runtime_error(message), status(httpStatus) {}
  int status;
};

struct PreviewSettings {
  Geometry geometry = Geometry::PLANE;
  int size = 512;        // square image, pixels per edge
  float extent = 40.0f;  // scene units across the plane
  int frame = 0;
  // Samples per pixel: a preview's first full-size pass takes one, its final pass the default of
  // `tamrel render`, which bakes keep.
  int samples = kDefaultSamples;
};

// Limits of what the page may ask for, so one request cannot occupy the machine for minutes.
inline constexpr int kMaxPreviewSize = 2048;
inline constexpr int kMaxEditFrame = 100000;
inline constexpr int kMaxPreviewSamples = 16;
// Pages whose preview generations are remembered at once; more are forgotten together.
inline constexpr std::size_t kMaxPreviewPages = 256;
// A bake from the editor is written band by band as `tamrel render` writes it, but it holds the
// request (and the one editor) until it is done, so it stops at 8192 square.
inline constexpr int kMaxEditBakeSize = 8192;
// A progressive preview's frames: a coarse one of kCoarsePreviewSize pixels first when the
// preview is larger, a draft from the preview size kDraftFromSize on, and the final frame.
inline constexpr int kCoarsePreviewSize = 64;
inline constexpr int kDraftFromSize = 512;
enum class PreviewFrame { COARSE, DRAFT, FINAL };

// A 2048-pixel preview's PNG is at most about 16 MiB; anything larger was not written by it.
inline constexpr std::size_t kMaxPreviewFileBytes = std::size_t{64} << 20;

class EditSession {
 public:
  // cd is the plug-in's texture-map class; classes lets scenes be read. Both outlive the session.
  // software is what baked images name as their maker ("Software" tag).
  EditSession(ClassDesc& cd, ClassDirectory classes, std::string software = "tamrel");
  ~EditSession();
  EditSession(const EditSession&) = delete;
  EditSession& operator=(const EditSession&) = delete;

  const ParamSchema& Schema() const { return schema_; }
  ClassDesc& Class() { return cd_; }

  // The document: {"params": preset, "maps": {name: class name or null}, "path": file or "",
  // "kind": "new" | "scene" | "preset"}.
  nlohmann::json Document();
  // Replaces the document by a scene's map, or applies a preset over the current document's
  // sub-maps. Throws EditError and leaves the document as it was on failure.
  nlohmann::json OpenScene(const std::string& path);
  nlohmann::json OpenPreset(const std::string& path);
  // Loads the model previews and bakes of geometry "mesh" lay out in its UV layout (--mesh, as
  // tamrel render takes it; uv and padding likewise, 0 and -1 for the defaults). Throws EditError
  // 422 for a model that cannot be read; the document keeps any model it had.
  void OpenModel(const std::string& path, int uv = 0, int padding = -1);

  // Checks the values (throws EditError 400 naming the parameter) and answers what the editor
  // shows at the frame: {"values": {name: value}, "enabled": {name: bool}, "units": {name:
  // bool}, "maps": {...}}. Enabling comes from the map's own rules, run on the SDK's editor;
  // "units" names the spinners that switch units, true where they show scene units with these
  // values, as the map's rollout interface answers after its update.
  nlohmann::json State(const nlohmann::json& params, int frame);

  // Renders the colour preview as a PNG file's bytes (8-bit sRGB, as `tamrel render` writes), with
  // the bake settings `tamrel render` takes by default (kDefaultSamples samples per pixel).
  // Returns false when superseded or cancelled. generation orders previews: a newer one cancels
  // the one in flight, and an older one that arrives late is not rendered at all.
  bool Preview(const nlohmann::json& params, const PreviewSettings& settings,
               std::uint64_t generation, std::string& png);
  // The same for one of several pages: generations order the previews of each page alone, so
  // that a page opened earlier than another, or one that sent a huge generation, does not have
  // every later preview of the others refused.
  bool Preview(const nlohmann::json& params, const PreviewSettings& settings,
               const std::string& page, std::uint64_t generation, std::string& png);
  // The same preview progressively, each frame's PNG handed to `frame` as soon as it is written:
  // a coarse frame of kCoarsePreviewSize pixels when the preview is larger; from kDraftFromSize
  // on, a draft of half the size at one sample a pixel (not for a model, nor at one sample);
  // then the final frame, the bits of Preview's. A frame that returns false (its reader has
  // gone) stops the preview. False when superseded, cancelled or stopped before the final frame.
  bool ProgressivePreview(
      const nlohmann::json& params, const PreviewSettings& settings, const std::string& page,
      std::uint64_t generation,
      const std::function<bool(const std::string& png, PreviewFrame kind)>& frame);

  // The 3D view's asset: a .glb (GlbBytes of BuildGltf) of the plane, or of the model for geometry
  // "mesh", whose material reads the maps color, normal-gl, orm and anisotropy-gltf baked at the
  // settings' size through the same job as a preview. The sphere has no mesh of its own in an
  // asset: geometry "sphere" is refused (400), and the page shows the plane's maps on a sphere
  // of its own. Generations are the preview's, of the same page: an asset with a page's newest
  // generation is made, a newer preview or asset cancels it, an older one is refused (false).
  bool Asset(const nlohmann::json& params, const PreviewSettings& settings,
             const std::string& page, std::uint64_t generation, std::string& glb);

  // Writes a scene (map with sub-maps) or a preset; both replace the file only when complete.
  // Returns the absolute path written.
  std::string SaveScene(const nlohmann::json& params, const std::string& path);
  std::string SavePreset(const nlohmann::json& params, const std::string& path);
  // Bakes maps of a frame to image files through the bake job `tamrel render --maps NAMES`
  // runs, with its default settings ("normal" in the OpenGL convention) and its pixel-type rule
  // (type as --type asks; a height map refuses 8 bits). Several maps make a texture set: path
  // then needs a "{map}" pattern, which each map's name replaces, and no file is replaced until
  // every map is complete. Returns the absolute paths written, in the order of maps.
  std::vector<std::string> Bake(const nlohmann::json& params, const PreviewSettings& view,
                                const std::vector<std::string>& maps, const std::string& path,
                                PixelType type = PixelType::DEFAULT);

  // Stops the work in flight and refuses any that comes later (503), for an editor that is
  // ending on a signal: a bake or preview running now stops within a sample and leaves every
  // file as it was. Safe from any thread.
  void Interrupt(int signal);
  // 128 + the signal when it cut a bake or preview short, else 0: the editor's exit code.
  int InterruptedWork() const { return cutShort_.load(); }

  // The settings of a preview or bake of view: those `tamrel render` uses by default.
  static BakeSettings SettingsFor(const PreviewSettings& view);

 private:
  // A map of the document's class with the values applied and clones of the original's
  // sub-maps, owned by keeper. Throws EditError 400 for values the descriptors refuse.
  Texmap* BuildMap(const nlohmann::json& params, Scene& keeper);
  // The model prepared for the UV set map reads at t, when view is of the model.
  void AddModel(BakeSettings& bake, const PreviewSettings& view, Texmap& map, TimeValue t);
  nlohmann::json MapsOf(Texmap& map);
  // Bakes the frames of a preview in their order, each frame's PNG to frame; false when
  // cancelled or frame refuses.
  bool BakePreview(const nlohmann::json& params,
                   const std::vector<std::pair<PreviewSettings, PreviewFrame>>& frames,
                   std::atomic<bool>& cancel,
                   const std::function<bool(std::string png, PreviewFrame kind)>& frame);
  // Runs work (with work_ held) unless the page has a newer generation; work gets the flag a
  // newer generation of the page sets. False when refused, or when work returns false.
  bool Newest(const PreviewSettings& settings, const std::string& page, std::uint64_t generation,
              const std::function<bool(std::atomic<bool>& cancel)>& work);
  std::string Absolute(const std::string& path) const;

  ClassDesc& cd_;
  ClassDirectory classes_;
  ParamSchema schema_;
  std::string software_;
  std::string scratch_;  // private folder for encoded previews

  std::mutex work_;  // one request at a time; guards everything below
  std::unique_ptr<Scene> original_;
  Texmap* originalMap_ = nullptr;
  nlohmann::json params_;
  std::string path_, kind_ = "new";
  std::shared_ptr<const mesh::MeshModel> model_;
  int modelUv_ = 0, modelPadding_ = -1;
  std::shared_ptr<const MeshBake> prepared_;  // the model for the UV set last asked for

  std::atomic<bool> stop_{false};  // set by Interrupt, for good
  std::atomic<int> signal_{0}, cutShort_{0};

  std::mutex previewMutex_;  // guards the two below, never held while rendering
  // The newest preview generation of each page: a page's late requests are refused, another
  // page's are not.
  std::unordered_map<std::string, std::uint64_t> newestPreview_;
  std::atomic<bool>* inFlight_ = nullptr;
  std::string inFlightPage_;
};

}  // namespace tamrel::host
