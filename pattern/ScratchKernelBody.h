// The portable body of the fast scratch kernels. Each instruction-set variant includes it inside
// its own unnamed namespace and compiles it with its own flags, so no inline function of one
// variant can stand in for another's at link time; for the same reason it calls no inline helper
// of other headers but the formulas of ScratchFormulas.h, which are always inlined (so each
// variant compiles them with its own flags), besides built-ins and the plain functions, which are
// compiled once.
//
// Why the fast search gives the plain bits. The plain cellular search visits the centre cube and
// then every neighbour whose squared face gap is below the best *unsquared* distance found so far,
// and returns the smallest distance among the cubes it visited. Its result is therefore never
// below D, the smallest distance over all 27 cubes, and equals D as soon as the cube holding D is
// visited, which happens whatever the visiting order when that cube's bound is below D (the
// running best is never below D). So this kernel:
//   1. finds D2, the smallest squared distance over all 27 cubes of every level at once, skipping
//      a cube only when a lower bound on every squared distance computed inside it is not below
//      the running minimum (the bound is proven below, with the rounding of every step);
//   2. checks, with the plain arithmetic, that the cube holding the minimum passes the plain
//      bound test against sqrt(D2), or is the centre cube;
//   3. maps sqrt(D2) to the strand value once. The strand value is a non-decreasing function of
//      the distance, every level's plain value is at least its own minimum and so at least the
//      overall one, and the winning level reaches it: the minimum over the levels is the value of
//      the overall minimum.
// When step 2 fails, or a coordinate is outside the range where the cell arithmetic is exact, or
// anything is not finite, the whole sample goes to the plain code.
//
// The lower bound of a neighbour cube. For a cube one step below along x, every feature lies at
// X = (c - 1) + f < c, so the computed X rounds to at most c, and the computed difference
// fl(X - q) is at most fl(c - q) <= 0: its magnitude is at least fl(q - c). One step above,
// X >= c + 1 gives a difference of at least fl((c + 1) - q) >= 0. Squares and sums round
// monotonically, so the computed squared distance of every feature of the cube is at least the
// same expression over these per-axis gaps (0 for an axis without a step). No margin is needed.

constexpr double kDensity = cellular::kDensity;
constexpr double kInverseDensity = cellular::kInverseDensity;
// Scaled coordinates below 2^30 keep the cell index and its neighbours exact 32-bit integers.
constexpr double kFastCellLimit = 1073741824.0;
// Noise coordinates below 2^25 stay below 2^30 through three octave doublings and the skew.
constexpr float kFastNoiseLimit = 33554432.0f;
constexpr double kNoDistance = __builtin_huge_val();
constexpr float kNoDistanceF = __builtin_huge_valf();
constexpr int kCentre = 13;  // the step (0, 0, 0) in the code (sx + 1) * 9 + (sy + 1) * 3 + sz + 1

constexpr std::uint32_t kHashX = cellular::kHashX;
constexpr std::uint32_t kHashY = cellular::kHashY;
constexpr std::uint32_t kHashZ = cellular::kHashZ;
constexpr std::uint32_t kStepMul = 1402024253u;
constexpr std::uint32_t kStepAdd = 586950981u;

// The generator's n-th successor of s is mul * s + add (mod 2^32); coordinate a of feature k of
// a cube is successor 4k + 2 + a of the cube's seed. Jumping there directly keeps the feature
// coordinates independent of one another instead of one long chain of multiplications. Indexed
// [coordinate][feature], padded to eight features for vector loads.
struct Jumps {
  std::uint32_t mul[3][8], add[3][8];
};
constexpr Jumps MakeJumps() {
  Jumps j{};
  std::uint32_t mul = 1u, add = 0u;
  for (int n = 1; n <= 4 * 4 + 2 + 2; ++n) {
    mul = kStepMul * mul;
    add = kStepMul * add + kStepAdd;
    const int k = (n - 2) / 4, a = (n - 2) % 4;
    if (n >= 2 && a < 3) {
      j.mul[a][k] = mul;
      j.add[a][k] = add;
    }
  }
  return j;
}
constexpr Jumps kJumps = MakeJumps();

inline double Sqrt(double v) { return __builtin_sqrt(v); }
inline double Abs(double v) { return __builtin_fabs(v); }

inline double UnitOffset(std::uint32_t s) { return (static_cast<double>(s) + 0.5) * 0x1p-32; }

#if defined(TAMREL_KERNEL_AVX2)
// The step of neighbour n per axis, its step code, and what the step adds to the cube's seed
// (the hash is linear in the cell, modulo 2^32). The neighbours are numbered faces first, then
// edges, then corners, so that the nearest cubes are searched first; two padding entries at the
// end stand for the centre.
struct NeighbourTable {
  int code[28];
  std::uint32_t seedStep[28];
  alignas(32) double step[28][4];  // sx, sy, sz, 0
};
constexpr NeighbourTable MakeNeighbours() {
  NeighbourTable t{};
  int n = 0;
  for (int order = 1; order <= 3; ++order) {
    for (int code = 0; code < 27; ++code) {
      const int sx = code / 9 - 1, sy = code / 3 % 3 - 1, sz = code % 3 - 1;
      if ((sx != 0) + (sy != 0) + (sz != 0) == order) t.code[n++] = code;
    }
  }
  t.code[26] = t.code[27] = kCentre;
  for (int i = 0; i < 28; ++i) {
    const int sx = t.code[i] / 9 - 1, sy = t.code[i] / 3 % 3 - 1, sz = t.code[i] % 3 - 1;
    t.seedStep[i] = kHashX * static_cast<std::uint32_t>(sx) +
                    kHashY * static_cast<std::uint32_t>(sy) +
                    kHashZ * static_cast<std::uint32_t>(sz);
    t.step[i][0] = sx;
    t.step[i][1] = sy;
    t.step[i][2] = sz;
    t.step[i][3] = 0.0;
  }
  return t;
}
constexpr NeighbourTable kNeighbours = MakeNeighbours();
static_assert(kNeighbours.code[0] == 4 && kNeighbours.code[1] == 10 && kNeighbours.code[2] == 12 &&
                  kNeighbours.code[3] == 14 && kNeighbours.code[4] == 16 &&
                  kNeighbours.code[5] == 22,
              "the faces come first, x-, y-, z-, z+, y+, x+");

// Per feature count, 0 in the lanes of the first four features that exist and +inf in the others:
// the maximum with a squared distance (never negative) keeps it or empties the lane.
struct Emptying {
  alignas(32) double lanes[6][4];
};
constexpr Emptying MakeEmptying() {
  Emptying e{};
  for (int count = 0; count < 6; ++count) {
    for (int i = 0; i < 4; ++i) e.lanes[count][i] = i < count ? 0.0 : kNoDistance;
  }
  return e;
}
constexpr Emptying kEmptying = MakeEmptying();

// The distances of four features at a time: the generator jumps to each coordinate, then the
// offset (s + 0.5) * 2^-32 of each 32-bit value s is formed in the bits of a double:
// 1 + (s + 0.5) * 2^-32 has s in the upper 32 bits of the 52-bit fraction and a one below them.
// (cell - 1) + that is exactly cell + offset before its one rounding, so the feature coordinate
// is the plain cell + offset to the bit; everything after it is the plain order of operations.
alignas(32) constexpr std::uint64_t kUnitBits[4] = {0x3FF0000000080000u, 0x3FF0000000080000u,
                                                    0x3FF0000000080000u, 0x3FF0000000080000u};

