// Field generators and the two evaluations. The four generators share one body; they differ in the
// strand, the first angle and the erosion mask.
#include "pattern/ScratchField.h"

#include "pattern/PatternTables.h"
#include "pattern/ScratchFormulas.h"
#include "pattern/ScratchPattern.h"
#include "pattern/ScratchStrand.h"

namespace tamrel {
namespace {

using formula::ScratchSetup;

constexpr float kDegToRad = 0.017453292f;
constexpr float kFirstAngle2D = -0.17453292f;  // -10 degrees
constexpr float kFirstAngle3D = 0.39269909f;   // 22.5 degrees
constexpr float kSingleAngle = 1.5707964f;     // 90 degrees, when there is one level only
constexpr float kSoftBand = 0.4f;

// The angle of level `level` of `levels` (already limited to 1..8) of a type's strands.
float AngleOf(std::int32_t type, int levels, int level) {
  if (levels <= 1) return kSingleAngle;
  if (level <= 0) return type == SCRATCH_3D ? kFirstAngle3D : kFirstAngle2D;
  return kLevelAngles[(level < levels - 1 ? level : levels - 1) - 1] * kDegToRad;
}

// One strand value of a type's strands: p rotated by the level's angle, the type's strand axis
// stretched, the cellular value of that level point.
float StrandAs(std::int32_t type, const Point3& p, float angle, float stretch, float spread) {
  const StrandRotation m = LevelRotation(type, angle);
  float q[3];
  formula::LevelPoint(p.x, p.y, p.z, m.Columns(), m.Translation(), formula::StretchAxis(type),
                      stretch, q);
  return CellularValue(Point3(q[0], q[1], q[2]), spread);
}

// The field of the record evaluated as a type's: the smallest strand value over the levels,
// eroded towards +1 by the type's mask (filtered or plain), mapped to [0, 1]. When winner is
// given it receives the level whose strand gave the minimum.
float FieldAs(std::int32_t type, const Point3& p, bool filtered, float filterWidth,
              const ScratchParams& params, int* winner = nullptr) {
  const ScratchSetup setup = formula::Normalise(params, type);
  int level;
  float best = formula::LowestStrand(
      setup.levels,
      [&](int l) {
        return StrandAs(type, p, AngleOf(type, setup.levels, l), setup.stretch, params.spread);
      },
      level);
  if (winner) *winner = level;
  if (params.useErosion != 0) {
    const float mask =
        RidgedErosionAt(p, filterWidth, setup.erosionScale, type == SCRATCH_3D, filtered);
    best = formula::Eroded(best, mask, params.erosion);
  }
  return formula::RawOfStrand(best);
}

// The field of the record's type, or 0 for an unknown type (whose winner is then level 0).
float FieldOfType(const Point3& p, bool filtered, float filterWidth, const ScratchParams& params,
                  int* winner) {
  if (params.type == SCRATCH_2D || params.type == SCRATCH_3D) {
    return FieldAs(params.type, p, filtered, filterWidth, params, winner);
  }
  if (winner) *winner = 0;
  return 0.0f;
}

}  // namespace

StrandRotation LevelRotation(std::int32_t type, float angle) {
  StrandRotation m;
  m.RotateZ(angle);
  if (type == SCRATCH_3D) {
    m.RotateX(angle);
    m.RotateY(angle);
  }
  return m;
}

float StrandAtAngle2D(const Point3& p, float angle, const ScratchParams& params) {
  return StrandAs(SCRATCH_2D, p, angle, formula::StretchFactor(params.stretch), params.spread);
}

float StrandAtAngle3D(const Point3& p, float angle, const ScratchParams& params) {
  return StrandAs(SCRATCH_3D, p, angle, formula::StretchFactor(params.stretch), params.spread);
}

float ScratchField2D(const Point3& p, float filterWidth, const ScratchParams& params) {
  return FieldAs(SCRATCH_2D, p, true, filterWidth, params);
}

float ScratchField3D(const Point3& p, float filterWidth, const ScratchParams& params) {
  return FieldAs(SCRATCH_3D, p, true, filterWidth, params);
}

float ScratchField2DPlain(const Point3& p, const ScratchParams& params) {
  return FieldAs(SCRATCH_2D, p, false, 0.0f, params);
}

float ScratchField3DPlain(const Point3& p, const ScratchParams& params) {
  return FieldAs(SCRATCH_3D, p, false, 0.0f, params);
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
  return formula::Clamp01(v);
}

float EvalScratchFiltered(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                          const ScratchParams& params) {
  const float v = FieldOfType(p, true, formula::FootprintWidth(dPdx, dPdy), params, nullptr);
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
  if (hi > lo) v = formula::Ramp(v, lo, hi);
  return formula::Clamp01(v);
}

float EvalScratchPlain(const Point3& p, const ScratchParams& params) {
  const float v = FieldOfType(p, false, 0.0f, params, nullptr);
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float EvalScratchFilteredLevel(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                               const ScratchParams& params, int& level) {
  const float v = FieldOfType(p, true, formula::FootprintWidth(dPdx, dPdy), params, &level);
  return SoftThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float EvalScratchPlainLevel(const Point3& p, const ScratchParams& params, int& level) {
  const float v = FieldOfType(p, false, 0.0f, params, &level);
  return LinearThreshold(v, params.thresholdLow, params.thresholdHigh);
}

float LevelAngle(const ScratchParams& params, int level) {
  return AngleOf(params.type, formula::LevelCount(params.levels), level);
}

const StrandRotation& SlotRotation(std::int32_t type, int slot) {
  // Slot 0 the single level, slot 1 + k level k of several, for each of the two types.
  struct Slots {
    StrandRotation at[2][9];
  };
  static const Slots slots = [] {
    Slots r;
    for (int t = 0; t < 2; ++t) {
      for (int k = 0; k < 9; ++k) {
        const float angle = k == 0 ? AngleOf(t, 1, 0) : AngleOf(t, formula::kMaxLevels, k - 1);
        r.at[t][k] = LevelRotation(t, angle);
      }
    }
    return r;
  }();
  return slots.at[type][slot];
}

namespace {

// The sheet normal of a rotation: q = p * M, so the stretched coordinate of q is p's dot product
// with that column of M.
Point3 SheetNormalOf(const StrandRotation& m, std::int32_t type) {
  const float* column = m.Columns() + 3 * formula::StretchAxis(type);
  return Point3(column[0], column[1], column[2]);
}

}  // namespace

Point3 StrandSheetNormal(const ScratchParams& params, int level) {
  if (params.type != SCRATCH_2D && params.type != SCRATCH_3D) {
    return SheetNormalOf(LevelRotation(params.type, LevelAngle(params, level)), params.type);
  }
  // A bake asks for every sample's grain: the rotations of the levels are built once.
  const int levels = formula::LevelCount(params.levels);
  const int slot = levels <= 1 ? 0 : 1 + (level < 0 ? 0 : (level > levels - 1 ? levels - 1 : level));
  return SheetNormalOf(SlotRotation(params.type, slot), params.type);
}

}  // namespace tamrel
