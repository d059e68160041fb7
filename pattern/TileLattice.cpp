// Period lattices: a triangular basis by integer row operations, and the search for integer
// vectors with a given Gram matrix.
#include "pattern/TileLattice.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace tamrel {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

void AddMultiple(Cell3& r, std::int64_t m, const Cell3& s) {
  for (int i = 0; i < 3; ++i) r[i] -= m * s[i];
}

void Negate(Cell3& r) {
  for (std::int64_t& x : r) x = -x;
}

double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3 ToVec(const Cell3& c) {
  return {static_cast<double>(c[0]), static_cast<double>(c[1]), static_cast<double>(c[2])};
}

Cell3 Round(const Vec3& v) {
  return {std::llround(v[0]), std::llround(v[1]), std::llround(v[2])};
}

std::array<double, 3> GramOf(const Vec3& a, const Vec3& b) {
  return {Dot(a, a), Dot(a, b), Dot(b, b)};
}

// Eigenvector of the symmetric 2x2 metric m for its smaller eigenvalue.
std::array<double, 2> SoftestDirection(const std::array<double, 3>& m) {
  const double half = 0.5 * (m[0] - m[2]);
  const double lambda = 0.5 * (m[0] + m[2]) - std::sqrt(half * half + m[1] * m[1]);
  if (std::fabs(m[1]) > 1e-12 * (std::fabs(m[0]) + std::fabs(m[2]))) {
    return {m[1], lambda - m[0]};
  }
  return m[0] <= m[2] ? std::array<double, 2>{1.0, 0.0} : std::array<double, 2>{0.0, 1.0};
}

double Quadratic(const std::array<double, 3>& m, const std::array<double, 2>& v) {
  return m[0] * v[0] * v[0] + 2.0 * m[1] * v[0] * v[1] + m[2] * v[1] * v[1];
}

// The largest relative change of any length, cheap enough for the search's inner loop: the
// extreme generalized eigenvalues of (h, g) are the extreme ratios of squared lengths.
double WorstChange(const std::array<double, 3>& g, const std::array<double, 3>& h) {
  const double a = g[0] * g[2] - g[1] * g[1];
  const double b = -(h[0] * g[2] + h[2] * g[0] - 2.0 * h[1] * g[1]);
  const double c = h[0] * h[2] - h[1] * h[1];
  if (!(a > 0.0) || !(c > 0.0)) return HUGE_VAL;
  const double disc = std::sqrt(std::max(0.0, b * b - 4.0 * a * c));
  const double hi = (-b + disc) / (2.0 * a), lo = (-b - disc) / (2.0 * a);
  return std::max(std::fabs(std::sqrt(hi) - 1.0), std::fabs(std::sqrt(std::max(lo, 0.0)) - 1.0));
}

}  // namespace

bool PeriodLattice::Reset(const Cell3& u, const Cell3& v, int dims) {
  Cell3 r0 = u, r1 = v;
  int p0 = 0;
  while (p0 < dims && r0[p0] == 0 && r1[p0] == 0) ++p0;
  if (p0 >= dims) return false;
  // Euclid's algorithm on the pivot column by whole-row steps, which keep the lattice unchanged.
  while (r1[p0] != 0) {
    AddMultiple(r0, r0[p0] / r1[p0], r1);
    std::swap(r0, r1);
  }
  if (r0[p0] < 0) Negate(r0);
  int p1 = p0 + 1;
  while (p1 < dims && r1[p1] == 0) ++p1;
  if (p1 >= dims) return false;
  if (r1[p1] < 0) Negate(r1);
  AddMultiple(r0, FloorDiv(r0[p1], r1[p1]), r1);
  first_ = r0;
  second_ = r1;
  pivot0_ = p0;
  pivot1_ = p1;
  return true;
}

