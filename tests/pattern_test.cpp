// The scratch pattern: golden values of every kernel, the tie and range rules, the generators'
// level logic, the threshold ramps, robustness for non-finite and huge inputs, and bit-exact
// determinism across threads and build types.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "matrix3.h"
#include "pattern/CellIndex.h"
#include "pattern/CellularDistance.h"
#include "pattern/PatternTables.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchPattern.h"
#include "pattern/ScratchStrand.h"
#include "pattern/SimplexNoise.h"

namespace tamrel {
namespace {

// The values a new map starts with: 3D, six levels, stretch 10, spread 0.8, size 10.
ScratchParams NewMapParams() {
  ScratchParams p{};
  p.thresholdLow = 0.0f;
  p.thresholdHigh = 1.0f;
  p.stretch = 10.0f;
  p.useErosion = 0;
  p.erosion = 0.5f;
  p.sizeDiv20 = 0.5f;
  p.erosionDelta = 1.0f;
  p.spread = 0.8f;
  p.type = SCRATCH_3D;
  p.levels = 6;
  return p;
}

// Deterministic sample points spread over a wide region, negative coordinates included.
std::vector<Point3> SamplePoints(int count, float extent) {
  std::vector<Point3> points;
  points.reserve(count);
  std::uint32_t s = 12345u;
  auto next = [&] {
    s = s * 1664525u + 1013904223u;
    return (static_cast<float>(s >> 8) / 16777216.0f * 2.0f - 1.0f) * extent;
  };
  for (int i = 0; i < count; ++i) {
    const float x = next(), y = next(), z = next();
    points.emplace_back(x, y, z);
  }
  return points;
}

// Bit patterns, so that NaN results compare too.
std::uint32_t Bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// A level's rotation built with the host's own transform: about z, then for the 3D type about x
// and y. The pattern builds its rotations itself; they must match this to the bit.
Matrix3 HostLevelRotation(std::int32_t type, float angle) {
  Matrix3 m;
  m.IdentityMatrix();
  m.NoRot();
  m.RotateZ(angle);
  if (type == SCRATCH_3D) {
    m.RotateX(angle);
    m.RotateY(angle);
  }
  return m;
}

TEST(CellIndex, TruncatesTowardZeroAndStepsNegativesDownOne) {
  EXPECT_EQ(CellIndex(0.0f), 0);
  EXPECT_EQ(CellIndex(0.99f), 0);
  EXPECT_EQ(CellIndex(2.0f), 2);
  EXPECT_EQ(CellIndex(-0.5f), -1);
  EXPECT_EQ(CellIndex(-1.0f), -2);  // not floor: negative whole numbers step down one more
  EXPECT_EQ(CellIndex(-3.0), -4);
  EXPECT_EQ(CellIndex(-2.5), -3);
  // Beyond the 32-bit range the cell saturates instead of invoking undefined behaviour.
  EXPECT_EQ(CellIndex(3e9f), INT32_MAX);
  EXPECT_EQ(CellIndex(-3e9), INT32_MIN);
  EXPECT_EQ(CellIndex(std::numeric_limits<float>::infinity()), INT32_MAX);
  EXPECT_EQ(CellIndex(std::numeric_limits<double>::quiet_NaN()), INT32_MIN);
}

TEST(PatternTables, PermutationIsTheReferenceOneStoredTwice) {
  std::array<int, 256> seen{};
  for (int i = 0; i < 256; ++i) {
    ++seen[kPermutation[i]];
    EXPECT_EQ(kPermutation[i], kPermutation[i + 256]);
  }
  for (int v : seen) EXPECT_EQ(v, 1);
  EXPECT_EQ(kPermutation[0], 151);
  EXPECT_EQ(kPermutation[5], 15);
  EXPECT_EQ(kPermutation[255], 180);

  int zeros = 0, total = 0;
  for (std::uint8_t c : kFeatureCount) {
    zeros += c == 0;
    total += c;
  }
  EXPECT_EQ(zeros, 6);
  EXPECT_NEAR(total / 256.0, 2.6, 0.05);
}

TEST(SmootherStep, ClampsOutsideAndIsSymmetricInside) {
  EXPECT_EQ(SmootherStep(2.0f, 2.0f, 4.0f), 0.0f);
  EXPECT_EQ(SmootherStep(4.0f, 2.0f, 4.0f), 1.0f);
  EXPECT_EQ(SmootherStep(3.0f, 2.0f, 4.0f), 0.5f);
  EXPECT_EQ(SmootherStep(-7.0f, 2.0f, 4.0f), 0.0f);
  EXPECT_EQ(SmootherStep(9.0f, 2.0f, 4.0f), 1.0f);
  EXPECT_NEAR(SmootherStep(2.5f, 2.0f, 4.0f) + SmootherStep(3.5f, 2.0f, 4.0f), 1.0f, 1e-6f);
}

TEST(SimplexNoise, GoldenValues) {
  EXPECT_NEAR(Simplex2D(0.5f, 0.25f), -0.58412f, 5e-6f);
  EXPECT_NEAR(Simplex3D(0.5f, 0.25f, 0.125f), 0.30138f, 5e-6f);
  // The skewed coordinate -1.0 lies in cell -2: floor() would give about 0.078967 here.
  EXPECT_NEAR(Simplex3D(-1.0f, 0.5f, 0.5f), 0.080033f, 5e-7f);
}

TEST(SimplexNoise, VanishesAtSimplexVertices) {
  EXPECT_EQ(Simplex2D(0.0f, 0.0f), 0.0f);
  EXPECT_EQ(Simplex3D(0.0f, 0.0f, 0.0f), 0.0f);
  // Whole skewed coordinates (i, j) unskew to (i - t, j - t) with t = (i + j) * G.
  for (int i = -3; i <= 3; ++i) {
    for (int j = -3; j <= 3; ++j) {
      const double t = (i + j) * (3.0 - std::sqrt(3.0)) / 6.0;
      EXPECT_NEAR(Simplex2D(static_cast<float>(i - t), static_cast<float>(j - t)), 0.0f, 1e-5f)
          << i << "," << j;
    }
  }
  for (int i = -2; i <= 2; ++i) {
    const double t = 3 * i / 6.0;
    const float v = static_cast<float>(i - t);
    EXPECT_NEAR(Simplex3D(v, v, v), 0.0f, 1e-5f) << i;
  }
}

TEST(SimplexNoise, StaysWithinItsExtremes) {
  float max2 = 0.0f, max3 = 0.0f;
  for (const Point3& p : SamplePoints(200000, 300.0f)) {
    max2 = std::max(max2, std::fabs(Simplex2D(p.x, p.y)));
    max3 = std::max(max3, std::fabs(Simplex3D(p.x, p.y, p.z)));
  }
  EXPECT_LE(max2, 0.8845f);
  EXPECT_GT(max2, 0.7f);
  EXPECT_LE(max3, 1.0f);
  EXPECT_GT(max3, 0.85f);
}

TEST(SimplexNoise, FilteringFadesToZeroWithWidth) {
  for (const Point3& p : SamplePoints(500, 50.0f)) {
    const float n2 = Simplex2D(p.x, p.y), n3 = Simplex3D(p.x, p.y, p.z);
    // Narrow footprints leave the noise untouched, to the bit.
    EXPECT_EQ(Bits(FilteredSimplex2D(p.x, p.y, 0.0f)), Bits(n2));
    EXPECT_EQ(Bits(FilteredSimplex3D(p.x, p.y, p.z, 1.44f)), Bits(n3));
    // Wide ones give exactly the mean.
    EXPECT_EQ(FilteredSimplex2D(p.x, p.y, 2.62f), 0.0f);
    EXPECT_EQ(FilteredSimplex3D(p.x, p.y, p.z, 1e9f), 0.0f);
    EXPECT_NEAR(FilteredSimplex3D(p.x, p.y, p.z, 2.0f), 0.5623f * n3, 1e-4f);
  }
}

TEST(CellularDistance, FeaturePointsOfTheOriginCube) {
  double points[5][3];
  ASSERT_EQ(CubeFeaturePoints(0, 0, 0, points), 4);
  const double expected[4][3] = {{0.484576, 0.519979, 0.554379},
                                 {0.202193, 0.959809, 0.154257},
                                 {0.205520, 0.363333, 0.770889},
                                 {0.495597, 0.689879, 0.184838}};
  for (int i = 0; i < 4; ++i) {
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(points[i][a], expected[i][a], 5e-7) << i << "," << a;
  }
}

TEST(CellularDistance, NearestDistanceGoldenValues) {
  const struct {
    double p[3];
    double f1;
  } cases[] = {{{0.0, 0.0, 0.0}, 1.27576}, {{0.5, 0.5, 0.5}, 1.84043}, {{1.5, -2.25, 0.75}, 1.37065}};
  for (const auto& c : cases) {
    double f1 = 0.0;
    CellularDistances(c.p, 1, &f1);
    EXPECT_NEAR(f1, c.f1, 5e-6) << c.p[0] << "," << c.p[1] << "," << c.p[2];
  }
}

TEST(CellularDistance, ListsAreAscendingAndExtendTheNearest) {
  for (const Point3& p : SamplePoints(2000, 100.0f)) {
    const double q[3] = {p.x, p.y, p.z};
    double one, four[4];
    CellularDistances(q, 1, &one);
    CellularDistances(q, 4, four);
    EXPECT_EQ(one, four[0]);
    for (int i = 1; i < 4; ++i) EXPECT_LE(four[i - 1], four[i]);
    EXPECT_GT(one, 0.25);
    EXPECT_LT(one, 2.5);
  }
}

TEST(CellularDistance, EqualDistancesKeepTheirOrderOfDiscovery) {
  // Two feature points equidistant from the scaled point: insertion must not reorder or drop.
  double list[3] = {999999.9, 999999.9, 999999.9};
  const double q[3] = {0.5, 0.5, 0.5};
  AddCubeFeatures(0, 0, 0, q, 3, list);
  const double first[3] = {list[0], list[1], list[2]};
  AddCubeFeatures(0, 0, 0, q, 3, list);  // the same four points again, all ties
  EXPECT_EQ(list[0], first[0]);
  EXPECT_EQ(list[1], first[0]);
  EXPECT_EQ(list[2], first[1]);
}

TEST(CellularValue, GoldenValueAndMinimumAtFeaturePoints) {
  EXPECT_NEAR(CellularValue(Point3(0.0f, 0.0f, 0.0f), 0.8f), 2.18940f, 5e-5f);

  // At a feature point (unscaled back to the caller's space) the value approaches -1 for any
  // divisor, and a larger divisor lowers it wherever it is above -1.
  double points[5][3];
  const int n = CubeFeaturePoints(0, 0, 0, points);
  for (int i = 0; i < n; ++i) {
    const Point3 fp(points[i][0] / 0.39815, points[i][1] / 0.39815, points[i][2] / 0.39815);
    for (float divisor : {0.1f, 0.5f, 1.0f}) {
      EXPECT_NEAR(CellularValue(fp, divisor), -1.0f, 0.05f) << i << " / " << divisor;
    }
  }
  const Point3 p(3.1f, -0.4f, 7.7f);
  EXPECT_LT(CellularValue(p, 1.0f), CellularValue(p, 0.5f));
}

TEST(RidgedErosion, GoldenValues) {
  ScratchParams params = NewMapParams();
  params.sizeDiv20 = 1.0f;
  params.erosionDelta = 1.0f;
  EXPECT_NEAR(RidgedErosion2D(Point3(0.3f, 0.7f, 0.0f), params), 0.83245f, 5e-5f);
  EXPECT_NEAR(RidgedErosion2D(Point3(1.3f, 2.7f, 0.5f), params), 0.07606f, 5e-5f);
  EXPECT_NEAR(RidgedErosion3D(Point3(0.13f, 0.27f, 0.05f), params), 0.57851f, 5e-5f);
  // The 3D members are ten times finer: sizeDiv20 = 10 gives s = 1 at the unscaled point.
  params.sizeDiv20 = 10.0f;
  EXPECT_NEAR(RidgedErosion3D(Point3(1.3f, 2.7f, 0.5f), params), 0.57851f, 5e-5f);
}

TEST(RidgedErosion, FilteredMembersMeetTheirLimits) {
  const ScratchParams params = NewMapParams();
  for (const Point3& p : SamplePoints(500, 40.0f)) {
    // A zero footprint is the plain mask, to the bit.
    EXPECT_EQ(Bits(RidgedErosion2DFiltered(p, 0.0f, params)), Bits(RidgedErosion2D(p, params)));
    EXPECT_EQ(Bits(RidgedErosion3DFiltered(p, 0.0f, params)), Bits(RidgedErosion3D(p, params)));
    // A footprint of 2.62 noise units fades every octave: all signals 1, the mask exactly 1.
    const float wide2 = 2.62f * params.sizeDiv20 * params.erosionDelta;
    const float wide3 = 2.62f * params.sizeDiv20 / 10.0f * params.erosionDelta;
    EXPECT_EQ(RidgedErosion2DFiltered(p, wide2, params), 1.0f);
    EXPECT_EQ(RidgedErosion3DFiltered(p, wide3, params), 1.0f);
  }
}

TEST(RidgedErosion, RangeAndTheTwoDimensionalFloor) {
  const ScratchParams params = NewMapParams();
  float min2 = 1.0f;
  for (const Point3& p : SamplePoints(20000, 100.0f)) {
    const float m2 = RidgedErosion2D(p, params), m3 = RidgedErosion3D(p, params);
    min2 = std::min(min2, m2);
    EXPECT_GE(m3, 0.0f);
    EXPECT_LE(m3, 1.0f);
    EXPECT_LE(m2, 1.0f);
  }
  // The first octave's signal is at least (1 - 0.8844)^2.
  EXPECT_GE(min2, 0.0133f);
  // Where the first octave's noise vanishes (the origin is a simplex vertex) the mask is 1.
  EXPECT_EQ(RidgedErosion2D(Point3(0.0f, 0.0f, 0.0f), params), 1.0f);
}

TEST(ScratchField, LevelsSelectTheirStrandAngles) {
  ScratchParams params = NewMapParams();
  const Point3 p(1.7f, -2.3f, 0.9f);
  const float deg = 0.017453292f;

  params.levels = 1;
  EXPECT_EQ(ScratchField2DPlain(p, params), (StrandAtAngle2D(p, 1.5707964f, params) + 1.0f) * 0.5f);
  EXPECT_EQ(ScratchField3DPlain(p, params), (StrandAtAngle3D(p, 1.5707964f, params) + 1.0f) * 0.5f);

  params.levels = 2;
  const float two2 =
      std::min(StrandAtAngle2D(p, -0.17453292f, params), StrandAtAngle2D(p, 35.0f * deg, params));
  const float two3 =
      std::min(StrandAtAngle3D(p, 0.39269909f, params), StrandAtAngle3D(p, 35.0f * deg, params));
  EXPECT_EQ(ScratchField2DPlain(p, params), (two2 + 1.0f) * 0.5f);
  EXPECT_EQ(ScratchField3DPlain(p, params), (two3 + 1.0f) * 0.5f);

  // More levels can only lower the minimum.
  float previous = 2.0f;
  for (int levels = 2; levels <= 8; ++levels) {
    params.levels = levels;
    const float v = ScratchField3DPlain(p, params);
    EXPECT_LE(v, previous) << levels;
    previous = v;
  }
}

TEST(ScratchField, LevelsOutsideOneToEightAreLimited) {
  ScratchParams params = NewMapParams();
  for (const Point3& p : SamplePoints(50, 30.0f)) {
    for (int type : {SCRATCH_2D, SCRATCH_3D}) {
      params.type = type;
      params.levels = 1;
      const float one = EvalScratchPlain(p, params);
      params.levels = 8;
      const float eight = EvalScratchPlain(p, params);
      for (int low : {0, -1, INT32_MIN}) {
        params.levels = low;
        EXPECT_EQ(Bits(EvalScratchPlain(p, params)), Bits(one));
      }
      for (int high : {9, 1000, INT32_MAX}) {
        params.levels = high;
        EXPECT_EQ(Bits(EvalScratchPlain(p, params)), Bits(eight));
      }
    }
  }
}

TEST(ScratchField, StretchNeverFallsBelowFifty) {
  // stretch 0 still scales the strand axis by 50: a 90-degree 2D strand stretches rotated x.
  ScratchParams params = NewMapParams();
  params.stretch = 0.0f;
  const Point3 p(0.3f, 0.2f, 0.1f);
  Matrix3 m;
  m.RotateZ(1.5707964f);
  Point3 q = m * p;
  q.x *= 50.0f;
  EXPECT_EQ(StrandAtAngle2D(p, 1.5707964f, params), CellularValue(q, params.spread));
}

TEST(ScratchField, ErosionBlendsTowardTheSurface) {
  ScratchParams params = NewMapParams();
  for (const Point3& p : SamplePoints(200, 30.0f)) {
    for (int type : {SCRATCH_2D, SCRATCH_3D}) {
      params.type = type;
      params.useErosion = 0;
      const float plain = ScratchField2DPlain(p, params), filtered = ScratchField2D(p, 0.1f, params);
      const float plain3 = ScratchField3DPlain(p, params);
      params.useErosion = 1;
      params.erosion = 0.0f;
      EXPECT_EQ(Bits(ScratchField2DPlain(p, params)), Bits(plain));
      EXPECT_EQ(Bits(ScratchField2D(p, 0.1f, params)), Bits(filtered));
      EXPECT_EQ(Bits(ScratchField3DPlain(p, params)), Bits(plain3));
      // Full erosion with a mask of 1 (a footprint too wide for any octave) is the bare surface.
      params.erosion = 1.0f;
      EXPECT_EQ(ScratchField2D(p, 1e6f, params), 1.0f);
      EXPECT_EQ(ScratchField3D(p, 1e6f, params), 1.0f);
      // Partial erosion moves the field part of the way toward the surface value 1.
      params.erosion = 0.5f;
      const float eroded = ScratchField2DPlain(p, params);
      EXPECT_GE(eroded, std::min(plain, 1.0f) - 1e-6f);
      EXPECT_LE(eroded, std::max(plain, 1.0f) + 1e-6f);
    }
  }
}

TEST(ScratchField, UnknownTypeGivesZero) {
  ScratchParams params = NewMapParams();
  params.type = 2;
  const Point3 p(1.0f, 2.0f, 3.0f), d(0.01f, 0.0f, 0.0f);
  EXPECT_EQ(EvalScratchPlain(p, params), 0.0f);
  EXPECT_EQ(EvalScratchFiltered(p, d, d, params), 0.0f);
  params.type = -1;
  params.thresholdLow = params.thresholdHigh = 0.5f;
  EXPECT_EQ(EvalScratchPlain(p, params), 0.0f);
}

TEST(Thresholds, SoftRampWithItsShoulders) {
  EXPECT_EQ(SoftThreshold(-0.5f, 0.0f, 1.0f), 0.0f);
  EXPECT_EQ(SoftThreshold(1.5f, 0.0f, 1.0f), 1.0f);
  EXPECT_EQ(SoftThreshold(0.5f, 0.0f, 1.0f), 0.5f);
  EXPECT_EQ(SoftThreshold(0.0f, 0.0f, 1.0f), 0.0f);
  EXPECT_NEAR(SoftThreshold(0.2f, 0.0f, 1.0f), 0.16875f, 1e-6f);
  EXPECT_NEAR(SoftThreshold(0.8f, 0.0f, 1.0f), 0.83125f, 1e-6f);
  // A narrow ramp: the lower shoulder takes precedence, so values just above lo stay small.
  EXPECT_LT(SoftThreshold(0.55f, 0.5f, 0.6f), 0.5f);
  // Where the shoulders meet, at lo + 0.4 of a ramp narrower than 0.8: that value itself takes
  // the upper shoulder, (1 - s)(v - lo)/(hi - lo) + s with s the smoothstep of
  // t = (v - (hi - 0.4)) / 0.8, about 0.8633; the float below it takes the lower one,
  // s (v - lo)/(hi - lo) with t = (v - (lo - 0.4)) / 0.8 at most 1, about 0.8 (each in float, in
  // this order).
  {
    const float lo = 0.25f, hi = 0.75f, band = 0.4f;
    const float v = lo + band;
    const float tu = (v - (hi - band)) / ((hi + band) - (hi - band));
    const float su = (3.0f - 2.0f * tu) * (tu * tu);
    const float upper = (1.0f - su) * (v - lo) / (hi - lo) + su;
    EXPECT_EQ(SoftThreshold(v, lo, hi), upper);
    EXPECT_NEAR(upper, 0.86328f, 1e-5f);
    const float w = std::nextafter(v, 0.0f);
    const float tl = (w - (lo - band)) / ((lo + band) - (lo - band));
    const float sl = (3.0f - 2.0f * tl) * (tl * tl);
    const float lower = sl * (w - lo) / (hi - lo);
    EXPECT_EQ(SoftThreshold(w, lo, hi), lower);
    EXPECT_NEAR(lower, 0.8f, 1e-5f);
  }
  // Equal thresholds switch the ramp off; only the clamp remains.
  EXPECT_EQ(SoftThreshold(1.7f, 0.5f, 0.5f), 1.0f);
  EXPECT_EQ(SoftThreshold(0.4f, 0.5f, 0.5f), 0.4f);
}

TEST(Thresholds, LinearRampAndClamp) {
  EXPECT_NEAR(LinearThreshold(0.5f, 0.3f, 0.7f), 0.5f, 1e-6f);
  EXPECT_EQ(LinearThreshold(0.2f, 0.3f, 0.7f), 0.0f);
  EXPECT_EQ(LinearThreshold(0.9f, 0.3f, 0.7f), 1.0f);
  EXPECT_EQ(LinearThreshold(1.7f, 0.3f, 0.3f), 1.0f);
  EXPECT_EQ(LinearThreshold(0.4f, 0.3f, 0.3f), 0.4f);
  EXPECT_EQ(LinearThreshold(-0.4f, 0.3f, 0.3f), 0.0f);
}

TEST(Thresholds, EveryRawValueAboveTheTopGivesOne) {
  // Floats from just above the top to past the ramp's upper end (every one of the first 2^18,
  // then every 61st): exactly 1, in the soft ramp's shoulders and lopsided ramps too. The top of
  // the usual ramp lies within 2^-16 of hi.
  const struct {
    float lo, hi;
  } ramps[] = {{0.0f, 1.0f},   {0.2f, 0.7f},  {0.5f, 0.6f},  {0.1f, 1.3f},   {-0.5f, 1.6f},
               {0.3f, 0.3f},   {0.7f, 0.3f},  {0.0f, 1e-30f}, {0.33f, 0.34f}, {0.9f, 1.0f}};
  for (const auto& r : ramps) {
    for (const bool soft : {true, false}) {
      const float top = soft ? SoftThresholdTop(r.lo, r.hi) : LinearThresholdTop(r.lo, r.hi);
      ASSERT_TRUE(std::isfinite(top)) << r.lo << " " << r.hi;
      const float end = std::max(top, r.hi) + 0.45f;
      long checked = 0;
      std::int32_t bits = std::bit_cast<std::int32_t>(top);
      for (float v = top; v <= end; v = std::bit_cast<float>(bits)) {
        bits += checked < (1 << 18) ? 1 : 61;
        if (!(v > top)) continue;
        const float out = soft ? SoftThreshold(v, r.lo, r.hi) : LinearThreshold(v, r.lo, r.hi);
        ASSERT_EQ(out, 1.0f) << (soft ? "soft " : "linear ") << r.lo << ".." << r.hi << " at "
                             << v << ", top " << top;
        ++checked;
      }
      EXPECT_GT(checked, 100000);
    }
  }
  EXPECT_LT(SoftThresholdTop(0.0f, 1.0f), 1.0f + 0x1p-16f);
  EXPECT_GT(SoftThresholdTop(0.0f, 1.0f), 1.0f);
  EXPECT_EQ(LinearThresholdTop(0.0f, 1.0f), 1.0f);
  EXPECT_EQ(LinearThresholdTop(0.2f, 0.7f), 0.7f);
  // A narrow ramp's lower shoulder reaches up to lo + 0.4, where values above hi stay below 1.
  EXPECT_EQ(SoftThresholdTop(0.5f, 0.6f), 0.5f + 0.4f);
  EXPECT_LT(SoftThreshold(0.61f, 0.5f, 0.6f), 1.0f);
  // Reversed or equal thresholds leave the clamp, which gives 1 above 1.
  EXPECT_EQ(SoftThresholdTop(0.7f, 0.3f), 1.0f);
  EXPECT_EQ(LinearThresholdTop(0.3f, 0.3f), 1.0f);
  // A ramp too narrow for the bound keeps the outright end, hi + 0.4.
  EXPECT_EQ(SoftThresholdTop(0.0f, 1e-30f), 1e-30f + 0.4f);
}

TEST(ScratchPattern, IntensityStaysInTheUnitRangeAndShowsScratches) {
  ScratchParams params = NewMapParams();
  const Point3 d(0.002f, 0.0f, 0.0f);
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    params.type = type;
    int dark = 0, light = 0;
    for (const Point3& p : SamplePoints(4000, 20.0f)) {
      const float plain = EvalScratchPlain(p, params);
      const float filtered = EvalScratchFiltered(p, d, d, params);
      ASSERT_GE(plain, 0.0f);
      ASSERT_LE(plain, 1.0f);
      ASSERT_GE(filtered, 0.0f);
      ASSERT_LE(filtered, 1.0f);
      dark += plain < 0.5f;
      light += plain >= 0.5f;
    }
    // Thin scratches on a surface: both occur, the surface dominates.
    EXPECT_GT(dark, 0) << type;
    EXPECT_GT(light, dark) << type;
  }
}

TEST(ScratchPattern, NonFiniteAndHugeInputsAreDeterministic) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Point3 inputs[] = {{nan, 0.0f, 0.0f}, {inf, -inf, 1.0f}, {3e9f, -3e9f, 1e38f},
                           {-2147483648.0f, 2147483520.0f, -1.0f}, {1e20f, 1e20f, 1e20f}};
  ScratchParams params = NewMapParams();
  params.useErosion = 1;
  for (const Point3& p : inputs) {
    for (int type : {SCRATCH_2D, SCRATCH_3D}) {
      params.type = type;
      const Point3 d(nan, inf, 0.0f);
      const float a = EvalScratchPlain(p, params), b = EvalScratchFiltered(p, d, p, params);
      EXPECT_EQ(Bits(a), Bits(EvalScratchPlain(p, params)));
      EXPECT_EQ(Bits(b), Bits(EvalScratchFiltered(p, d, p, params)));
      EXPECT_EQ(Bits(Simplex2D(p.x, p.y)), Bits(Simplex2D(p.x, p.y)));
    }
  }
  // A zero spread or zero noise scale is not guarded by the pattern; it must still be harmless.
  params.spread = 0.0f;
  params.sizeDiv20 = 0.0f;
  const Point3 p(1.0f, 2.0f, 3.0f);
  EXPECT_EQ(Bits(EvalScratchPlain(p, params)), Bits(EvalScratchPlain(p, params)));
}

