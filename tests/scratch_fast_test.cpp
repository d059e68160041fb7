// The fast scratch evaluation against the plain one: zero differing bits on every kernel variant
// the processor runs, over random points, points on and a few ulps beside cell faces, points next
// to feature points, negative whole numbers, coordinates beyond the fast range and non-finite
// ones, for both field types, levels 0..9, erosion on and off, filtered and plain, several
// spreads, stretches, thresholds and noise scales; the batch entries; the entries that also give
// the winning level (the plain level on the same points, and the first level where levels tie);
// the variant selection; and no allocation while evaluating.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "matrix3.h"
#include "pattern/CellIndex.h"
#include "pattern/CellularDistance.h"
#include "pattern/ScratchFast.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchPattern.h"

// Counts every allocation of the test binary, to show that evaluation makes none.
namespace {
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Not inlined, so that GCC does not mistake the pairing of the replaced new with free.
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace tamrel {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRandomPoints = 40000;  // the sanitizers run the kernels 10-30 times slower
#else
constexpr int kRandomPoints = 1000000;
#endif

std::uint32_t Bits(float v) { return std::bit_cast<std::uint32_t>(v); }

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed) {}
  std::uint32_t Next() {
    s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s_ >> 32);
  }
  float Uniform(float lo, float hi) {
    return lo + (hi - lo) * (static_cast<float>(Next() >> 8) / 16777216.0f);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }

 private:
  std::uint64_t s_;
};

ScratchParams BaseParams() {
  return ScratchParams{0.0f, 1.0f, 10.0f, 0, 0.5f, 0.5f, 1.0f, 0.8f, SCRATCH_3D, 6};
}

// A varied record: non-default stretches, spreads, thresholds, noise scales and levels 0..9.
ScratchParams VariedParams(Rng& rng) {
  static const float kStretch[] = {0.0f, 10.0f, 3.5f, 250.0f, 1000.0f, 1e6f};
  static const float kSpread[] = {0.8f, 0.1f, 0.35f, 1.0f, 0.57f};
  static const float kSize[] = {0.5f, 0.05f, 2.0f, 12.5f};
  static const float kDelta[] = {1.0f, 0.01f, 3.0f, 100.0f};
  ScratchParams p = BaseParams();
  p.type = rng.Below(2);
  p.levels = rng.Below(10);
  p.useErosion = rng.Below(2);
  // Mostly the usual range; now and then a strength the map never sets, which decides whether the
  // kernels may skip the search where the output is 1 whatever the mask.
  static const float kOddErosion[] = {-0.5f, 0.99999994f, 1.0f, 1.5f};
  p.erosion = rng.Below(5) == 0 ? kOddErosion[rng.Below(4)] : rng.Uniform(0.0f, 1.0f);
  p.stretch = kStretch[rng.Below(6)];
  p.spread = kSpread[rng.Below(5)];
  p.sizeDiv20 = kSize[rng.Below(4)];
  p.erosionDelta = kDelta[rng.Below(4)];
  switch (rng.Below(6)) {
    case 0:
    case 1:
      p.thresholdLow = rng.Uniform(0.0f, 0.6f);
      p.thresholdHigh = p.thresholdLow + rng.Uniform(0.0f, 0.4f);
      break;
    case 2:  // reversed: the ramps are off, the clamp alone remains
      p.thresholdLow = rng.Uniform(0.5f, 1.0f);
      p.thresholdHigh = p.thresholdLow - rng.Uniform(0.0f, 0.5f);
      break;
    case 3:  // beyond the unit range
      p.thresholdLow = rng.Uniform(-0.5f, 0.5f);
      p.thresholdHigh = rng.Uniform(1.0f, 1.6f);
      break;
    default:
      break;
  }
  return p;
}

// The strand's stretched point in the density-scaled space, as the plain strand forms it.
double ScaledCoordinate(const Point3& p, const ScratchParams& params, float angle, int axis) {
  Matrix3 m;
  m.RotateZ(angle);
  if (params.type == SCRATCH_3D) {
    m.RotateX(angle);
    m.RotateY(angle);
  }
  Point3 q = m * p;
  q[params.type == SCRATCH_3D ? 1 : 0] *= params.stretch + 50.0f;
  return 0.39815 * static_cast<double>(q[axis]);
}

float ReferenceLevelAngle(const ScratchParams& params, int level) {
  static const float kTable[] = {35.0f, 55.0f, 75.0f, -15.0f, -35.0f, -55.0f, -75.0f};
  if (params.levels <= 1) return 1.5707964f;
  if (level == 0) return params.type == SCRATCH_3D ? 0.39269909f : -0.17453292f;
  return kTable[level - 1] * 0.017453292f;
}

// Floats as integers in their order: the order of non-negative floats is the order of their
// bits; negative ones count down from zero by magnitude.
std::int32_t FloatKey(float v) {
  const std::int32_t i = std::bit_cast<std::int32_t>(v);
  return i < 0 ? -(i & 0x7fffffff) : i;
}
float KeyFloat(std::int32_t k) {
  return std::bit_cast<float>(k < 0 ? static_cast<std::int32_t>((-k) | 0x80000000) : k);
}

// Given a < b with keep(a) true and keep(b) false, bisects over the floats between them to the
// key of a float for which keep holds while it fails for the next one up.
template <class Keep>
std::int32_t LastKeyWhere(float a, float b, Keep keep) {
  std::int32_t lo = FloatKey(a), hi = FloatKey(b);
  while (hi - lo > 1) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    (keep(KeyFloat(mid)) ? lo : hi) = mid;
  }
  return lo;
}

// Walks coordinate `which` of p, float by float, to the last value before a cell face of the
// level's scaled point along `axis`; appends it with its neighbours a few ulps either side.
void AppendFacePoints(Point3 p, const ScratchParams& params, int level, int which, int axis,
                      std::vector<Point3>& out) {
  const float angle = ReferenceLevelAngle(params, level);
  auto cell = [&](float v) {
    Point3 q = p;
    q[which] = v;
    return CellIndex(ScaledCoordinate(q, params, angle, axis));
  };
  // Find two floats a < b in different cells, then bisect between them.
  const float a = p[which];
  const std::int32_t c0 = cell(a);
  if (c0 == cell(a + 4.0f)) return;
  const std::int32_t last = LastKeyWhere(a, a + 4.0f, [&](float v) { return cell(v) == c0; });
  for (std::int32_t k = last - 3; k <= last + 4; ++k) {
    p[which] = KeyFloat(k);
    out.push_back(p);
  }
}

