// The portable body of the fast scratch kernels. Each instruction-set variant includes it inside
// its own unnamed namespace and compiles it with its own flags, so no inline function of one
// variant can stand in for another's at link time; for the same reason it calls no inline helper
// of other headers (only built-ins and the plain functions, which are compiled once).
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

constexpr double kDensity = 0.39815;
constexpr double kInverseDensity = 2.5116162250408136;
// Scaled coordinates below 2^30 keep the cell index and its neighbours exact 32-bit integers.
constexpr double kFastCellLimit = 1073741824.0;
// Noise coordinates below 2^25 stay below 2^30 through three octave doublings and the skew.
constexpr float kFastNoiseLimit = 33554432.0f;
constexpr double kNoDistance = __builtin_huge_val();
constexpr int kCentre = 13;  // the step (0, 0, 0) in the code (sx + 1) * 9 + (sy + 1) * 3 + sz + 1

constexpr std::uint32_t kHashX = 702395077u;
constexpr std::uint32_t kHashY = 915488749u;
constexpr std::uint32_t kHashZ = 2120969693u;
constexpr std::uint32_t kStepMul = 1402024253u;
constexpr std::uint32_t kStepAdd = 586950981u;

// The generator's n-th successor of s is mul * s + add (mod 2^32); coordinate a of feature k of
// a cube is successor 4k + 2 + a of the cube's seed. Jumping there directly keeps the feature
// coordinates independent of one another instead of one long chain of multiplications.
struct Jumps {
  std::uint32_t mul[5][3], add[5][3];
};
constexpr Jumps MakeJumps() {
  Jumps j{};
  std::uint32_t mul = 1u, add = 0u;
  for (int n = 1; n <= 4 * 4 + 2 + 2; ++n) {
    mul = kStepMul * mul;
    add = kStepMul * add + kStepAdd;
    const int k = (n - 2) / 4, a = (n - 2) % 4;
    if (n >= 2 && a < 3) {
      j.mul[k][a] = mul;
      j.add[k][a] = add;
    }
  }
  return j;
}
constexpr Jumps kJumps = MakeJumps();

inline double Sqrt(double v) { return __builtin_sqrt(v); }
inline float Sqrtf(float v) { return __builtin_sqrtf(v); }
inline double Abs(double v) { return __builtin_fabs(v); }
inline float Absf(float v) { return __builtin_fabsf(v); }
inline float Clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

inline double UnitOffset(std::uint32_t s) { return (static_cast<double>(s) + 0.5) * 0x1p-32; }

// Lowers best2 to the smallest squared distance from q to the feature points of cube (x, y, z),
// with the plain code's arithmetic; true when it did.
inline bool SearchCube(std::int32_t x, std::int32_t y, std::int32_t z, const double q[3],
                       double& best2) {
  const std::uint32_t seed = kHashX * static_cast<std::uint32_t>(x) +
                             kHashY * static_cast<std::uint32_t>(y) +
                             kHashZ * static_cast<std::uint32_t>(z);
  const int count = kFeatureCount[seed >> 24];
  const double cx = static_cast<double>(x), cy = static_cast<double>(y),
               cz = static_cast<double>(z);
  bool lowered = false;
  for (int k = 0; k < count; ++k) {
    const double dx = cx + UnitOffset(kJumps.mul[k][0] * seed + kJumps.add[k][0]) - q[0];
    const double dy = cy + UnitOffset(kJumps.mul[k][1] * seed + kJumps.add[k][1]) - q[1];
    const double dz = cz + UnitOffset(kJumps.mul[k][2] * seed + kJumps.add[k][2]) - q[2];
    const double d2 = dy * dy + dx * dx + dz * dz;
    if (d2 < best2) {
      best2 = d2;
      lowered = true;
    }
  }
  return lowered;
}

// One level's stretched point in the density-scaled space, its cube and its squared gaps.
struct LevelPoint {
  double q[3];
  std::int32_t c[3];
  double below[3], above[3];  // squared gaps to the lower and the upper face, per axis
};

inline double GapOf(const LevelPoint& l, int axis, int step) {
  return step < 0 ? l.below[axis] : (step > 0 ? l.above[axis] : 0.0);
}

