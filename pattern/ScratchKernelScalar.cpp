// The fast scratch kernels for any processor: the portable body in baseline code.
#include <cstdint>

#include "pattern/PatternTables.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchKernels.h"
#include "pattern/ScratchPattern.h"

namespace tamrel::kernel {
namespace {

#include "pattern/ScratchKernelBody.h"

void PlainBatch(const Point3* points, int count, const ScratchParams& params, float* out) {
  for (int i = 0; i < count; ++i) out[i] = Plain(points[i], params);
}

void FilteredBatch(const Point3* points, const Point3* dPdx, const Point3* dPdy, int count,
                   const ScratchParams& params, float* out) {
  for (int i = 0; i < count; ++i) out[i] = Filtered(points[i], dPdx[i], dPdy[i], params);
}

}  // namespace

const Kernels kScalarKernels = {Plain, Filtered, PlainBatch, FilteredBatch};

}  // namespace tamrel::kernel
