// Strand value and ridged erosion masks.
#include "pattern/ScratchStrand.h"

#include <cmath>

#include "pattern/CellularDistance.h"
#include "pattern/SimplexNoise.h"
#include "texutil.h"

namespace tamrel {

float CellularValue(Point3 point, float divisor) {
  const double p[3] = {static_cast<double>(point.x), static_cast<double>(point.y),
                       static_cast<double>(point.z)};
  double f1;
  CellularDistances(p, 1, &f1);
  const float v = static_cast<float>(f1);
  return static_cast<float>(2.0 * (static_cast<double>(v) / static_cast<double>(divisor)) - 1.0);
}

namespace {

constexpr int kOctaves = 4;

inline float Clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

// The shared octave loop. noise(p, w) evaluates one octave at the scaled point and footprint.
// The octave amplitude ratio is 2^-H with H = 0; it is kept as a computed value so the sum reads as
// the general fractal it is, and since it is exactly 1 it changes no bit.
template <class Noise>
inline float RidgedMask(Point3 p, float filterWidth, float scale, Noise noise) {
  p = p / scale;
  const float ratio = std::pow(2.0f, -0.0f);
  float w = filterWidth / scale;

  float signal = 1.0f - std::fabs(noise(p, w));
  signal *= signal;
  float sum = signal;
  float amplitude = 1.0f;
  for (int octave = 1; octave < kOctaves; ++octave) {
    const float weight = Clamp01(signal);
    p = p * 2.0f;
    w = w * 2.0f;
    const float ridge = 1.0f - std::fabs(noise(p, w));
    signal = ridge * ridge * weight;
    amplitude *= ratio;
    sum = sum + signal * amplitude;
  }
  return Clamp01(threshold(sum, 0.0f, 1.0f));
}

inline float Scale2D(const ScratchParams& params) { return params.erosionDelta * params.sizeDiv20; }
inline float Scale3D(const ScratchParams& params) {
  return params.sizeDiv20 / 10.0f * params.erosionDelta;
}

}  // namespace

float RidgedErosion2DFiltered(Point3 point, float filterWidth, const ScratchParams& params) {
  return RidgedMask(point, filterWidth, Scale2D(params),
                    [](const Point3& p, float w) { return FilteredSimplex2D(p.x, p.y, w); });
}

float RidgedErosion2D(Point3 point, const ScratchParams& params) {
  return RidgedMask(point, 0.0f, Scale2D(params),
                    [](const Point3& p, float) { return Simplex2D(p.x, p.y); });
}

float RidgedErosion3DFiltered(Point3 point, float filterWidth, const ScratchParams& params) {
  return RidgedMask(point, filterWidth, Scale3D(params),
                    [](const Point3& p, float w) { return FilteredSimplex3D(p.x, p.y, p.z, w); });
}

float RidgedErosion3D(Point3 point, const ScratchParams& params) {
  return RidgedMask(point, 0.0f, Scale3D(params),
                    [](const Point3& p, float) { return Simplex3D(p.x, p.y, p.z); });
}

}  // namespace tamrel