// The sample point whose level point (rotated, stretched, density-scaled) is q, to within rounding.
Point3 PointAt(const double q[3], const ScratchParams& params, float angle) {
  double r[3] = {q[0] / 0.39815, q[1] / 0.39815, q[2] / 0.39815};
  r[params.type == SCRATCH_3D ? 1 : 0] /= params.stretch + 50.0;
  Matrix3 m;
  m.RotateZ(angle);
  if (params.type == SCRATCH_3D) {
    m.RotateX(angle);
    m.RotateY(angle);
  }
  // The rotation's inverse is its transpose: p = M r in the row-vector convention.
  Point3 p;
  for (int i = 0; i < 3; ++i) {
    const Point3& row = m.GetRow(i);
    p[i] = static_cast<float>(row.x * r[0] + row.y * r[1] + row.z * r[2]);
  }
  return p;
}

// Every kind of point the fast search must agree on, for one record.
std::vector<Point3> PointsFor(const ScratchParams& params, Rng& rng) {
  std::vector<Point3> points;
  const float kExtents[] = {3.0f, 40.0f, 1000.0f, 60000.0f};
  for (float e : kExtents) {
    points.emplace_back(rng.Uniform(-e, e), rng.Uniform(-e, e), rng.Uniform(-e, e));
  }
  // On and a few ulps beside the cell faces of a random level and axis.
  const int levels = params.levels < 1 ? 1 : (params.levels > 8 ? 8 : params.levels);
  const Point3 base(rng.Uniform(-50.0f, 50.0f), rng.Uniform(-50.0f, 50.0f),
                    rng.Uniform(-50.0f, 50.0f));
  AppendFacePoints(base, params, rng.Below(levels), rng.Below(3), rng.Below(3), points);
  // Right beside a feature point of a level: the strand value near -1.
  {
    const int level = rng.Below(levels);
    double features[5][3];
    const std::int32_t cx = rng.Below(200) - 100, cy = rng.Below(200) - 100,
                       cz = rng.Below(200) - 100;
    if (CubeFeaturePoints(cx, cy, cz, features) > 0) {
      points.push_back(PointAt(features[0], params, ReferenceLevelAngle(params, level)));
    }
  }
  // Just across a face, edge or corner from a feature point near it, so that the nearest
  // feature lies in that neighbour cube: every neighbour must be searched when it matters.
  {
    const int level = rng.Below(levels);
    int step[3];
    do {
      for (int& a : step) a = rng.Below(3) - 1;
    } while (step[0] == 0 && step[1] == 0 && step[2] == 0);
    for (int tries = 0; tries < 4000; ++tries) {
      const std::int32_t k[3] = {rng.Below(200) - 100, rng.Below(200) - 100,
                                 rng.Below(200) - 100};
      double features[5][3];
      const int n = CubeFeaturePoints(k[0], k[1], k[2], features);
      bool placed = false;
      for (int f = 0; f < n && !placed; ++f) {
        double q[3];
        bool nearFaces = true;
        for (int a = 0; a < 3; ++a) {
          const double offset = features[f][a] - k[a];
          // The neighbour is k; the point's own cube is k - step.
          if (step[a] > 0) nearFaces &= offset < 0.12, q[a] = k[a] - 0.02;
          if (step[a] < 0) nearFaces &= offset > 0.88, q[a] = k[a] + 1.02;
          if (step[a] == 0) q[a] = features[f][a];
        }
        if (nearFaces) points.push_back(PointAt(q, params, ReferenceLevelAngle(params, level)));
        placed = nearFaces;
      }
      if (placed) break;
    }
  }
  // Equal coordinates put the noise on the boundaries between simplices, where ties decide.
  const float u = rng.Uniform(-20.0f, 20.0f), v = rng.Uniform(-20.0f, 20.0f);
  points.emplace_back(u, u, u);
  points.emplace_back(u, u, v);
  points.emplace_back(v, u, u);
  points.emplace_back(u, v, u);
  // Whole numbers, negative ones in particular (they fall into the cell below).
  points.emplace_back(-1.0f, -2.0f, -3.0f);
  points.emplace_back(static_cast<float>(rng.Below(64) - 64), static_cast<float>(-rng.Below(9)),
                      static_cast<float>(rng.Below(9)));
  return points;
}

const std::vector<Point3>& ExtremePoints() {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  static const std::vector<Point3> points = {
      {nan, 0.0f, 0.0f},  {0.5f, nan, 2.0f},       {1.0f, 2.0f, nan},     {inf, 0.0f, 0.0f},
      {-inf, 1.0f, 1.0f}, {0.0f, 0.0f, -inf},      {3e9f, -3e9f, 1e38f},  {1e20f, 1e20f, 1e20f},
      {-1e7f, 3e6f, 0.5f}, {2e7f, 1e5f, -7e6f},    {0.0f, 0.0f, 0.0f},    {-0.0f, -0.0f, -0.0f},
      {5e4f, -5e4f, 5e4f}, {1e-30f, -1e-38f, 0.0f}, {-2147483648.0f, 2147483520.0f, -1.0f}};
  return points;
}

// Each point followed by seven neighbours from a few ulps to a hundredth away, eight to a group,
// so that batches also search them side by side. Coordinates that are zero stay zero.
std::vector<Point3> Clustered(const std::vector<Point3>& points, Rng& rng) {
  std::vector<Point3> out;
  for (const Point3& p : points) {
    out.push_back(p);
    for (int k = 0; k < 7; ++k) {
      const float d = 0.01f * std::ldexp(1.0f, -rng.Below(20));
      auto near = [&](float v) { return v == 0.0f ? v : v + rng.Uniform(-d, d); };
      const float x = near(p.x), y = near(p.y);
      out.emplace_back(x, y, near(p.z));
    }
  }
  return out;
}

std::vector<ScratchPath> SupportedFastPaths() {
  std::vector<ScratchPath> paths;
  for (ScratchPath p : {ScratchPath::SCALAR, ScratchPath::AVX2, ScratchPath::AVX512}) {
    if (ScratchPathSupported(p)) paths.push_back(p);
  }
  return paths;
}

