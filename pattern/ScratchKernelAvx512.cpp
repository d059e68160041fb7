// The fast scratch kernels for processors with AVX-512 (F, VL, DQ, BW and VBMI): the portable body compiled
// with those instructions, its searches eight lanes wide. This file alone is compiled with the
// AVX-512 flags; the dispatcher calls it only where the processor and the system support them.
#include <immintrin.h>

#include <cstdint>
#include <type_traits>
#include <utility>

#include "pattern/PatternTables.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchKernels.h"
#include "pattern/ScratchPattern.h"

namespace tamrel::kernel {
namespace {

#define TAMREL_KERNEL_AVX2 1
#define TAMREL_KERNEL_AVX512 1
#include "pattern/ScratchKernelBody.h"

}  // namespace

const Kernels kAvx512Kernels = {Plain,         Filtered,   PlainBatch,
                                FilteredBatch, PlainLevel, FilteredLevel,
                                PlainBatchLevel, FilteredBatchLevel};

}  // namespace tamrel::kernel
