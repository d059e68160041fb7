// The fast scratch kernels for any processor: the portable body in baseline code.
#define TAMREL_KERNEL_TABLE kScalarKernels
#include "pattern/ScratchKernelVariant.h"
