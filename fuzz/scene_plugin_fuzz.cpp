// libFuzzer target for scenes of the real map: any byte string loads through the plug-in's own
// class directory (its exported class list and the default output stage) or is refused with a
// message. What loads saves and loads again; every map within the work bound is updated and
// shaded at a few samples, and its reloaded copy must give the same bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/MapWork.h"
#include "imtl.h"
#include "scenefile.h"
#include "texout.h"

extern "C" int LibNumberClasses();
extern "C" ClassDesc* LibClassDesc(int i);

namespace {

const ClassDirectory& PluginClasses() {
  static const ClassDirectory* dir = [] {
    auto* d = new ClassDirectory;
    for (int i = 0; i < LibNumberClasses(); ++i) d->AddClass(LibClassDesc(i));
    d->AddClass(GetStdTexoutClassDesc());
    return d;
  }();
  return *dir;
}

struct Shaded {
  AColor color;
  float mono;
  Point3 bump;
};

Shaded Shade(Texmap& map, int k) {
  static INode node(17);
  SampleShadeContext sc;
  const float f = static_cast<float>(k);
  sc.p = Point3(f * 1.7f - 2.0f, f * -0.9f + 0.5f, f * 0.3f);
  sc.dpdx = Point3(0.01f, 0.0f, 0.0f);
  sc.dpdy = Point3(0.0f, 0.01f, 0.0f);
  sc.SetUVW(1, Point3(f * 0.31f, f * 0.17f, 0.0f), Point3(0.002f, 0.002f, 0.0f));
  sc.screenUV = Point2(f * 0.2f, f * 0.1f);
  sc.node = &node;
  sc.filterMaps = (k & 1) != 0;
  Shaded s{};
  s.color = map.EvalColor(sc);
  sc.ClearCache();
  s.mono = map.EvalMono(sc);
  s.bump = map.EvalNormalPerturb(sc);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ClassDirectory& classes = PluginClasses();
  std::string err;
  auto scene = LoadSceneFromBytes(std::span(data, size), classes, err);
  if (!scene) {
    if (err.empty()) std::abort();  // a refusal must say why
    return 0;
  }
  std::vector<std::uint8_t> again;
  if (!SaveSceneToBytes(*scene, again, err)) std::abort();
  auto reloaded = LoadSceneFromBytes(again, classes, err);
  if (!reloaded || reloaded->NumRoots() != scene->NumRoots()) std::abort();

  for (int r = 0; r < scene->NumRoots() && r < 4; ++r) {
    auto* map = dynamic_cast<Texmap*>(scene->GetRoot(r));
    auto* copy = dynamic_cast<Texmap*>(reloaded->GetRoot(r));
    if (!map || !copy) continue;
    // Beyond the bound a bake would refuse the scene before shading it.
    if (!tamrel::host::CheckMapWork(*map).empty()) continue;
    for (TimeValue t : {0, 2400}) {
      Interval a = FOREVER, b = FOREVER;
      map->Update(t, a);
      copy->Update(t, b);
      for (int k = 0; k < 3; ++k) {
        const Shaded x = Shade(*map, k), y = Shade(*copy, k);
        // What was saved renders as what was loaded back.
        if (std::memcmp(&x, &y, sizeof x) != 0) std::abort();
      }
    }
  }
  return 0;
}
