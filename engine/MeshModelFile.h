// The model a command bakes onto: read within the loader's bounds, and prepared for the UV set
// the map's coordinates ask for, the same way for `tamrel render --mesh` and the editor.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/MeshSource.h"
#include "imtl.h"
#include "mesh/MeshModel.h"

namespace tamrel::host {

class ParamSchema;

// Reads the model; throws Failure (EXIT_INPUT) with the loader's one line when it cannot.
std::shared_ptr<const mesh::MeshModel> OpenMeshModel(const std::string& path);

// The UV set a bake of map onto model lays its texels out by, numbered from 1 as map channels
// are: the map's own channel when its coordinates come from one ("Explicit Map Channel" types),
// else uvOption (0: not given, the first set). Throws Failure: EXIT_USAGE for channel 0 or a
// set out of range, EXIT_INPUT when the model has no such set. A --uv the map's channel
// overrides is reported in warning.
int ChooseUvSet(Texmap& map, const ParamSchema& schema, TimeValue t,
                const mesh::MeshModel& model, int uvOption, std::string& warning);

// Names of instances that share their part's UV layout with an earlier one: where they overlap
// in the image, the texels show the first. Empty when every instance has its own part.
std::vector<std::string> SharedLayoutWarnings(const mesh::MeshModel& model);

}  // namespace tamrel::host