inline __m256d FeatureDelta(__m128i seed, int axis, int first, __m256d cellLess1, __m256d q) {
  const __m128i mul = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kJumps.mul[axis] + first));
  const __m128i add = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kJumps.add[axis] + first));
  const __m128i s = _mm_add_epi32(_mm_mullo_epi32(mul, seed), add);
  const __m256i bits =
      _mm256_or_si256(_mm256_slli_epi64(_mm256_cvtepu32_epi64(s), 20),
                      _mm256_load_si256(reinterpret_cast<const __m256i*>(kUnitBits)));
  return _mm256_sub_pd(_mm256_add_pd(cellLess1, _mm256_castsi256_pd(bits)), q);
}

inline __m256d FeatureDistances(__m128i seed, int first, __m256d cellLess1, const __m256d q[3]) {
  const __m256d dx = FeatureDelta(seed, 0, first, _mm256_permute4x64_pd(cellLess1, 0x00), q[0]);
  const __m256d dy = FeatureDelta(seed, 1, first, _mm256_permute4x64_pd(cellLess1, 0x55), q[1]);
  const __m256d dz = FeatureDelta(seed, 2, first, _mm256_permute4x64_pd(cellLess1, 0xAA), q[2]);
  return formula::SquaredDistance(dx, dy, dz);
}

// The smallest squared distance from q to the feature points of the cube with the given seed,
// whose cell less one is (x, y, z, 0) in cellLess1; +inf for a cube without features.
__attribute__((always_inline)) inline double CubeMinimum(std::uint32_t seed, __m256d cellLess1,
                                                         const __m256d q[3]) {
  const int count = kFeatureCount[seed >> 24];
  const __m128i s = _mm_set1_epi32(static_cast<std::int32_t>(seed));
  __m256d d2 =
      _mm256_max_pd(FeatureDistances(s, 0, cellLess1, q), _mm256_load_pd(kEmptying.lanes[count]));
  if (count > 4) {
    d2 = _mm256_min_pd(d2, _mm256_max_pd(FeatureDistances(s, 4, cellLess1, q),
                                         _mm256_load_pd(kEmptying.lanes[1])));
  }
  // Every lane is a finite distance or the empty marker, so the minimum is exact.
  const __m128d half = _mm_min_pd(_mm256_castpd256_pd128(d2), _mm256_extractf128_pd(d2, 1));
  return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
}
#else
// Lowers best2 to the smallest squared distance from q to the feature points of cube (x, y, z),
// with the plain code's arithmetic; true when it did. With kCubeMinimum, cubeMin receives that
// smallest squared distance of the cube alone (+inf for a cube without features).
template <bool kCubeMinimum = false>
__attribute__((always_inline)) inline bool SearchCube(std::int32_t x, std::int32_t y,
                                                      std::int32_t z, const double q[3],
                                                      double& best2, double* cubeMin = nullptr) {
  const std::uint32_t seed = kHashX * static_cast<std::uint32_t>(x) +
                             kHashY * static_cast<std::uint32_t>(y) +
                             kHashZ * static_cast<std::uint32_t>(z);
  const int count = kFeatureCount[seed >> 24];
  const double cx = static_cast<double>(x), cy = static_cast<double>(y),
               cz = static_cast<double>(z);
  bool lowered = false;
  double own = kNoDistance;
  for (int k = 0; k < count; ++k) {
    const double dx = cx + UnitOffset(kJumps.mul[0][k] * seed + kJumps.add[0][k]) - q[0];
    const double dy = cy + UnitOffset(kJumps.mul[1][k] * seed + kJumps.add[1][k]) - q[1];
    const double dz = cz + UnitOffset(kJumps.mul[2][k] * seed + kJumps.add[2][k]) - q[2];
    const double d2 = formula::SquaredDistance(dx, dy, dz);
    if constexpr (kCubeMinimum) own = d2 < own ? d2 : own;
    if (d2 < best2) {
      best2 = d2;
      lowered = true;
    }
  }
  if constexpr (kCubeMinimum) *cubeMin = own;
  return lowered;
}
#endif

// What the search keeps for telling the winning level. The plain field keeps the first level whose
// strand value reaches the minimum, and strand values are rounded: a level whose own squared
// distance is a little above the overall minimum can give the same value as the level that holds
// it. So, per level, the search records a floor: a number no computed squared distance of any of
// the level's 27 cubes is below (a searched cube's own minimum, a skipped cube's lower bound).
// A level before the one holding the minimum is passed over when the strand value of its floor is
// above the minimum's; otherwise its plain strand value decides (see WinningLevel).
struct NoFloors {
  static constexpr bool kTracks = false;
  void Lower(int, double) {}
};
struct LevelFloors {
  static constexpr bool kTracks = true;
  double floor[8];
  int level;  // the winning level, when StrandMinimum succeeds
  void Lower(int l, double v) { floor[l] = v < floor[l] ? v : floor[l]; }
};

// The levels' stretched points in the density-scaled space, their cubes and their squared gaps
// to the lower and the upper face, per axis, the levels side by side.
struct Levels {
  alignas(64) double q[3][8];
  alignas(64) double below[3][8];
  alignas(64) double above[3][8];
  alignas(32) std::int32_t c[3][8];
#if defined(TAMREL_KERNEL_AVX2)
  alignas(32) double less1[8][4];     // per level the cell less one as doubles, x, y, z, 0
  alignas(32) std::uint32_t seed[8];  // the seeds of the levels' own cubes
#endif
};

// Fills the levels of p; false when a coordinate is not finite or beyond the fast cell range.
#if defined(TAMREL_KERNEL_AVX2)
// The rotation entries of eight levels side by side, loaded as the level point reads them.
struct EntryLanes {
  const float (*entry)[8];
  __m256 operator[](int e) const { return _mm256_loadu_ps(entry[e]); }
};
// The zero translation row of every lane.
struct ZeroLanes {
  __m256 operator[](int) const { return _mm256_setzero_ps(); }
};

