// Tileable bakes through the plug-in as tamrel runs them: views moved by whole pixels show the same
// periodic field bit for bit, the seams look like any two neighbouring columns, the scratches'
// statistics stay those of the ordinary bake, the ordinary bake is untouched, and whatever cannot
// repeat is refused with a message that names it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "engine/Bake.h"
#include "engine/ParamSchema.h"
#include "engine/PluginLibrary.h"
#include "tests/PluginFixture.h"
#include "scenefile.h"

namespace tamrel::host {
namespace {

using TileBake = PluginFixture;

// A sub-map that knows nothing of tiles.
class PlainMap : public Texmap {
 public:
  AColor EvalColor(ShadeContext&) override { return AColor(0.5f, 0.5f, 0.5f, 1.0f); }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new PlainMap();
    BaseClone(this, c, remap);
    return c;
  }
};

// Bakes keep the default of several samples per pixel, so every exactness check covers them.
BakeSettings Tile(int n, float extent, MapKind kind = MapKind::MONO) {
  BakeSettings s;
  s.view.width = s.view.height = n;
  s.view.extent = extent;
  s.maps = {kind};
  s.tileable = true;
  s.render.threads = 2;
  return s;
}

std::vector<Raster> BakeSet(Texmap& map, const BakeSettings& s, TileNudge* nudge = nullptr) {
  std::vector<Raster> r;
  BakeOutcome outcome;
  EXPECT_TRUE(BakeFrame(map, 0, s, r, &outcome));
  if (nudge) *nudge = outcome.nudge;
  return r;
}

Raster Bake(Texmap& map, const BakeSettings& s, TileNudge* nudge = nullptr) {
  return BakeSet(map, s, nudge).at(0);
}

bool SamePixel(const Raster& a, int ax, int ay, const Raster& b, int bx, int by) {
  return std::memcmp(a.Pixel(ax, ay), b.Pixel(bx, by), sizeof(float) * a.channels) == 0;
}

// The view moved by (dx, dy) pixels shows the tile rolled by (dx, dy): inside the tile the same
// samples, beyond it the samples a tile over, which must give the same bits.
int RolledMismatches(const Raster& base, const Raster& moved, int dx, int dy) {
  const int n = base.width;
  int bad = 0;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const int bx = ((x + dx) % n + n) % n, by = ((y + dy) % n + n) % n;
      if (!SamePixel(moved, x, y, base, bx, by)) ++bad;
    }
  }
  return bad;
}

TEST_F(TileBake, MovedViewsShowTheSameTileBitForBit) {
  constexpr int kN = 40;
  int differentFromPlain = 0;
  for (int type = 0; type < 2; ++type) {
    for (int levels = 1; levels <= 8; ++levels) {
      const bool erosion = (levels + type) % 2 == 1;
      const std::string seed = std::to_string(101 + 37 * levels);
      Texmap* map = NewMap({"type=" + std::to_string(type), "levels=" + std::to_string(levels),
                            std::string("useErosion=") + (erosion ? "1" : "0"),
                            "erosion=0.8", "size=6", "stretch=" + std::to_string(5 * levels),
                            // A random offset per seed: each seed is another realisation.
                            "seed=" + seed, "xyz_offset_x2=7", "xyz_offset_y2=5"});
      BakeSettings s = Tile(kN, 20.0f + 2.0f * static_cast<float>(levels), MapKind::COLOR);
      const Raster base = Bake(*map, s);
      for (auto [dx, dy] : {std::pair{kN, 0}, {0, kN}, {-kN, 2 * kN}, {13, 0}, {0, -29}, {7, 33}}) {
        s.view.offsetX = dx;
        s.view.offsetY = dy;
        EXPECT_EQ(RolledMismatches(base, Bake(*map, s), dx, dy), 0)
            << "type " << type << " levels " << levels << " moved " << dx << "," << dy;
      }
      BakeSettings plain = Tile(kN, 20.0f + 2.0f * static_cast<float>(levels), MapKind::COLOR);
      plain.tileable = false;
      if (Bake(*map, plain).pixels != base.pixels) ++differentFromPlain;
    }
  }
  EXPECT_EQ(differentFromPlain, 16);
}

