// The dispatcher of the fast scratch evaluation: builds the level rotations once, picks the
// widest kernel variant the processor runs (or the one TAMREL_SCRATCH_PATH names) when the
// library loads, and forwards every call to it.
#include "pattern/ScratchFast.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "pattern/ScratchField.h"
#include "pattern/ScratchKernels.h"
#include "pattern/ScratchPattern.h"

namespace tamrel {
namespace {
constexpr ScratchPath kAllPaths[] = {ScratchPath::PLAIN, ScratchPath::SCALAR, ScratchPath::AVX2,
                                     ScratchPath::AVX512};
}  // namespace

namespace kernel {
namespace {

// The rotations of the plain strands: slot 0 is the single level, slot k the level k - 1 of
// several.
LevelFrames BuildFrames() {
  LevelFrames frames{};
  for (int type = 0; type < 2; ++type) {
    for (int slot = 0; slot < 9; ++slot) {
      const float* columns = SlotRotation(type, slot).Columns();
      float* out = frames.rot[type][slot];
      for (int e = 0; e < 9; ++e) out[e] = columns[e];
      for (int e = 0; e < 9; ++e) {
        if (slot == 0)
          frames.lanes[type][0][e][0] = out[e];
        else
          frames.lanes[type][1][e][slot - 1] = out[e];
      }
    }
  }
  return frames;
}

float PlainReference(const Point3& p, const ScratchParams& params) {
  return EvalScratchPlain(p, params);
}

float FilteredReference(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                        const ScratchParams& params) {
  return EvalScratchFiltered(p, dPdx, dPdy, params);
}

float PlainLevelReference(const Point3& p, const ScratchParams& params, int& level) {
  return EvalScratchPlainLevel(p, params, level);
}

float FilteredLevelReference(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                             const ScratchParams& params, int& level) {
  return EvalScratchFilteredLevel(p, dPdx, dPdy, params, level);
}

void PlainBatchLevelReference(const Point3* points, int count, const ScratchParams& params,
                              float* out, int* levels) {
  for (int i = 0; i < count; ++i) {
    out[i] = levels ? EvalScratchPlainLevel(points[i], params, levels[i])
                    : EvalScratchPlain(points[i], params);
  }
}

void FilteredBatchLevelReference(const Point3* points, const Point3* dPdx, const Point3* dPdy,
                                 int count, const ScratchParams& params, float* out, int* levels) {
  for (int i = 0; i < count; ++i) {
    out[i] = levels ? EvalScratchFilteredLevel(points[i], dPdx[i], dPdy[i], params, levels[i])
                    : EvalScratchFiltered(points[i], dPdx[i], dPdy[i], params);
  }
}

const Kernels kPlainKernels = {PlainReference,      FilteredReference,
                               PlainLevelReference, FilteredLevelReference,
                               PlainBatchLevelReference, FilteredBatchLevelReference};

const Kernels* KernelsOf(ScratchPath path) {
  switch (path) {
    case ScratchPath::PLAIN:
      return &kPlainKernels;
    case ScratchPath::SCALAR:
      return &kScalarKernels;
    case ScratchPath::AVX2:
#if defined(TAMREL_HAVE_AVX2_KERNEL)
      return &kAvx2Kernels;
#else
      return nullptr;
#endif
    case ScratchPath::AVX512:
#if defined(TAMREL_HAVE_AVX512_KERNEL)
      return &kAvx512Kernels;
#else
      return nullptr;
#endif
  }
  return nullptr;
}

ScratchPath WidestSupported() {
  for (ScratchPath p : {ScratchPath::AVX512, ScratchPath::AVX2}) {
    if (ScratchPathSupported(p)) return p;
  }
  return ScratchPath::SCALAR;
}

ScratchPath StartupPath() {
  ScratchPath path;
  const char* forced = std::getenv("TAMREL_SCRATCH_PATH");
  if (forced && ParseScratchPath(forced, path) && ScratchPathSupported(path)) return path;
  return WidestSupported();
}

std::atomic<const Kernels*> gActive{KernelsOf(StartupPath())};

inline const Kernels& Active() {
  return *gActive.load(std::memory_order_relaxed);
}

}  // namespace

const LevelFrames& Frames() {
  static const LevelFrames frames = BuildFrames();
  return frames;
}

}  // namespace kernel

float EvalScratchPlainFast(const Point3& p, const ScratchParams& params) {
  return kernel::Active().plain(p, params);
}

float EvalScratchFilteredFast(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                              const ScratchParams& params) {
  return kernel::Active().filtered(p, dPdx, dPdy, params);
}

float EvalScratchPlainFastLevel(const Point3& p, const ScratchParams& params, int& level) {
  return kernel::Active().plainLevel(p, params, level);
}

float EvalScratchFilteredFastLevel(const Point3& p, const Point3& dPdx, const Point3& dPdy,
                                   const ScratchParams& params, int& level) {
  return kernel::Active().filteredLevel(p, dPdx, dPdy, params, level);
}

void EvalScratchPlainBatch(const Point3* points, int count, const ScratchParams& params,
                           float* out) {
  EvalScratchPlainBatchLevel(points, count, params, out, nullptr);
}

void EvalScratchFilteredBatch(const Point3* points, const Point3* dPdx, const Point3* dPdy,
                              int count, const ScratchParams& params, float* out) {
  EvalScratchFilteredBatchLevel(points, dPdx, dPdy, count, params, out, nullptr);
}

void EvalScratchPlainBatchLevel(const Point3* points, int count, const ScratchParams& params,
                                float* out, int* levels) {
  if (count > 0) kernel::Active().plainBatchLevel(points, count, params, out, levels);
}

void EvalScratchFilteredBatchLevel(const Point3* points, const Point3* dPdx, const Point3* dPdy,
                                   int count, const ScratchParams& params, float* out,
                                   int* levels) {
  if (count > 0) kernel::Active().filteredBatchLevel(points, dPdx, dPdy, count, params, out, levels);
}

const char* ScratchPathName(ScratchPath path) {
  switch (path) {
    case ScratchPath::PLAIN:
      return "plain";
    case ScratchPath::SCALAR:
      return "scalar";
    case ScratchPath::AVX2:
      return "avx2";
    case ScratchPath::AVX512:
      return "avx512";
  }
  return "?";
}

bool ParseScratchPath(const char* name, ScratchPath& path) {
  for (ScratchPath p : kAllPaths) {
    if (name && std::strcmp(name, ScratchPathName(p)) == 0) {
      path = p;
      return true;
    }
  }
  return false;
}

bool ScratchPathSupported(ScratchPath path) {
  if (kernel::KernelsOf(path) == nullptr) return false;
#if defined(TAMREL_HAVE_AVX2_KERNEL)
  // The variant is chosen during static initialisation, possibly before the runtime's own
  // processor probe has run. The probe also asks the system whether it saves the vector state.
  __builtin_cpu_init();
  if (path == ScratchPath::AVX2) return __builtin_cpu_supports("avx2");
  if (path == ScratchPath::AVX512) {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  }
#endif
  return true;
}

ScratchPath ActiveScratchPath() {
  const kernel::Kernels* active = kernel::gActive.load(std::memory_order_relaxed);
  for (ScratchPath p : kAllPaths) {
    if (kernel::KernelsOf(p) == active) return p;
  }
  return ScratchPath::PLAIN;
}

bool SelectScratchPath(ScratchPath path) {
  if (!ScratchPathSupported(path)) return false;
  kernel::gActive.store(kernel::KernelsOf(path), std::memory_order_relaxed);
  return true;
}

}  // namespace tamrel