TEST(ScratchLevel, SameBitsAsThePlainEvaluationsAndTheFirstMinimumWins) {
  ScratchParams params = NewMapParams();
  params.stretch = 3.0f;
  params.spread = 0.6f;
  const Point3 dx(0.004f, 0.001f, 0.0f), dy(-0.002f, 0.003f, 0.001f);
  int winners[8] = {};
  int n = 0;
  for (const Point3& p : SamplePoints(900, 60.0f)) {
    params.type = n % 3 == 2 ? 7 : n % 2;  // 2D, 3D, and now and then an unknown type
    params.levels = 1 + (n / 3) % 8;
    params.useErosion = (n / 24) % 2;
    ++n;
    int plainLevel = -1, filteredLevel = -1;
    ASSERT_EQ(Bits(EvalScratchPlainLevel(p, params, plainLevel)), Bits(EvalScratchPlain(p, params)));
    ASSERT_EQ(Bits(EvalScratchFilteredLevel(p, dx, dy, params, filteredLevel)),
              Bits(EvalScratchFiltered(p, dx, dy, params)));
    // The strands are the same in both forms, so both name the same winner.
    ASSERT_EQ(plainLevel, filteredLevel);
    ASSERT_GE(plainLevel, 0);
    ASSERT_LT(plainLevel, params.levels);
    if (params.type != SCRATCH_2D && params.type != SCRATCH_3D) {
      EXPECT_EQ(plainLevel, 0);
      continue;
    }
    auto strand = [&](int level) {
      const float a = LevelAngle(params, level);
      return params.type == SCRATCH_2D ? StrandAtAngle2D(p, a, params) : StrandAtAngle3D(p, a, params);
    };
    const float won = strand(plainLevel);
    for (int i = 0; i < params.levels; ++i) {
      if (i < plainLevel) {
        EXPECT_GT(strand(i), won) << "an earlier level ties or wins";
      } else if (i > plainLevel) {
        EXPECT_FALSE(won > strand(i)) << "a later level is smaller";
      }
    }
    ++winners[plainLevel];
  }
  // Every level wins somewhere: the index is not stuck at the first or the last.
  for (int i = 0; i < 8; ++i) EXPECT_GT(winners[i], 0) << "level " << i;
}

