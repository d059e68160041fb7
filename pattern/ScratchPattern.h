// The scratch pattern's public entry points: the intensity of a point in scratch space (texture
// coordinates already divided by the map's size), in [0, 1].
#pragma once

#include "pattern/ScratchParams.h"
#include "point3.h"

namespace tamrel {

// Filtered: dPdx and dPdy are the sample footprint's derivative vectors in scratch space; the
// larger of their lengths fades fine erosion octaves, and the thresholds ramp with soft shoulders.
float EvalScratchFiltered(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                          const ScratchParams& params);

// Plain: no footprint; the host's linear threshold ramp.
float EvalScratchPlain(const Point3& p, const ScratchParams& params);

}  // namespace tamrel
