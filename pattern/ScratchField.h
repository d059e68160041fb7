// The scratch field: levels of rotated, strongly stretched strand values, the smallest winning,
// optionally eroded, then ramped by two thresholds into an intensity in [0, 1] (0 is the centre of
// a scratch, 1 the untouched surface).
#pragma once

#include <cstdint>

#include "pattern/ScratchParams.h"
#include "pattern/StrandRotation.h"
#include "point3.h"

namespace tamrel {

// One strand value in a frame rotated by angle radians: about Z with x stretched (2D), or about
// Z, then X, then Y with y stretched (3D).
float StrandAtAngle2D(const Point3& p, float angle, const ScratchParams& params);
float StrandAtAngle3D(const Point3& p, float angle, const ScratchParams& params);

// Raw field values (not clamped). The filtered forms pass filterWidth to the erosion mask only.
float ScratchField2D(const Point3& p, float filterWidth, const ScratchParams& params);
float ScratchField3D(const Point3& p, float filterWidth, const ScratchParams& params);
float ScratchField2DPlain(const Point3& p, const ScratchParams& params);
float ScratchField3DPlain(const Point3& p, const ScratchParams& params);

// The final ramps with their clamp to [0, 1]; both are off (clamp only) unless hi > lo.
// SoftThreshold, of the filtered evaluation, rounds the ramp's ends over a band of 0.4 either
// side; LinearThreshold, of the plain evaluation, is the host's straight ramp.
float SoftThreshold(float v, float lo, float hi);
float LinearThreshold(float v, float lo, float hi);
// The raw value above which each ramp gives exactly 1: so does every value above it (+inf when
// none can be vouched for).
float SoftThresholdTop(float lo, float hi);
float LinearThresholdTop(float lo, float hi);

// EvalScratchFiltered and EvalScratchPlain, to the same bits, that also say which level's strand
// won the minimum: 0 for the first level (the single one when levels is 1), i for the angle-table
// entry i - 1. An unknown type reports level 0.
float EvalScratchFilteredLevel(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                               const ScratchParams& params, int& level);
float EvalScratchPlainLevel(const Point3& p, const ScratchParams& params, int& level);

// The rotation of a strand level at angle (radians), as the strands build it: about z, and for
// the 3D type then about x and y.
StrandRotation LevelRotation(std::int32_t type, float angle);
// The level rotations of the two types (0 or 1), built once: slot 0 the single level, slot 1 + k
// level k of several.
const StrandRotation& SlotRotation(std::int32_t type, int slot);
// The rotation angle (radians) of a level under params.levels and params.type.
float LevelAngle(const ScratchParams& params, int level);
// The unit axis in scratch space along which a level's strand is stretched, the normal of its
// thin sheets: the scratch runs across it, along any direction perpendicular to it.
Point3 StrandSheetNormal(const ScratchParams& params, int level);

}  // namespace tamrel
