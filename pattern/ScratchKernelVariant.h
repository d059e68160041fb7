// One instruction-set variant of the fast scratch kernels, built by the file that includes this
// with its own compiler flags: the portable body inside that file's unnamed namespace (so that no
// inline function of one variant can stand in for another's at link time), and the variant's
// table of entry points under the name the file gives TAMREL_KERNEL_TABLE.
#if defined(TAMREL_KERNEL_AVX2)
#include <immintrin.h>
#endif

#include <cstdint>
#include <type_traits>
#include <utility>

#include "pattern/CellularSearch.h"
#include "pattern/PatternTables.h"
#include "pattern/ScratchField.h"
#include "pattern/ScratchFormulas.h"
#include "pattern/ScratchKernels.h"
#include "pattern/ScratchPattern.h"

namespace tamrel::kernel {
namespace {

#include "pattern/ScratchKernelBody.h"

}  // namespace

const Kernels TAMREL_KERNEL_TABLE = {Plain,      Filtered,        PlainLevel,
                                     FilteredLevel, PlainBatchLevel, FilteredBatchLevel};

}  // namespace tamrel::kernel
