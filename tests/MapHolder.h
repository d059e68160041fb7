// Test pieces for suites that drive the scratches map directly: a map created through its class
// descriptor and kept alive by a scene, its update, and a sub-map of fixed colour and bump.
#pragma once

#include "imtl.h"
#include "scenefile.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/TamrelScratches.h"

namespace tamrel::testing {

// A sub-map with a fixed colour and bump vector, counting its updates.
class ConstantMap : public Texmap {
 public:
  explicit ConstantMap(AColor c, Point3 bump = Point3()) : color(c), perturb(bump) {}
  AColor EvalColor(ShadeContext&) override { return color; }
  Point3 EvalNormalPerturb(ShadeContext&) override { return perturb; }
  void Update(TimeValue, Interval&) override { ++updates; }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new ConstantMap(color, perturb);
    BaseClone(this, c, remap);
    return c;
  }
  AColor color;
  Point3 perturb;
  int updates = 0;
};

// Maps are created through the class descriptor, as the host does; the holder releases them.
struct MapHolder {
  TamrelScratches* map = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  MapHolder() { holder.AddRoot(map); }
  TamrelScratches* operator->() { return map; }
  Scene holder;
};

inline void UpdateNow(TamrelScratches* m, TimeValue t = 0) {
  Interval valid = FOREVER;
  m->Update(t, valid);
}

}  // namespace tamrel::testing
