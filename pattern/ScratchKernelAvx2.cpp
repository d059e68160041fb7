// The fast scratch kernels for processors with AVX2: the portable body compiled for AVX2.
// This file alone is compiled with -mavx2; the dispatcher calls it only where the processor has
// AVX2.
#define TAMREL_KERNEL_AVX2 1
#define TAMREL_KERNEL_TABLE kAvx2Kernels
#include "pattern/ScratchKernelVariant.h"
