// The fast evaluation of the scratch intensity: the same bits as EvalScratchPlain and
// EvalScratchFiltered for every input, several times faster. Callers that shade many samples use
// these entry points; the plain functions stay the readable definition and the fallback.
//
// The kernels come in instruction-set variants chosen once at start-up: the widest the processor
// has, or the one named by the environment variable TAMREL_SCRATCH_PATH ("plain", "scalar",
// "avx2", "avx512"). Every variant gives the same bits.
#pragma once

#include "pattern/ScratchParams.h"
#include "point3.h"

namespace tamrel {

float EvalScratchPlainFast(const Point3& p, const ScratchParams& params);
float EvalScratchFilteredFast(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                              const ScratchParams& params);

// The same bits as EvalScratchPlainFast and EvalScratchFilteredFast, and the level whose strand won
// the minimum, as EvalScratchPlainLevel and EvalScratchFilteredLevel report it (the first level
// reaching the minimum value).
float EvalScratchPlainFastLevel(const Point3& p, const ScratchParams& params, int& level);
float EvalScratchFilteredFastLevel(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                                   const ScratchParams& params, int& level);

// A row or tile of samples sharing one record: out[i] is the plain (or filtered) intensity at
// points[i] (with the derivatives dPdx[i], dPdy[i]). count may be 0.
void EvalScratchPlainBatch(const Point3* points, int count, const ScratchParams& params,
                           float* out);
void EvalScratchFilteredBatch(const Point3* points, const Point3* dPdx, const Point3* dPdy,
                              int count, const ScratchParams& params, float* out);
// The same bits, and levels[i] the level whose strand won sample i, as the per-sample level
// entries report it (levels may be null: then they are the batches above).
void EvalScratchPlainBatchLevel(const Point3* points, int count, const ScratchParams& params,
                                float* out, int* levels);
void EvalScratchFilteredBatchLevel(const Point3* points, const Point3* dPdx, const Point3* dPdy,
                                   int count, const ScratchParams& params, float* out,
                                   int* levels);

// The kernel variants. PLAIN routes every call to the plain functions (for comparison).
enum class ScratchPath : int { PLAIN, SCALAR, AVX2, AVX512 };

const char* ScratchPathName(ScratchPath path);
// Accepts the names ScratchPathName gives; false for anything else.
bool ParseScratchPath(const char* name, ScratchPath& path);
// Whether this build and this processor can run the variant.
bool ScratchPathSupported(ScratchPath path);
ScratchPath ActiveScratchPath();
// Switches every later call to the variant (tests and benchmarks); false, and no change, when it
// is not supported. Not meant to be called while other threads evaluate.
bool SelectScratchPath(ScratchPath path);

}  // namespace tamrel