// The smallest strand value over the levels, the plain code's bits. False when the fast search
// cannot vouch for them; type must be 0 or 1.
inline bool StrandMinimum(const Point3& p, const ScratchParams& params, float& value) {
  if (!(params.spread > 0.0f)) return false;
  const int levels = params.levels < 1 ? 1 : (params.levels > 8 ? 8 : params.levels);
  const float(*rot)[9] = Frames().rot[params.type] + (levels <= 1 ? 0 : 1);
  const int stretchAxis = params.type == SCRATCH_2D ? 0 : 1;
  const float stretch = params.stretch + 50.0f;

  LevelPoint lp[8];
  double best2 = kNoDistance;
  int bestLevel = -1, bestStep = kCentre;
  for (int l = 0; l < levels; ++l) {
    const float* m = rot[l];
    // Matrix times point as the plain strand forms it, translation row (zero) included.
    float r[3] = {((p.x * m[0] + p.y * m[1]) + p.z * m[2]) + 0.0f,
                  ((p.x * m[3] + p.y * m[4]) + p.z * m[5]) + 0.0f,
                  ((p.x * m[6] + p.y * m[7]) + p.z * m[8]) + 0.0f};
    r[stretchAxis] = r[stretchAxis] * stretch;
    LevelPoint& L = lp[l];
    for (int a = 0; a < 3; ++a) {
      const double s = kDensity * static_cast<double>(r[a]);
      if (!(Abs(s) < kFastCellLimit)) return false;
      const std::int32_t c = s >= 0.0 ? static_cast<std::int32_t>(s)
                                      : static_cast<std::int32_t>(s) - 1;
      const double below = s - static_cast<double>(c);
      const double above = static_cast<double>(c + 1) - s;
      L.q[a] = s;
      L.c[a] = c;
      L.below[a] = below * below;
      L.above[a] = above * above;
    }
    if (SearchCube(L.c[0], L.c[1], L.c[2], L.q, best2)) bestLevel = l;
  }

  // The neighbours of every level, pruned against the minimum over all levels.
  for (int l = 0; l < levels; ++l) {
    const LevelPoint& L = lp[l];
    for (int sx = -1; sx <= 1; ++sx) {
      const double gx = GapOf(L, 0, sx);
      if (!(gx < best2)) continue;
      for (int sy = -1; sy <= 1; ++sy) {
        const double gy = GapOf(L, 1, sy);
        if (!(gy < best2)) continue;
        for (int sz = -1; sz <= 1; ++sz) {
          const double bound = (gy + gx) + GapOf(L, 2, sz);
          if (!(bound < best2) || (sx == 0 && sy == 0 && sz == 0)) continue;
          if (SearchCube(L.c[0] + sx, L.c[1] + sy, L.c[2] + sz, L.q, best2)) {
            bestLevel = l;
            bestStep = (sx + 1) * 9 + (sy + 1) * 3 + sz + 1;
          }
        }
      }
    }
  }
  if (bestLevel < 0) return false;  // 27 empty cubes in every level

  const double d = Sqrt(best2);
  if (bestStep != kCentre) {
    // The plain bound test of the winning cube, with the plain gaps.
    const LevelPoint& L = lp[bestLevel];
    const int step[3] = {bestStep / 9 - 1, bestStep / 3 % 3 - 1, bestStep % 3 - 1};
    double gap[3];
    for (int a = 0; a < 3; ++a) {
      const double g = L.q[a] - static_cast<double>(L.c[a]);
      gap[a] = step[a] < 0 ? g * g : (step[a] > 0 ? (1.0 - g) * (1.0 - g) : 0.0);
    }
    if (!(gap[0] + gap[1] + gap[2] < d)) return false;
  }
  const float f1 = static_cast<float>(Sqrt(d) * kInverseDensity);
  value = static_cast<float>(2.0 * (static_cast<double>(f1) / static_cast<double>(params.spread)) -
                             1.0);
  return true;
}

// Simplex noise without data-dependent branches, operation for operation the plain noise. Only
// for finite coordinates below kFastNoiseLimit, where every comparison is ordered.
inline int Perm(int i) { return kPermutation[i]; }

inline std::int32_t FastCell(float v) {
  return v >= 0.0f ? static_cast<std::int32_t>(v) : static_cast<std::int32_t>(v) - 1;
}

inline float Grad2(int h, float a, float b) {
  const int k = h & 7;
  const float u = k < 4 ? a : b;
  const float v = k < 4 ? b : a;
  return ((k & 1) ? -u : u) + ((k & 2) ? -2.0f * v : 2.0f * v);
}

