// The fast scratch kernels for any processor: the portable body in baseline code.
#include <cstdint>
#include <type_traits>

#include "pattern/PatternTables.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchKernels.h"
#include "pattern/ScratchPattern.h"

namespace tamrel::kernel {
namespace {

#include "pattern/ScratchKernelBody.h"

}  // namespace

const Kernels kScalarKernels = {Plain,         Filtered,   PlainBatch,
                                FilteredBatch, PlainLevel, FilteredLevel,
                                PlainBatchLevel, FilteredBatchLevel};

}  // namespace tamrel::kernel