// Restores the start-up variant when a test ends.
class FastPathTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ActiveScratchPath(); }
  void TearDown() override { SelectScratchPath(saved_); }
  ScratchPath saved_ = ScratchPath::PLAIN;
};

// Compares plain and filtered, per sample and batched, on every variant; counts the samples.
long CompareAll(const std::vector<Point3>& points, const ScratchParams& params, Rng& rng,
                const std::vector<ScratchPath>& paths, std::string* firstMismatch) {
  const std::size_t n = points.size();
  std::vector<Point3> dx(n), dy(n);
  std::vector<float> plain(n), filtered(n), batch(n);
  std::vector<int> plainLevel(n), filteredLevel(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Footprints from none to wide enough to fade erosion octaves.
    const float w = rng.Below(4) == 0 ? 0.0f : rng.Uniform(0.0f, 0.2f);
    dx[i] = Point3(w, rng.Uniform(-w, w), 0.0f);
    dy[i] = Point3(0.0f, rng.Uniform(0.0f, 2.0f * w), w * 0.5f);
    plain[i] = EvalScratchPlain(points[i], params);
    filtered[i] = EvalScratchFiltered(points[i], dx[i], dy[i], params);
    EvalScratchPlainLevel(points[i], params, plainLevel[i]);
    EvalScratchFilteredLevel(points[i], dx[i], dy[i], params, filteredLevel[i]);
  }
  auto reportLevel = [&](ScratchPath path, const char* what, std::size_t i, int got, int want) {
    if (!firstMismatch->empty()) return;
    const Point3& p = points[i];
    *firstMismatch = std::string(ScratchPathName(path)) + " " + what + " level at (" +
                     std::to_string(p.x) + ", " + std::to_string(p.y) + ", " + std::to_string(p.z) +
                     ") type " + std::to_string(params.type) + " levels " +
                     std::to_string(params.levels) + " spread " + std::to_string(params.spread) +
                     ": " + std::to_string(got) + " vs " + std::to_string(want);
  };
  auto report = [&](ScratchPath path, const char* what, std::size_t i, float got, float want) {
    if (!firstMismatch->empty()) return;
    const Point3& p = points[i];
    *firstMismatch = std::string(ScratchPathName(path)) + " " + what + " at (" +
                     std::to_string(p.x) + ", " + std::to_string(p.y) + ", " + std::to_string(p.z) +
                     ") type " + std::to_string(params.type) + " levels " +
                     std::to_string(params.levels) + " erosion " +
                     std::to_string(params.useErosion) + ": bits " + std::to_string(Bits(got)) +
                     " vs " + std::to_string(Bits(want));
  };
  long mismatches = 0;
  for (ScratchPath path : paths) {
    SelectScratchPath(path);
    for (std::size_t i = 0; i < n; ++i) {
      const float a = EvalScratchPlainFast(points[i], params);
      const float b = EvalScratchFilteredFast(points[i], dx[i], dy[i], params);
      if (Bits(a) != Bits(plain[i])) ++mismatches, report(path, "plain", i, a, plain[i]);
      if (Bits(b) != Bits(filtered[i])) ++mismatches, report(path, "filtered", i, b, filtered[i]);
      // The entries that also give the winning level: the same bits and the plain level.
      int la = -1, lb = -1;
      const float c = EvalScratchPlainFastLevel(points[i], params, la);
      const float d = EvalScratchFilteredFastLevel(points[i], dx[i], dy[i], params, lb);
      if (Bits(c) != Bits(plain[i])) ++mismatches, report(path, "plain with level", i, c, plain[i]);
      if (Bits(d) != Bits(filtered[i])) {
        ++mismatches, report(path, "filtered with level", i, d, filtered[i]);
      }
      if (la != plainLevel[i]) ++mismatches, reportLevel(path, "plain", i, la, plainLevel[i]);
      if (lb != filteredLevel[i]) {
        ++mismatches, reportLevel(path, "filtered", i, lb, filteredLevel[i]);
      }
    }
    EvalScratchPlainBatch(points.data(), static_cast<int>(n), params, batch.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (Bits(batch[i]) != Bits(plain[i])) ++mismatches, report(path, "plain batch", i, batch[i], plain[i]);
    }
    EvalScratchFilteredBatch(points.data(), dx.data(), dy.data(), static_cast<int>(n), params,
                             batch.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (Bits(batch[i]) != Bits(filtered[i])) {
        ++mismatches, report(path, "filtered batch", i, batch[i], filtered[i]);
      }
    }
    // The batches that also give the winning levels.
    std::vector<int> levels(n, -1);
    EvalScratchPlainBatchLevel(points.data(), static_cast<int>(n), params, batch.data(),
                               levels.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (Bits(batch[i]) != Bits(plain[i])) {
        ++mismatches, report(path, "plain batch with levels", i, batch[i], plain[i]);
      }
      if (levels[i] != plainLevel[i]) {
        ++mismatches, reportLevel(path, "plain batch", i, levels[i], plainLevel[i]);
      }
    }
    std::fill(levels.begin(), levels.end(), -1);
    EvalScratchFilteredBatchLevel(points.data(), dx.data(), dy.data(), static_cast<int>(n),
                                  params, batch.data(), levels.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (Bits(batch[i]) != Bits(filtered[i])) {
        ++mismatches, report(path, "filtered batch with levels", i, batch[i], filtered[i]);
      }
      if (levels[i] != filteredLevel[i]) {
        ++mismatches, reportLevel(path, "filtered batch", i, levels[i], filteredLevel[i]);
      }
    }
  }
  return mismatches;
}

TEST_F(FastPathTest, EveryVariantGivesThePlainBitsEverywhere) {
  const std::vector<ScratchPath> paths = SupportedFastPaths();
  ASSERT_FALSE(paths.empty());
  Rng rng(0x5eedf00dull);
  long samples = 0, mismatches = 0;
  std::string first;
  while (samples < kRandomPoints) {
    const ScratchParams params = VariedParams(rng);
    std::vector<Point3> points = Clustered(PointsFor(params, rng), rng);
    // A run of random points per record, so that the record changes every few dozen samples.
    for (int i = 0; i < 24; ++i) {
      points.emplace_back(rng.Uniform(-300.0f, 300.0f), rng.Uniform(-300.0f, 300.0f),
                          rng.Uniform(-30.0f, 30.0f));
    }
    mismatches += CompareAll(points, params, rng, paths, &first);
    samples += static_cast<long>(points.size());
  }
  EXPECT_EQ(mismatches, 0) << first;
  std::cout << "[ info     ] " << samples << " points x (plain, filtered) x (per sample, batch) x "
            << paths.size() << " variants\n";
}

