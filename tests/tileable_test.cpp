// The tileable field's pieces: period lattices and their repeat classes, the metric comparison
// and lattice search, and the field's exact repeat one tile over, its genuine periodicity before
// any wrapping, its refusals and its nudge.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "pattern/CellularSearch.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchPattern.h"
#include "pattern/TileableField.h"

namespace tamrel {
namespace {

constexpr double kPi = 3.14159265358979323846;

ScratchParams Params(std::int32_t type, std::int32_t levels, bool erosion) {
  ScratchParams p{};
  p.thresholdLow = 0.1f;
  p.thresholdHigh = 0.9f;
  p.stretch = 14.0f;
  p.useErosion = erosion ? 1 : 0;
  p.erosion = 0.7f;
  p.sizeDiv20 = 0.45f;
  p.erosionDelta = 0.8f;
  p.spread = 0.75f;
  p.type = type;
  p.levels = levels;
  return p;
}

// A square tile of side l whose second edge points down, as an image's rows do.
TileFrame Frame(double l, double x0, double y0, double z0, double snap) {
  TileFrame f;
  f.origin = {x0, y0, z0};
  f.edgeU = {l, 0.0, 0.0};
  f.edgeV = {0.0, -l, 0.0};
  f.snap = snap;
  return f;
}

TEST(PeriodLattice, TriangularBasisAndOneRepresentativePerClass) {
  PeriodLattice lat;
  ASSERT_TRUE(lat.Reset({2, 1, 0}, {1, 3, 0}, 2));
  EXPECT_EQ(lat.First(), (Cell3{1, 3, 0}));
  EXPECT_EQ(lat.Second(), (Cell3{0, 5, 0}));
  EXPECT_EQ(lat.Pivot0(), 0);
  EXPECT_EQ(lat.Pivot1(), 1);
  // (x, y) -> (0, (y - 3x) mod 5), with the floor of negative quotients.
  EXPECT_EQ(lat.Representative({4, 7, 0}), (Cell3{0, 0, 0}));
  EXPECT_EQ(lat.Representative({2, -1, 0}), (Cell3{0, 3, 0}));
  EXPECT_EQ(lat.Representative({-3, 2, 0}), (Cell3{0, 1, 0}));
  // The index of the lattice is |det| = 5: exactly five classes over any large box.
  std::set<Cell3> reps;
  for (int x = -20; x <= 20; ++x) {
    for (int y = -20; y <= 20; ++y) reps.insert(lat.Representative({x, y, 0}));
  }
  EXPECT_EQ(reps.size(), 5u);

  // Far-away cells keep their class: (c + 10^9 * first) has c's representative.
  ASSERT_TRUE(lat.Reset({2, 1, 0}, {1, 3, 0}, 2));
  const std::int64_t far = 1000000000;
  EXPECT_EQ(lat.Representative({2 + far, -1 + 3 * far, 0}), (Cell3{0, 3, 0}));

  // In three dimensions the third component is left free and the class is kept.
  ASSERT_TRUE(lat.Reset({3, 1, 2}, {1, 4, -1}, 3));
  EXPECT_GT(lat.First()[lat.Pivot0()], 0);
  EXPECT_EQ(lat.Second()[lat.Pivot0()], 0);
  EXPECT_GT(lat.Second()[lat.Pivot1()], 0);
  for (std::int64_t x = -7; x <= 7; x += 2) {
    for (std::int64_t z = -9; z <= 9; z += 3) {
      const Cell3 c = {x, 5 - x, z};
      const Cell3 r = lat.Representative(c);
      const Cell3 moved = {c[0] - 2 * 3 + 3 * 1, c[1] - 2 * 1 + 3 * 4, c[2] - 2 * 2 + 3 * -1};
      EXPECT_EQ(lat.Representative(moved), r);
      EXPECT_GE(r[lat.Pivot0()], 0);
      EXPECT_LT(r[lat.Pivot0()], lat.First()[lat.Pivot0()]);
      EXPECT_GE(r[lat.Pivot1()], 0);
      EXPECT_LT(r[lat.Pivot1()], lat.Second()[lat.Pivot1()]);
    }
  }
  // Neighbouring cells of different classes stay apart.
  EXPECT_NE(lat.Representative({0, 0, 0}), lat.Representative({1, 0, 0}));

  EXPECT_FALSE(lat.Reset({2, 4, 6}, {1, 2, 3}, 3));
  EXPECT_FALSE(lat.Reset({0, 0, 0}, {1, 2, 3}, 3));
  EXPECT_FALSE(lat.Reset({0, 0, 5}, {0, 0, 1}, 2));
}

TEST(CompareMetrics, LengthWidthWorstAndTurn) {
  const MetricNudge same = CompareMetrics({4.0, 1.0, 9.0}, {4.0, 1.0, 9.0});
  EXPECT_EQ(same.length, 0.0);
  EXPECT_EQ(same.width, 0.0);
  EXPECT_NEAR(same.worst, 0.0, 1e-12);
  EXPECT_NEAR(same.angleDeg, 0.0, 1e-9);

  // Soft along the first axis: a longer first axis is a change of length, not of width.
  const MetricNudge longer = CompareMetrics({1.0, 0.0, 100.0}, {1.21, 0.0, 100.0});
  EXPECT_NEAR(longer.length, 0.1, 1e-12);
  EXPECT_NEAR(longer.width, 0.0, 1e-12);
  EXPECT_NEAR(longer.worst, 0.1, 1e-12);
  const MetricNudge wider = CompareMetrics({1.0, 0.0, 100.0}, {1.0, 0.0, 81.0});
  EXPECT_NEAR(wider.length, 0.0, 1e-12);
  EXPECT_NEAR(wider.width, -0.1, 1e-12);
  EXPECT_NEAR(wider.worst, 0.1, 1e-12);

  // The same anisotropic metric turned by 2 degrees turns the scratches by 2 degrees.
  const double a = 2.0 * kPi / 180.0, c = std::cos(a), s = std::sin(a);
  const double lo = 1.0, hi = 50.0;
  const std::array<double, 3> turned = {lo * c * c + hi * s * s, (lo - hi) * c * s,
                                        lo * s * s + hi * c * c};
  EXPECT_NEAR(CompareMetrics({lo, 0.0, hi}, turned).angleDeg, 2.0, 1e-9);
}

TEST(SearchLatticePair, RealisesTheGramMatrixItReports) {
  // A Gram matrix two integer vectors meet exactly is met exactly.
  const LatticePair exact = SearchLatticePair({25.0, 0.0, 25.0}, {3.2, 3.9, 0.1}, {0.2, 0.1, 5.1});
  EXPECT_EQ(exact.nudge.worst, 0.0);

  // A strand-like metric: the result is integer, its nudge is what it realises, and it beats the
  // rounded images.
  const Vec3 a = {37.3, 1.7, 0.4}, b = {-6.1, 2.9, 0.3};
  const std::array<double, 3> g = {a[0] * a[0] + a[1] * a[1] + a[2] * a[2],
                                   a[0] * b[0] + a[1] * b[1] + a[2] * b[2],
                                   b[0] * b[0] + b[1] * b[1] + b[2] * b[2]};
  const LatticePair p = SearchLatticePair(g, a, b);
  const auto dot = [](const Cell3& x, const Cell3& y) {
    return static_cast<double>(x[0] * y[0] + x[1] * y[1] + x[2] * y[2]);
  };
  const std::array<double, 3> h = {dot(p.u, p.u), dot(p.u, p.v), dot(p.v, p.v)};
  EXPECT_DOUBLE_EQ(CompareMetrics(g, h).worst, p.nudge.worst);
  const std::array<double, 3> rounded = {37 * 37 + 2 * 2, 37 * -6 + 2 * 3, 6 * 6 + 3 * 3};
  EXPECT_LT(p.nudge.worst, CompareMetrics(g, rounded).worst);
  EXPECT_LT(p.nudge.worst, 0.01);
}

TEST(SearchLatticePair, TheSmallestNudgeOfACaseWorkedByHand) {
  // Target |a|^2 = 3.1, a.b = 0, |b|^2 = 4.9: soft along the first edge, so the off-diagonal
  // entries tried are 0 and 1, for |a|^2 in 1..5 and |b|^2 in 3..7 (reach 2 either side). For a
  // diagonal target an off-diagonal entry only spreads the extreme length ratios, and the
  // diagonal candidates rank by max(|sqrt(aa / 3.1) - 1|, |sqrt(bb / 4.9) - 1|):
  //   (3, 0, 5) 0.0163 and (3, 0, 4) 0.0965: |a|^2 = 3 is only (1, 1, 1) up to the cube's
  //       symmetries, whose product with b has the parity of |b|^2 (x^2 and x are both odd or
  //       both even), so an odd |b|^2 is never square to it; nor is 4, only 2 along an axis;
  //   (3, 0, 6) 0.1066: (1, 1, 1) and a permutation of (2, -1, -1) meet it.
  // Of the off-diagonal ones only (3, 1, 5) (0.142) and (3, 1, 4) (0.210) come near.
  // The second vector is solved along the first one's largest axis (x, the first of three equal
  // ones) from the other axes' values upwards: y = -2 leaves y^2 = 4 of 6 and x + z = 2, so
  // x = z = 1. The rounded images, (1, 0, 0) and (0, 2, 0), are 43% off.
  const std::array<double, 3> g = {3.1, 0.0, 4.9};
  const Vec3 a = {1.4, 0.3, 0.0}, b = {0.2, 2.4, 0.0};
  const LatticePair p = SearchLatticePair(g, a, b);
  EXPECT_EQ(p.u, (Cell3{1, 1, 1}));
  EXPECT_EQ(p.v, (Cell3{1, -2, 1}));
  // The first edge is 3 / 3.1 of its length squared, the second 6 / 4.9; the scratches keep
  // their direction.
  EXPECT_EQ(p.nudge.length, std::sqrt(3.0 / 3.1) - 1.0);
  EXPECT_EQ(p.nudge.width, std::sqrt(6.0 / 4.9) - 1.0);
  EXPECT_NEAR(p.nudge.worst, std::sqrt(6.0 / 4.9) - 1.0, 1e-14);
  EXPECT_EQ(p.nudge.angleDeg, 0.0);

  // Images that round to vectors meeting (3, 0, 6) already are not replaced by the search's
  // equally good pair: it must beat them.
  const LatticePair kept = SearchLatticePair(g, {1.2, 0.9, 1.1}, {1.8, -1.2, -0.7});
  EXPECT_EQ(kept.u, (Cell3{1, 1, 1}));
  EXPECT_EQ(kept.v, (Cell3{2, -1, -1}));
  EXPECT_EQ(kept.nudge.width, p.nudge.width);

  // The window's edges are reached. (3, 0, 9.5): |b|^2 in 8..12 (reach ceil(9.5 * 0.12) = 2);
  // 10, 9 and 11 rank first (0.026, 0.027, 0.076) but 9 and 11 are odd and 10 is only 9 + 1 + 0,
  // whose entries never sum to 0; 8 at the lower edge (0.082, before (3, 1, 9) at 0.114) is
  // (0, -2, 2): y = -2 leaves x + z = 2 and x^2 + z^2 = 4.
  const LatticePair lower = SearchLatticePair({3.0, 0.0, 9.5}, a, b);
  EXPECT_EQ(lower.u, (Cell3{1, 1, 1}));
  EXPECT_EQ(lower.v, (Cell3{0, -2, 2}));
  EXPECT_EQ(lower.nudge.width, std::sqrt(8.0 / 9.5) - 1.0);
  // (2.9, 0, 4.4): |b|^2 in 2..6; (3, 0, 4) and (3, 0, 5) fail as above, and 6 at the upper
  // edge (0.1677) just beats (2, 0, 4), (1, 1, 0) with (0, 0, 2) (|sqrt(2 / 2.9) - 1| = 0.1695),
  // and (3, 1, 5) (0.1705).
  const LatticePair upper = SearchLatticePair({2.9, 0.0, 4.4}, a, b);
  EXPECT_EQ(upper.u, (Cell3{1, 1, 1}));
  EXPECT_EQ(upper.v, (Cell3{1, -2, 1}));
  EXPECT_EQ(upper.nudge.width, std::sqrt(6.0 / 4.4) - 1.0);
  EXPECT_EQ(upper.nudge.length, std::sqrt(3.0 / 2.9) - 1.0);
}

// Samples at pixel centres of an n x n tile, and the same samples one tile over, in float as a
// renderer computes them.
template <class Visit>
void ForPixelPairs(const TileFrame& f, int n, int stride, Visit visit) {
  for (int y = 0; y < n; y += stride) {
    for (int x = 0; x < n; x += stride) {
      const double s = (x + 0.5) / n, t = (y + 0.5) / n;
      const Point3 p(static_cast<float>(f.origin[0] + s * f.edgeU[0] + t * f.edgeV[0]),
                     static_cast<float>(f.origin[1] + s * f.edgeU[1] + t * f.edgeV[1]),
                     static_cast<float>(f.origin[2]));
      const Point3 right(static_cast<float>(p.x + f.edgeU[0]), p.y, p.z);
      const Point3 below(p.x, static_cast<float>(p.y + f.edgeV[1]), p.z);
      visit(p, right, below);
    }
  }
}

std::uint32_t Bits(float v) {
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

TEST(TileablePattern, RepeatsBitForBitOneTileOverForBothTypes) {
  // Every level count is baked through the plug-in in tileable_bake_test; here a spread of them.
  constexpr int kPixels = 32;
  int varied = 0;
  for (std::int32_t type : {SCRATCH_2D, SCRATCH_3D}) {
    for (std::int32_t levels : {1, 2, 5, 8}) {
      const bool erosion = (levels + type) % 2 == 0;
      const ScratchParams params = Params(type, levels, erosion);
      const TileFrame f = Frame(3.0 + 0.25 * levels, -7.5 + levels, 4.25, 1.5 * type - 2.0,
                                64.0 * kPixels);
      const TileablePattern pattern(f, params);
      ASSERT_EQ(pattern.Status(), TileStatus::OK);
      ASSERT_EQ(pattern.Levels().size(), static_cast<std::size_t>(levels));
      ASSERT_EQ(pattern.Octaves().size(), erosion ? 4u : 0u);
      std::set<std::uint32_t> values;
      ForPixelPairs(f, kPixels, 4, [&](const Point3& p, const Point3& right, const Point3& below) {
        const float v = pattern.EvalPlain(pattern.Reduce(p), params);
        ASSERT_EQ(Bits(v), Bits(pattern.EvalPlain(pattern.Reduce(right), params)))
            << "type " << type << " levels " << levels << " at " << p.x << "," << p.y;
        ASSERT_EQ(Bits(v), Bits(pattern.EvalPlain(pattern.Reduce(below), params)));
        const Point3 d(0.01f, -0.02f, 0.0f);
        ASSERT_EQ(Bits(pattern.EvalFiltered(pattern.Reduce(p), d, d, params)),
                  Bits(pattern.EvalFiltered(pattern.Reduce(right), d, d, params)));
        values.insert(Bits(pattern.Field(pattern.Reduce(p), -1.0f, params)));
      });
      if (values.size() > 20) ++varied;
    }
  }
  // A constant field would repeat too: the raw field must vary over the samples.
  EXPECT_EQ(varied, 8);
}

TEST(TileablePattern, IsPeriodicBeforeAnyWrapping) {
  // The unwrapped point one tile further (s + 1, t + 1) lands on other cells with the same repeat
  // class: equal up to the rounding of the lattice coordinates, for every strand and octave.
  for (std::int32_t type : {SCRATCH_2D, SCRATCH_3D}) {
    const ScratchParams params = Params(type, 8, true);
    const TileablePattern pattern(Frame(4.5, 1.0, -2.0, 0.5, 4096.0), params);
    ASSERT_EQ(pattern.Status(), TileStatus::OK);
    double worst = 0.0;
    int differentFromWrapped = 0;
    for (int i = 0; i < 200; ++i) {
      const TilePoint at{(i % 20) / 20.0 + 0.013, (i / 20) / 10.0 + 0.007, 0.3};
      const TilePoint over{at.s + 1.0, at.t - 2.0, at.h};
      const float a = pattern.Field(at, -1.0f, params);
      const float b = pattern.Field(over, -1.0f, params);
      worst = std::max(worst, static_cast<double>(std::fabs(a - b)));
      // Half a tile over is another place of the pattern.
      const TilePoint half{at.s + 0.5, at.t, at.h};
      if (std::fabs(pattern.Field(half, -1.0f, params) - a) > 1e-3f) ++differentFromWrapped;
    }
    // Float noise coordinates a tile further round differently; a wrong class would differ by
    // whole scratches.
    EXPECT_LT(worst, 1e-3) << "type " << type;
    EXPECT_GT(differentFromWrapped, 150);
  }
}

TEST(TileablePattern, SeamIsContinuous) {
  // Just before the right edge and just after the left edge continue each other like any two
  // neighbouring points, for the filtered form with erosion too.
  const ScratchParams params = Params(SCRATCH_2D, 5, true);
  const TileablePattern pattern(Frame(6.0, 0.0, 0.0, 0.0, 1 << 20), params);
  for (int i = 0; i < 50; ++i) {
    const double t = i / 50.0;
    const float before = pattern.Field({1.0 - 1e-7, t, 0.0}, 0.02f, params);
    const float after = pattern.Field({1e-7, t, 0.0}, 0.02f, params);
    EXPECT_NEAR(before, after, 2e-4) << t;
  }
}

TEST(TileablePattern, NudgeShrinksWithTheTile) {
  // Worst over the levels for the given side in scratch units (the searched lattices are
  // deterministic); a small tile needs a visible nudge, a large one almost none.
  const ScratchParams params = Params(SCRATCH_2D, 8, false);
  const TileNudge small = TileablePattern(Frame(1.0, 0, 0, 0, 64), params).Nudge();
  const TileNudge medium = TileablePattern(Frame(4.0, 0, 0, 0, 64), params).Nudge();
  const TileNudge large = TileablePattern(Frame(16.0, 0, 0, 0, 64), params).Nudge();
  EXPECT_GT(std::max(small.length, small.width), 0.01);
  EXPECT_LT(std::max(small.length, small.width), 0.08);
  EXPECT_LT(std::max(medium.length, medium.width), 0.01);
  EXPECT_LT(std::max(large.length, large.width), 0.002);
  EXPECT_LT(large.angleDeg, 0.01);
  EXPECT_EQ(large.erosion, 0.0);
  // Every level reports a nudge no larger than the worst.
  const TileablePattern four(Frame(4.0, 0, 0, 0, 64), params);
  for (const auto& l : four.Levels()) {
    EXPECT_LE(std::fabs(l.nudge.length), medium.length);
    EXPECT_LE(l.nudge.angleDeg, medium.angleDeg);
  }
}

TEST(TileablePattern, LevelsAreNotCopiesOfEachOther) {
  // The 35 and -35 degree levels of the 2D field have mirror-image metrics; their salts keep
  // their scratches apart.
  ScratchParams params = Params(SCRATCH_2D, 6, false);
  const TileablePattern pattern(Frame(5.0, 0, 0, 0, 64), params);
  ASSERT_EQ(pattern.Levels().size(), 6u);
  std::set<std::uint32_t> salts;
  for (const auto& l : pattern.Levels()) salts.insert(l.salt);
  EXPECT_EQ(salts.size(), 6u);
}

// Each strand level's share of the samples it wins, and of the darkened samples (the scratches)
// it wins, over four windows of a field and of the ordinary field at the same points. The levels
// are alike in law, so each wins about an eighth; a level left out would win nothing, one that
// repeated another's strands would lose every tie to it.
TEST(TileablePattern, EveryLevelWinsItsOrdinaryShareOfSamplesAndScratches) {
  constexpr int kSamples = 64, kWindows = 4, kLevels = 8;
  constexpr double kSide = 12.0;
  for (std::int32_t type : {SCRATCH_2D, SCRATCH_3D}) {
    ScratchParams params = Params(type, kLevels, false);
    // Wide scratches (a fifth of the plane darkened) so that each level's share is counted well.
    params.thresholdLow = 0.05f;
    params.thresholdHigh = 0.95f;
    params.spread = 1.0f;
    std::array<double, kLevels> tiledWins{}, ordinaryWins{}, tiledDark{}, ordinaryDark{};
    for (int w = 0; w < kWindows; ++w) {
      const TileFrame f = Frame(kSide, -3.0 + 11.3 * w, 4.25 - 7.1 * w, 0.5, 64.0 * kSamples);
      const TileablePattern pattern(f, params);
      ASSERT_EQ(pattern.Status(), TileStatus::OK);
      for (int y = 0; y < kSamples; ++y) {
        for (int x = 0; x < kSamples; ++x) {
          const Point3 p(static_cast<float>(f.origin[0] + (x + 0.5) / kSamples * kSide),
                         static_cast<float>(f.origin[1] - (y + 0.5) / kSamples * kSide), 0.5f);
          int tiled = -1, ordinary = -1;
          const float t = pattern.EvalPlain(pattern.Reduce(p), params, &tiled);
          const float o = EvalScratchPlainLevel(p, params, ordinary);
          ASSERT_GE(tiled, 0);
          ASSERT_LT(tiled, kLevels);
          tiledWins[tiled] += 1.0;
          ordinaryWins[ordinary] += 1.0;
          if (t < 1.0f) tiledDark[tiled] += 1.0;
          if (o < 1.0f) ordinaryDark[ordinary] += 1.0;
        }
      }
    }
    // Over 16384 samples the shares of the two fields differ by at most 5% of samples and 8% of
    // scratches per level; the bounds leave twice that.
    double tiledTotal = 0.0, ordinaryTotal = 0.0;
    for (int l = 0; l < kLevels; ++l) {
      EXPECT_NEAR(tiledWins[l] / ordinaryWins[l], 1.0, 0.10) << "type " << type << " level " << l;
      EXPECT_NEAR(tiledDark[l] / ordinaryDark[l], 1.0, 0.20) << "type " << type << " level " << l;
      EXPECT_NEAR(ordinaryWins[l] / (kWindows * kSamples * kSamples), 1.0 / kLevels, 0.01);
      tiledTotal += tiledDark[l];
      ordinaryTotal += ordinaryDark[l];
    }
    EXPECT_NEAR(tiledTotal / ordinaryTotal, 1.0, 0.05) << "type " << type;
    EXPECT_NEAR(ordinaryTotal / (kWindows * kSamples * kSamples), 0.22, 0.02) << "type " << type;
  }
}

// A strand level's map from scratch space into its feature cubes, built as the field builds it:
// the rows of the level's rotation, the stretched axis scaled by stretch + 50, all by the cube
// density.
struct LevelMap {
  Vec3 col[3];
  Vec3 operator()(const Vec3& p) const {
    Vec3 r;
    for (int i = 0; i < 3; ++i) r[i] = col[0][i] * p[0] + col[1][i] * p[1] + col[2][i] * p[2];
    return r;
  }
};

LevelMap MapOfLevel(const ScratchParams& params, int level) {
  const StrandRotation m = LevelRotation(params.type, LevelAngle(params, level));
  const int axis = params.type == SCRATCH_3D ? 1 : 0;
  const double factor = static_cast<double>(params.stretch + 50.0f);
  LevelMap l;
  for (int c = 0; c < 3; ++c) {
    const Point3 row = m.GetRow(c);
    Vec3 image = {row.x, row.y, row.z};
    image[axis] *= factor;
    for (double& v : image) v *= cellular::kDensity;
    l.col[c] = image;
  }
  return l;
}

double Dot3(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 Cross3(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Det3(const Vec3& a, const Vec3& b, const Vec3& c) { return Dot3(Cross3(a, b), c); }

TEST(TileablePattern, EachLevelFrameIsItsLevelsMapNudgedAndKeepsItsOrientation) {
  // A tile whose second edge points down, as an image's rows do: its normal is -z, and a point
  // above the plane lies at a negative height.
  for (std::int32_t type : {SCRATCH_2D, SCRATCH_3D}) {
    const TileFrame f = Frame(6.0, 1.25, -2.5, 0.75, 4096.0);
    const Vec3 n = {0.0, 0.0, -1.0};
    // Stretch 14 and -114 scale the stretched axis by 64 and -64: the same metric, the second
    // map a mirror image (negative determinant), whose frames must be mirrored too.
    std::array<std::vector<TileablePattern::Level>, 2> frames;
    std::array<bool, 8> kept{};
    for (int mirrored = 0; mirrored < 2; ++mirrored) {
      ScratchParams params = Params(type, 8, false);
      params.stretch = mirrored ? -114.0f : 14.0f;
      const TileablePattern pattern(f, params);
      ASSERT_EQ(pattern.Status(), TileStatus::OK);
      ASSERT_EQ(pattern.Levels().size(), 8u);
      TileNudge worst;
      for (int l = 0; l < 8; ++l) {
        const TileablePattern::Level& level = pattern.Levels()[static_cast<std::size_t>(l)];
        const LevelMap m = MapOfLevel(params, l);
        const Vec3 ma = m(f.edgeU), mb = m(f.edgeV), mn = m(n);
        // The corner is the origin's ordinary image, to the bit.
        EXPECT_EQ(level.corner, m(f.origin)) << "type " << type << " level " << l;
        // The edges are whole lattice vectors with the level's lengths and angle, up to the
        // reported nudge, and a tile of six units needs little.
        for (double c : {level.u[0], level.u[1], level.u[2], level.v[0], level.v[1], level.v[2]}) {
          EXPECT_EQ(c, std::round(c));
        }
        const MetricNudge nudge = CompareMetrics(
            {Dot3(ma, ma), Dot3(ma, mb), Dot3(mb, mb)},
            {Dot3(level.u, level.u), Dot3(level.u, level.v), Dot3(level.v, level.v)});
        EXPECT_EQ(nudge.length, level.nudge.length) << "type " << type << " level " << l;
        EXPECT_EQ(nudge.width, level.nudge.width);
        EXPECT_EQ(nudge.angleDeg, level.nudge.angleDeg);
        EXPECT_LT(nudge.worst, 0.01) << "type " << type << " level " << l;
        // The normal's image keeps its angles with the edges...
        const double scale = Dot3(mn, mn);
        EXPECT_NEAR(Dot3(level.n, level.u), Dot3(mn, ma), 1e-9 * scale);
        EXPECT_NEAR(Dot3(level.n, level.v), Dot3(mn, mb), 1e-9 * scale);
        // ... and its length, unless the nudged edges leave no room out of their plane (which
        // the 3D strands, whose normal image lies nearly in that plane, can meet).
        EXPECT_GE(Dot3(level.n, level.n), scale * (1.0 - 1e-12));
        const bool keeps = std::fabs(Dot3(level.n, level.n) - scale) <= 1e-12 * scale;
        if (type == SCRATCH_2D) {
          EXPECT_TRUE(keeps) << "level " << l;
        }
        if (mirrored == 0) kept[static_cast<std::size_t>(l)] = keeps;
        EXPECT_EQ(keeps, kept[static_cast<std::size_t>(l)]);
        // The frame has the orientation of the level's own map: positive for the ordinary map,
        // negative for the mirror image.
        if (keeps) {
          const double det = Det3(level.u, level.v, level.n);
          EXPECT_EQ(det > 0.0, Det3(ma, mb, mn) > 0.0) << "type " << type << " level " << l;
          EXPECT_EQ(det > 0.0, mirrored == 0) << "type " << type << " level " << l;
        }
        worst.length = std::max(worst.length, std::fabs(level.nudge.length));
        worst.width = std::max(worst.width, std::fabs(level.nudge.width));
        worst.angleDeg = std::max(worst.angleDeg, level.nudge.angleDeg);
      }
      // The pattern reports the worst of its levels.
      EXPECT_EQ(pattern.Nudge().length, worst.length);
      EXPECT_EQ(pattern.Nudge().width, worst.width);
      EXPECT_EQ(pattern.Nudge().angleDeg, worst.angleDeg);
      EXPECT_GT(worst.width + worst.length, 0.0);
      frames[static_cast<std::size_t>(mirrored)] = pattern.Levels();

      // Heights run along the normal, -z: three quarters of a unit above the tile's plane is
      // -0.75 (512 snap steps of 6 / 4096), and a step up lowers the height.
      const TilePoint above = pattern.Reduce(Point3(2.0f, -3.0f, 1.5f));
      EXPECT_EQ(above.h, -0.75);
      const TilePoint higher = pattern.Offset(above, Point3(0.0f, 0.0f, 0.25f));
      EXPECT_EQ(higher.h, -1.0);
      EXPECT_EQ(higher.s, above.s);
      EXPECT_EQ(higher.t, above.t);
    }
    // Most frames keep the normal's length, so the orientation above was checked.
    EXPECT_GE(std::count(kept.begin(), kept.end(), true), 6) << "type " << type;
    // The mirror image has the same lattice vectors; its normal is the ordinary one reflected in
    // their plane.
    for (std::size_t l = 0; l < 8; ++l) {
      const TileablePattern::Level& a = frames[0][l];
      const TileablePattern::Level& b = frames[1][l];
      EXPECT_EQ(a.u, b.u);
      EXPECT_EQ(a.v, b.v);
      const Vec3 across = Cross3(a.u, a.v);
      const double len = std::sqrt(Dot3(a.n, a.n) * Dot3(across, across));
      EXPECT_NEAR(Dot3(b.n, a.u), Dot3(a.n, a.u), 1e-9 * len);
      EXPECT_NEAR(Dot3(b.n, a.v), Dot3(a.n, a.v), 1e-9 * len);
      EXPECT_NEAR(Dot3(b.n, across), -Dot3(a.n, across), 1e-9 * len);
      if (kept[l]) {
        EXPECT_GT(Dot3(a.n, across), 1e-3 * len) << "type " << type << " level " << l;
      }
    }
  }
}

TEST(TileablePattern, RefusesWhatCannotRepeatAndSurvivesAnyInput) {
  const ScratchParams params = Params(SCRATCH_3D, 4, true);
  TileFrame flat = Frame(4.0, 0, 0, 0, 64);
  flat.edgeV = {8.0, 0.0, 0.0};
  EXPECT_EQ(TileablePattern(flat, params).Status(), TileStatus::DEGENERATE_FRAME);
  // A tile of a hundred million scratch units is refused rather than overflowing.
  EXPECT_EQ(TileablePattern(Frame(1e8, 0, 0, 0, 64), params).Status(),
            TileStatus::DEGENERATE_FRAME);
  TileFrame nan = Frame(4.0, 0, 0, 0, 64);
  nan.origin[1] = NAN;
  EXPECT_EQ(TileablePattern(nan, params).Status(), TileStatus::DEGENERATE_FRAME);

  // Erosion noise ten times coarser than the tile cannot repeat within it.
  ScratchParams coarse = Params(SCRATCH_2D, 2, true);
  coarse.erosionDelta = 100.0f;
  EXPECT_EQ(TileablePattern(Frame(4.0, 0, 0, 0, 64), coarse).Status(),
            TileStatus::EROSION_TOO_COARSE);
  // Without erosion the same record tiles.
  coarse.useErosion = 0;
  EXPECT_EQ(TileablePattern(Frame(4.0, 0, 0, 0, 64), coarse).Status(), TileStatus::OK);

  // Non-finite and huge samples and far-away tiles give values in [0, 1].
  const TileablePattern pattern(Frame(4.0, 3e9, -3e9, 1e30, 64), params);
  ASSERT_EQ(pattern.Status(), TileStatus::OK);
  for (const Point3& p : {Point3(NAN, 0.0f, 0.0f), Point3(INFINITY, -INFINITY, 0.0f),
                          Point3(3e38f, -3e38f, 3e38f), Point3(1.0f, 2.0f, 3.0f)}) {
    const TilePoint at = pattern.Reduce(p);
    EXPECT_GE(at.s, 0.0);
    EXPECT_LT(at.s, 1.0);
    const float v = pattern.EvalPlain(at, params);
    EXPECT_GE(v, 0.0f);
    EXPECT_LE(v, 1.0f);
  }
}

TEST(TileablePattern, MatchesOnlyTheRecordItWasBuiltFor) {
  const ScratchParams params = Params(SCRATCH_2D, 3, true);
  const TileFrame f = Frame(4.0, 0, 0, 0, 64);
  const TileablePattern pattern(f, params);
  EXPECT_TRUE(pattern.Matches(f, params));
  ScratchParams spread = params;
  spread.spread = 0.3f;  // read per sample, not part of the lattices
  EXPECT_TRUE(pattern.Matches(f, spread));
  ScratchParams other = params;
  other.stretch = 15.0f;
  EXPECT_FALSE(pattern.Matches(f, other));
  other = params;
  other.levels = 4;
  EXPECT_FALSE(pattern.Matches(f, other));
  other = params;
  other.erosionDelta = 0.9f;
  EXPECT_FALSE(pattern.Matches(f, other));
  TileFrame moved = f;
  moved.origin[2] = 0.5;
  EXPECT_FALSE(pattern.Matches(moved, params));
}

TEST(TileablePattern, ErosionOctavesFadeByTheirOwnFootprints) {
  // Each octave of the mask has its own footprint, twice the one before, as the ordinary mask's.
  // With a spread so wide that every strand lies at -1 and the full strength, the raw field is
  // the mask (to within 1e-5). A footprint of 1.4 noise units leaves the first octave whole and
  // fades the three finer ones out (from 2.64 units on), which saturates most of the mask; 0.7
  // fades the last two; 0.3 only the last in part. Over 4096 samples the mean masks of the two
  // fields agree to within 0.025 and the saturated shares to within 0.05 (they differ by at most
  // 0.01 and 0.015); octaves that kept the first one's footprint would leave them where the
  // unfiltered mask has them, the means 0.07 (0.7 units) and 0.2 (1.4 units) lower.
  constexpr int kSamples = 64;
  constexpr double kSide = 12.0;
  for (std::int32_t type : {SCRATCH_2D, SCRATCH_3D}) {
    ScratchParams params = Params(type, 3, true);
    params.spread = 1e6f;
    params.erosion = 1.0f;
    const float scale = type == SCRATCH_3D ? params.sizeDiv20 / 10.0f * params.erosionDelta
                                           : params.erosionDelta * params.sizeDiv20;
    const TileFrame f = Frame(kSide, -3.0, 4.25, 0.5, 64.0 * kSamples);
    const TileablePattern pattern(f, params);
    ASSERT_EQ(pattern.Status(), TileStatus::OK);
    for (const float units : {0.0f, 0.3f, 0.7f, 1.4f}) {
      const float w = units * scale;
      double tiled = 0.0, ordinary = 0.0, tiledOnes = 0.0, ordinaryOnes = 0.0;
      for (int y = 0; y < kSamples; ++y) {
        for (int x = 0; x < kSamples; ++x) {
          const Point3 p(static_cast<float>(f.origin[0] + (x + 0.5) / kSamples * kSide),
                         static_cast<float>(f.origin[1] - (y + 0.5) / kSamples * kSide), 0.5f);
          const float t = pattern.Field(pattern.Reduce(p), w, params);
          const float o = type == SCRATCH_3D ? ScratchField3D(p, w, params)
                                             : ScratchField2D(p, w, params);
          tiled += t;
          ordinary += o;
          tiledOnes += t >= 0.99999f ? 1.0 : 0.0;
          ordinaryOnes += o >= 0.99999f ? 1.0 : 0.0;
        }
      }
      const double n = kSamples * kSamples;
      EXPECT_NEAR(tiled / n, ordinary / n, 0.025) << "type " << type << " footprint " << units;
      EXPECT_NEAR(tiledOnes / n, ordinaryOnes / n, 0.05)
          << "type " << type << " footprint " << units;
    }
  }
}

TEST(TileablePattern, ThresholdsAreTheOrdinaryOnes) {
  // The tileable evaluations ramp the raw field exactly as the ordinary ones do.
  const ScratchParams params = Params(SCRATCH_3D, 6, false);
  const TileablePattern pattern(Frame(4.0, 0, 0, 0, 64), params);
  for (int i = 0; i < 20; ++i) {
    const TilePoint at{i / 20.0, 0.37, 0.0};
    const float raw = pattern.Field(at, -1.0f, params);
    EXPECT_EQ(Bits(pattern.EvalPlain(at, params)),
              Bits(LinearThreshold(raw, params.thresholdLow, params.thresholdHigh)));
    const Point3 d(0.05f, 0.0f, 0.0f);
    EXPECT_EQ(Bits(pattern.EvalFiltered(at, d, d, params)),
              Bits(SoftThreshold(pattern.Field(at, 0.05f, params), params.thresholdLow,
                                 params.thresholdHigh)));
  }
}

}  // namespace
}  // namespace tamrel
