// The tileable field. Its cellular search and simplex noise are the ordinary ones and differ only
// in where a cell's hash comes from (its repeat class instead of its position) and in the lattice
// coordinates they are handed.
#include "pattern/TileableField.h"

#include <algorithm>
#include <cmath>

#include "pattern/CellIndex.h"
#include "pattern/CellularSearch.h"
#include "pattern/PatternTables.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchFormulas.h"
#include "pattern/SimplexCore.h"

namespace tamrel {
namespace {

// Exact skew factors of the simplex grids (the noise rounds them to float; the difference moves
// the grid by far less than a noise unit and does not matter for a repeat class).
const double kSkew2 = (std::sqrt(3.0) - 1.0) / 2.0;
const double kUnskew2 = (3.0 - std::sqrt(3.0)) / 6.0;
constexpr double kSkew3 = 1.0 / 3.0;
constexpr double kUnskew3 = 1.0 / 6.0;

// Per-level salts: without them two levels whose lattices came out alike would repeat each
// other's scratches. Odd multiples of the golden ratio's 32-bit fraction.
constexpr std::uint32_t kLevelSalt = 0x9E3779B9u;

double Dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 Scaled(const Vec3& a, double f) {
  return {a[0] * f, a[1] * f, a[2] * f};
}
Vec3 Sum(const Vec3& a, const Vec3& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
bool Finite(const Vec3& a) {
  return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}
// Period vectors up to 2^24 cells a component keep every integer step of the lattices exact.
bool WithinLattice(const Vec3& a) {
  constexpr double kLimit = 16777216.0;
  return std::fabs(a[0]) <= kLimit && std::fabs(a[1]) <= kLimit && std::fabs(a[2]) <= kLimit;
}

Vec3 ToVec(const Cell3& c) {
  return {static_cast<double>(c[0]), static_cast<double>(c[1]), static_cast<double>(c[2])};
}

// A linear map of 3-space by its images of the unit axes (columns).
struct Linear {
  Vec3 col[3];
  Vec3 operator()(const Vec3& p) const {
    return Sum(Sum(Scaled(col[0], p[0]), Scaled(col[1], p[1])), Scaled(col[2], p[2]));
  }
};

// The third image: the one that keeps the lengths of, and angles with, the normal's original
// image, given the two whole-number edge images; its side follows the original orientation.
Vec3 ThirdImage(const Vec3& a, const Vec3& b, const Vec3& n, const Vec3& u, const Vec3& v) {
  const double uu = Dot(u, u), uv = Dot(u, v), vv = Dot(v, v);
  const double det = uu * vv - uv * uv;
  const double gu = Dot(a, n), gv = Dot(b, n);
  const double alpha = (gu * vv - gv * uv) / det;
  const double beta = (gv * uu - gu * uv) / det;
  const Vec3 inPlane = Sum(Scaled(u, alpha), Scaled(v, beta));
  const double rest = std::max(0.0, Dot(n, n) - Dot(inPlane, inPlane));
  Vec3 across = Cross(u, v);
  const double len = std::sqrt(Dot(across, across));
  const double side = Dot(Cross(a, b), n) < 0.0 ? -1.0 : 1.0;
  return Sum(inPlane, Scaled(across, side * std::sqrt(rest) / len));
}

std::int32_t Wrap32(std::int64_t v) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v)));
}

// --- periodic cellular distance ---------------------------------------------------------------

