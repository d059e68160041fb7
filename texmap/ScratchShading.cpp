// The map's shading entry points: the sample cache and the switches of the shade context are
// handled here, the rest by the current evaluator, which they only read. The G-buffer id is the
// map's own (not a parameter), so it is handed to the evaluator with each call.
#include "texmap/TamrelScratches.h"

AColor TamrelScratches::EvalColor(ShadeContext& sc) {
  if (!sc.doMaps) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
  AColor c;
  if (sc.GetCache(this, c)) return c;
  const ScratchEvaluator& e = *eval_;
  if (!e.ShadeColor(sc, gbufID, c, nullptr)) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
  sc.PutCache(this, c);
  return c;
}

BOOL TamrelScratches::EvalBakeSample(ShadeContext& sc, TexBakeSample& out, BOOL grain) {
  const ScratchEvaluator& e = *eval_;
  return e.ShadeBakeSample(sc, gbufID, this, out, grain);
}

void TamrelScratches::EvalBakeSamples(ShadeContext* const* scs, int n, TexBakeSample* out,
                                      BOOL* hit, BOOL grain) {
  const ScratchEvaluator& e = *eval_;
  e.ShadeBakeSamples(scs, n, gbufID, this, out, hit, grain);
}

// Runs the evaluator cannot take without contexts (sub-maps in use) go through the contexts the
// interface's default builds for them.
void TamrelScratches::EvalBakeRun(const TexBakeRun& run, TexBakeSample* out, BOOL* hit,
                                  BOOL grain) {
  const ScratchEvaluator& e = *eval_;
  if (!e.RunsReady()) {
    ITexBake::EvalBakeRun(run, out, hit, grain);
    return;
  }
  e.ShadeBakeRun(run, out, hit, grain);
}

void* TamrelScratches::GetInterface(ULONG id) {
  if (id == I_TEXBAKE) return static_cast<ITexBake*>(this);
  if (id == TAMREL_TILEABLE_INTERFACE) return static_cast<ITamrelTileable*>(this);
  if (id == I_ROLLOUTINFO) return static_cast<IRolloutInfo*>(this);
  return Texmap::GetInterface(id);
}

float TamrelScratches::EvalMono(ShadeContext& sc) {
  const AColor c = EvalColor(sc);
  return (c.g + c.r + c.b) / 3.0f;
}

Point3 TamrelScratches::EvalNormalPerturb(ShadeContext& sc) {
  if (!sc.doMaps) return Point3(0.0f, 0.0f, 0.0f);
  const ScratchEvaluator& e = *eval_;
  return e.NormalPerturb(sc, gbufID);
}
