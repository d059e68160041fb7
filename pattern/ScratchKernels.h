// What the dispatcher of the fast scratch evaluation hands its instruction-set variants, and what
// each variant gives back. Internal to pattern/.
#pragma once

#include "pattern/ScratchParams.h"
#include "point3.h"

namespace tamrel::kernel {

// The level rotations, the plain strands' own (SlotRotation), so the per-sample work skips the
// sines, cosines and rotation steps without changing a bit.
// rot[type][slot] holds the matrix columns: the rotated x is (p.x*m[0] + p.y*m[1]) + p.z*m[2],
// y uses m[3..5] and z m[6..8]. Slot 0 is the single level (90 degrees), slot 1 the first of
// several levels, slots 2..8 the table angles.
// lanes[type][several][entry][level] holds the same numbers with the levels side by side:
// several = 0 has the single level in lane 0 (other lanes zero), several = 1 has slots 1..8.
struct LevelFrames {
  float rot[2][9][9];
  float lanes[2][2][9][8];
};

const LevelFrames& Frames();

struct Kernels {
  float (*plain)(const Point3& p, const ScratchParams& params);
  float (*filtered)(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                    const ScratchParams& params);
  float (*plainLevel)(const Point3& p, const ScratchParams& params, int& level);
  float (*filteredLevel)(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                         const ScratchParams& params, int& level);
  // The batches; levels may be null when the winning levels are not wanted.
  void (*plainBatchLevel)(const Point3* points, int count, const ScratchParams& params, float* out,
                          int* levels);
  void (*filteredBatchLevel)(const Point3* points, const Point3* dPdx, const Point3* dPdy,
                             int count, const ScratchParams& params, float* out, int* levels);
};

extern const Kernels kScalarKernels;
#if defined(TAMREL_HAVE_AVX2_KERNEL)
extern const Kernels kAvx2Kernels;
#endif
#if defined(TAMREL_HAVE_AVX512_KERNEL)
extern const Kernels kAvx512Kernels;
#endif

}  // namespace tamrel::kernel