// F1 at lattice point q, as CellularDistances gives it with n = 1, over features hashed by the
// repeat class of their cube.
double PeriodicF1(const double q[3], const PeriodLattice& period, std::uint32_t salt) {
  using namespace cellular;
  double best = kNothingFound;
  auto addCube = [&](std::int64_t x, std::int64_t y, std::int64_t z) {
    const Cell3 r = period.Representative({x, y, z});
    const double cx = static_cast<double>(x), cy = static_cast<double>(y),
                 cz = static_cast<double>(z);
    ForEachFeature(CubeSeed(Wrap32(r[0]), Wrap32(r[1]), Wrap32(r[2])) + salt,
                   [&](double fx, double fy, double fz) {
                     const double dx = cx + fx - q[0];
                     const double dy = cy + fy - q[1];
                     const double dz = cz + fz - q[2];
                     const double d = std::sqrt(formula::SquaredDistance(dx, dy, dz));
                     if (d < best) best = d;
                   });
  };
  const std::int32_t c[3] = {CellIndex(q[0]), CellIndex(q[1]), CellIndex(q[2])};
  addCube(c[0], c[1], c[2]);
  ForEachAdmittedNeighbour(q, c, best, [&](const Step& s) {
    addCube(std::int64_t{c[0]} + s.x, std::int64_t{c[1]} + s.y, std::int64_t{c[2]} + s.z);
  });
  return formula::FeatureValue(std::sqrt(best));
}

// --- periodic simplex noise -------------------------------------------------------------------

inline int Perm(std::int64_t i) {
  return kPermutation[static_cast<int>(i & 255)];
}

// The ordinary 2D simplex noise with each corner's gradient taken from its repeat class.
float PeriodicSimplex2D(float x, float y, const PeriodLattice& period) {
  return simplex::Noise2D(x, y, [&](std::int32_t i, std::int32_t j, int di, int dj) {
    const Cell3 r = period.Representative({std::int64_t{i} + di, std::int64_t{j} + dj, 0});
    return Perm(r[0] + Perm(r[1]));
  });
}

// The ordinary 3D simplex noise with each corner's gradient taken from its repeat class.
float PeriodicSimplex3D(float x, float y, float z, const PeriodLattice& period) {
  return simplex::Noise3D(
      x, y, z, [&](std::int32_t i, std::int32_t j, std::int32_t k, int di, int dj, int dk) {
        const Cell3 r = period.Representative(
            {std::int64_t{i} + di, std::int64_t{j} + dj, std::int64_t{k} + dk});
        return Perm(r[0] + Perm(r[1] + Perm(r[2])));
      });
}

// Rounds to float; values beyond its range (far-away corners) saturate instead of overflowing.
inline float ToFloat(double v) {
  constexpr double kLimit = 1e38;
  return static_cast<float>(v > kLimit ? kLimit : (v < -kLimit ? -kLimit : v));
}

// The images of the unit axes under one strand level's rotation and stretch, in cube units.
Linear StrandMap(std::int32_t type, float angle, const formula::ScratchSetup& setup) {
  const StrandRotation m = LevelRotation(type, angle);
  const double factor = static_cast<double>(setup.stretch);
  Linear l;
  for (int c = 0; c < 3; ++c) {
    const Point3 row = m.GetRow(c);
    Vec3 image = {row.x, row.y, row.z};
    image[setup.stretchAxis] *= factor;
    l.col[c] = Scaled(image, cellular::kDensity);
  }
  return l;
}

}  // namespace