// However far the view is moved, up to the largest offset the command takes either way, it shows
// the same tile: far views once lost the sub-pixel positions float holds near the tile.
TEST_F(TileBake, ViewsMovedToTheLargestOffsetStayExact) {
  constexpr int kN = 40;
  Texmap* map = NewMap({"type=1", "levels=5", "useErosion=1", "erosion=0.6", "size=5",
                        "seed=4711"});
  for (const float extent : {26.0f, 1000.0f}) {
    BakeSettings s = Tile(kN, extent, MapKind::HEIGHT);
    s.samples = 2;
    const Raster base = Bake(*map, s);
    for (auto [dx, dy] : {std::pair{kMaxOffset, -kMaxOffset}, {-kMaxOffset, kMaxOffset - 1},
                          {524288, 458752}, {kMaxOffset - 3 * kN - 7, 1}}) {
      s.view.offsetX = dx;
      s.view.offsetY = dy;
      EXPECT_EQ(RolledMismatches(base, Bake(*map, s), dx, dy), 0)
          << "extent " << extent << " moved " << dx << "," << dy;
    }
  }
}

TEST_F(TileBake, HeightAndNormalOutputsRepeatToo) {
  Texmap* map = NewMap({"type=0", "levels=4", "useErosion=1", "erosion=0.6", "bumpDelta=0.2"});
  for (MapKind kind : {MapKind::HEIGHT, MapKind::NORMAL_GL}) {
    BakeSettings s = Tile(32, 24.0f, kind);
    const Raster base = Bake(*map, s);
    s.view.offsetX = 19;
    s.view.offsetY = 32;
    EXPECT_EQ(RolledMismatches(base, Bake(*map, s), 19, 32), 0) << MapKindName(kind);
  }
}

TEST_F(TileBake, TheOrdinaryBakeIsUntouched) {
  Texmap* map = NewMap({"type=0", "levels=5", "useErosion=1"});
  BakeSettings plain = Tile(48, 30.0f, MapKind::COLOR);
  plain.tileable = false;
  const Raster before = Bake(*map, plain);
  const Raster tiled = Bake(*map, Tile(48, 30.0f, MapKind::COLOR));
  const Raster after = Bake(*map, plain);
  EXPECT_EQ(before.pixels, after.pixels);
  EXPECT_NE(before.pixels, tiled.pixels);
  EXPECT_EQ(Bake(*NewMap({"type=0", "levels=5", "useErosion=1"}), plain).pixels, before.pixels);
}

// How well line b continues line a (columns when across, else rows): the darkness of a that b
// matches within two pixels along the line, relative to a's own, averaged both ways. The scratches
// are about a pixel wide and faint, so plain pixel differences cannot tell two neighbouring
// columns from two random ones; this can, as a scratch that stops at a seam is not matched.
double Continuation(const Raster& r, int a, int b, bool across) {
  const int n = r.width;
  auto dark = [&](int line, int i) {
    if (i < 0 || i >= n) return 0.0;
    return 1.0 - static_cast<double>(*(across ? r.Pixel(line, i) : r.Pixel(i, line)));
  };
  double sum = 0.0;
  for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
    double matched = 0.0, own = 0.0;
    for (int i = 0; i < n; ++i) {
      double near = 0.0;
      for (int d = -2; d <= 2; ++d) near = std::max(near, dark(to, i + d));
      matched += dark(from, i) * near;
      own += dark(from, i) * dark(from, i);
    }
    sum += own > 0.0 ? matched / own : 1.0;
  }
  return sum / 2.0;
}

// The share of inner neighbouring lines that continue each other less well than the last line
// and the first do.
double SeamPercentile(const Raster& r, bool across) {
  const int n = r.width;
  const double seam = Continuation(r, n - 1, 0, across);
  int below = 0;
  for (int j = 0; j + 1 < n; ++j) {
    if (Continuation(r, j, j + 1, across) < seam) ++below;
  }
  return static_cast<double>(below) / (n - 1);
}

TEST_F(TileBake, SeamsAreLikeAnyTwoNeighbouringColumnsAndRows) {
  // The wrap-around pair (last, first) must not stand out from the 255 inner pairs: it continues
  // at least as well as the inner pairs' 10th percentile. The ordinary bake's edges, which do not
  // continue each other, fall below the 5th.
  for (const char* type : {"type=0", "type=1"}) {
    // Two and a half scratch units across 256 pixels: scratches a few pixels wide.
    Texmap* map = NewMap({type, "levels=4", "useErosion=1", "erosion=0.5", "size=4"});
    const Raster tiled = Bake(*map, Tile(256, 10.0f));
    BakeSettings plain = Tile(256, 10.0f);
    plain.tileable = false;
    const Raster ordinary = Bake(*map, plain);
    for (bool across : {true, false}) {
      EXPECT_GE(SeamPercentile(tiled, across), 0.10) << type << (across ? " columns" : " rows");
      EXPECT_LT(SeamPercentile(ordinary, across), 0.05) << type << (across ? " columns" : " rows");
    }
  }
}