// All eight at once; the lanes of levels not in use hold the origin, with gaps of +inf so that
// none of their neighbours is ever open.
inline bool SetUpLevels(const Point3& p, std::int32_t type, const formula::ScratchSetup& setup,
                        const LevelFrames& frames, Levels& L) {
  const int levels = setup.levels;
  __m256d less1[3][2];
  // The level point as the plain strand forms it, translation row (zero) included.
  const EntryLanes m{frames.lanes[type][levels <= 1 ? 0 : 1]};
  __m256 r[3];
  formula::LevelPoint(_mm256_set1_ps(p.x), _mm256_set1_ps(p.y), _mm256_set1_ps(p.z), m,
                      ZeroLanes{}, setup.stretchAxis, _mm256_set1_ps(setup.stretch), r);
  const __m256d sign = _mm256_set1_pd(-0.0), one = _mm256_set1_pd(1.0);
  const __m256d none = _mm256_set1_pd(kNoDistance);
  for (int h = 0; h < 2; ++h) {
    const __m256d used = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmplt_epi32(
        _mm_setr_epi32(4 * h, 4 * h + 1, 4 * h + 2, 4 * h + 3), _mm_set1_epi32(levels))));
    for (int a = 0; a < 3; ++a) {
      const __m128 half = h == 0 ? _mm256_castps256_ps128(r[a]) : _mm256_extractf128_ps(r[a], 1);
      const __m256d s = _mm256_mul_pd(_mm256_set1_pd(kDensity), _mm256_cvtps_pd(half));
      const __m256d inRange =
          _mm256_cmp_pd(_mm256_andnot_pd(sign, s), _mm256_set1_pd(kFastCellLimit), _CMP_LT_OQ);
      if (_mm256_movemask_pd(inRange) != 0xF) return false;
      // The cell rule: truncation, one less below zero.
      const __m256d negative = _mm256_cmp_pd(s, _mm256_setzero_pd(), _CMP_LT_OQ);
      const __m256d c = _mm256_sub_pd(_mm256_round_pd(s, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC),
                                      _mm256_and_pd(negative, one));
      const __m256d below = _mm256_sub_pd(s, c);
      const __m256d above = _mm256_sub_pd(_mm256_add_pd(c, one), s);
      _mm256_store_pd(L.q[a] + 4 * h, s);
      _mm256_store_pd(L.below[a] + 4 * h,
                      _mm256_blendv_pd(none, _mm256_mul_pd(below, below), used));
      _mm256_store_pd(L.above[a] + 4 * h,
                      _mm256_blendv_pd(none, _mm256_mul_pd(above, above), used));
      _mm_store_si128(reinterpret_cast<__m128i*>(L.c[a] + 4 * h), _mm256_cvttpd_epi32(c));
      less1[a][h] = _mm256_sub_pd(c, one);
    }
    // Transposed to one (x, y, z, 0) row per level.
    const __m256d xy0 = _mm256_unpacklo_pd(less1[0][h], less1[1][h]);  // x0 y0 x2 y2
    const __m256d xy1 = _mm256_unpackhi_pd(less1[0][h], less1[1][h]);  // x1 y1 x3 y3
    const __m256d z0 = _mm256_unpacklo_pd(less1[2][h], _mm256_setzero_pd());
    const __m256d z1 = _mm256_unpackhi_pd(less1[2][h], _mm256_setzero_pd());
    _mm256_store_pd(L.less1[4 * h + 0], _mm256_permute2f128_pd(xy0, z0, 0x20));
    _mm256_store_pd(L.less1[4 * h + 1], _mm256_permute2f128_pd(xy1, z1, 0x20));
    _mm256_store_pd(L.less1[4 * h + 2], _mm256_permute2f128_pd(xy0, z0, 0x31));
    _mm256_store_pd(L.less1[4 * h + 3], _mm256_permute2f128_pd(xy1, z1, 0x31));
  }
  auto cell = [&](int a) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(L.c[a])); };
  const __m256i seed = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(cell(0), _mm256_set1_epi32(static_cast<int>(kHashX))),
                       _mm256_mullo_epi32(cell(1), _mm256_set1_epi32(static_cast<int>(kHashY)))),
      _mm256_mullo_epi32(cell(2), _mm256_set1_epi32(static_cast<int>(kHashZ))));
  _mm256_store_si256(reinterpret_cast<__m256i*>(L.seed), seed);
  return true;
}
#else
inline bool SetUpLevels(const Point3& p, std::int32_t type, const formula::ScratchSetup& setup,
                        const LevelFrames& frames, Levels& L) {
  const int levels = setup.levels;
  const float(*rot)[9] = frames.rot[type] + (levels <= 1 ? 0 : 1);
  // The level point as the plain strand forms it, translation row (zero) included.
  const float zero[3] = {0.0f, 0.0f, 0.0f};
  for (int l = 0; l < levels; ++l) {
    float r[3];
    formula::LevelPoint(p.x, p.y, p.z, rot[l], zero, setup.stretchAxis, setup.stretch, r);
    for (int a = 0; a < 3; ++a) {
      const double s = kDensity * static_cast<double>(r[a]);
      if (!(Abs(s) < kFastCellLimit)) return false;
      const std::int32_t c = s >= 0.0 ? static_cast<std::int32_t>(s)
                                      : static_cast<std::int32_t>(s) - 1;
      const double below = s - static_cast<double>(c);
      const double above = static_cast<double>(c + 1) - s;
      L.q[a][l] = s;
      L.c[a][l] = c;
      L.below[a][l] = below * below;
      L.above[a][l] = above * above;
    }
  }
  return true;
}
#endif

// The plain bound test of the cube holding the overall minimum (step code bestStep from the cube
// of the level point), then the strand value of that minimum. False when the test fails.
inline bool StrandValue(const double q[3], const std::int32_t c[3], int bestStep, double best2,
                        float spread, float& value) {
  const double d = Sqrt(best2);
  if (bestStep != kCentre) {
    const int step[3] = {bestStep / 9 - 1, bestStep / 3 % 3 - 1, bestStep % 3 - 1};
    double gap[3];
    for (int a = 0; a < 3; ++a) {
      const double g = q[a] - static_cast<double>(c[a]);
      gap[a] = step[a] < 0 ? g * g : (step[a] > 0 ? (1.0 - g) * (1.0 - g) : 0.0);
    }
    if (!(gap[0] + gap[1] + gap[2] < d)) return false;
  }
  value = formula::StrandOfRoot<float>(Sqrt(d), spread);
  return true;
}

// The strand value of a squared distance, as StrandValue forms it: a non-decreasing function of
// best2 (every step rounds monotonically and spread is positive).
inline float StrandOf(double best2, float spread) {
  return formula::StrandOfRoot<float>(Sqrt(Sqrt(best2)), spread);
}

// Where the finished output no longer depends on the strand value. Both ramps give exactly 1 for
// every raw value above a top (LinearThresholdTop, SoftThresholdTop), and most of a map lies
// there, far from every strand. Once a sample's strand minimum is known to be at least `strand`,
// its output is 1 and neither the rest of the search nor the erosion noise can change it. So the
// search starts from d2 instead of +inf: a cube whose bound is not below d2 is skipped, and a
// search that finds nothing below d2 has shown that every computed squared distance of every
// level is at least d2, so the plain code's minimum, a strand value of one of them (or of its
// distance for nothing found, far above), is at least StrandOf(d2) = strand (StrandOf does not
// decrease).
//
// Why every strand value s >= strand ends at 1, whatever the erosion mask. A mask lies in [0, 1]
// where the fast noise applies (the ridged sum ends in a clamp, and its noise is finite there),
// so e = mask * erosion lies between 0 and erosion (a rounded product does not decrease with the
// mask), and with erosion below 1 the worn value fl(fl(fl(1 - e) * s) + e) does not decrease with
// s: it is at least the worn value at s = strand, which is within a few ulps of the exact
// (1 - e) * strand + e, a linear function of e that is smallest at one end of its range. That
// smallest value less a margin far beyond the rounding, rounded to float, is a floor of every
// worn value; the raw value (worn + 1) * 0.5 of that floor above the top shows all are.
// With the erosion off the worn value is s itself, which the same floor covers (e = 0).
struct Saturation {
  double d2 = kNoDistance;      // +inf: no shortcut
  float strand = kNoDistanceF;  // every strand value from here up finishes at 1
};

