#include "engine/MeshModelFile.h"

#include "engine/EchoText.h"
#include "engine/Host.h"
#include "engine/ParamSchema.h"
#include "mesh/MeshLoad.h"

namespace tamrel::host {
namespace {

// The map's int parameter by internal name at t, from whichever block declares it.
bool IntParam(Texmap& map, const ParamSchema& schema, const char* name, TimeValue t, int& value) {
  const ParamEntry* p = schema.Find(name);
  if (!p) return false;
  const nlohmann::json v = ParamSchema::ValueJson(map, *p, t);
  if (!v.is_number_integer()) return false;
  value = v.get<int>();
  return true;
}

}  // namespace

std::shared_ptr<const mesh::MeshModel> OpenMeshModel(const std::string& path) {
  try {
    return std::make_shared<const mesh::MeshModel>(mesh::LoadMesh(path));
  } catch (const mesh::MeshError& e) {
    Fail(EXIT_INPUT, OneLine(e.what()));
  }
}

int ChooseUvSet(Texmap& map, const ParamSchema& schema, TimeValue t,
                const mesh::MeshModel& model, int uvOption, std::string& warning) {
  const int sets = model.CommonUvSets();
  int mapType = -1, channel = 0;
  // Types 0 and 1 take their coordinates from a map channel: the texels must follow it.
  if (IntParam(map, schema, "xyz_map", t, mapType) && (mapType == 0 || mapType == 1) &&
      IntParam(map, schema, "xyz_chan", t, channel)) {
    if (channel < 1) {
      Fail(EXIT_USAGE, "the map reads map channel " + std::to_string(channel) +
                           ", which holds no UV set; set \"xyz_chan\" from 1 to " +
                           std::to_string(sets));
    }
    if (channel > sets) {
      Fail(EXIT_INPUT, model.source + " has " + std::to_string(sets) +
                           (sets == 1 ? " UV set" : " UV sets") + ", but the map reads map channel " +
                           std::to_string(channel));
    }
    if (uvOption != 0 && uvOption != channel) {
      warning = "--uv " + std::to_string(uvOption) + " is ignored: the map's coordinates come from "
                "map channel " + std::to_string(channel) + ", so its texels are laid out by it";
    }
    return channel;
  }
  const int set = uvOption == 0 ? 1 : uvOption;
  if (set < 1 || set > sets) {
    Fail(EXIT_USAGE, "--uv " + std::to_string(set) + " is not a UV set of " + model.source +
                         ", which has " + std::to_string(sets) + (sets == 1 ? " set" : " sets") +
                         " (numbered from 1)");
  }
  return set;
}

std::vector<std::string> SharedLayoutWarnings(const mesh::MeshModel& model) {
  std::vector<std::string> out;
  std::vector<int> firstUser(model.parts.size(), -1);
  for (std::size_t i = 0; i < model.instances.size(); ++i) {
    int& first = firstUser[model.instances[i].part];
    if (first < 0) {
      first = static_cast<int>(i);
      continue;
    }
    out.push_back("instance " + Quote(model.instances[i].name) + " shares its UV layout with " +
                  Quote(model.instances[first].name) + "; its texels show " +
                  Quote(model.instances[first].name) + ", the first in the file");
  }
  return out;
}

}  // namespace tamrel::host
