// The bake job: everything between "a map, a view and the settings" and "files committed on
// disk". It plans the outputs (file names from the {map} and frame patterns, per-map formats, one
// pixel-type rule, clashing names), checks them before any work, streams every frame band by band
// into temporary files with the metadata that reproduces them (or lays a tile out N x N times),
// writes the contact sheet, and commits the files of a frame together, so that a failed or
// interrupted frame leaves every previous file as it was. `tamrel render`, the editor's Bake and
// the editor's preview all run through it; failures carry the exit code of their kind.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

#include "engine/Bake.h"
#include "engine/ImageFile.h"

namespace tamrel::host {

// What is to be written, in the words the user gave.
struct OutputRequest {
  // The file, or a template: "{map}" takes each map's name, a run of '#' the frame number.
  std::string output = "scratches.png";
  // How the output is named in messages: "-o" on the command line, "the file name" elsewhere.
  std::string outputLabel = "-o";
  std::vector<std::string> maps{"color"};  // names as asked ("normal" follows the convention)
  std::string mapsOption = "--maps";       // how the maps were asked for, in messages
  NormalConvention convention = NormalConvention::OPENGL;
  std::vector<std::string> mapFormats;  // MAP=EXT: a map's own extension
  PixelType type = PixelType::DEFAULT;  // asked by name
  int bits = 0;                         // 8, 16 (half in EXR) or 32; 0: not asked
  int compression = kDefaultPngCompression;  // PNG's zlib level, 0 to 9, for every PNG written
  std::string sheet;                    // also the maps side by side in one picture
  int repeat = 1;                       // each map laid out repeat x repeat times
  int firstFrame = 0, lastFrame = 0;
  // Other files the run writes (what, path): "the preset", "the scene". No two outputs may name
  // one file, or one would silently replace the other.
  std::vector<std::pair<std::string, std::string>> otherOutputs;
};

// One map of the set: what it is, the name it was asked by, its file and how it is written.
struct MapOutput {
  MapKind kind = MapKind::COLOR;
  std::string name;          // as asked ("normal" stays "normal" in file names)
  std::string pathTemplate;  // may still hold a frame pattern
  ImageFileOptions options;
  PixelType type = PixelType::DEFAULT;  // the resolved type
};

struct OutputPlan {
  std::vector<MapOutput> maps;
  std::string sheet;
  ImageFileOptions sheetOptions;
  int repeat = 1;
  NormalConvention convention = NormalConvention::OPENGL;
};

// Checks the request against the settings and plans every file; throws Failure (EXIT_USAGE for a
// request that cannot be baked, EXIT_OUTPUT for an output that could not be written) before any
// work. Sets settings.maps to the planned maps.
OutputPlan PlanOutputs(const OutputRequest& request, BakeSettings& settings);

// A file a frame committed, as reports list it.
struct WrittenFile {
  std::string path;  // absolute
  std::string map;   // the map's name as asked, or "sheet"
  int width = 0, height = 0, channels = 0;
  PixelType type = PixelType::DEFAULT;
  std::string colorSpace;  // "sRGB" or "Linear"
  int frame = 0;
  nlohmann::json Json() const;
};

struct FrameResult {
  bool complete = false;  // false: cancelled through settings.render.cancel, nothing written
  std::vector<WrittenFile> files;
  TileNudge nudge;  // of a tileable bake
  std::int64_t coveredPixels = 0;  // pixels where any sample shows the surface
};

class BakeJob {
 public:
  // software names the maker in every image ("Software").
  BakeJob(OutputPlan plan, BakeSettings settings, std::string software);

  const OutputPlan& Plan() const { return plan_; }
  Region Rect() const { return BakeRegion(settings_); }

  // The settings that reproduce the images, as their descriptions record them, with the
  // parameters (and keys) of the map.
  nlohmann::json Description(int frame, const nlohmann::json& params) const;

  // Bakes map at the frame into every planned file and commits them together. progress receives
  // pixels done out of all. Throws Failure: EXIT_OUTPUT when a file cannot be written,
  // EXIT_USAGE for a bake the map cannot give, EXIT_RENDER when the render fails, 128 + the
  // signal when a signal stopped it; a cancelled bake returns incomplete. Either way no file of
  // the frame replaces one on disk unless all of them do.
  FrameResult RunFrame(Texmap& map, int frame, const nlohmann::json& params,
                       const std::function<void(std::int64_t, std::int64_t)>& progress = {});

 private:
  OutputPlan plan_;
  BakeSettings settings_;
  std::string software_;
};

// A tileable bake's period and how far it moved the scratches, as descriptions and reports
// record it.
nlohmann::json TileableJson(int period, const TileNudge& nudge);

// The model of a mesh bake as descriptions and reports record it: its file, triangles, instances,
// the UV set (numbered from 1, as map channels are), where its tangents came from and the padding.
nlohmann::json MeshJson(const MeshBake& mesh);

}  // namespace tamrel::host