inline bool FinishesAtOne(float strand, double e0, double e1, float top) {
  if (!(strand >= 1.0f && strand < kNoDistanceF)) return false;
  const double s = strand;
  const double a = s * (1.0 - e0) + e0, b = s * (1.0 - e1) + e1;
  const double most = Abs(e0) < Abs(e1) ? Abs(e1) : Abs(e0);
  const double margin = 0x1p-40 * (s * (1.0 + most) + most + 1.0);
  const float floor = static_cast<float>((a < b ? a : b) - margin);
  return formula::RawOfStrand(floor) > top;
}

template <bool kFiltered>
inline Saturation SaturationOf(const ScratchParams& params) {
  const float lo = params.thresholdLow, hi = params.thresholdHigh;
  const float top = kFiltered ? SoftThresholdTop(lo, hi) : LinearThresholdTop(lo, hi);
  double e0 = 0.0, e1 = 0.0;
  if (params.useErosion != 0) {
    const double e = params.erosion;
    if (!(e < 1.0 && e > -kNoDistance)) return {};
    e0 = e < 0.0 ? e : 0.0;
    e1 = e < 0.0 ? 0.0 : e;
  }
  if (!(params.spread > 0.0f && top < 0x1p20f)) return {};
  // The strand value whose lowest worn value is 2 top - 1, and the squared distance that maps to
  // it, inverted in plain double arithmetic; FinishesAtOne decides, with a little slack added.
  double s = (2.0 * static_cast<double>(top) - 1.0 - e1) / (1.0 - e1);
  s = s < 1.0 ? 1.0 : s;
  const double root = (s + 1.0) * 0.5 * static_cast<double>(params.spread) / kInverseDensity;
  const double guess = (root * root) * (root * root);
  // The plain search reports a level without features at the distance kNothingFound: the
  // shortcut must lie well below it too.
  constexpr double kNothingFound2 = 0.5 * cellular::kNothingFound * cellular::kNothingFound;
  for (const double slack : {0x1p-20, 0x1p-14, 0x1p-8}) {
    const double d2 = guess * (1.0 + slack);
    if (!(d2 <= kNothingFound2)) break;
    const float strand = StrandOf(d2, params.spread);
    if (FinishesAtOne(strand, e0, e1, top)) return {d2, strand};
  }
  return {};
}

// Searches the 26 neighbour cubes of a level point whose bound is below the running minimum.
#if defined(TAMREL_KERNEL_AVX2)
typedef double DoubleLanes4 __attribute__((vector_size(32)));
typedef double DoubleLanes8 __attribute__((vector_size(64)));

// The bounds of neighbour kN for the levels side by side from level `first`, as many as the
// vector D holds: the gaps of its steps summed in the plain order (gy + gx) + gz, terms of axes
// without a step left out (adding the zero gap changes no bit).
template <int kN, class D>
inline D NeighbourBound(const Levels& L, int first) {
  constexpr int kCode = kNeighbours.code[kN];
  constexpr int kX = kCode / 9 - 1, kY = kCode / 3 % 3 - 1, kZ = kCode % 3 - 1;
  auto gap = [&L, first](int axis, int step) {
    D v;
    __builtin_memcpy(&v, (step < 0 ? L.below[axis] : L.above[axis]) + first, sizeof v);
    return v;
  };
  D bound;
  if constexpr (kY != 0) {
    bound = gap(1, kY);
    if constexpr (kX != 0) bound = bound + gap(0, kX);
  } else if constexpr (kX != 0) {
    bound = gap(0, kX);
  }
  if constexpr (kZ != 0) {
    if constexpr (kX != 0 || kY != 0) {
      bound = bound + gap(2, kZ);
    } else {
      bound = gap(2, kZ);
    }
  }
  return bound;
}

// Four levels from 4 h: stores their bounds and gives those below best as four bits.
template <int kN>
inline unsigned BoundsOf(const Levels& L, int h, __m256d best, double* bounds) {
  const __m256d bound = reinterpret_cast<__m256d>(NeighbourBound<kN, DoubleLanes4>(L, 4 * h));
  _mm256_store_pd(bounds + 4 * h, bound);
  return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(bound, best, _CMP_LT_OQ)));
}

// Per neighbour n, the levels whose bound is below best: bit l of byte n of open.
#if defined(TAMREL_KERNEL_AVX512)
// All eight levels in one vector (levels not in use have +inf gaps).
template <int kN>
inline unsigned BoundsOf8(const Levels& L, __m512d best, double* bounds) {
  const __m512d bound = reinterpret_cast<__m512d>(NeighbourBound<kN, DoubleLanes8>(L, 0));
  _mm512_store_pd(bounds, bound);
  return _mm512_cmp_pd_mask(bound, best, _CMP_LT_OQ);
}

template <int... kN>
inline void AllBounds(const Levels& L, bool, __m256d best, double (*bounds)[8],
                      std::uint8_t* open, std::integer_sequence<int, kN...>) {
  const __m512d b = _mm512_broadcastsd_pd(_mm256_castpd256_pd128(best));
  ((open[kN] = static_cast<std::uint8_t>(BoundsOf8<kN>(L, b, bounds[kN]))), ...);
}
#else
template <int... kN>
inline void AllBounds(const Levels& L, bool upper, __m256d best, double (*bounds)[8],
                      std::uint8_t* open, std::integer_sequence<int, kN...>) {
  ((open[kN] = static_cast<std::uint8_t>(BoundsOf<kN>(L, 0, best, bounds[kN]) |
                                         (upper ? BoundsOf<kN>(L, 1, best, bounds[kN]) << 4 : 0u))),
   ...);
}
#endif

inline __m256d CellLess1(const Levels& L, int l) {
  return _mm256_load_pd(L.less1[l]);
}

// What a batch remembers of the cubes it searched, so that the samples after it (a row's
// neighbouring samples share their cubes) skip the cubes that cannot hold their minimum. Per
// level: the cell and point of the last sample, the distance the level point has travelled since
// the cell was entered (an upper bound on the exact path), and per cube (neighbour index, 26 for
// the level's own cube) reach = r + travel at the time of its search, r a lower bound on the
// exact distance from the point then to every feature of the cube. By the triangle inequality
// reach - travel now bounds the exact distance from the current point from below.
//
// Every rounding is covered with margins far beyond it: the squared distances are computed
// within 5 ulps of exact, the point distances within 3, and all magnitudes stay below 2^7 (the
// travel is reset past 64), so absolute errors stay below 2^-44; the bounds are shrunk by a
// relative and an absolute 2^-30 and the skip needs the squared bound above best2 * (1 + 2^-30).
// A skipped cube therefore has no computed squared distance below best2 and could not have
// lowered it.
struct NoMemory {};
struct CubeMemory {
  alignas(32) double reach[8][28];
  double travel[8];
  double q[3][8];
  std::int32_t cell[3][8];
  bool known[8];
};

constexpr double kMargin = 0x1p-30;
constexpr double kTravelLimit = 64.0;

