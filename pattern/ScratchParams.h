// The record of one scratch evaluation, filled per sample by the shading code.
#pragma once

#include <cstdint>

namespace tamrel {

enum ScratchType : std::int32_t { SCRATCH_2D = 0, SCRATCH_3D = 1 };

struct ScratchParams {
  float thresholdLow;   // lower end of the final ramp, 0..1
  float thresholdHigh;  // upper end; callers keep thresholdLow <= thresholdHigh
  float stretch;        // strand stretch; the axis is scaled by stretch + 50
  std::int32_t useErosion;  // nonzero: wear the strands with the ridged mask
  float erosion;        // strength of the wear, 0..1
  float sizeDiv20;      // the map's size / 20: the erosion noise scale
  float erosionDelta;   // extra erosion noise scale, 0.01..100
  float spread;         // strand spread (divisor of the cellular value), 0.1..1
  std::int32_t type;    // SCRATCH_2D or SCRATCH_3D; anything else gives a raw field of 0
  std::int32_t levels;  // strand directions, 1..8 (values outside are limited to that range)
};

}  // namespace tamrel
