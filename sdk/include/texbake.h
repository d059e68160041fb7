// The baking interface a texture map may offer through GetInterface(I_TEXBAKE): one evaluation of
// a sample that answers what a texture baker needs for a whole set of maps at once, the colour
// EvalColor gives together with the scalar pattern under it and the direction of its grain.
#pragma once

#include "acolor.h"
#include "point2.h"
#include "shadectx.h"

inline constexpr ULONG I_TEXBAKE = 0x54780B01;

struct TexBakeSample {
  // The colour EvalColor returns for the sample, to the bit (output stage included).
  AColor color{0.0f, 0.0f, 0.0f, 0.0f};
  // The pattern value the colours are blended by, in [0, 1].
  float intensity = 0.0f;
  // Unit direction in which the pattern's grain runs at the sample, in the axes of the sample's
  // footprint: (a, b) is the direction a * dP/dx + b * dP/dy of the shade context's DP. The sign
  // is free (a grain has no heading); (0, 0) when the pattern has no direction there.
  Point2 direction{0.0f, 0.0f};
  // Lengths of the footprint's two derivative vectors in the pattern's own units.
  float footprint[2] = {0.0f, 0.0f};
};

class ITexBake {
 public:
  virtual ~ITexBake() = default;
  // Evaluates the sample; FALSE (and a zero sample) when the map has no coordinates there. Reads
  // only what Update cached, like the shading evaluations, so it may run on any thread. The
  // direction costs extra and is only found when grain is TRUE; it stays (0, 0) otherwise.
  virtual BOOL EvalBakeSample(ShadeContext& sc, TexBakeSample& out, BOOL grain) = 0;
  // Evaluates n samples as EvalBakeSample evaluates each, hit[i] being its answer for scs[i]. A
  // map may evaluate neighbouring samples together, which is faster and gives the same bits;
  // this default asks one sample at a time.
  virtual void EvalBakeSamples(ShadeContext* const* scs, int n, TexBakeSample* out, BOOL* hit,
                               BOOL grain) {
    for (int i = 0; i < n; ++i) hit[i] = EvalBakeSample(*scs[i], out[i], grain);
  }
};