// Moves the memory on to the levels of the next sample.
inline void Advance(CubeMemory& M, const Levels& L, int levels) {
  for (int l = 0; l < levels; ++l) {
    const bool same = M.known[l] && M.cell[0][l] == L.c[0][l] && M.cell[1][l] == L.c[1][l] &&
                      M.cell[2][l] == L.c[2][l];
    double travel = 0.0;
    if (same) {
      const double dx = L.q[0][l] - M.q[0][l], dy = L.q[1][l] - M.q[1][l],
                   dz = L.q[2][l] - M.q[2][l];
      const double step = Sqrt(dx * dx + dy * dy + dz * dz) * (1.0 + kMargin) + 0x1p-40;
      travel = (M.travel[l] + step) * (1.0 + 0x1p-40);
    }
    if (!same || !(travel < kTravelLimit)) {
      const __m256d unknown = _mm256_set1_pd(-kNoDistance);
      for (int n = 0; n < 28; n += 4) _mm256_store_pd(M.reach[l] + n, unknown);
      travel = 0.0;
      M.known[l] = true;
      for (int a = 0; a < 3; ++a) M.cell[a][l] = L.c[a][l];
    }
    M.travel[l] = travel;
    for (int a = 0; a < 3; ++a) M.q[a][l] = L.q[a][l];
  }
}

// Whether cube n of level l cannot hold a squared distance below best2.
inline bool Beyond(const CubeMemory& M, int l, int n, double best2) {
  const double r = (M.reach[l][n] - M.travel[l]) * (1.0 - kMargin) - kMargin;
  return r > 0.0 && r * r > best2 * (1.0 + kMargin);
}

// A floor under every computed squared distance of cube n of level l when Beyond skipped it: r is
// a lower bound on the exact distance with margins far beyond the rounding, the computed squared
// distances are within a few ulps of the exact ones, and the factor takes off far more than that.
inline double BeyondFloor(const CubeMemory& M, int l, int n) {
  const double r = (M.reach[l][n] - M.travel[l]) * (1.0 - kMargin) - kMargin;
  return r * r * (1.0 - kMargin);
}

// Records the search of cube n of level l, whose smallest squared distance was m (+inf for a
// cube without features, which is then skipped for good).
inline void Record(CubeMemory& M, int l, int n, double m) {
  M.reach[l][n] = Sqrt(m) * (1.0 - kMargin) + M.travel[l];
}

template <class Memory, class Floors>
inline void SearchCentre(const Levels& L, int l, double& best2, int& bestLevel, Memory& M,
                         Floors& F) {
  if constexpr (!std::is_same_v<Memory, NoMemory>) {
    if (Beyond(M, l, 26, best2)) {
      if constexpr (Floors::kTracks) F.Lower(l, BeyondFloor(M, l, 26));
      return;
    }
  }
  const __m256d q[3] = {_mm256_broadcast_sd(&L.q[0][l]), _mm256_broadcast_sd(&L.q[1][l]),
                        _mm256_broadcast_sd(&L.q[2][l])};
  const double m = CubeMinimum(L.seed[l], CellLess1(L, l), q);
  if constexpr (!std::is_same_v<Memory, NoMemory>) Record(M, l, 26, m);
  F.Lower(l, m);
  // Without a branch: whether a cube lowers the minimum is a coin toss.
  const bool lower = m < best2;
  best2 = lower ? m : best2;
  bestLevel = lower ? l : bestLevel;
}

// The cubes closed from the start (bound not below best2 then, as AllBounds decided): their bound
// is a floor. Open lanes count as +inf; the upper half exists with more than 4 levels.
template <class Floors>
inline void LowerClosedFloors(const double (*bounds)[8], double best2, int levels, Floors& F) {
  const __m256d then = _mm256_set1_pd(best2), none = _mm256_set1_pd(kNoDistance);
  for (int h = 0; h < (levels > 4 ? 2 : 1); ++h) {
    __m256d floor = none;
    for (int n = 0; n < 26; ++n) {
      const __m256d b = _mm256_load_pd(bounds[n] + 4 * h);
      floor = _mm256_min_pd(floor, _mm256_blendv_pd(b, none, _mm256_cmp_pd(b, then, _CMP_LT_OQ)));
    }
    alignas(32) double out[4];
    _mm256_store_pd(out, floor);
    for (int i = 0; i < 4 && 4 * h + i < levels; ++i) F.Lower(4 * h + i, out[i]);
  }
}

// The neighbour cubes of every level whose bound is below the running minimum, neighbour by
// neighbour (the faces of all levels first), level by level within a neighbour.
template <class Memory, class Floors>
inline void SearchNeighbours(const Levels& L, int levels, double& best2, int& bestLevel,
                             int& bestStep, Memory& M, Floors& F) {
  alignas(64) double bounds[26][8];
  alignas(8) std::uint8_t open[32] = {};
  AllBounds(L, levels > 4, _mm256_set1_pd(best2), bounds, open,
            std::make_integer_sequence<int, 26>());
  if constexpr (Floors::kTracks) LowerClosedFloors(bounds, best2, levels, F);
  for (int w = 0; w < 4; ++w) {
    std::uint64_t word;
    __builtin_memcpy(&word, open + 8 * w, 8);
    while (word != 0) {
      const int bit = __builtin_ctzll(word);
      word &= word - 1u;
      const int n = 8 * w + (bit >> 3), l = bit & 7;
      if (!(bounds[n][l] < best2)) {  // the minimum fell since
        F.Lower(l, bounds[n][l]);
        continue;
      }
      if constexpr (!std::is_same_v<Memory, NoMemory>) {
        if (Beyond(M, l, n, best2)) {
          if constexpr (Floors::kTracks) F.Lower(l, BeyondFloor(M, l, n));
          continue;
        }
      }
      const __m256d q[3] = {_mm256_broadcast_sd(&L.q[0][l]), _mm256_broadcast_sd(&L.q[1][l]),
                            _mm256_broadcast_sd(&L.q[2][l])};
      const double m =
          CubeMinimum(L.seed[l] + kNeighbours.seedStep[n],
                      _mm256_add_pd(CellLess1(L, l), _mm256_load_pd(kNeighbours.step[n])), q);
      if constexpr (!std::is_same_v<Memory, NoMemory>) Record(M, l, n, m);
      F.Lower(l, m);
      const bool lower = m < best2;
      best2 = lower ? m : best2;
      bestLevel = lower ? l : bestLevel;
      bestStep = lower ? kNeighbours.code[n] : bestStep;
    }
  }
}
#else
// The portable variant remembers nothing between samples.
struct NoMemory {};
using CubeMemory = NoMemory;
inline void Advance(NoMemory&, const Levels&, int) {}

template <class Memory, class Floors>
inline void SearchCentre(const Levels& L, int l, double& best2, int& bestLevel, Memory&,
                         Floors& F) {
  const double q[3] = {L.q[0][l], L.q[1][l], L.q[2][l]};
  if constexpr (Floors::kTracks) {
    double m;
    if (SearchCube<true>(L.c[0][l], L.c[1][l], L.c[2][l], q, best2, &m)) bestLevel = l;
    F.Lower(l, m);
  } else {
    if (SearchCube(L.c[0][l], L.c[1][l], L.c[2][l], q, best2)) bestLevel = l;
  }
}

