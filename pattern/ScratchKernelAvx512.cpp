// The fast scratch kernels for processors with AVX-512 (F, VL, DQ, BW and VBMI): the portable body
// compiled with those instructions, its batches eight samples wide. This file alone is compiled
// with the AVX-512 flags; the dispatcher calls it only where the processor and the system support
// them.
#define TAMREL_KERNEL_AVX2 1
#define TAMREL_KERNEL_AVX512 1
#define TAMREL_KERNEL_TABLE kAvx512Kernels
#include "pattern/ScratchKernelVariant.h"
