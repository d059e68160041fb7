// Field generators and the two evaluations. The four generators share one body; they differ in the
// strand, the first angle and the erosion mask.
#include "pattern/ScratchField.h"

#include <algorithm>

#include "matrix3.h"
#include "pattern/PatternTables.h"
#include "pattern/ScratchPattern.h"
#include "pattern/ScratchStrand.h"
#include "texutil.h"

namespace tamrel {
namespace {

constexpr float kStretchOffset = 50.0f;
constexpr float kDegToRad = 0.017453292f;
constexpr float kFirstAngle2D = -0.17453292f;  // -10 degrees
constexpr float kFirstAngle3D = 0.39269909f;   // 22.5 degrees
constexpr float kSingleAngle = 1.5707964f;     // 90 degrees, when there is one level only
constexpr float kSoftBand = 0.4f;
constexpr int kMaxLevels = 8;  // the angle table covers levels 2..8

inline float Clamp01(float v) {
  return 0.0f > v ? 0.0f : (v > 1.0f ? 1.0f : v);
}

// The smallest strand value over the levels, eroded towards +1, mapped to [0, 1] by (v + 1) / 2.
// When winner is given it receives the index of the level whose strand gave the minimum.
template <class Strand, class Erode>
inline float ScratchFieldOf(const Point3& p, float firstAngle, const ScratchParams& params,
                            Strand strand, Erode erode, int* winner = nullptr) {
  const int levels = std::clamp(params.levels, 1, kMaxLevels);
  float best;
  int bestLevel = 0;
  if (levels <= 1) {
    best = strand(p, kSingleAngle, params);
  } else {
    best = strand(p, firstAngle, params);
    for (int i = 0; i <= levels - 2; ++i) {
      const float v = strand(p, kLevelAngles[i] * kDegToRad, params);
      // Strictly smaller only: an equal value or a NaN leaves the earlier level in place.
      if (best > v) {
        best = v;
        bestLevel = i + 1;
      }
    }
  }
  if (winner) *winner = bestLevel;
  if (params.useErosion != 0) {
    const float e = erode(p) * params.erosion;
    // The blend is formed in double and rounded once.
    const double ed = static_cast<double>(e);
    best = static_cast<float>((1.0 - ed) * static_cast<double>(best) + ed);
  }
  return (best + 1.0f) * 0.5f;
}

// The field of the given type, or 0 for an unknown type (whose winner is then level 0).
template <bool kFiltered>
inline float FieldOfType(const Point3& p, float w, const ScratchParams& params, int* winner) {
  if (winner) *winner = 0;
  if (params.type == SCRATCH_2D) {
    if constexpr (kFiltered) {
      return ScratchFieldOf(
          p, kFirstAngle2D, params, StrandAtAngle2D,
          [&](Point3 c) { return RidgedErosion2DFiltered(c, w, params); }, winner);
    } else {
      return ScratchFieldOf(
          p, kFirstAngle2D, params, StrandAtAngle2D,
          [&](Point3 c) { return RidgedErosion2D(c, params); }, winner);
    }
  }
  if (params.type == SCRATCH_3D) {
    if constexpr (kFiltered) {
      return ScratchFieldOf(
          p, kFirstAngle3D, params, StrandAtAngle3D,
          [&](Point3 c) { return RidgedErosion3DFiltered(c, w, params); }, winner);
    } else {
      return ScratchFieldOf(
          p, kFirstAngle3D, params, StrandAtAngle3D,
          [&](Point3 c) { return RidgedErosion3D(c, params); }, winner);
    }
  }
  return 0.0f;
}

}  // namespace

Matrix3 LevelRotation(std::int32_t type, float angle) {
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

float StrandAtAngle2D(const Point3& p, float angle, const ScratchParams& params) {
  const Matrix3 m = LevelRotation(SCRATCH_2D, angle);
  Point3 q = m * p;
  q.x = q.x * (params.stretch + kStretchOffset);
  return CellularValue(q, params.spread);
}

float StrandAtAngle3D(const Point3& p, float angle, const ScratchParams& params) {
  const Matrix3 m = LevelRotation(SCRATCH_3D, angle);
  Point3 q = m * p;
  q.y = q.y * (params.stretch + kStretchOffset);
  return CellularValue(q, params.spread);
}

float ScratchField2D(const Point3& p, float filterWidth, const ScratchParams& params) {
  return ScratchFieldOf(p, kFirstAngle2D, params, StrandAtAngle2D,
                        [&](Point3 c) { return RidgedErosion2DFiltered(c, filterWidth, params); });
}

float ScratchField3D(const Point3& p, float filterWidth, const ScratchParams& params) {
  return ScratchFieldOf(p, kFirstAngle3D, params, StrandAtAngle3D,
                        [&](Point3 c) { return RidgedErosion3DFiltered(c, filterWidth, params); });
}

float ScratchField2DPlain(const Point3& p, const ScratchParams& params) {
  return ScratchFieldOf(p, kFirstAngle2D, params, StrandAtAngle2D,
                        [&](Point3 c) { return RidgedErosion2D(c, params); });
}

float ScratchField3DPlain(const Point3& p, const ScratchParams& params) {
  return ScratchFieldOf(p, kFirstAngle3D, params, StrandAtAngle3D,
                        [&](Point3 c) { return RidgedErosion3D(c, params); });
}

float SoftThreshold(float v, float lo, float hi) {
  if (hi > lo) {
    // Tested in this order: with hi - lo below 0.8 the lower shoulder wins over the upper one.
    if (lo - kSoftBand > v) {
      v = 0.0f;
    } else if (v > hi + kSoftBand) {
      v = 1.0f;
    } else if (v < lo + kSoftBand) {
      const float t = (v - (lo - kSoftBand)) / ((lo + kSoftBand) - (lo - kSoftBand));
      const float s = (3.0f - 2.0f * t) * (t * t);
      v = s * (v - lo) / (hi - lo);
    } else if (v < hi - kSoftBand) {
      v = (v - lo) / (hi - lo);
    } else {
      const float t = (v - (hi - kSoftBand)) / ((hi + kSoftBand) - (hi - kSoftBand));
      const float s = (3.0f - 2.0f * t) * (t * t);
      v = (1.0f - s) * (v - lo) / (hi - lo) + s;
    }
  }
  return Clamp01(v);
}

float EvalScratchFiltered(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                          const ScratchParams& params) {
  const float w = std::max(dPdx.Length(), dPdy.Length());
  float v = 0.0f;
  if (params.type == SCRATCH_2D) {
    v = ScratchField2D(p, w, params);
  } else if (params.type == SCRATCH_3D) {
    v = ScratchField3D(p, w, params);
  }
  return SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float SoftThresholdTop(float lo, float hi) {
  if (!(hi > lo)) return 1.0f;  // the clamp alone
  // Above hi + band the ramp is 1 outright. Below it, a value v at or above lo + band is past the
  // lower shoulder and above hi past the straight part: the upper shoulder gives
  // fl(fl(fl(c * n) / d) + s) with c = fl(1 - s), s in [0, 1], n = fl(v - lo), d = fl(hi - lo).
  // Where n >= d (1 + 2^-20), each of the three roundings loses at most 2^-24 of its result, so
  // the quotient is at least (1 - s)(1 + 2^-22) and adding s reaches 1 before rounding: the clamp
  // gives 1. Normal numbers throughout keep the bound (d far above the smallest normals).
  const float upper = hi + kSoftBand;
  const float d = hi - lo;
  if (!(d >= 0x1p-60f)) return upper;
  const float past = lo + d * (1.0f + 0x1p-18f);
  const float shoulder = lo + kSoftBand;
  const float top = past < shoulder ? shoulder : past;
  const bool vouched = static_cast<double>(top - lo) >= static_cast<double>(d) * (1.0 + 0x1p-20) &&
                       top > hi && top < upper;
  return vouched ? top : upper;
}

float LinearThresholdTop(float lo, float hi) { return hi > lo ? hi : 1.0f; }

float LinearThreshold(float v, float lo, float hi) {
  if (hi > lo) v = threshold(v, lo, hi);
  return Clamp01(v);
}

float EvalScratchPlain(const Point3& p, const ScratchParams& params) {
  float v = 0.0f;
  if (params.type == SCRATCH_2D) {
    v = ScratchField2DPlain(p, params);
  } else if (params.type == SCRATCH_3D) {
    v = ScratchField3DPlain(p, params);
  }
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float EvalScratchFilteredLevel(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                               const ScratchParams& params, int& level) {
  const float w = std::max(dPdx.Length(), dPdy.Length());
  const float v = FieldOfType<true>(p, w, params, &level);
  return SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float EvalScratchPlainLevel(const Point3& p, const ScratchParams& params, int& level) {
  const float v = FieldOfType<false>(p, 0.0f, params, &level);
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float LevelAngle(const ScratchParams& params, int level) {
  const int levels = std::clamp(params.levels, 1, kMaxLevels);
  if (levels <= 1) return kSingleAngle;
  if (level <= 0) return params.type == SCRATCH_3D ? kFirstAngle3D : kFirstAngle2D;
  return kLevelAngles[std::min(level, levels - 1) - 1] * kDegToRad;
}

namespace {

Point3 SheetNormalAt(std::int32_t type, float angle) {
  const Matrix3 m = LevelRotation(type, angle);
  const int stretched = type == SCRATCH_3D ? 1 : 0;
  // q = p * M, so the stretched coordinate of q is p's dot product with that column of M.
  return Point3(m.GetRow(0)[stretched], m.GetRow(1)[stretched], m.GetRow(2)[stretched]);
}

}  // namespace

Point3 StrandSheetNormal(const ScratchParams& params, int level) {
  if (params.type != SCRATCH_2D && params.type != SCRATCH_3D) {
    return SheetNormalAt(params.type, LevelAngle(params, level));
  }
  // A bake asks for every sample's grain: the normals of the two types' nine level angles are
  // built once (slot 0 the single level, slot 1 + k level k of several), with the same steps.
  struct Normals {
    Point3 at[2][9];
  };
  static const Normals normals = [] {
    Normals n;
    for (int type = 0; type < 2; ++type) {
      for (int slot = 0; slot < 9; ++slot) {
        ScratchParams levels{};
        levels.type = type;
        levels.levels = slot == 0 ? 1 : kMaxLevels;
        n.at[type][slot] = SheetNormalAt(type, LevelAngle(levels, slot == 0 ? 0 : slot - 1));
      }
    }
    return n;
  }();
  const int levels = std::clamp(params.levels, 1, kMaxLevels);
  const int slot = levels <= 1 ? 0 : 1 + std::clamp(level, 0, levels - 1);
  return normals.at[params.type][slot];
}

}  // namespace tamrel