// An axis whose gap alone is not below the minimum closes every cube that steps along it (their
// bounds, sums of non-negative gaps, are at least that gap: it is their floor).
template <class Floors>
inline void VisitNeighbours(const Levels& L, int l, double& best2, int& bestLevel, int& bestStep,
                            Floors& F) {
  const double q[3] = {L.q[0][l], L.q[1][l], L.q[2][l]};
  for (int sx = -1; sx <= 1; ++sx) {
    const double gx = sx < 0 ? L.below[0][l] : (sx > 0 ? L.above[0][l] : 0.0);
    if (!(gx < best2)) {
      F.Lower(l, gx);
      continue;
    }
    for (int sy = -1; sy <= 1; ++sy) {
      const double gy = sy < 0 ? L.below[1][l] : (sy > 0 ? L.above[1][l] : 0.0);
      if (!(gy < best2)) {
        F.Lower(l, gy);
        continue;
      }
      for (int sz = -1; sz <= 1; ++sz) {
        const double gz = sz < 0 ? L.below[2][l] : (sz > 0 ? L.above[2][l] : 0.0);
        const double bound = (gy + gx) + gz;
        if (sx == 0 && sy == 0 && sz == 0) continue;  // the centre, searched before
        if (!(bound < best2)) {
          F.Lower(l, bound);
          continue;
        }
        bool lowered;
        if constexpr (Floors::kTracks) {
          double m;
          lowered = SearchCube<true>(L.c[0][l] + sx, L.c[1][l] + sy, L.c[2][l] + sz, q, best2, &m);
          F.Lower(l, m);
        } else {
          lowered = SearchCube(L.c[0][l] + sx, L.c[1][l] + sy, L.c[2][l] + sz, q, best2);
        }
        if (lowered) {
          bestLevel = l;
          bestStep = (sx + 1) * 9 + (sy + 1) * 3 + sz + 1;
        }
      }
    }
  }
}

template <class Memory, class Floors>
inline void SearchNeighbours(const Levels& L, int levels, double& best2, int& bestLevel,
                             int& bestStep, Memory&, Floors& F) {
  for (int l = 0; l < levels; ++l) VisitNeighbours(L, l, best2, bestLevel, bestStep, F);
}
#endif

// Level l's strand value at p by the plain code, for the levels a winner's floors cannot settle.
inline float LevelStrand(const Point3& p, const ScratchParams& params, int l) {
  const float angle = LevelAngle(params, l);
  return params.type == SCRATCH_3D ? StrandAtAngle3D(p, angle, params)
                                   : StrandAtAngle2D(p, angle, params);
}

// The smallest strand value over the levels, the plain code's bits. False when the fast search
// cannot vouch for them; type must be 0 or 1.
// With a CubeMemory, a batch's memory of the cubes its earlier samples searched (see there).
// The first level whose plain strand value is the minimum value: the plain field's winner. The
// level that holds the minimum squared distance reaches it (StrandValue vouched for its cube), so
// only the levels before it are asked. Every level's plain value is at least the minimum; a level
// whose floor's strand value is above the minimum cannot reach it, and one that could is settled
// by its plain strand value (rare: its floor must round to the minimum's value).
inline int WinningLevel(const Point3& p, const ScratchParams& params, int holder, double best2,
                        float value, const LevelFloors& F) {
  // Every level's value is at least +inf, so all are +inf and the first wins.
  if (value == kNoDistanceF) return 0;
  // Floors from `clear` up have a strand value above the minimum's (the function does not
  // decrease), which spares most levels the square roots; +inf when that does not hold there.
  double clear = best2 * (1.0 + 0x1p-16);
  if (!(StrandOf(clear, params.spread) > value)) clear = kNoDistance;
  for (int l = 0; l < holder; ++l) {
    const double floor = F.floor[l];
    if (floor >= clear && floor < kNoDistance) continue;
    if (floor > best2 && floor < kNoDistance && StrandOf(floor, params.spread) > value) continue;
    if (LevelStrand(p, params, l) <= value) return l;
  }
  return holder;
}

// With LevelFloors, F.level receives the winning level when the function succeeds (the search
// then starts from +inf: a winner needs the minimum itself). Otherwise, when nothing lies below
// sat.d2, value receives sat.strand, a floor of the minimum from which the output is 1.
template <class Memory, class Floors = NoFloors>
inline bool StrandMinimum(const Point3& p, const ScratchParams& params, const Saturation& sat,
                          float& value, Memory& M, Floors& F) {
  if (!(params.spread > 0.0f)) return false;
  // Derived here rather than handed in, and after the frames are found: the search is the
  // kernels' hottest code, and a pointer to the caller's setup or a value kept across the call
  // costs it a register.
  const LevelFrames& frames = Frames();
  const formula::ScratchSetup setup = formula::Normalise(params);
  const int levels = setup.levels;
  Levels L;
  if (!SetUpLevels(p, params.type, setup, frames, L)) return false;
  if constexpr (!std::is_same_v<Memory, NoMemory>) Advance(M, L, levels);
  if constexpr (Floors::kTracks) {
    for (int l = 0; l < 8; ++l) F.floor[l] = kNoDistance;
  }

  const double start = Floors::kTracks ? kNoDistance : sat.d2;
  double best2 = start;
  int bestLevel = -1, bestStep = kCentre;
  for (int l = 0; l < levels; ++l) SearchCentre(L, l, best2, bestLevel, M, F);
  // The neighbours of every level, pruned against the minimum over all levels.
  SearchNeighbours(L, levels, best2, bestLevel, bestStep, M, F);
  if (bestLevel < 0) {
    // Nothing below the start: without a shortcut, 27 empty cubes in every level.
    if (!(start < kNoDistance)) return false;
    value = sat.strand;
    return true;
  }
  const double q[3] = {L.q[0][bestLevel], L.q[1][bestLevel], L.q[2][bestLevel]};
  const std::int32_t c[3] = {L.c[0][bestLevel], L.c[1][bestLevel], L.c[2][bestLevel]};
  if (!StrandValue(q, c, bestStep, best2, params.spread, value)) return false;
  if constexpr (Floors::kTracks) F.level = WinningLevel(p, params, bestLevel, best2, value, F);
  return true;
}

template <class Memory>
inline bool StrandMinimum(const Point3& p, const ScratchParams& params, const Saturation& sat,
                          float& value, Memory& M) {
  NoFloors none;
  return StrandMinimum(p, params, sat, value, M, none);
}

// The four octaves' noise values of a mask: octave o at p * 2^o with footprint w * 2^o (each a
// doubling of the previous, as the plain mask forms them).
#include "pattern/ScratchKernelNoise.h"

// The octaves side by side in the four lanes of a vector. Scaling by a power of two is exact up
// to overflow, where the repeated doubling of the plain mask overflows too: one product per
// coordinate gives its bits.
template <bool kThree, bool kFiltered>
inline void OctaveNoises(const float p[3], float w, float out[4]) {
  const FloatLanes4 octave = {1.0f, 2.0f, 4.0f, 8.0f};
  const FloatLanes4 x = p[0] * octave, y = p[1] * octave;
  FloatLanes4 n = kThree ? Simplex3DLanes<FloatLanes4, IntLanes4>(x, y, p[2] * octave)
                         : Simplex2DLanes<FloatLanes4, IntLanes4>(x, y);
  if (kFiltered) n = FadedLanes(n, w * octave);
  __builtin_memcpy(out, &n, sizeof n);
}