TEST(ScratchLevel, AnglesAndSheetNormalsOfTheLevels) {
  ScratchParams params = NewMapParams();
  params.levels = 8;
  params.type = SCRATCH_2D;
  EXPECT_EQ(LevelAngle(params, 0), -0.17453292f);
  EXPECT_EQ(LevelAngle(params, 1), 35.0f * 0.017453292f);
  EXPECT_EQ(LevelAngle(params, 7), -75.0f * 0.017453292f);
  params.type = SCRATCH_3D;
  EXPECT_EQ(LevelAngle(params, 0), 0.39269909f);
  params.levels = 1;
  EXPECT_EQ(LevelAngle(params, 0), 1.5707964f);

  // 2D: x of the rotated point is stretched, and RotateZ gives q.x = p.x cos a - p.y sin a.
  params.type = SCRATCH_2D;
  params.levels = 3;
  const float a = 55.0f * 0.017453292f;
  const Point3 n2 = StrandSheetNormal(params, 2);
  EXPECT_NEAR(n2.x, std::cos(a), 1e-6f);
  EXPECT_NEAR(n2.y, -std::sin(a), 1e-6f);
  EXPECT_EQ(n2.z, 0.0f);
  params.levels = 1;
  const Point3 single = StrandSheetNormal(params, 0);  // a single level runs along x
  EXPECT_NEAR(single.x, 0.0f, 1e-7f);
  EXPECT_NEAR(single.y, -1.0f, 1e-7f);

  // 3D: the normal is the direction along which the stretched coordinate q.y grows.
  params.type = SCRATCH_3D;
  params.levels = 4;
  for (int level = 0; level < 4; ++level) {
    const float angle = LevelAngle(params, level);
    Matrix3 m;
    m.IdentityMatrix();
    m.RotateZ(angle);
    m.RotateX(angle);
    m.RotateY(angle);
    const Point3 n = StrandSheetNormal(params, level);
    EXPECT_NEAR(n.Length(), 1.0f, 1e-6f);
    for (const Point3& p : SamplePoints(5, 3.0f)) {
      EXPECT_NEAR((m * p).y, DotProd(p, n), 1e-5f) << level;
      // Moving across the normal leaves the stretched coordinate where it was.
      const Point3 along = CrossProd(n, Point3(0.3f, 0.5f, 0.8f));
      EXPECT_NEAR((m * (p + along)).y, (m * p).y, 1e-5f) << level;
    }
  }
}