TEST_F(FastPathTest, FallbackInputsGiveThePlainBits) {
  // Beyond the fast range, non-finite, zero, negative and NaN spreads and noise scales, unknown
  // types: the kernels hand these to the plain code, which must make no difference.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Rng rng(77);
  std::string first;
  long mismatches = 0;
  for (int type : {0, 1, 2, -1}) {
    for (float spread : {0.8f, 0.0f, -0.5f, nan, inf}) {
      for (float size : {0.5f, 0.0f, inf}) {
        for (int erosion : {0, 1}) {
          ScratchParams params = BaseParams();
          params.type = type;
          params.spread = spread;
          params.sizeDiv20 = size;
          params.useErosion = erosion;
          params.levels = 1 + rng.Below(8);
          mismatches += CompareAll(ExtremePoints(), params, rng, SupportedFastPaths(), &first);
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << first;
}

TEST_F(FastPathTest, DefaultRecordOverARegionAndItsNeighbourhoodOfWholeNumbers) {
  // The new map's values at every quarter unit of a 3D block around the origin, where many
  // coordinates are whole numbers and many strands cross cell faces at once.
  std::vector<Point3> points;
  for (int x = -24; x < 24; ++x) {
    for (int y = -24; y < 24; ++y) {
      for (int z = -2; z < 2; ++z) points.emplace_back(static_cast<float>(x) * 0.25f, static_cast<float>(y) * 0.25f,
                                                     static_cast<float>(z) * 0.25f);
    }
  }
  Rng rng(3);
  std::string first;
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    for (int erosion : {0, 1}) {
      ScratchParams params = BaseParams();
      params.type = type;
      params.useErosion = erosion;
      EXPECT_EQ(CompareAll(points, params, rng, SupportedFastPaths(), &first), 0) << first;
    }
  }
}

// Paths that give levels: the plain routing and every fast variant.
std::vector<ScratchPath> AllPaths() {
  std::vector<ScratchPath> paths = {ScratchPath::PLAIN};
  for (ScratchPath p : SupportedFastPaths()) paths.push_back(p);
  return paths;
}

// The strand values of every level at p, as the plain field forms them before taking the minimum.
std::vector<float> StrandValues(const Point3& p, const ScratchParams& params) {
  std::vector<float> values;
  const int levels = params.levels < 1 ? 1 : (params.levels > 8 ? 8 : params.levels);
  for (int l = 0; l < levels; ++l) {
    const float angle = ReferenceLevelAngle(params, l);
    values.push_back(params.type == SCRATCH_3D ? StrandAtAngle3D(p, angle, params)
                                               : StrandAtAngle2D(p, angle, params));
  }
  return values;
}

// A varied record with the type, level count, erosion and spread of a level test.
ScratchParams LevelRecord(Rng& rng, int type, int levels, int erosion, float spread) {
  ScratchParams params = VariedParams(rng);
  params.type = type;
  params.levels = levels;
  params.useErosion = erosion;
  params.spread = spread;
  return params;
}

TEST_F(FastPathTest, LevelsTiedAtMinusOneReportTheFirstLevel) {
  // With an enormous spread every strand value rounds to -1: all levels tie, and the first one
  // wins, whichever level holds the smallest distance.
  Rng rng(0x71e5ull);
  std::string first;
  long mismatches = 0;
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    for (int levels = 2; levels <= 8; ++levels) {
      for (int erosion : {0, 1}) {
        const ScratchParams params = LevelRecord(rng, type, levels, erosion, 1e30f);
        std::vector<Point3> points;
        for (int i = 0; i < 5; ++i) {
          points.emplace_back(rng.Uniform(-80.0f, 80.0f), rng.Uniform(-80.0f, 80.0f),
                              rng.Uniform(-8.0f, 8.0f));
        }
        points = Clustered(points, rng);
        mismatches += CompareAll(points, params, rng, AllPaths(), &first);
        for (ScratchPath path : AllPaths()) {
          SelectScratchPath(path);
          for (const Point3& p : points) {
            ASSERT_EQ(StrandValues(p, params), std::vector<float>(levels, -1.0f));
            int a = -1, b = -1;
            EvalScratchPlainFastLevel(p, params, a);
            EvalScratchFilteredFastLevel(p, Point3(0.01f, 0.0f, 0.0f), Point3(0.0f, 0.02f, 0.0f),
                                         params, b);
            EXPECT_EQ(a, 0) << ScratchPathName(path);
            EXPECT_EQ(b, 0) << ScratchPathName(path);
          }
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << first;
}

TEST_F(FastPathTest, LevelsWhoseRoundedValuesTieReportTheFirstLevel) {
  // Large spreads leave the strand values a few dozen steps between -1 and the next values:
  // levels with different distances often share the minimum value, and the first of them wins,
  // which is often not the level that holds the smallest distance. The widest leave only a
  // handful of steps, so that a level whose nearest feature lies in a cube the search closed
  // still ties: the kernels pass over an earlier level only when the floor of all its cubes,
  // closed ones included, is beyond the winning value.
  Rng rng(0xb0a710ull);
  std::string first;
  long mismatches = 0, samples = 0, ties = 0;
  for (float spread : {2e5f, 1e6f, 6e6f, 3e7f, 1e8f}) {
    for (int type : {SCRATCH_2D, SCRATCH_3D}) {
      for (int levels = 2; levels <= 8; ++levels) {
        for (int erosion : {0, 1}) {
          const ScratchParams params = LevelRecord(rng, type, levels, erosion, spread);
          std::vector<Point3> points = PointsFor(params, rng);
          for (int i = 0; i < 8; ++i) {
            points.emplace_back(rng.Uniform(-200.0f, 200.0f), rng.Uniform(-200.0f, 200.0f),
                                rng.Uniform(-20.0f, 20.0f));
          }
          points = Clustered(points, rng);
          mismatches += CompareAll(points, params, rng, AllPaths(), &first);
          for (const Point3& p : points) {
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
            const std::vector<float> v = StrandValues(p, params);
            int level = -1;
            EvalScratchPlainLevel(p, params, level);
            ASSERT_GE(level, 0);
            ASSERT_LT(level, levels);
            // The reported level holds the minimum and no earlier level does.
            for (int l = 0; l < levels; ++l) {
              ASSERT_GE(v[l], v[level]);
              if (l < level) {
                ASSERT_GT(v[l], v[level]);
              }
            }
            bool tie = false;
            for (int l = level + 1; l < levels; ++l) tie = tie || v[l] == v[level];
            ties += tie ? 1 : 0;
            ++samples;
          }
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << first;
  // The records make ties common, so that the first-level rule is really exercised.
  EXPECT_GT(ties * 10, samples) << ties << " ties in " << samples;
}

TEST_F(FastPathTest, LevelsWithTheSameDistanceReportTheFirstLevel) {
  // On the z axis a 2D field's levels all rotate the point onto itself, so every level gives the
  // very same distance; at the origin so does every 3D level. The first level wins.
  Rng rng(0x2e50ull);
  std::string first;
  long mismatches = 0;
  for (int levels = 2; levels <= 8; ++levels) {
    for (int erosion : {0, 1}) {
      ScratchParams params = VariedParams(rng);
      params.levels = levels;
      params.useErosion = erosion;
      std::vector<Point3> points = {Point3(0.0f, 0.0f, 0.0f), Point3(-0.0f, 0.0f, -0.0f)};
      params.type = SCRATCH_2D;
      for (int i = 0; i < 4; ++i) points.emplace_back(0.0f, 0.0f, rng.Uniform(-500.0f, 500.0f));
      points = Clustered(points, rng);
      mismatches += CompareAll(points, params, rng, AllPaths(), &first);
      for (ScratchPath path : AllPaths()) {
        SelectScratchPath(path);
        for (const Point3& p : points) {
          int level = -1;
          EvalScratchPlainFastLevel(p, params, level);
          EXPECT_EQ(level, 0) << ScratchPathName(path) << " z " << p.z;
        }
      }
      params.type = SCRATCH_3D;
      points = {Point3(0.0f, 0.0f, 0.0f)};
      mismatches += CompareAll(points, params, rng, AllPaths(), &first);
      for (ScratchPath path : AllPaths()) {
        SelectScratchPath(path);
        int level = -1;
        EvalScratchFilteredFastLevel(points[0], Point3(0.003f, 0.0f, 0.0f),
                                     Point3(0.0f, 0.0f, 0.003f), params, level);
        EXPECT_EQ(level, 0) << ScratchPathName(path);
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << first;
}

// A batch of the given length cut from a mixed sequence: ordinary points, points the fast code
// hands to the plain code (NaN, infinite, beyond the fast cell range) and points on cell faces,
// so that fast and fallback samples sit side by side in every position of a pair.
// With `clustered`, the ordinary samples lie within a thousandth of one point, so that a batch
// may search them side by side.
std::vector<Point3> MixedBatch(int count, int start, bool clustered, Rng& rng) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Point3 kinds[] = {{nan, 1.5f, -2.0f},
                          {3e9f, 0.25f, 7.0f},
                          {0.5f, -inf, 1.0f},
                          {-1.0f, -2.0f, -3.0f},
                          {1e20f, -1e20f, 4.0f}};
  std::vector<Point3> points;
  const Point3 centre(rng.Uniform(-80.0f, 80.0f), rng.Uniform(-80.0f, 80.0f),
                      rng.Uniform(-8.0f, 8.0f));
  for (int i = 0; i < count; ++i) {
    const int k = start + i;
    if (k % 3 == 1) {
      points.push_back(kinds[(k / 3) % 5]);
    } else if (clustered) {
      points.emplace_back(centre.x + rng.Uniform(-1e-3f, 1e-3f),
                          centre.y + rng.Uniform(-1e-3f, 1e-3f),
                          centre.z + rng.Uniform(-1e-3f, 1e-3f));
    } else {
      points.emplace_back(rng.Uniform(-80.0f, 80.0f), rng.Uniform(-80.0f, 80.0f),
                          rng.Uniform(-8.0f, 8.0f));
    }
  }
  return points;
}

TEST_F(FastPathTest, BatchesOfEveryLengthMixFastAndFallbackSamples) {
  // Lengths around the pairs and vectors the batch kernels work in, the fallback samples at
  // every offset; the batch writes exactly count results, the plain bits, and nothing beyond.
  Rng rng(0xba7c4ull);
  const float kSentinel = -12345.5f;
  long compared = 0;
  for (ScratchPath path : SupportedFastPaths()) {
    SelectScratchPath(path);
    for (int count : {0, 1, 3, 4, 5, 8, 9, 17}) {
      for (int start = 0; start < 6; ++start) {
        for (int variant = 0; variant < 4; ++variant) {
          ScratchParams params = BaseParams();
          params.type = variant & 1 ? SCRATCH_2D : SCRATCH_3D;
          params.useErosion = variant & 2 ? 1 : 0;
          params.erosion = 0.7f;
          params.levels = 3 + variant;
          params.stretch = 25.0f;
          params.spread = 0.55f;
          params.thresholdLow = 0.15f;
          params.thresholdHigh = 0.8f;
          const std::vector<Point3> points = MixedBatch(count, start % 3, start >= 3, rng);
          std::vector<Point3> dx, dy;
          for (int i = 0; i < count; ++i) {
            // Every third footprint fades some erosion octaves.
            const float w = i % 3 == 2 ? 0.7f : 0.01f * static_cast<float>(i + 1);
            dx.emplace_back(w, 0.0f, 0.0f);
            dy.emplace_back(0.0f, w * 0.5f, 0.0f);
          }
          std::vector<float> plain(count + 2, kSentinel), filtered(count + 2, kSentinel);
          EvalScratchPlainBatch(points.data(), count, params, plain.data());
          EvalScratchFilteredBatch(points.data(), dx.data(), dy.data(), count, params,
                                   filtered.data());
          for (int i = 0; i < count; ++i) {
            ASSERT_EQ(Bits(plain[i]), Bits(EvalScratchPlain(points[i], params)))
                << ScratchPathName(path) << " count " << count << " start " << start << " variant "
                << variant << " sample " << i;
            ASSERT_EQ(Bits(filtered[i]), Bits(EvalScratchFiltered(points[i], dx[i], dy[i], params)))
                << ScratchPathName(path) << " count " << count << " start " << start << " variant "
                << variant << " sample " << i;
            ++compared;
          }
          for (int i = count; i < count + 2; ++i) {
            EXPECT_EQ(Bits(plain[i]), Bits(kSentinel)) << "plain batch wrote past " << count;
            EXPECT_EQ(Bits(filtered[i]), Bits(kSentinel)) << "filtered batch wrote past " << count;
          }
        }
      }
    }
  }
  // 3 starts x 2 spreads x 4 records x (0+1+3+4+5+8+9+17) samples per variant.
  EXPECT_EQ(compared, static_cast<long>(SupportedFastPaths().size()) * 6 * 4 * 47);
}

TEST_F(FastPathTest, BatchOfARowOfNeighbouringSamples) {
  // A bake's row: samples a pixel apart, so that neighbouring samples share their cubes, with
  // the row crossing cell faces of the stretched levels many times.
  ScratchParams params = BaseParams();
  params.useErosion = 1;
  params.erosion = 0.4f;
  params.stretch = 40.0f;
  params.levels = 7;
  Rng rng(909);
  std::string first;
  for (int type : {SCRATCH_3D, SCRATCH_2D}) {
    params.type = type;
    std::vector<Point3> row;
    const Point3 origin(rng.Uniform(-5.0f, 5.0f), rng.Uniform(-5.0f, 5.0f), 0.125f);
    const Point3 step(0.0009765625f, 0.00024414062f, 0.0f);
    for (int i = 0; i < 1500; ++i) row.push_back(origin + step * static_cast<float>(i));
    EXPECT_EQ(CompareAll(row, params, rng, SupportedFastPaths(), &first), 0) << first;
  }
}

TEST_F(FastPathTest, BatchedRowsOfEveryStepSizeAndDirection) {
  // The batch remembers the cubes of earlier samples and skips those that cannot hold the next
  // sample's minimum: rows with steps from far below to beyond a cell, straight, zig-zagging
  // back over themselves and standing still, one after the other in a single batch.
  Rng rng(0x70775ull);
  std::string first;
  long mismatches = 0, samples = 0;
  while (samples < kRandomPoints / 8) {
    ScratchParams params = VariedParams(rng);
    std::vector<Point3> points;
    for (int row = 0; row < 6; ++row) {
      const float size = std::ldexp(1.0f, -rng.Below(24));  // 1 down to 2^-23
      const Point3 step(rng.Uniform(-size, size), rng.Uniform(-size, size),
                        rng.Uniform(-size, size) * 0.25f);
      Point3 p(rng.Uniform(-200.0f, 200.0f), rng.Uniform(-200.0f, 200.0f),
               rng.Uniform(-20.0f, 20.0f));
      const int kind = rng.Below(3);
      for (int i = 0; i < 40; ++i) {
        points.push_back(p);
        if (kind == 0) p = p + step;                               // straight
        if (kind == 1) p = p + (i % 5 < 2 ? step : step * -1.5f);  // back and forth
        if (kind == 2 && i % 4 == 3) p = p + step * 3.0f;          // standing, then a jump
      }
    }
    mismatches += CompareAll(points, params, rng, SupportedFastPaths(), &first);
    samples += static_cast<long>(points.size());
  }
  EXPECT_EQ(mismatches, 0) << first;
}

TEST_F(FastPathTest, SamplesWhoseNearestFeatureThePlainSearchPassesOver) {
  // The plain search visits a neighbour cube only while its squared face gaps add up to less than
  // the distance found so far, so a nearest feature more than a cell away, in an edge cube, can be
  // passed over; the strand value is then the farther feature's. The kernels find the nearer one,
  // must see that the plain search would not have, and hand the sample to the plain code. Around
  // this level point it happens: the nearest feature, 1.076 away, lies in the edge cube one step
  // down y and up z, whose bound 1.128 is above the 1.095 found before it in the cube up x. Wide
  // spreads keep such distant strands off the top of the ramp; batches of eight neighbouring
  // samples search side by side.
  const std::int32_t cell[3] = {-834, -641, 54};
  const double offset[3] = {0.7917, 0.9583, 0.5417};
  Rng rng(0xfa55edull);
  std::string first;
  long mismatches = 0;
  for (int type : {SCRATCH_2D, SCRATCH_3D}) {
    for (float spread : {3.0f, 8.0f, 1000.0f}) {
      for (int erosion : {0, 1}) {
        ScratchParams params = BaseParams();
        params.type = type;
        params.levels = 1;
        params.spread = spread;
        params.useErosion = erosion;
        const float angle = ReferenceLevelAngle(params, 0);
        std::vector<Point3> points;
        for (int i = 0; i < 64; ++i) {
          double q[3];
          for (int a = 0; a < 3; ++a) q[a] = cell[a] + offset[a] + rng.Uniform(-0.004f, 0.004f);
          points.push_back(PointAt(q, params, angle));
        }
        for (const Point3& p : points) {
          // The sample's level point, as the strand forms it, lies in the cell, and the plain
          // value is above the value of the nearest of the 27 cubes' features.
          double q[3];
          for (int a = 0; a < 3; ++a) q[a] = ScaledCoordinate(p, params, angle, a);
          double nearest2 = std::numeric_limits<double>::infinity();
          for (int n = 0; n < 27; ++n) {
            const std::int32_t k[3] = {cell[0] + n / 9 - 1, cell[1] + n / 3 % 3 - 1,
                                       cell[2] + n % 3 - 1};
            double features[5][3];
            const int count = CubeFeaturePoints(k[0], k[1], k[2], features);
            for (int f = 0; f < count; ++f) {
              const double dx = features[f][0] - q[0], dy = features[f][1] - q[1],
                           dz = features[f][2] - q[2];
              nearest2 = std::min(nearest2, dy * dy + dx * dx + dz * dz);
            }
          }
          for (int a = 0; a < 3; ++a) ASSERT_EQ(CellIndex(q[a]), cell[a]);
          const float f1 = static_cast<float>(std::sqrt(std::sqrt(nearest2)) * 2.5116162250408136);
          const float reached = static_cast<float>(2.0 * (f1 / static_cast<double>(spread)) - 1.0);
          const float plain = type == SCRATCH_3D ? StrandAtAngle3D(p, angle, params)
                                                 : StrandAtAngle2D(p, angle, params);
          ASSERT_GT(plain, reached) << "type " << type << " at " << p.x << "," << p.y << "," << p.z;
          ASSERT_LT(EvalScratchPlain(p, params), 1.0f);
        }
        mismatches += CompareAll(points, params, rng, SupportedFastPaths(), &first);
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << first;
}

TEST_F(FastPathTest, SamplesAtTheEdgeOfTheSaturatedRamp) {
  // The kernels stop searching, and skip the erosion noise, once a sample's output is sure to be 1
  // whatever is left, so a fault shows where the output leaves 1. Along short lines through
  // random points, bisect (with the plain code) to two neighbouring floats of which one gives 1
  // and the other not, and compare every entry on the eight floats around them.
  const std::vector<ScratchPath> paths = SupportedFastPaths();
  std::vector<ScratchParams> records(9, BaseParams());
  records[1].useErosion = 1;
  records[2] = {0.2f, 0.9f, 3.5f, 1, 0.3f, 0.5f, 3.0f, 0.57f, SCRATCH_2D, 4};
  records[3] = {0.0f, 1.0f, 10.0f, 1, -0.5f, 0.5f, 1.0f, 0.8f, SCRATCH_3D, 3};
  records[4] = {0.7f, 0.3f, 250.0f, 1, 0.3f, 2.0f, 1.0f, 1.0f, SCRATCH_2D, 8};
  records[5] = {0.1f, 1.3f, 0.0f, 1, 0.9f, 0.5f, 0.01f, 0.35f, SCRATCH_3D, 1};
  records[6] = {0.0f, 1.0f, 10.0f, 1, 0.99999994f, 0.5f, 1.0f, 0.8f, SCRATCH_3D, 6};
  // Wear beyond 1 turns far strands back down: no output is sure to stay 1.
  records[7] = {0.1f, 0.6f, 10.0f, 1, 1.5f, 0.5f, 1.0f, 0.8f, SCRATCH_3D, 6};
  // A narrow ramp high up: the soft ramp's lower shoulder reaches past 1 (to lo + 0.4), where
  // the linear one has ended at hi.
  records[8] = {0.8f, 1.0f, 10.0f, 0, 0.5f, 0.5f, 1.0f, 0.8f, SCRATCH_2D, 5};
  const Point3 dx(0.01f, 0.002f, 0.0f), dy(0.0f, 0.004f, 0.002f);
  Rng rng(0xed9e5ull);
  for (const ScratchParams& params : records) {
    for (const bool filtered : {false, true}) {
      auto plain = [&](const Point3& p) {
        return filtered ? EvalScratchFiltered(p, dx, dy, params) : EvalScratchPlain(p, params);
      };
      std::vector<Point3> points;
      int ones = 0, edges = 0;
      for (int tries = 0; tries < 20000 && edges < 16; ++tries) {
        Point3 p(rng.Uniform(-50.0f, 50.0f), rng.Uniform(-50.0f, 50.0f),
                 rng.Uniform(-50.0f, 50.0f));
        const int which = rng.Below(3);
        const float a = p[which], b = a + std::ldexp(0.05f, rng.Below(6));
        auto at = [&](float v) {
          Point3 q = p;
          q[which] = v;
          return q;
        };
        const bool saturatedAtA = plain(at(a)) == 1.0f;
        if (saturatedAtA == (plain(at(b)) == 1.0f)) continue;
        const std::int32_t last =
            LastKeyWhere(a, b, [&](float v) { return (plain(at(v)) == 1.0f) == saturatedAtA; });
        for (std::int32_t k = last - 3; k <= last + 4; ++k) {
          points.push_back(at(KeyFloat(k)));
          ones += plain(points.back()) == 1.0f;
        }
        ++edges;
      }
      // Edges were found, and the floats around them lie on both sides.
      ASSERT_GE(edges, 8) << "record " << (&params - records.data());
      EXPECT_GE(ones, edges);
      EXPECT_LE(ones, 7 * edges);
      const int n = static_cast<int>(points.size());
      const std::vector<Point3> dxs(points.size(), dx), dys(points.size(), dy);
      std::vector<float> batch(points.size());
      for (ScratchPath path : paths) {
        SelectScratchPath(path);
        if (filtered) {
          EvalScratchFilteredBatch(points.data(), dxs.data(), dys.data(), n, params, batch.data());
        } else {
          EvalScratchPlainBatch(points.data(), n, params, batch.data());
        }
        for (int i = 0; i < n; ++i) {
          const float want = plain(points[i]);
          const float one = filtered ? EvalScratchFilteredFast(points[i], dx, dy, params)
                                     : EvalScratchPlainFast(points[i], params);
          ASSERT_EQ(Bits(one), Bits(want))
              << ScratchPathName(path) << " record " << (&params - records.data()) << " filtered "
              << filtered << " sample " << i;
          ASSERT_EQ(Bits(batch[i]), Bits(want))
              << ScratchPathName(path) << " batch, record " << (&params - records.data())
              << " filtered " << filtered << " sample " << i;
        }
      }
    }
  }
}

TEST_F(FastPathTest, FootprintsWhoseOctavesOverflow) {
  // A tiny noise scale makes the erosion footprint (derivative length / scale) nearly the largest
  // float, so that its doubled octaves overflow to infinity; the fade of each octave must follow
  // the plain mask there too.
  ScratchParams params = BaseParams();
  params.useErosion = 1;
  params.erosion = 0.9f;
  params.sizeDiv20 = 1e-19f;  // 3D scale 1e-20, 2D scale 1e-19
  Rng rng(4242);
  std::string first;
  for (int type : {SCRATCH_3D, SCRATCH_2D}) {
    params.type = type;
    std::vector<Point3> points;
    std::vector<Point3> dx, dy;
    for (float length : {1e17f, 5e17f, 1e18f, 2e18f, 3e18f, 3.3e18f, 4e18f}) {
      for (int i = 0; i < 6; ++i) {
        points.emplace_back(rng.Uniform(-3e-14f, 3e-14f), rng.Uniform(-3e-14f, 3e-14f),
                            rng.Uniform(-3e-14f, 3e-14f));
        dx.emplace_back(length, 0.0f, 0.0f);
        dy.emplace_back(0.0f, length * 0.5f, 0.0f);
      }
    }
    std::vector<float> batch(points.size());
    for (ScratchPath path : SupportedFastPaths()) {
      SelectScratchPath(path);
      EvalScratchFilteredBatch(points.data(), dx.data(), dy.data(),
                               static_cast<int>(points.size()), params, batch.data());
      for (std::size_t i = 0; i < points.size(); ++i) {
        const float want = EvalScratchFiltered(points[i], dx[i], dy[i], params);
        EXPECT_EQ(Bits(EvalScratchFilteredFast(points[i], dx[i], dy[i], params)), Bits(want))
            << ScratchPathName(path) << " type " << type << " length " << dx[i].x;
        EXPECT_EQ(Bits(batch[i]), Bits(want))
            << ScratchPathName(path) << " batch, type " << type << " length " << dx[i].x;
      }
    }
  }
}

TEST_F(FastPathTest, VariantsAreNamedParsedAndSelected) {
  ScratchPath path = ScratchPath::AVX2;
  ASSERT_TRUE(ParseScratchPath("scalar", path));
  EXPECT_EQ(path, ScratchPath::SCALAR);
  ASSERT_TRUE(ParseScratchPath("plain", path));
  EXPECT_EQ(path, ScratchPath::PLAIN);
  ASSERT_TRUE(ParseScratchPath("avx2", path));
  EXPECT_EQ(path, ScratchPath::AVX2);
  ASSERT_TRUE(ParseScratchPath("avx512", path));
  EXPECT_EQ(path, ScratchPath::AVX512);
  ASSERT_TRUE(ParseScratchPath("avx2", path));
  EXPECT_FALSE(ParseScratchPath("AVX2", path));
  EXPECT_FALSE(ParseScratchPath("avx", path));
  EXPECT_FALSE(ParseScratchPath("", path));
  EXPECT_FALSE(ParseScratchPath(nullptr, path));
  EXPECT_EQ(path, ScratchPath::AVX2);  // unchanged by failed parses

  EXPECT_TRUE(ScratchPathSupported(ScratchPath::PLAIN));
  EXPECT_TRUE(ScratchPathSupported(ScratchPath::SCALAR));
  EXPECT_EQ(ScratchPathSupported(ScratchPath::AVX2), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(ScratchPathSupported(ScratchPath::AVX512),
            __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
                __builtin_cpu_supports("avx512vbmi"));

  ASSERT_TRUE(SelectScratchPath(ScratchPath::SCALAR));
  EXPECT_EQ(ActiveScratchPath(), ScratchPath::SCALAR);
  ASSERT_TRUE(SelectScratchPath(ScratchPath::PLAIN));
  EXPECT_EQ(ActiveScratchPath(), ScratchPath::PLAIN);
  for (ScratchPath wide : {ScratchPath::AVX2, ScratchPath::AVX512}) {
    EXPECT_EQ(SelectScratchPath(wide), ScratchPathSupported(wide)) << ScratchPathName(wide);
    EXPECT_EQ(ActiveScratchPath(), ScratchPathSupported(wide) ? wide : ScratchPath::PLAIN);
    ASSERT_TRUE(SelectScratchPath(ScratchPath::PLAIN));
  }
}

TEST_F(FastPathTest, StartsOnTheForcedOrTheWidestVariant) {
  // The test command may force a variant through the environment; otherwise the widest runs.
  ScratchPath expected = ScratchPathSupported(ScratchPath::AVX512) ? ScratchPath::AVX512
                         : ScratchPathSupported(ScratchPath::AVX2) ? ScratchPath::AVX2
                                                                   : ScratchPath::SCALAR;
  const char* forced = std::getenv("TAMREL_SCRATCH_PATH");
  ScratchPath named;
  if (forced && ParseScratchPath(forced, named) && ScratchPathSupported(named)) expected = named;
  EXPECT_EQ(saved_, expected);
}

TEST_F(FastPathTest, EvaluationAllocatesNothing) {
  Rng rng(11);
  std::vector<Point3> points;
  for (int i = 0; i < 2000; ++i) {
    points.emplace_back(rng.Uniform(-99.0f, 99.0f), rng.Uniform(-99.0f, 99.0f),
                        rng.Uniform(-9.0f, 9.0f));
  }
  points.insert(points.end(), ExtremePoints().begin(), ExtremePoints().end());
  std::vector<float> out(points.size());
  const Point3 d(0.01f, 0.0f, 0.0f);
  ScratchParams params = BaseParams();
  params.useErosion = 1;
  const std::vector<Point3> ds(points.size(), d);
  for (ScratchPath path : SupportedFastPaths()) {
    SelectScratchPath(path);
    // A thread's first evaluation may set up the kernel's thread-local storage (on Windows, and
    // in a library loaded at run time): once per thread, not per sample.
    EvalScratchPlainFast(points[0], params);
    EvalScratchFilteredFast(points[0], d, d, params);
    const long before = gAllocations.load();
    float sum = 0.0f;
    for (const Point3& p : points) {
      sum += EvalScratchPlainFast(p, params) + EvalScratchFilteredFast(p, d, d, params);
      int a = 0, b = 0;
      sum += EvalScratchPlainFastLevel(p, params, a) +
             EvalScratchFilteredFastLevel(p, d, d, params, b);
      sum += static_cast<float>(a + b);
    }
    EvalScratchPlainBatch(points.data(), static_cast<int>(points.size()), params, out.data());
    const long beforeFiltered = gAllocations.load();
    EvalScratchFilteredBatch(points.data(), ds.data(), ds.data(), static_cast<int>(points.size()),
                             params, out.data());
    EXPECT_EQ(gAllocations.load() - beforeFiltered, 0) << ScratchPathName(path);
    EXPECT_EQ(beforeFiltered - before, 0) << ScratchPathName(path);
    volatile float sink = sum;  // keeps the evaluations
    (void)sink;
  }
}

}  // namespace
}  // namespace tamrel
