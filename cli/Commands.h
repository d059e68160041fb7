// The commands of tamrel, one file each; main only parses the command line and dispatches.
#pragma once

#include <nlohmann/json.hpp>

#include "engine/ImageFile.h"

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tamrel::host {

int RunParams(const std::string& pluginPath, bool asJson);
int RunInfo(const std::string& pluginPath);

struct RenderArgs {
  std::string output = "scratches.png";
  bool outputGiven = false;
  std::string maps;  // --maps LIST; empty: the one map --output names
  std::vector<std::string> mapFormats;  // MAP=EXT
  std::string size = "1024x1024";
  int threads = 0;
  std::string filter = "on";
  std::vector<std::string> sets;
  std::string preset, savePreset, scene, saveScene;
  std::string outputKind = "color";
  bool outputKindGiven = false;
  std::string normalConvention = "opengl";
  std::string geometry = "plane";
  float extent = 40.0f;
  float bumpScale = 1.0f;
  int samples = 0;  // 0: the default
  std::string roughness;
  std::string region;
  std::string sheet;  // also write the maps side by side in one picture
  std::string frames;
  int bits = 0;
  int compression = kDefaultPngCompression;
  std::string type;
  bool quiet = false;
  bool json = false;
  bool tileable = false;
  std::string offset;  // --offset X,Y
  int repeat = 1;
  std::string mesh;    // --mesh FILE: bake into the model's UV layout
  int uv = 0;          // --uv N, numbered from 1; 0: not given
  int padding = -1;    // --padding N; -1: the default
  std::string gltf;    // --gltf FILE: also a glTF asset of the model (or plane) with the maps
  std::string metallic;  // --metallic SURFACE,SCRATCH: the orm map's blue
};

// A report as --json prints it: valid JSON whatever the file names hold, every byte that is not
// part of valid UTF-8 replaced by U+FFFD.
std::string ReportText(const nlohmann::json& report);

// Declares the render command's options on its sub-command.
void AddRenderOptions(CLI::App& render, RenderArgs& args);

// Bakes as the arguments say. Files written are listed in report["files"] as they are committed
// (and removed from it again if they are taken back), so that a failure can report what exists.
int RunRender(const std::string& pluginPath, const RenderArgs& args, nlohmann::json& report);

}  // namespace tamrel::host