TEST(ScratchLevel, SheetNormalsAreTheLevelRotationsColumnForEveryLevelCount) {
  // The normals are kept per type and level angle; every level count and level, in range or not,
  // must find the column of its own rotation, to the bit.
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    for (int levels = -1; levels <= 10; ++levels) {
      for (int level = -2; level <= 10; ++level) {
        ScratchParams params = NewMapParams();
        params.type = type;
        params.levels = levels;
        const Matrix3 m = HostLevelRotation(type, LevelAngle(params, level));
        const int column = type == SCRATCH_3D ? 1 : 0;
        const Point3 n = StrandSheetNormal(params, level);
        EXPECT_EQ(Bits(n.x), Bits(m.GetRow(0)[column])) << type << " " << levels << " " << level;
        EXPECT_EQ(Bits(n.y), Bits(m.GetRow(1)[column])) << type << " " << levels << " " << level;
        EXPECT_EQ(Bits(n.z), Bits(m.GetRow(2)[column])) << type << " " << levels << " " << level;
      }
    }
  }
}

// The same entry: the same bits, except that of two NaNs neither sign nor payload is pinned
// (which operand's NaN an operation passes on is the compiler's choice of operand order).
void ExpectSameEntry(float ours, float host, std::int32_t type, float angle, int row, int axis) {
  if (std::isnan(host)) {
    EXPECT_TRUE(std::isnan(ours)) << "type " << type << " angle " << angle << " row " << row;
  } else {
    EXPECT_EQ(Bits(ours), Bits(host))
        << "type " << type << " angle " << angle << " row " << row << " axis " << axis;
  }
}