inline float Grad3(int h, float x, float y, float z) {
  const int m = h & 15;
  const float u = m < 8 ? x : y;
  const float v = m < 4 ? y : (m == 12 || m == 14 ? x : z);
  return ((m & 1) ? -u : u) + ((m & 2) ? -v : v);
}

inline float Corner2(int h, float x, float y) {
  const float r = 0.5f - x * x - y * y;
  float r4 = r * r;
  r4 *= r4;
  const float c = r4 * Grad2(h, x, y);
  return r < 0.0f ? 0.0f : c;
}

inline float Corner3(int h, float x, float y, float z) {
  const float r = 0.6f - x * x - y * y - z * z;
  float r4 = r * r;
  r4 *= r4;
  const float c = r4 * Grad3(h, x, y, z);
  return r < 0.0f ? 0.0f : c;
}

inline float FastSimplex2D(float x, float y) {
  const float s = (x + y) * 0.3660254f;
  const std::int32_t i = FastCell(x + s);
  const std::int32_t j = FastCell(y + s);
  const float t = static_cast<float>(i + j) * 0.21132487f;
  const float x0 = x - (static_cast<float>(i) - t);
  const float y0 = y - (static_cast<float>(j) - t);
  const int i1 = x0 > y0 ? 1 : 0;
  const int j1 = 1 - i1;
  const float x1 = (x0 - static_cast<float>(i1)) + 0.21132487f;
  const float y1 = (y0 - static_cast<float>(j1)) + 0.21132487f;
  const float x2 = (x0 - 1.0f) + 0.42264974f;
  const float y2 = (y0 - 1.0f) + 0.42264974f;
  const int ii = i & 255, jj = j & 255;
  const int h0 = Perm(ii + Perm(jj));
  const int h1 = Perm(ii + i1 + Perm(jj + j1));
  const int h2 = Perm(ii + 1 + Perm(jj + 1));
  return 40.0f * (Corner2(h0, x0, y0) + Corner2(h1, x1, y1) + Corner2(h2, x2, y2));
}

inline float FastSimplex3D(float x, float y, float z) {
  const float s = (x + y + z) * 0.33333334f;
  const std::int32_t i = FastCell(x + s);
  const std::int32_t j = FastCell(y + s);
  const std::int32_t k = FastCell(z + s);
  // The cell sum may pass 2^31; it wraps as the plain code's does.
  const float t = static_cast<float>(static_cast<std::int32_t>(
                      static_cast<std::uint32_t>(i) + static_cast<std::uint32_t>(j) +
                      static_cast<std::uint32_t>(k))) *
                  0.16666667f;
  const float x0 = x - (static_cast<float>(i) - t);
  const float y0 = y - (static_cast<float>(j) - t);
  const float z0 = z - (static_cast<float>(k) - t);
  // The plain decision tree with its ties, as bit logic (all comparisons are ordered here).
  const int a = x0 >= y0, b = y0 >= z0, c = x0 >= z0;
  const int i1 = a & (b | c), j1 = (1 - a) & b, k1 = 1 - i1 - j1;
  const int i2 = a | (b & c), j2 = (1 - a) | b, k2 = 2 - i2 - j2;
  const float x1 = (x0 - static_cast<float>(i1)) + 0.16666667f;
  const float y1 = (y0 - static_cast<float>(j1)) + 0.16666667f;
  const float z1 = (z0 - static_cast<float>(k1)) + 0.16666667f;
  const float x2 = (x0 - static_cast<float>(i2)) + 0.33333334f;
  const float y2 = (y0 - static_cast<float>(j2)) + 0.33333334f;
  const float z2 = (z0 - static_cast<float>(k2)) + 0.33333334f;
  const float x3 = (x0 - 1.0f) + 0.5f;
  const float y3 = (y0 - 1.0f) + 0.5f;
  const float z3 = (z0 - 1.0f) + 0.5f;
  const int ii = i & 255, jj = j & 255, kk = k & 255;
  const int h0 = Perm(ii + Perm(jj + Perm(kk)));
  const int h1 = Perm(ii + i1 + Perm(jj + j1 + Perm(kk + k1)));
  const int h2 = Perm(ii + i2 + Perm(jj + j2 + Perm(kk + k2)));
  const int h3 = Perm(ii + 1 + Perm(jj + 1 + Perm(kk + 1)));
  return 32.0f * (Corner3(h0, x0, y0, z0) + Corner3(h1, x1, y1, z1) + Corner3(h2, x2, y2, z2) +
                  Corner3(h3, x3, y3, z3));
}