TileablePattern::TileablePattern(const TileFrame& frame, const ScratchParams& params)
    : frame_(frame),
      type_(params.type),
      levelCount_(formula::LevelCount(params.levels)),
      useErosion_(params.useErosion),
      stretch_(params.stretch),
      sizeDiv20_(params.sizeDiv20),
      erosionDelta_(params.erosionDelta) {
  const Vec3& a = frame.edgeU;
  const Vec3& b = frame.edgeV;
  const Vec3 ab = Cross(a, b);
  const double area = std::sqrt(Dot(ab, ab));
  if (!Finite(a) || !Finite(b) || !Finite(frame.origin) || !(area > 0.0) || !std::isfinite(area) ||
      !(frame.snap >= 1.0)) {
    status_ = TileStatus::DEGENERATE_FRAME;
    return;
  }
  normal_ = Scaled(ab, 1.0 / area);
  // Rows of the inverse of the columns (a, b, n): the cross products over the determinant.
  const Vec3& n = normal_;
  const double det = Dot(a, Cross(b, n));
  inverse_[0] = Scaled(Cross(b, n), 1.0 / det);
  inverse_[1] = Scaled(Cross(n, a), 1.0 / det);
  inverse_[2] = Scaled(Cross(a, b), 1.0 / det);

  const formula::ScratchSetup setup = formula::Normalise(params);
  erosionScale_ = setup.erosionScale;
  if (type_ == SCRATCH_2D || type_ == SCRATCH_3D) {
    for (int l = 0; l < levelCount_; ++l) {
      const Linear m = StrandMap(type_, LevelAngle(params, l), setup);
      const Vec3 ma = m(a), mb = m(b), mn = m(n);
      if (!WithinLattice(ma) || !WithinLattice(mb)) {
        status_ = TileStatus::DEGENERATE_FRAME;
        return;
      }
      const LatticePair pair = SearchLatticePair({Dot(ma, ma), Dot(ma, mb), Dot(mb, mb)}, ma, mb);
      Level level;
      level.u = ToVec(pair.u);
      level.v = ToVec(pair.v);
      if (!level.period.Reset(pair.u, pair.v, 3)) {
        status_ = TileStatus::DEGENERATE_FRAME;
        return;
      }
      level.n = ThirdImage(ma, mb, mn, level.u, level.v);
      level.corner = m(frame.origin);
      level.salt = kLevelSalt * static_cast<std::uint32_t>(2 * l + 1);
      level.nudge = pair.nudge;
      nudge_.length = std::max(nudge_.length, std::fabs(pair.nudge.length));
      nudge_.width = std::max(nudge_.width, std::fabs(pair.nudge.width));
      nudge_.angleDeg = std::max(nudge_.angleDeg, pair.nudge.angleDeg);
      levels_.push_back(level);
    }
  }

  if (useErosion_ != 0 && (type_ == SCRATCH_2D || type_ == SCRATCH_3D)) {
    const int dims = type_ == SCRATCH_2D ? 2 : 3;
    const double skew = dims == 2 ? kSkew2 : kSkew3;
    for (int k = 0; k < formula::kOctaves; ++k) {
      const double f = std::ldexp(1.0, k) / static_cast<double>(erosionScale_);
      // Skewed coordinates of the octave's noise point: 2D noise reads x and y only.
      auto image = [&](const Vec3& v) {
        Vec3 w = Scaled(v, f);
        if (dims == 2) w[2] = 0.0;
        const double sum = (w[0] + w[1] + w[2]) * skew;
        return Vec3{w[0] + sum, w[1] + sum, dims == 2 ? 0.0 : w[2] + sum};
      };
      const Vec3 ia = image(a), ib = image(b);
      Octave o;
      const Cell3 u = {std::llround(ia[0]), std::llround(ia[1]), std::llround(ia[2])};
      const Cell3 v = {std::llround(ib[0]), std::llround(ib[1]), std::llround(ib[2])};
      if (!Finite(ia) || !Finite(ib) || !WithinLattice(ia) || !WithinLattice(ib) ||
          !o.period.Reset(u, v, dims)) {
        status_ = TileStatus::EROSION_TOO_COARSE;
        return;
      }
      o.u = ToVec(u);
      o.v = ToVec(v);
      o.n = image(n);
      o.corner = image(frame.origin);
      o.nudge = CompareMetrics({Dot(ia, ia), Dot(ia, ib), Dot(ib, ib)},
                               {Dot(o.u, o.u), Dot(o.u, o.v), Dot(o.v, o.v)})
                    .worst;
      nudge_.erosion = std::max(nudge_.erosion, o.nudge);
      octaves_.push_back(o);
    }
  }
}

bool TileablePattern::Matches(const TileFrame& frame, const ScratchParams& params) const {
  return frame == frame_ && params.type == type_ &&
         formula::LevelCount(params.levels) == levelCount_ &&
         params.useErosion == useErosion_ && params.stretch == stretch_ &&
         params.sizeDiv20 == sizeDiv20_ && params.erosionDelta == erosionDelta_;
}