TEST(StrandRotation, EveryEntryIsTheHostTransformsBitForBit) {
  // The level angles themselves, angles whose cosine or sine is negative (so that rotated zeros
  // take a sign, those of the translation row too), signed zeros, whole turns and huge angles.
  std::vector<float> angles = {0.0f,   -0.0f, 1.5707964f, -1.5707964f, 3.1415927f, -3.1415927f,
                               2.0f,   -2.5f, 4.0f,       6.2831855f,  100.0f,     -1e6f,
                               3.4e38f, 1e-30f};
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    for (int levels = 1; levels <= 8; ++levels) {
      ScratchParams params = NewMapParams();
      params.type = type;
      params.levels = levels;
      for (int level = 0; level < levels; ++level) angles.push_back(LevelAngle(params, level));
    }
  }
  for (const Point3& p : SamplePoints(20, 7.0f)) {  // a spread of angles in both directions
    angles.push_back(p.x);
    angles.push_back(p.y);
    angles.push_back(p.z);
  }
  // Non-finite angles turn every entry they reach into a NaN.
  angles.push_back(std::numeric_limits<float>::infinity());
  angles.push_back(std::numeric_limits<float>::quiet_NaN());

  // Every type the field knows, and one it does not (rotated like the 2D type).
  for (std::int32_t type : {0, 1, 5}) {
    for (const float angle : angles) {
      const StrandRotation ours = LevelRotation(type, angle);
      const Matrix3 host = HostLevelRotation(type, angle);
      for (int row = 0; row < 4; ++row) {
        for (int axis = 0; axis < 3; ++axis) {
          const float h = host.GetRow(row)[axis];
          ExpectSameEntry(ours.GetRow(row)[axis], h, type, angle, row, axis);
          ExpectSameEntry(row < 3 ? ours.Columns()[3 * axis + row] : ours.Translation()[axis], h,
                          type, angle, row, axis);
          if (std::isfinite(angle)) {
            EXPECT_FALSE(std::isnan(h));  // finite angles pin every bit
          }
        }
      }
    }
  }
}