// The ridged erosion mask, the plain bits, in three steps: the noise point and footprint (false
// where the branch-free noise does not apply), the four octaves' noise, and the ridged sum.
template <bool kThree, bool kFiltered>
inline bool ErosionInput(const Point3& point, float filterWidth, const formula::ScratchSetup& setup,
                         float p[3], float& w) {
  const float scale = setup.erosionScale;
  p[0] = point.x / scale;
  p[1] = point.y / scale;
  p[2] = point.z / scale;
  if (!(formula::Abs(p[0]) < kFastNoiseLimit && formula::Abs(p[1]) < kFastNoiseLimit &&
        formula::Abs(p[2]) < kFastNoiseLimit)) {
    return false;
  }
  w = filterWidth / scale;
  return !kFiltered || formula::Abs(w) <= 3.4e38f;
}

// Wears one sample's strand minimum by its erosion mask; false where the branch-free noise does
// not apply. A minimum at or above sat.strand finishes at 1 whatever the mask (see Saturation),
// so there only the noise's range is checked.
template <bool kThree, bool kFiltered>
inline bool Wear(const Point3& point, float filterWidth, const ScratchParams& params,
                 const formula::ScratchSetup& setup, const Saturation& sat, float& best) {
  float p[3], w = 0.0f;
  if (!ErosionInput<kThree, kFiltered>(point, filterWidth, setup, p, w)) return false;
  if (best >= sat.strand) return true;
  float noise[formula::kOctaves];
  OctaveNoises<kThree, kFiltered>(p, w, noise);
  best = formula::Eroded(best, formula::RidgedSum(noise), params.erosion);
  return true;
}

#if defined(TAMREL_KERNEL_AVX512)
#include "pattern/ScratchKernelLanes.h"
#endif

// The raw field (before the thresholds); false sends the sample to the plain code. With
// LevelFloors, F.level receives the winning level.
template <bool kFiltered, class Floors = NoFloors>
inline bool RawField(const Point3& p, float filterWidth, const ScratchParams& params,
                     const Saturation& sat, float& v, Floors& F) {
  if (params.type != SCRATCH_2D && params.type != SCRATCH_3D) return false;
  float best;
  NoMemory none;
  if (!StrandMinimum(p, params, sat, best, none, F)) return false;
  if (params.useErosion != 0) {
    // The setup of the type each branch knows at compile time.
    const bool ok =
        params.type == SCRATCH_3D
            ? Wear<true, kFiltered>(p, filterWidth, params, formula::Normalise(params, SCRATCH_3D),
                                    sat, best)
            : Wear<false, kFiltered>(p, filterWidth, params,
                                     formula::Normalise(params, SCRATCH_2D), sat, best);
    if (!ok) return false;
  }
  v = formula::RawOfStrand(best);
  return true;
}

// The saturation of the last parameters a thread evaluated one sample at a time with: a map asks
// with the same parameters sample after sample.
template <bool kFiltered>
inline const Saturation& SaturationFor(const ScratchParams& params) {
  struct Last {
    ScratchParams params;
    Saturation sat;
    bool known;
  };
  static_assert(sizeof(ScratchParams) == 10 * 4, "the parameters compare as bytes");
  thread_local Last last{};
  if (!last.known || __builtin_memcmp(&last.params, &params, sizeof params) != 0) {
    last.params = params;
    last.sat = SaturationOf<kFiltered>(params);
    last.known = true;
  }
  return last.sat;
}

#if defined(TAMREL_KERNEL_AVX2)
// The erosion of up to eight samples (n of them) side by side, one sample per lane of each
// octave's noise, every step the plain mask's operation lane by lane: best[k] is worn by sample
// k's mask where ok[k] holds, and ok[k] falls where the branch-free noise does not apply. Minima
// at or above `saturated` finish at 1 whatever their mask (see Saturation): when every sample's
// does, only the noise's range is checked.
template <bool kThree, bool kFiltered>
inline void ErodeLanes(const Point3* points, int n, const float* footprint,
                       const ScratchParams& params, const formula::ScratchSetup& setup,
                       float saturated, float best[8], bool ok[8]) {
  FloatLanes8 coord[3] = {}, width = {}, strand = {};
  IntLanes8 use = {};
  bool noise = false;
  for (int k = 0; k < n; ++k) {
    noise = noise || (ok[k] && !(best[k] >= saturated));
    coord[0][k] = points[k].x;
    coord[1][k] = points[k].y;
    coord[2][k] = points[k].z;
    width[k] = kFiltered ? footprint[k] : 0.0f;
    strand[k] = best[k];
    use[k] = ok[k] ? -1 : 0;
  }
  const float scale = setup.erosionScale;
  FloatLanes8 p[3];
  for (int a = 0; a < 3; ++a) {
    p[a] = coord[a] / scale;
    use = use & (formula::Abs(p[a]) < kFastNoiseLimit);
  }
  FloatLanes8 w = width / scale;
  if (kFiltered) use = use & (formula::Abs(w) <= 3.4e38f);
  // Lanes without a sample, or beyond the noise's range, compute on the origin.
  for (int a = 0; a < 3; ++a) p[a] = use ? p[a] : FloatLanes8{};
  w = use ? w : FloatLanes8{};
  if (!noise) {
    for (int k = 0; k < n; ++k) ok[k] = use[k] != 0;
    return;
  }

  // Octave o at p * 2^o: scaling by a power of two is exact up to overflow, where the plain
  // doubling overflows too.
  FloatLanes8 noises[4];
#if defined(TAMREL_KERNEL_AVX512)
  // Two octaves to a noise evaluation, the second in the upper eight lanes.
  for (int o = 0; o < 4; o += 2) {
    auto octaves = [o](FloatLanes8 v) {
      return __builtin_shufflevector(v * static_cast<float>(1 << o),
                                     v * static_cast<float>(2 << o), 0, 1, 2, 3, 4, 5, 6, 7, 8,
                                     9, 10, 11, 12, 13, 14, 15);
    };
    const FloatLanes16 wide =
        kThree ? Simplex3DLanes<FloatLanes16, IntLanes16>(octaves(p[0]), octaves(p[1]),
                                                          octaves(p[2]))
               : Simplex2DLanes<FloatLanes16, IntLanes16>(octaves(p[0]), octaves(p[1]));
    noises[o] = __builtin_shufflevector(wide, wide, 0, 1, 2, 3, 4, 5, 6, 7);
    noises[o + 1] = __builtin_shufflevector(wide, wide, 8, 9, 10, 11, 12, 13, 14, 15);
  }
#else
  for (int o = 0; o < 4; ++o) {
    const float octave = static_cast<float>(1 << o);
    noises[o] = kThree ? Simplex3DLanes<FloatLanes8, IntLanes8>(p[0] * octave, p[1] * octave,
                                                                p[2] * octave)
                       : Simplex2DLanes<FloatLanes8, IntLanes8>(p[0] * octave, p[1] * octave);
  }
#endif
  if (kFiltered) {
    for (int o = 0; o < 4; ++o) noises[o] = FadedLanes(noises[o], w * static_cast<float>(1 << o));
  }
  const FloatLanes8 worn = formula::Eroded<FloatLanes8, DoubleLanes8>(
      strand, formula::RidgedSum(noises), params.erosion);
  for (int k = 0; k < n; ++k) {
    ok[k] = use[k] != 0;
    if (ok[k]) best[k] = worn[k];
  }
}
#endif

