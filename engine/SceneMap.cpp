#include "engine/SceneMap.h"

#include <cstdint>
#include <span>

#include "boundedread.h"
#include "engine/Host.h"
#include "engine/MapWork.h"
#include "engine/ParamSchema.h"

namespace tamrel::host {

Texmap* OpenSceneMap(const std::string& path, ClassDesc& cd, const ClassDirectory& classes,
                     std::unique_ptr<Scene>& scene) {
  std::string bytes, error;
  if (!ReadRegularFile(path, kSceneMaxFileBytes, bytes, error)) {
    Fail(EXIT_INPUT, "cannot read scene " + path + ": " + error);
  }
  scene = LoadSceneFromBytes(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), classes,
      error);
  if (!scene) Fail(EXIT_INPUT, "cannot load scene " + path + ": " + error);
  for (int i = 0; i < scene->NumRoots(); ++i) {
    ReferenceTarget* root = scene->GetRoot(i);
    if (root && root->SuperClassID() == TEXMAP_CLASS_ID && root->ClassID() == cd.ClassID()) {
      auto* map = static_cast<Texmap*>(root);
      if (std::string why = CheckMapWork(*map); !why.empty()) {
        Fail(EXIT_INPUT, "scene " + path + ": " + why);
      }
      return map;
    }
  }
  Fail(EXIT_INPUT, "scene " + path + " holds no " + Narrow(cd.NonLocalizedClassName()) + " map");
}

}  // namespace tamrel::host
