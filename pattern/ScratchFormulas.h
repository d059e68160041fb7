// The formulas of the scratch pattern, each written once for all three evaluations: the plain
// field, the fast kernels and the tileable field. Internal to pattern/.
//
// Each formula works on one value or, lane by lane, on the compiler's vector types (the kernels'
// lanes and the instruction sets' __m256 and __m512d, which are such vectors): +, -, *, / and the
// comparisons act per lane, ?: picks per lane, and Convert rounds between precisions per lane.
// The order of operations and every float/double conversion is the one the pattern's bits depend
// on; a formula is never rearranged for speed.
//
// The kernel variants are compiled with their own instruction-set flags. An ordinary inline
// function used by several of them would be emitted once per variant and the linker would keep
// any one copy, possibly one with instructions the processor lacks. So every formula is always
// inlined: each caller compiles it with its own flags, and no out-of-line copy exists to be shared.
#pragma once

#include <cstdint>
#include <type_traits>

#include "pattern/CellularSearch.h"
#include "pattern/ScratchParams.h"
#include "point3.h"

#define TAMREL_FORMULA [[gnu::always_inline]] inline

namespace tamrel::formula {

// --- the parameter record ---------------------------------------------------------------------

inline constexpr float kStretchOffset = 50.0f;  // a stretch of 0 still scales the strand axis by 50
inline constexpr int kMaxLevels = 8;            // the angle table covers levels 2..8
inline constexpr int kOctaves = 4;              // octaves of the ridged erosion mask

// The strand levels in use: 1..8, values outside limited to that range.
TAMREL_FORMULA constexpr int LevelCount(std::int32_t levels) {
  return levels < 1 ? 1 : (levels > kMaxLevels ? kMaxLevels : levels);
}

// The coordinate a strand stretches after its rotation: x for the 2D type, y for the 3D type.
TAMREL_FORMULA constexpr int StretchAxis(std::int32_t type) {
  return type == SCRATCH_3D ? 1 : 0;
}

// The factor of that coordinate.
TAMREL_FORMULA constexpr float StretchFactor(float stretch) {
  return stretch + kStretchOffset;
}

// The noise scale of the erosion mask (a point is divided by it): sizeDiv20 * erosionDelta for
// the 2D type, ten times finer for the 3D type, each rounded in this order.
TAMREL_FORMULA constexpr float ErosionScale(bool three, float sizeDiv20, float erosionDelta) {
  return three ? sizeDiv20 / 10.0f * erosionDelta : erosionDelta * sizeDiv20;
}

// What every evaluation derives from the record before its first sample computation.
struct ScratchSetup {
  int levels;          // strand levels in use, 1..8
  int stretchAxis;     // the stretched coordinate of a level point
  float stretch;       // its factor
  float erosionScale;  // the erosion mask's noise scale
};

// The setup of the record evaluated as the given type (the plain field's 2D and 3D members
// evaluate either type's record), and as its own type.
TAMREL_FORMULA constexpr ScratchSetup Normalise(const ScratchParams& params, std::int32_t type) {
  return {LevelCount(params.levels), StretchAxis(type), StretchFactor(params.stretch),
          ErosionScale(type == SCRATCH_3D, params.sizeDiv20, params.erosionDelta)};
}
TAMREL_FORMULA constexpr ScratchSetup Normalise(const ScratchParams& params) {
  return Normalise(params, params.type);
}

// --- one value or a vector of lanes -----------------------------------------------------------

// v rounded to To: a plain conversion of one value, lane by lane for vectors.
template <class To, class From>
TAMREL_FORMULA To Convert(From v) {
  if constexpr (std::is_arithmetic_v<From>) {
    return static_cast<To>(v);
  } else {
    return __builtin_convertvector(v, To);
  }
}

// |v| of floats: the sign bit cleared, as fabsf does (NaNs included).
template <class F>
TAMREL_FORMULA F Abs(F v) {
  if constexpr (std::is_arithmetic_v<F>) {
    return __builtin_fabsf(v);
  } else {
    using Bits = decltype(v < v);  // the integer vector of the same lanes
    return reinterpret_cast<F>(reinterpret_cast<Bits>(v) & 0x7FFFFFFF);
  }
}

// v limited to [0, 1]; a NaN stays NaN.
template <class F>
TAMREL_FORMULA F Clamp01(F v) {
  return v < 0.0f ? F{} : (v > 1.0f ? F{} + 1.0f : v);
}

// The host's ramp: 0 below a, 1 above b, linear in between. With a == b and x == a the division
// is 0/0; callers only use it with a < b.
template <class F>
TAMREL_FORMULA F Ramp(F x, float a, float b) {
  return x < a ? F{} : (x > b ? F{} + 1.0f : (x - a) / (b - a));
}

// --- the strands ------------------------------------------------------------------------------

// The level point of (x, y, z): the point times a level's rotation plus its translation t, then
// the stretched coordinate scaled. m[i] gives the rotation's columns: the rotated x is
// (x*m[0] + y*m[1]) + z*m[2], y uses m[3..5] and z m[6..8], the host's row-vector transform in
// its order; t[a] the translation of coordinate a. (Any indexable will do: the kernels load
// their lanes as they are read instead of copying them first.)
template <class V, class M, class T, class S>
TAMREL_FORMULA void LevelPoint(V x, V y, V z, const M& m, const T& t, int axis, S stretch,
                               V out[3]) {
  for (int a = 0; a < 3; ++a) out[a] = ((x * m[3 * a] + y * m[3 * a + 1]) + z * m[3 * a + 2]) + t[a];
  out[axis] = out[axis] * stretch;
}

// The squared distance of a feature point at offset (dx, dy, dz), summed in the order of the
// cellular basis: y first.
template <class D>
TAMREL_FORMULA D SquaredDistance(D dx, D dy, D dz) {
  return dy * dy + dx * dx + dz * dz;
}

// F1, the nearest-feature value, from the square root of the nearest distance in the
// density-scaled space (the basis reports the root of the distance, in the caller's units).
template <class D>
TAMREL_FORMULA D FeatureValue(D rootOfDistance) {
  return rootOfDistance * cellular::kInverseDensity;
}

// The strand value 2 * F1 / divisor - 1 of F1 rounded to float: the division and the rest in
// double (D: double lanes as wide as F), rounded once.
template <class F, class D = double>
TAMREL_FORMULA F StrandOfF1(F f1, float divisor) {
  return Convert<F>(2.0 * (Convert<D>(f1) / static_cast<double>(divisor)) - 1.0);
}

// The strand value of the square root of a nearest distance (see FeatureValue).
template <class F, class D = double>
TAMREL_FORMULA F StrandOfRoot(D rootOfDistance, float divisor) {
  return StrandOfF1<F, D>(Convert<F>(FeatureValue(rootOfDistance)), divisor);
}

// The smallest of count strand values value(0), value(1), ..., taken strictly: an equal value or
// a NaN leaves the earlier level in place. winner receives the level that gave it.
template <class Value>
TAMREL_FORMULA float LowestStrand(int count, Value value, int& winner) {
  float best = value(0);
  winner = 0;
  for (int l = 1; l < count; ++l) {
    const float v = value(l);
    if (best > v) {
      best = v;
      winner = l;
    }
  }
  return best;
}

// --- the filtered noise -----------------------------------------------------------------------

inline constexpr float kFullyFaded = 0.9999f;  // from this fade on an octave is 0, not evaluated

// 0 below lo, 1 above hi, the quintic 6t^5 - 15t^4 + 10t^3 in between; a NaN stays NaN.
template <class F>
TAMREL_FORMULA F SmootherStep(F x, float lo, float hi) {
  const F t = (x - lo) / (hi - lo);
  const F poly = ((6.0f * t - 15.0f) * t + 10.0f) * ((t * t) * t);
  return t < 0.0f ? F{} : (t > 1.0f ? F{} + 1.0f : poly);
}

// The weight of the noise's mean (0) for an octave whose footprint is `width` noise units.
template <class F>
TAMREL_FORMULA F FadeOf(F width) {
  return SmootherStep(width / 1.2f, 1.2f, 2.2f);
}

// The noise of an octave with fade f, blended towards the mean.
template <class F>
TAMREL_FORMULA F Faded(F noise, F fade) {
  return (0.0f - noise) * fade + noise;
}

// --- erosion and the raw field ----------------------------------------------------------------

// The ridged sum of the four octaves' noise values, each octave's ridge weighted by the previous
// octave's signal, then the host's ramp from 0 to 1 and the clamp. The octave amplitude ratio is
// 2^-H with H = 0, exactly 1, so its products (which change no bit) are left out.
template <class F>
TAMREL_FORMULA F RidgedSum(const F noise[kOctaves]) {
  F signal = 1.0f - Abs(noise[0]);
  signal = signal * signal;
  F sum = signal;
  for (int octave = 1; octave < kOctaves; ++octave) {
    const F weight = Clamp01(signal);
    const F ridge = 1.0f - Abs(noise[octave]);
    signal = ridge * ridge * weight;
    sum = sum + signal;
  }
  return Clamp01(Ramp(sum, 0.0f, 1.0f));
}

// The strand minimum worn towards +1 by the erosion mask: e = mask * erosion in float, the blend
// (1 - e) * strand + e formed in double (D: double lanes as wide as F) and rounded once.
template <class F, class D = double>
TAMREL_FORMULA F Eroded(F strand, F mask, float erosion) {
  const D e = Convert<D>(mask * erosion);
  return Convert<F>((1.0 - e) * Convert<D>(strand) + e);
}

// The raw field value of a (worn) strand minimum: [-1, 1] mapped to [0, 1].
template <class F>
TAMREL_FORMULA F RawOfStrand(F strand) {
  return (strand + 1.0f) * 0.5f;
}

// The footprint of a filtered sample: the longer derivative, std::max's choice, NaN included.
TAMREL_FORMULA float FootprintWidth(const Point3& dPdx, const Point3& dPdy) {
  const float lx = __builtin_sqrtf(dPdx.x * dPdx.x + dPdx.y * dPdx.y + dPdx.z * dPdx.z);
  const float ly = __builtin_sqrtf(dPdy.x * dPdy.x + dPdy.y * dPdy.y + dPdy.z * dPdy.z);
  return lx < ly ? ly : lx;
}

}  // namespace tamrel::formula