// What the eye reads from a bake of scratches: the share of scratch pixels, the intensity
// histogram and the histogram of the scratches' directions (gradient angles weighted by the
// gradient's size, folded to 180 degrees).
constexpr double kPi = 3.14159265358979323846;

struct Look {
  double share = 0.0;
  std::array<double, 8> intensity{}, direction{};
};

Look LookOf(const Raster& r) {
  Look l;
  const int n = r.width;
  double weight = 0.0;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const float v = *r.Pixel(x, y);
      if (v < 0.5f) l.share += 1.0;
      l.intensity[std::min(7, static_cast<int>(v * 8.0f))] += 1.0;
      if (x + 1 < n && y + 1 < n) {
        const double gx = *r.Pixel(x + 1, y) - v, gy = *r.Pixel(x, y + 1) - v;
        const double m = std::hypot(gx, gy);
        if (m > 0.0) {
          double a = std::atan2(gy, gx);
          if (a < 0.0) a += kPi;
          l.direction[std::min(7, static_cast<int>(a / kPi * 8.0))] += m;
          weight += m;
        }
      }
    }
  }
  l.share /= n * n;
  for (double& h : l.intensity) h /= n * n;
  for (double& h : l.direction) h /= weight;
  return l;
}

TEST_F(TileBake, LookMatchesTheOrdinaryBake) {
  // Four windows of each (the mapping moved between them) for three looks. Each statistic of the
  // tileable bake, averaged over its windows, lies within the ordinary windows' own range widened
  // by half its width (and by 0.01 for histogram bins that barely vary).
  const std::vector<std::vector<std::string>> looks = {
      {}, {"type=0", "levels=3", "useErosion=1", "erosion=0.7"}, {"levels=8", "spread=0.5"}};
  for (const auto& look : looks) {
    std::vector<Look> tiled, ordinary;
    for (int w = 0; w < 4; ++w) {
      std::vector<std::string> sets = look;
      sets.push_back("xyz_offset_x=" + std::to_string(53 * w));
      sets.push_back("xyz_offset_y=" + std::to_string(-31 * w));
      Texmap* map = NewMap(sets);
      BakeSettings s = Tile(128, 40.0f);
      tiled.push_back(LookOf(Bake(*map, s)));
      s.tileable = false;
      ordinary.push_back(LookOf(Bake(*map, s)));
    }
    auto check = [&](const char* what, auto get) {
      double lo = 1e9, hi = -1e9, mean = 0.0;
      for (const Look& l : ordinary) {
        lo = std::min(lo, get(l));
        hi = std::max(hi, get(l));
      }
      for (const Look& l : tiled) mean += get(l) / static_cast<double>(tiled.size());
      const double slack = std::max(0.5 * (hi - lo), 0.01);
      EXPECT_GE(mean, lo - slack) << what << " look " << look.size();
      EXPECT_LE(mean, hi + slack) << what << " look " << look.size();
    };
    check("share", [](const Look& l) { return l.share; });
    for (int b = 0; b < 8; ++b) {
      check("intensity bin", [b](const Look& l) { return l.intensity[b]; });
      check("direction bin", [b](const Look& l) { return l.direction[b]; });
    }
  }
}

TEST_F(TileBake, NudgeShrinksAsTheTileGrows) {
  Texmap* map = NewMap({"type=0", "levels=8"});
  TileNudge small, large;
  Bake(*map, Tile(16, 10.0f), &small);   // one scratch unit across
  Bake(*map, Tile(16, 160.0f), &large);  // sixteen
  EXPECT_GT(std::max(small.length, small.width), 0.01);
  EXPECT_LT(std::max(large.length, large.width), 0.002);
  EXPECT_LT(large.angleDeg, small.angleDeg);
  EXPECT_EQ(large.erosion, 0.0);
}

