// The two point functions the scratch field is built from: the strand value of one stretched
// layer of the cellular basis, and the ridged simplex masks that erode the strands.
#pragma once

#include "pattern/ScratchParams.h"
#include "point3.h"

namespace tamrel {

// 2 * F1 / divisor - 1, with F1 the nearest-feature distance at point: -1 on a feature point,
// growing away from it. F1 is rounded to float before the division, which is done in double.
float CellularValue(Point3 point, float divisor);

// Four octaves of ridged simplex noise, each weighted by the previous octave's signal; a value in
// [0, 1] (the smaller of the octave sum and 1). The 2D members use sizeDiv20 * erosionDelta as
// noise scale, the 3D members ten times finer. The filtered members fade octaves whose footprint
// (filterWidth in the units of point, doubled per octave) is too wide for the noise.
float RidgedErosion2DFiltered(Point3 point, float filterWidth, const ScratchParams& params);
float RidgedErosion2D(Point3 point, const ScratchParams& params);
float RidgedErosion3DFiltered(Point3 point, float filterWidth, const ScratchParams& params);
float RidgedErosion3D(Point3 point, const ScratchParams& params);
// The member of the given kind at a noise scale the caller derived from its record once
// (2D: sizeDiv20 * erosionDelta, 3D: ten times finer).
float RidgedErosionAt(Point3 point, float filterWidth, float scale, bool three, bool filtered);

}  // namespace tamrel
