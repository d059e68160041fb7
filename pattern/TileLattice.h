// Integer lattices for tileable bakes. A square tile repeats exactly when every lattice the field
// is built on (the feature cubes of each strand level, the simplex grid of each erosion octave)
// maps the tile's two edges onto whole-number lattice vectors. This file finds such vectors, and
// names one fixed representative of every cell's repeat class, so that the cells of one class
// share their hash and the field repeats with the tile.
#pragma once

#include <array>
#include <cstdint>

namespace tamrel {

using Vec3 = std::array<double, 3>;
using Cell3 = std::array<std::int64_t, 3>;

// The sublattice spanned by two independent integer vectors (in 2 or 3 dimensions), kept in a
// triangular (Hermite) basis: first[pivot0] > 0, second[pivot0] == 0, second[pivot1] > 0 with
// pivot1 > pivot0, and first[pivot1] reduced into [0, second[pivot1]). Cells that differ by a
// lattice vector have the same Representative.
class PeriodLattice {
 public:
  PeriodLattice() = default;
  // dims is 2 or 3; the unused third components must be 0. false (and an unusable lattice) when
  // the vectors are dependent.
  bool Reset(const Cell3& u, const Cell3& v, int dims);

  // The member of c's repeat class with c[pivot0] in [0, first[pivot0]) and c[pivot1] in
  // [0, second[pivot1]); the remaining component is whatever the two steps leave.
  Cell3 Representative(const Cell3& c) const;

  const Cell3& First() const { return first_; }
  const Cell3& Second() const { return second_; }
  int Pivot0() const { return pivot0_; }
  int Pivot1() const { return pivot1_; }

 private:
  Cell3 first_{}, second_{};
  int pivot0_ = 0, pivot1_ = 1;
};

// How far a nudged plane metric is from the original one, as the scratches see it: the relative
// change of the scratches' length (along the direction the original metric shrinks most) and
// width (across it), the largest relative change of any length, and the turn of the scratch
// direction in degrees.
struct MetricNudge {
  double length = 0.0, width = 0.0, worst = 0.0, angleDeg = 0.0;
};

// g and h are symmetric 2x2 metrics (g00, g01, g11) of the same plane basis.
MetricNudge CompareMetrics(const std::array<double, 3>& g, const std::array<double, 3>& h);

// Two integer vectors in Z^3 whose lengths and angle (their Gram matrix) match gram = (|a|^2, a.b,
// |b|^2) as closely as a bounded, deterministic search finds. The cube lattice is the same seen
// from any of its 48 symmetries, so only the Gram matrix matters, not the direction. start is
// the componentwise rounding of one solution the search must beat (the images of the edges).
struct LatticePair {
  Cell3 u{}, v{};
  MetricNudge nudge;
};
LatticePair SearchLatticePair(const std::array<double, 3>& gram, const Vec3& a, const Vec3& b);

}  // namespace tamrel