TEST_F(TileBake, RefusesWhatCannotRepeatAndNamesIt) {
  auto refusal = [&](Texmap& map, const BakeSettings& s) -> std::string {
    std::vector<Raster> r;
    try {
      BakeFrame(map, 0, s, r);
    } catch (const BakeError& e) {
      return e.what();
    }
    return "";
  };
  BakeSettings sphere = Tile(16, 20.0f);
  sphere.view.geometry = Geometry::SPHERE;
  EXPECT_NE(CheckBakeSettings(sphere).find("--tileable bakes a tile of the plane"),
            std::string::npos);

  Texmap* stretched = NewMap();
  stretched->SetSubTexmap(4, NewMap());
  EXPECT_NE(refusal(*stretched, Tile(16, 20.0f)).find("stretch map"), std::string::npos);
  Texmap* sized = NewMap();
  sized->SetSubTexmap(2, NewMap());
  EXPECT_NE(refusal(*sized, Tile(16, 20.0f)).find("\"sizeMapEnabled\""), std::string::npos);

  Texmap* plainColour = NewMap();
  plainColour->SetSubTexmap(0, new PlainMap());
  EXPECT_NE(refusal(*plainColour, Tile(16, 20.0f)).find("\"color1map\" sub-map"),
            std::string::npos);
  // Switched off, the same sub-map does not reach the bake.
  ParamSchema::Apply(*plainColour, ParamSchema(*cd_).ParseAssignment("col1mapEnabled=0"));
  EXPECT_EQ(refusal(*plainColour, Tile(16, 20.0f)), "");

  Texmap* nested = NewMap();
  Texmap* inner = NewMap();
  inner->SetSubTexmap(1, new PlainMap());
  nested->SetSubTexmap(3, inner);
  EXPECT_NE(refusal(*nested, Tile(16, 20.0f)).find("\"color2map\" sub-map (in a sub-map"),
            std::string::npos);

  Texmap* coarse = NewMap({"useErosion=1", "type=0", "erosionDelta=100"});
  EXPECT_NE(refusal(*coarse, Tile(16, 20.0f)).find("erosion noise"), std::string::npos);

  Texmap* folded = NewMap({"xyz_map=0", "xyz_tile_x=2"});
  EXPECT_NE(refusal(*folded, Tile(16, 20.0f)).find("\"xyz_tile_x\""), std::string::npos);

  // After a refusal the map bakes as before.
  BakeSettings plain = Tile(16, 20.0f);
  plain.tileable = false;
  EXPECT_EQ(Bake(*coarse, plain).pixels,
            Bake(*NewMap({"useErosion=1", "type=0", "erosionDelta=100"}), plain).pixels);
}

// The host's refusal is its option's name followed by the map's own words, byte for byte.
TEST_F(TileBake, RefusalMessagesAreTheOptionAndTheMapsDescription) {
  auto refusal = [&](Texmap& map) -> std::string {
    std::vector<Raster> r;
    try {
      BakeFrame(map, 0, Tile(16, 20.0f), r);
    } catch (const BakeError& e) {
      return e.what();
    }
    return "";
  };
  Texmap* sized = NewMap();
  sized->SetSubTexmap(2, NewMap());
  EXPECT_EQ(refusal(*sized),
            "--tileable cannot repeat a size map: it changes the scale from point to point; "
            "switch \"sizeMapEnabled\" off");
  Texmap* nested = NewMap();
  Texmap* inner = NewMap();
  inner->SetSubTexmap(6, new PlainMap());
  ParamSchema::Apply(*inner, ParamSchema(*cd_).ParseAssignment("useDistortion=1"));
  inner->SetSubTexmap(5, NewMap());
  nested->SetSubTexmap(0, inner);
  EXPECT_EQ(refusal(*nested),
            "--tileable: the \"distortStrMap\" sub-map (in a sub-map of the map) cannot repeat "
            "with the tile and would leave a seam; switch it off or use a scratches map there");
  Texmap* folded = NewMap({"xyz_map=1", "xyz_tile_z=3"});
  EXPECT_EQ(refusal(*folded),
            "--tileable needs \"xyz_tile_x\", \"xyz_tile_y\" and \"xyz_tile_z\" at 0 (continue): "
            "the mapping's own tiling folds the pattern");
  Texmap* coarse = NewMap({"useErosion=1", "type=0", "erosionDelta=100"});
  EXPECT_EQ(refusal(*coarse),
            "--tileable: the erosion noise is too coarse to repeat within one tile; lower "
            "\"erosionDelta\" or \"size\", or bake a larger --extent");
}