// A batch, eight samples at a time: the strand minima (in the AVX-512 variant side by side when
// the eight share their cubes, else each on its own), then the erosion octaves, the eight samples
// side by side where the variant has vectors. A sample the fast code cannot vouch for goes
// to the plain code alone; the others of its group are unaffected.
template <bool kThree, bool kFiltered, class Width, class Finish, class Fallback>
inline void RawFieldBatch(const Point3* points, int count, const ScratchParams& params, Width width,
                          Finish finish, Fallback fallback, float* out, int* levels) {
  const formula::ScratchSetup setup = formula::Normalise(params);
  const bool erode = params.useErosion != 0;
  // A winning level needs the minimum itself, so level batches search without the shortcut.
  const Saturation sat = levels ? Saturation{} : SaturationOf<kFiltered>(params);
  CubeMemory memory{};
  // The memory pays only when neighbouring samples share their cubes: it is used for a sample
  // that lies within a tenth of a cell of the one before it along the most stretched axis (a
  // guess that decides speed only; the memory stays valid whatever it skips).
  const float reach = 0.1f / (0.4f * setup.stretch);
  Point3 previous(kNoDistanceF, kNoDistanceF, kNoDistanceF);
  for (int i = 0; i < count; i += 8) {
    const int n = count - i < 8 ? count - i : 8;
    float best[8] = {};
    bool ok[8] = {};
    int winner[8] = {};
#if defined(TAMREL_KERNEL_AVX512)
    const bool together =
        levels ? SampleLanesMinimum<true>(points + i, n, params, setup, sat, best, ok, winner)
               : SampleLanesMinimum<false>(points + i, n, params, setup, sat, best, ok, winner);
#else
    const bool together = false;
#endif
    if (!together) {
      for (int k = 0; k < n; ++k) {
        const Point3& p = points[i + k];
        const bool near = formula::Abs(p.x - previous.x) < reach && formula::Abs(p.y - previous.y) < reach &&
                          formula::Abs(p.z - previous.z) < reach;
        NoMemory none;
        LevelFloors floors;
        if (levels) {
          ok[k] = near ? StrandMinimum(p, params, sat, best[k], memory, floors)
                       : StrandMinimum(p, params, sat, best[k], none, floors);
          winner[k] = floors.level;
        } else {
          ok[k] = near ? StrandMinimum(p, params, sat, best[k], memory)
                       : StrandMinimum(p, params, sat, best[k], none);
        }
        previous = p;
      }
    }
    if (erode) {
#if defined(TAMREL_KERNEL_AVX2)
      float footprint[8] = {};
      if (kFiltered) {
        for (int k = 0; k < n; ++k) footprint[k] = width(i + k);
      }
      ErodeLanes<kThree, kFiltered>(points + i, n, footprint, params, setup, sat.strand, best, ok);
#else
      // Without eight-lane vectors a sample's four octaves side by side are quicker.
      for (int k = 0; k < n; ++k) {
        const float footprint = kFiltered ? width(i + k) : 0.0f;
        ok[k] = ok[k] &&
                Wear<kThree, kFiltered>(points[i + k], footprint, params, setup, sat, best[k]);
      }
#endif
    }
    for (int k = 0; k < n; ++k) {
      if (!ok[k]) {
        out[i + k] = fallback(i + k, levels ? levels + i + k : nullptr);
        continue;
      }
      out[i + k] = finish(formula::RawOfStrand(best[k]));
      if (levels) levels[i + k] = winner[k];
    }
  }
}

// With `levels`, levels[i] receives the winning level of sample i.
template <bool kFiltered, class Width, class Finish, class Fallback>
inline void FieldBatch(const Point3* points, int count, const ScratchParams& params, Width width,
                       Finish finish, Fallback fallback, float* out, int* levels) {
  if (params.type == SCRATCH_3D) {
    RawFieldBatch<true, kFiltered>(points, count, params, width, finish, fallback, out, levels);
  } else if (params.type == SCRATCH_2D) {
    RawFieldBatch<false, kFiltered>(points, count, params, width, finish, fallback, out, levels);
  } else {
    for (int i = 0; i < count; ++i) out[i] = fallback(i, levels ? levels + i : nullptr);
  }
}

void PlainBatchLevel(const Point3* points, int count, const ScratchParams& params, float* out,
                     int* levels) {
  // Most raw values lie above the ramp's top, where it gives exactly 1 (see LinearThresholdTop).
  const float top = LinearThresholdTop(params.thresholdLow, params.thresholdHigh);
  FieldBatch<false>(
      points, count, params, [](int) { return 0.0f; },
      [&](float v) {
        return v > top ? 1.0f : LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
      },
      [&](int i, int* level) {
        return level ? EvalScratchPlainLevel(points[i], params, *level)
                     : EvalScratchPlain(points[i], params);
      },
      out, levels);
}

void FilteredBatchLevel(const Point3* points, const Point3* dPdx, const Point3* dPdy, int count,
                        const ScratchParams& params, float* out, int* levels) {
  // Most raw values lie above the ramp's top, where it gives exactly 1 (see SoftThresholdTop).
  const float top = SoftThresholdTop(params.thresholdLow, params.thresholdHigh);
  FieldBatch<true>(
      points, count, params, [&](int i) { return formula::FootprintWidth(dPdx[i], dPdy[i]); },
      [&](float v) {
        return v > top ? 1.0f : SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
      },
      [&](int i, int* level) {
        return level ? EvalScratchFilteredLevel(points[i], dPdx[i], dPdy[i], params, *level)
                     : EvalScratchFiltered(points[i], dPdx[i], dPdy[i], params);
      },
      out, levels);
}

float Plain(const Point3& p, const ScratchParams& params) {
  float v;
  NoFloors none;
  if (!RawField<false>(p, 0.0f, params, SaturationFor<false>(params), v, none)) {
    return EvalScratchPlain(p, params);
  }
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float Filtered(const Point3& p, const Point3& dPdx, const Point3& dPdy,
               const ScratchParams& params) {
  const float w = formula::FootprintWidth(dPdx, dPdy);
  float v;
  NoFloors none;
  if (!RawField<true>(p, w, params, SaturationFor<true>(params), v, none)) {
    return EvalScratchFiltered(p, dPdx, dPdy, params);
  }
  return SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float PlainLevel(const Point3& p, const ScratchParams& params, int& level) {
  float v;
  LevelFloors floors;
  if (!RawField<false>(p, 0.0f, params, Saturation{}, v, floors)) {
    return EvalScratchPlainLevel(p, params, level);
  }
  level = floors.level;
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float FilteredLevel(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                    const ScratchParams& params, int& level) {
  const float w = formula::FootprintWidth(dPdx, dPdy);
  float v;
  LevelFloors floors;
  if (!RawField<true>(p, w, params, Saturation{}, v, floors)) {
    return EvalScratchFilteredLevel(p, dPdx, dPdy, params, level);
  }
  level = floors.level;
  return SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
}
