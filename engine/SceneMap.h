// The map a bake starts from when it comes from a scene file: the scene read within its size
// limit, the first map of the plug-in's class among its roots, and the work bound applied to it
// and its sub-maps, so that no scene can ask for hours a sample of any command.
#pragma once

#include <memory>
#include <string>

#include "imtl.h"
#include "scenefile.h"

namespace tamrel::host {

// The scene's map, owned by scene. Throws Failure (EXIT_INPUT) with a one-line reason when the
// file cannot be read or loaded, holds no map of cd's class, or asks for more work than the bound.
Texmap* OpenSceneMap(const std::string& path, ClassDesc& cd, const ClassDirectory& classes,
                     std::unique_ptr<Scene>& scene);

}  // namespace tamrel::host
