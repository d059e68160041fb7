// The fast scratch kernels for processors with AVX2: the portable body compiled for AVX2.
// This file alone is compiled with -mavx2; the dispatcher calls it only where the processor has
// AVX2.
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
#include "pattern/ScratchKernelBody.h"

}  // namespace

const Kernels kAvx2Kernels = {Plain,         Filtered,   PlainBatch,
                              FilteredBatch, PlainLevel, FilteredLevel,
                              PlainBatchLevel, FilteredBatchLevel};

}  // namespace tamrel::kernel