TEST(StrandRotation, BuiltOnceTablesAreTheLevelsRotations) {
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    for (int slot = 0; slot < 9; ++slot) {
      ScratchParams params = NewMapParams();
      params.type = type;
      params.levels = slot == 0 ? 1 : 8;
      const Matrix3 host = HostLevelRotation(type, LevelAngle(params, slot == 0 ? 0 : slot - 1));
      const StrandRotation& ours = SlotRotation(type, slot);
      for (int row = 0; row < 4; ++row) {
        for (int axis = 0; axis < 3; ++axis) {
          EXPECT_EQ(Bits(ours.GetRow(row)[axis]), Bits(host.GetRow(row)[axis]))
              << type << " " << slot << " " << row << " " << axis;
        }
      }
    }
  }
}

TEST(StrandRotation, StrandsTransformTheirPointAsTheHostDoes) {
  // The strand value of a level is the cellular value of the host-transformed point with its
  // strand axis stretched: the same bits for points whose rotated coordinates are zeros of
  // either sign, too.
  ScratchParams params = NewMapParams();
  std::vector<Point3> points = SamplePoints(40, 50.0f);
  points.push_back(Point3(0.0f, 0.0f, 0.0f));
  points.push_back(Point3(-0.0f, -0.0f, -0.0f));
  points.push_back(Point3(-0.0f, 0.0f, -0.0f));
  for (const float angle : {1.5707964f, -0.17453292f, 0.39269909f, 2.5f, -2.0f}) {
    for (const Point3& p : points) {
      Point3 q2 = HostLevelRotation(SCRATCH_2D, angle) * p;
      q2.x = q2.x * (params.stretch + 50.0f);
      EXPECT_EQ(Bits(StrandAtAngle2D(p, angle, params)), Bits(CellularValue(q2, params.spread)));
      Point3 q3 = HostLevelRotation(SCRATCH_3D, angle) * p;
      q3.y = q3.y * (params.stretch + 50.0f);
      EXPECT_EQ(Bits(StrandAtAngle3D(p, angle, params)), Bits(CellularValue(q3, params.spread)));
    }
  }
}