// The plain filtered noise's fade, (width / 1.2) through the quintic step from 1.2 to 2.2.
inline float Fade(float width) {
  const float t = (width / 1.2f - 1.2f) / (2.2f - 1.2f);
  if (t < 0.0f) return 0.0f;
  if (t > 1.0f) return 1.0f;
  return ((6.0f * t - 15.0f) * t + 10.0f) * (t * t * t);
}

template <bool kThree, bool kFiltered>
inline float OctaveNoise(const float p[3], float w) {
  if (kFiltered) {
    const float fade = Fade(w);
    if (fade >= 0.9999f) return 0.0f;
    const float n = kThree ? FastSimplex3D(p[0], p[1], p[2]) : FastSimplex2D(p[0], p[1]);
    return (0.0f - n) * fade + n;
  }
  return kThree ? FastSimplex3D(p[0], p[1], p[2]) : FastSimplex2D(p[0], p[1]);
}

// The ridged erosion mask, the plain bits; false where the branch-free noise does not apply.
// The octave amplitude of the plain mask is exactly 1, so its products are left out.
template <bool kThree, bool kFiltered>
inline bool ErosionMask(const Point3& point, float filterWidth, const ScratchParams& params,
                        float& mask) {
  const float scale = kThree ? params.sizeDiv20 / 10.0f * params.erosionDelta
                             : params.erosionDelta * params.sizeDiv20;
  float p[3] = {point.x / scale, point.y / scale, point.z / scale};
  if (!(Absf(p[0]) < kFastNoiseLimit && Absf(p[1]) < kFastNoiseLimit &&
        Absf(p[2]) < kFastNoiseLimit)) {
    return false;
  }
  float w = filterWidth / scale;
  if (kFiltered && !(Absf(w) <= 3.4e38f)) return false;

  float signal = 1.0f - Absf(OctaveNoise<kThree, kFiltered>(p, w));
  signal *= signal;
  float sum = signal;
  for (int octave = 1; octave < 4; ++octave) {
    const float weight = Clamp01(signal);
    p[0] = p[0] * 2.0f, p[1] = p[1] * 2.0f, p[2] = p[2] * 2.0f;
    w = w * 2.0f;
    const float ridge = 1.0f - Absf(OctaveNoise<kThree, kFiltered>(p, w));
    signal = ridge * ridge * weight;
    sum = sum + signal;
  }
  // The host's ramp from 0 to 1 and the clamp.
  const float r = sum < 0.0f ? 0.0f : (sum > 1.0f ? 1.0f : (sum - 0.0f) / (1.0f - 0.0f));
  mask = Clamp01(r);
  return true;
}

// The raw field (before the thresholds); false sends the sample to the plain code.
template <bool kFiltered>
inline bool RawField(const Point3& p, float filterWidth, const ScratchParams& params, float& v) {
  if (params.type != SCRATCH_2D && params.type != SCRATCH_3D) return false;
  float best;
  if (!StrandMinimum(p, params, best)) return false;
  if (params.useErosion != 0) {
    float m;
    const bool ok = params.type == SCRATCH_3D
                        ? ErosionMask<true, kFiltered>(p, filterWidth, params, m)
                        : ErosionMask<false, kFiltered>(p, filterWidth, params, m);
    if (!ok) return false;
    const float e = m * params.erosion;
    const double ed = static_cast<double>(e);
    best = static_cast<float>((1.0 - ed) * static_cast<double>(best) + ed);
  }
  v = (best + 1.0f) * 0.5f;
  return true;
}

float Plain(const Point3& p, const ScratchParams& params) {
  float v;
  if (!RawField<false>(p, 0.0f, params, v)) return EvalScratchPlain(p, params);
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float Filtered(const Point3& p, const Point3& dPdx, const Point3& dPdy,
               const ScratchParams& params) {
  const float lx = Sqrtf(dPdx.x * dPdx.x + dPdx.y * dPdx.y + dPdx.z * dPdx.z);
  const float ly = Sqrtf(dPdy.x * dPdy.x + dPdy.y * dPdy.y + dPdy.z * dPdy.z);
  const float w = lx < ly ? ly : lx;  // std::max's choice, NaN included
  float v;
  if (!RawField<true>(p, w, params, v)) return EvalScratchFiltered(p, dPdx, dPdy, params);
  return SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
}
