// The work bound of a map graph, a bake that stops within a sample of an interrupt, and normals
// bent by any finite bump scale.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <vector>

#include "engine/Bake.h"
#include "engine/MapWork.h"
#include "engine/PluginLibrary.h"
#include "tests/PluginFixture.h"
#include "scenefile.h"

namespace tamrel::host {
namespace {

// A colour sub-map that counts its evaluations and raises a flag at the first one.
class TrippingMap : public Texmap {
 public:
  explicit TrippingMap(std::atomic<bool>& flag) : flag_(flag) {}
  AColor EvalColor(ShadeContext&) override {
    ++evaluations;
    flag_.store(true);
    return AColor(0.5f, 0.5f, 0.5f, 1.0f);
  }
  Point3 EvalNormalPerturb(ShadeContext&) override { return Point3(); }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new TrippingMap(flag_);
    BaseClone(this, c, remap);
    return c;
  }
  std::atomic<int> evaluations{0};

 private:
  std::atomic<bool>& flag_;
};

class MapWork : public PluginFixture {
 protected:
  // Maps 0 .. levels, every slot of map k holding map k + 1.
  Texmap* Chain(int levels) {
    std::vector<Texmap*> maps;
    for (int k = 0; k <= levels; ++k) maps.push_back(NewMap());
    for (int k = 0; k < levels; ++k) {
      for (int s = 0; s < maps[k]->NumSubTexmaps(); ++s) maps[k]->SetSubTexmap(s, maps[k + 1]);
    }
    return maps[0];
  }
};

TEST_F(MapWork, CostCountsEverySlotTwiceAndSharedMapsOnce) {
  Texmap* lone = NewMap();
  EXPECT_EQ(MapEvaluationCost(*lone), 1.0);
  Texmap* one = NewMap();
  one->SetSubTexmap(3, NewMap());
  EXPECT_EQ(MapEvaluationCost(*one), 3.0);
  // Two slots of one map holding the same map, whose own slot holds another.
  Texmap* top = NewMap();
  Texmap* mid = NewMap();
  mid->SetSubTexmap(6, NewMap());
  top->SetSubTexmap(0, mid);
  top->SetSubTexmap(5, mid);
  EXPECT_EQ(MapEvaluationCost(*top), 1.0 + 2.0 * 3.0 + 2.0 * 3.0);
  EXPECT_EQ(MapEvaluationCost(*Chain(1)), 15.0);
  EXPECT_EQ(MapEvaluationCost(*Chain(2)), 211.0);
  EXPECT_EQ(MapEvaluationCost(*Chain(3)), 2955.0);
  EXPECT_EQ(CheckMapWork(*Chain(3)), "");
  EXPECT_EQ(CheckMapWork(*Chain(4)),
            "its maps would take 41371 map evaluations per sample, more than the 4096 allowed "
            "(sub-maps nest or are shared too often)");
  // Twenty levels would be 1.4e22 evaluations: the count saturates rather than overflows.
  EXPECT_EQ(MapEvaluationCost(*Chain(20)), 1e18);
  EXPECT_NE(CheckMapWork(*Chain(20)).find("at least 1e+18 map evaluations"), std::string::npos);
}

TEST_F(MapWork, BakeStopsWithinASampleOfTheInterrupt) {
  std::atomic<bool> cancel{false};
  Texmap* map = NewMap();
  auto* tripping = new TrippingMap(cancel);
  map->SetSubTexmap(0, tripping);  // colour 1, evaluated by every sample
  BakeSettings s;
  s.view.width = 64;
  s.view.height = 64;
  s.render.threads = 1;
  s.render.cancel = &cancel;
  std::vector<Raster> rasters;
  EXPECT_FALSE(BakeFrame(*map, 0, s, rasters));
  // The first sample raised the flag; the next pixel saw it. A check per tile or per row would
  // let 1024 or 32 samples through.
  EXPECT_EQ(tripping->evaluations.load(), 1);
}

TEST(BentNormal, FiniteAndUnitForEveryFiniteScale) {
  const Point3 up(0.0f, 0.0f, 1.0f);
  // Ordinary scales: the float formula, to the bit.
  const Point3 perturb(0.3f, -0.4f, 7.0f);  // the part along the normal is dropped
  const Point3 d = up + Point3(0.3f, -0.4f, 0.0f) * 2.0f;
  const Point3 want = d / Length(d);
  const Point3 got = BentNormal(up, perturb, 2.0f);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got.x), std::bit_cast<std::uint32_t>(want.x));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got.y), std::bit_cast<std::uint32_t>(want.y));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got.z), std::bit_cast<std::uint32_t>(want.z));
  EXPECT_EQ(BentNormal(up, perturb, 0.0f), up);

  // Scales whose float products or squares overflow: the direction across the surface, in the
  // perturbation's sense (+x, -y here), of unit length.
  for (float scale : {FLT_MAX, 1e30f, 1e19f}) {
    const Point3 n = BentNormal(up, Point3(30.0f, -40.0f, 0.0f), scale);
    EXPECT_FLOAT_EQ(n.x, 0.6f) << scale;
    EXPECT_FLOAT_EQ(n.y, -0.8f) << scale;
    EXPECT_LT(std::fabs(n.z), 1e-18f) << scale;
    EXPECT_GE(n.z, 0.0f) << "bent below the surface at " << scale;
  }
  // Not finite: the normal stays as it was.
  EXPECT_EQ(BentNormal(up, Point3(NAN, 0.0f, 0.0f), 1.0f), up);
  EXPECT_EQ(BentNormal(up, Point3(INFINITY, 1.0f, 0.0f), 1.0f), up);
}

}  // namespace
}  // namespace tamrel::host