TEST_F(TileBake, ScratchesSubMapsRepeatWithTheTile) {
  // A distortion map and a colour map that are scratches maps themselves repeat with the same
  // tile, so the whole bake does.
  Texmap* map = NewMap({"type=0", "levels=3", "useDistortion=1", "distortStr=0.3"});
  map->SetSubTexmap(5, NewMap({"type=1", "levels=2", "size=3"}));
  map->SetSubTexmap(0, NewMap({"type=0", "levels=1", "color1=1,0,0"}));
  BakeSettings s = Tile(32, 20.0f, MapKind::COLOR);
  const Raster base = Bake(*map, s);
  s.view.offsetX = 32 + 5;
  EXPECT_EQ(RolledMismatches(base, Bake(*map, s), 37, 0), 0);
}

TEST_F(TileBake, EveryMapOfASetRepeatsWithAnySampleCount) {
  // Odd sample counts put the golden-ratio rows off the 1/16 grid before snapping; the moved views
  // must still be the rolled tile for every map of the set, the normal map's neighbours beyond the
  // edge included.
  Texmap* map = NewMap({"type=1", "levels=3", "useErosion=1", "erosion=0.4", "size=5"});
  for (int samples : {1, 3, 5, 9}) {
    BakeSettings s = Tile(24, 18.0f);
    s.maps = {MapKind::COLOR, MapKind::HEIGHT, MapKind::NORMAL_DX, MapKind::ROUGHNESS,
              MapKind::ANISOTROPY};
    s.samples = samples;
    s.bandRows = 7;  // bands that do not divide the tile
    const std::vector<Raster> base = BakeSet(*map, s);
    s.view.offsetX = -24 + 11;
    s.view.offsetY = 48 + 3;
    const std::vector<Raster> moved = BakeSet(*map, s);
    ASSERT_EQ(moved.size(), base.size());
    for (std::size_t m = 0; m < base.size(); ++m) {
      EXPECT_EQ(RolledMismatches(base[m], moved[m], -13, 51), 0)
          << MapKindName(s.maps[m]) << " with " << samples << " samples";
    }
  }
}

TEST_F(TileBake, ARegionOfATileIsThatPartOfTheWholeTile) {
  Texmap* map = NewMap({"type=0", "levels=2", "size=4"});
  BakeSettings s = Tile(32, 16.0f, MapKind::NORMAL_GL);
  s.samples = 6;
  const Raster whole = Bake(*map, s);
  s.region = {5, 30, 32, 32};
  const Raster part = Bake(*map, s);
  ASSERT_EQ(part.width, 27);
  ASSERT_EQ(part.height, 2);
  int bad = 0;
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 27; ++x) bad += SamePixel(part, x, y, whole, x + 5, y + 30) ? 0 : 1;
  }
  EXPECT_EQ(bad, 0);
}

TEST(TileSamples, OnTheSixteenthGridInsideThePixelAndOrdinaryWhereAlreadyOnIt) {
  for (int n : {1, 2, 3, 4, 5, 8, 16, 17, 64}) {
    for (int i = 0; i < n; ++i) {
      float x, y, ox, oy;
      TileSamplePosition(i, n, x, y);
      SamplePosition(i, n, ox, oy);
      for (float v : {x, y}) {
        EXPECT_GE(v, 0.0f);
        EXPECT_LT(v, 1.0f);
        EXPECT_EQ(v * 16.0f, std::floor(v * 16.0f)) << n << " " << i;
      }
      // Distances around the pixel: a position near 1 may wrap to 0.
      for (auto [a, b] : {std::pair{x, ox}, std::pair{y, oy}}) {
        const float d = std::fabs(a - b);
        EXPECT_LE(std::min(d, 1.0f - d), 1.0f / 32.0f + 1e-6f) << n << " " << i;
      }
    }
  }
  float x, y;
  TileSamplePosition(0, 1, x, y);  // the pixel's centre
  EXPECT_EQ(x, 0.5f);
  EXPECT_EQ(y, 0.5f);
  TileSamplePosition(3, 4, x, y);  // x = 7/8 is on the grid already
  EXPECT_EQ(x, 0.875f);
  TileSamplePosition(16, 17, x, y);  // x = 33/34 rounds to the pixel's edge and wraps
  EXPECT_EQ(x, 0.0f);
}

}  // namespace
}  // namespace tamrel::host