Cell3 PeriodLattice::Representative(const Cell3& c) const {
  // Far-away cells times long period vectors can exceed 64 bits on the way; the pivots need the
  // true values, and the result wraps to 64 bits (its hash keeps only the low 32 anyway).
  __extension__ typedef __int128 Wide;
  __extension__ typedef unsigned __int128 UWide;
  Wide r[3] = {c[0], c[1], c[2]};
  auto floorDiv = [](Wide a, std::int64_t b) {
    Wide q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
  };
  const Wide k0 = floorDiv(r[pivot0_], first_[pivot0_]);
  for (int i = 0; i < 3; ++i) r[i] -= k0 * first_[i];
  const Wide k1 = floorDiv(r[pivot1_], second_[pivot1_]);
  for (int i = 0; i < 3; ++i) r[i] -= k1 * second_[i];
  auto narrow = [](Wide v) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<UWide>(v)));
  };
  return {narrow(r[0]), narrow(r[1]), narrow(r[2])};
}

MetricNudge CompareMetrics(const std::array<double, 3>& g, const std::array<double, 3>& h) {
  MetricNudge n;
  const std::array<double, 2> along = SoftestDirection(g);
  const std::array<double, 2> across = {-along[1], along[0]};
  n.length = std::sqrt(Quadratic(h, along) / Quadratic(g, along)) - 1.0;
  n.width = std::sqrt(Quadratic(h, across) / Quadratic(g, across)) - 1.0;
  n.worst = WorstChange(g, h);
  const std::array<double, 2> turned = SoftestDirection(h);
  const double cross = along[0] * turned[1] - along[1] * turned[0];
  const double dot = along[0] * turned[0] + along[1] * turned[1];
  // Directions, not vectors: a turn by 180 degrees is no turn.
  n.angleDeg = std::atan(std::fabs(cross) / std::max(std::fabs(dot), 1e-300)) * (180.0 / kPi);
  return n;
}

namespace {

// Non-negative integer square root when v is a perfect square, else -1.
std::int64_t ExactRoot(std::int64_t v) {
  if (v < 0) return -1;
  std::int64_t r = static_cast<std::int64_t>(std::sqrt(static_cast<double>(v)));
  while (r * r > v) --r;
  while ((r + 1) * (r + 1) <= v) ++r;
  return r * r == v ? r : -1;
}

// Some B in Z^3 with a.B = ab and |B|^2 = bb, for a given a; false when there is none. B is
// solved along a's largest axis k, from every value of one other axis i and the exact integer
// roots of the quadratic that the two conditions leave for the third axis j.
bool SolveSecond(const Cell3& a, std::int64_t ab, std::int64_t bb, Cell3& out) {
  int k = 0;
  for (int c = 1; c < 3; ++c) {
    if (std::llabs(a[c]) > std::llabs(a[k])) k = c;
  }
  if (a[k] == 0) return false;
  const int i = (k + 1) % 3, j = (k + 2) % 3;
  const std::int64_t r = ExactRoot(bb) >= 0 ? ExactRoot(bb)
                                            : static_cast<std::int64_t>(std::sqrt(double(bb)));
  const std::int64_t ak2 = a[k] * a[k], aj2 = a[j] * a[j], q = ak2 + aj2;
  for (std::int64_t bi = -r; bi <= r; ++bi) {
    const std::int64_t c = ab - a[i] * bi;  // a[j] bj + a[k] bk
    const std::int64_t m = bb - bi * bi;    // bj^2 + bk^2
    if (m < 0) continue;
    const std::int64_t root = ExactRoot(q * m - c * c);
    if (root < 0) continue;
    for (const std::int64_t sign : {1, -1}) {
      const std::int64_t num = c * a[j] + sign * a[k] * root;
      if (num % q != 0) continue;
      const std::int64_t bj = num / q;
      if ((c - a[j] * bj) % a[k] != 0) continue;
      const std::int64_t bk = (c - a[j] * bj) / a[k];
      out[i] = bi;
      out[j] = bj;
      out[k] = bk;
      return true;
    }
  }
  return false;
}

// Some pair of integer vectors with Gram matrix (aa, ab, bb); false when there is none.
bool Represent(std::int64_t aa, std::int64_t ab, std::int64_t bb, Cell3& u, Cell3& v) {
  // u up to the cube's symmetries: x >= y >= z >= 0.
  for (std::int64_t x = 0; 3 * x * x <= 3 * aa && x * x <= aa; ++x) {
    if (3 * x * x < aa) continue;
    for (std::int64_t y = 0; y <= x && x * x + y * y <= aa; ++y) {
      const std::int64_t z = ExactRoot(aa - x * x - y * y);
      if (z < 0 || z > y) continue;
      u = {x, y, z};
      if (SolveSecond(u, ab, bb, v)) return true;
    }
  }
  return false;
}

}  // namespace