TilePoint TileablePattern::Reduce(const Point3& p) const {
  const Vec3 d = {static_cast<double>(p.x) - frame_.origin[0],
                  static_cast<double>(p.y) - frame_.origin[1],
                  static_cast<double>(p.z) - frame_.origin[2]};
  TilePoint r;
  if (status_ != TileStatus::OK || !Finite(d)) return r;
  const double snap = frame_.snap;
  auto wrap = [&](double c) {
    const double q = std::floor(c * snap + 0.5) / snap;
    return q - std::floor(q);
  };
  r.s = wrap(Dot(inverse_[0], d));
  r.t = wrap(Dot(inverse_[1], d));
  const double step = std::sqrt(Dot(frame_.edgeU, frame_.edgeU)) / snap;
  r.h = std::floor(Dot(inverse_[2], d) / step + 0.5) * step;
  if (!std::isfinite(r.s) || !std::isfinite(r.t) || !std::isfinite(r.h)) return TilePoint();
  return r;
}

TilePoint TileablePattern::Offset(const TilePoint& at, const Point3& d) const {
  const Vec3 v = {d.x, d.y, d.z};
  return {at.s + Dot(inverse_[0], v), at.t + Dot(inverse_[1], v), at.h + Dot(inverse_[2], v)};
}

float TileablePattern::Strand(const Level& level, const TilePoint& at, float spread) const {
  const Vec3 q = Sum(level.corner,
                     Sum(Sum(Scaled(level.u, at.s), Scaled(level.v, at.t)), Scaled(level.n, at.h)));
  const double f1 = PeriodicF1(q.data(), level.period, level.salt);
  return formula::StrandOfF1(static_cast<float>(f1), spread);
}

float TileablePattern::Erosion(const TilePoint& at, float filterWidth) const {
  const bool filtered = filterWidth >= 0.0f;
  const double unskew = type_ == SCRATCH_2D ? kUnskew2 : kUnskew3;
  float w = filtered ? filterWidth / erosionScale_ : 0.0f;
  float noise[formula::kOctaves];
  for (int k = 0; k < formula::kOctaves; ++k) {
    const Octave& o = octaves_[k];
    const Vec3 g = Sum(o.corner, Sum(Sum(Scaled(o.u, at.s), Scaled(o.v, at.t)), Scaled(o.n, at.h)));
    const double back = (g[0] + g[1] + g[2]) * unskew;
    const float x = ToFloat(g[0] - back), y = ToFloat(g[1] - back), z = ToFloat(g[2] - back);
    const float fade = filtered ? formula::FadeOf(w) : 0.0f;
    noise[k] = 0.0f;
    if (fade < formula::kFullyFaded) {
      noise[k] = formula::Faded(type_ == SCRATCH_2D ? PeriodicSimplex2D(x, y, o.period)
                                                    : PeriodicSimplex3D(x, y, z, o.period),
                                fade);
    }
    w = w * 2.0f;
  }
  return formula::RidgedSum(noise);
}

float TileablePattern::Field(const TilePoint& at, float filterWidth, const ScratchParams& params,
                             int* level) const {
  if (level) *level = 0;
  if (status_ != TileStatus::OK || levels_.empty()) return 0.0f;
  int winner;
  float best = formula::LowestStrand(
      static_cast<int>(levels_.size()),
      [&](int l) { return Strand(levels_[static_cast<std::size_t>(l)], at, params.spread); },
      winner);
  if (level) *level = winner;
  if (params.useErosion != 0 && !octaves_.empty()) {
    best = formula::Eroded(best, Erosion(at, filterWidth), params.erosion);
  }
  return formula::RawOfStrand(best);
}

float TileablePattern::EvalFiltered(const TilePoint& at, const Point3& dPdx, const Point3& dPdy,
                                    const ScratchParams& params, int* level) const {
  const float w = formula::FootprintWidth(dPdx, dPdy);
  return SoftThreshold(Field(at, w, params, level), params.thresholdLow, params.thresholdHigh);
}

float TileablePattern::EvalPlain(const TilePoint& at, const ScratchParams& params,
                                 int* level) const {
  return LinearThreshold(Field(at, -1.0f, params, level), params.thresholdLow,
                         params.thresholdHigh);
}

}  // namespace tamrel
