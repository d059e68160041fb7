// Strand value and ridged erosion masks.
#include "pattern/ScratchStrand.h"

#include "pattern/CellularDistance.h"
#include "pattern/ScratchFormulas.h"
#include "pattern/SimplexNoise.h"

namespace tamrel {

float CellularValue(Point3 point, float divisor) {
  const double p[3] = {static_cast<double>(point.x), static_cast<double>(point.y),
                       static_cast<double>(point.z)};
  double f1;
  CellularDistances(p, 1, &f1);
  return formula::StrandOfF1(static_cast<float>(f1), divisor);
}

namespace {

// The octave noises of a mask, then their ridged sum. noise(p, w) evaluates one octave at the
// scaled point and footprint; each octave doubles both.
template <class Noise>
inline float RidgedMask(Point3 p, float filterWidth, float scale, Noise noise) {
  p = p / scale;
  float w = filterWidth / scale;
  float octaves[formula::kOctaves];
  for (int octave = 0; octave < formula::kOctaves; ++octave) {
    if (octave > 0) {
      p = p * 2.0f;
      w = w * 2.0f;
    }
    octaves[octave] = noise(p, w);
  }
  return formula::RidgedSum(octaves);
}

inline float Scale(const ScratchParams& params, bool three) {
  return formula::ErosionScale(three, params.sizeDiv20, params.erosionDelta);
}

}  // namespace

float RidgedErosionAt(Point3 point, float filterWidth, float scale, bool three, bool filtered) {
  if (three) {
    if (filtered) {
      return RidgedMask(point, filterWidth, scale, [](const Point3& p, float w) {
        return FilteredSimplex3D(p.x, p.y, p.z, w);
      });
    }
    return RidgedMask(point, 0.0f, scale,
                      [](const Point3& p, float) { return Simplex3D(p.x, p.y, p.z); });
  }
  if (filtered) {
    return RidgedMask(point, filterWidth, scale,
                      [](const Point3& p, float w) { return FilteredSimplex2D(p.x, p.y, w); });
  }
  return RidgedMask(point, 0.0f, scale, [](const Point3& p, float) { return Simplex2D(p.x, p.y); });
}

float RidgedErosion2DFiltered(Point3 point, float filterWidth, const ScratchParams& params) {
  return RidgedErosionAt(point, filterWidth, Scale(params, false), false, true);
}

float RidgedErosion2D(Point3 point, const ScratchParams& params) {
  return RidgedErosionAt(point, 0.0f, Scale(params, false), false, false);
}

float RidgedErosion3DFiltered(Point3 point, float filterWidth, const ScratchParams& params) {
  return RidgedErosionAt(point, filterWidth, Scale(params, true), true, true);
}

float RidgedErosion3D(Point3 point, const ScratchParams& params) {
  return RidgedErosionAt(point, 0.0f, Scale(params, true), true, false);
}

}  // namespace tamrel