// FNV-1a over the result bits of both evaluations on a fixed set of points, for all field kinds.
std::uint64_t PatternDigest(const std::vector<Point3>& points, std::size_t begin, std::size_t end,
                            std::vector<std::uint32_t>* out) {
  ScratchParams params = NewMapParams();
  const Point3 dx(0.003f, 0.001f, 0.0f), dy(-0.001f, 0.004f, 0.002f);
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = begin; i < end; ++i) {
    params.type = static_cast<std::int32_t>(i & 1);
    params.useErosion = static_cast<std::int32_t>((i >> 1) & 1);
    params.levels = static_cast<std::int32_t>(1 + i % 8);
    const std::uint32_t bits[2] = {Bits(EvalScratchPlain(points[i], params)),
                                   Bits(EvalScratchFiltered(points[i], dx, dy, params))};
    for (std::uint32_t b : bits) {
      if (out) out->push_back(b);
      h = (h ^ b) * 1099511628211ull;
    }
  }
  return h;
}

TEST(Determinism, GoldenDigestIsTheSameInEveryBuildType) {
  // Recorded from this code; Debug, Release and sanitizer builds must all reproduce it, which
  // proves that no build type contracts, reassociates or vectorises the arithmetic differently.
  const std::vector<Point3> points = SamplePoints(3000, 200.0f);
  EXPECT_EQ(PatternDigest(points, 0, points.size(), nullptr), 0x95f70614cb84aa56ull);
}

TEST(Determinism, ConcurrentThreadsMatchTheSerialPass) {
  const std::vector<Point3> points = SamplePoints(4000, 200.0f);
  std::vector<std::uint32_t> serial;
  PatternDigest(points, 0, points.size(), &serial);

  constexpr int kThreads = 4;
  std::vector<std::vector<std::uint32_t>> parts(kThreads);
  std::vector<std::thread> threads;
  // Each thread evaluates every point, interleaved with the others, so all share the tables.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { PatternDigest(points, 0, points.size(), &parts[t]); });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(parts[t], serial) << "thread " << t;
}

}  // namespace
}  // namespace tamrel