LatticePair SearchLatticePair(const std::array<double, 3>& gram, const Vec3& a, const Vec3& b) {
  // Baseline: the rounded images themselves.
  LatticePair best;
  best.u = Round(a);
  best.v = Round(b);
  double bestErr = WorstChange(gram, GramOf(ToVec(best.u), ToVec(best.v)));

  // Integer vectors have an integer Gram matrix, so the search runs over integer matrices near
  // the target, best first, and keeps the first one two vectors of Z^3 realise. The scratches'
  // width direction has a small eigenvalue that the matrix must meet closely; the off-diagonal
  // entry that meets it best is solved for each pair of diagonal entries.
  constexpr double kGoodEnough = 1e-3;  // finer than a pixel of any sensible bake
  constexpr double kWindow = 0.12;      // relative reach of the diagonal entries
  constexpr std::int64_t kMaxReach = 64;
  constexpr std::size_t kKeep = 2000;
  // Beyond ten million (a tile thousands of cells long) rounding is fine already, and the
  // integer arithmetic below stays far from overflow.
  constexpr double kLargest = 1e7;
  if (!(bestErr > kGoodEnough) || !(gram[0] > 0.0) || !(gram[2] > 0.0) || gram[0] > kLargest ||
      gram[2] > kLargest) {
    best.nudge = CompareMetrics(gram, GramOf(ToVec(best.u), ToVec(best.v)));
    return best;
  }
  auto reach = [&](double g) {
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(g * kWindow)), 2,
                                    kMaxReach);
  };
  const std::int64_t c0 = std::llround(gram[0]), c2 = std::llround(gram[2]);
  const std::int64_t r0 = reach(gram[0]), r2 = reach(gram[2]);
  const std::array<double, 2> soft = SoftestDirection(gram);
  const double norm = soft[0] * soft[0] + soft[1] * soft[1];
  const double v0 = soft[0] / std::sqrt(norm), v1 = soft[1] / std::sqrt(norm);
  const double lambda = Quadratic(gram, {v0, v1});

  struct Candidate {
    double err;
    std::int64_t aa, ab, bb;
  };
  std::vector<Candidate> kept;
  auto consider = [&](std::int64_t aa, std::int64_t ab, std::int64_t bb) {
    if (aa * bb - ab * ab <= 0) return;
    const double err = WorstChange(gram, {double(aa), double(ab), double(bb)});
    if (!(err < bestErr)) return;
    if (kept.size() == kKeep && !(err < kept.back().err)) return;
    const Candidate c{err, aa, ab, bb};
    kept.insert(std::upper_bound(kept.begin(), kept.end(), c,
                                 [](const Candidate& x, const Candidate& y) { return x.err < y.err; }),
                c);
    if (kept.size() > kKeep) kept.pop_back();
  };
  for (std::int64_t aa = std::max<std::int64_t>(1, c0 - r0); aa <= c0 + r0; ++aa) {
    for (std::int64_t bb = std::max<std::int64_t>(1, c2 - r2); bb <= c2 + r2; ++bb) {
      // The entry that keeps the soft direction's length, and the one nearest the target.
      double ideal = gram[1];
      if (std::fabs(v0 * v1) > 1e-9) {
        ideal = (lambda - double(aa) * v0 * v0 - double(bb) * v1 * v1) / (2.0 * v0 * v1);
      }
      const std::int64_t f = static_cast<std::int64_t>(std::floor(ideal));
      const std::int64_t n = std::llround(gram[1]);
      consider(aa, f, bb);
      consider(aa, f + 1, bb);
      if (n != f && n != f + 1) consider(aa, n, bb);
    }
  }
  for (const Candidate& c : kept) {
    Cell3 u, v;
    if (Represent(c.aa, c.ab, c.bb, u, v)) {
      best.u = u;
      best.v = v;
      break;
    }
  }
  best.nudge = CompareMetrics(gram, GramOf(ToVec(best.u), ToVec(best.v)));
  return best;
}

}  // namespace tamrel
