// The three shading evaluations of the scratches map and the steps they share. They read only the
// members Update cached, the coordinate record and the sub-maps, and write nothing of the map's.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "pattern/ScratchFast.h"
#include "pattern/ScratchField.h"
#include "texmap/TamrelScratches.h"

namespace {

inline float Intensity(const Color& c) {
  return (c.g + c.r + c.b) / 3.0f;
}

// The grain of the winning strand level in the footprint's frame. The scratch runs where the
// strand's stretched coordinate stays put: along the footprint direction (a, b) with
// a * (n . dPdx) + b * (n . dPdy) = 0. In a tile bake this is the level's ordinary direction,
// which the tile's lattice turns by at most the reported nudge.
Point2 GrainDirection(const tamrel::ScratchParams& params, int level, const Point3& dPdx,
                     const Point3& dPdy) {
  const Point3 n = tamrel::StrandSheetNormal(params, level);
  const float nx = DotProd(n, dPdx), ny = DotProd(n, dPdy);
  const float len = std::sqrt(nx * nx + ny * ny);
  return len > 0.0f && std::isfinite(len) ? Point2(ny / len, -nx / len) : Point2();
}

}  // namespace

tamrel::ScratchParams TamrelScratches::GatherScratchParams(ShadeContext& sc) {
  tamrel::ScratchParams params;
  params.thresholdLow = thresholdLow;
  params.thresholdHigh = thresholdHigh;
  Texmap* stretchMap = UsedMap(SUBTEX_STRETCH, stretchMapEnabled);
  params.stretch = stretchMap ? stretchMap->EvalMono(sc) * stretch : stretch;
  params.type = type;
  params.levels = levels;
  params.useErosion = useErosion;
  params.erosion = erosion;
  params.sizeDiv20 = sizeDiv20;
  params.erosionDelta = erosionDelta;
  Texmap* spreadMap = UsedMap(SUBTEX_SPREAD, spreadMapEnabled);
  params.spread = spreadMap ? spreadMap->EvalMono(sc) * spread : spread;
  // A spread map that reads 0 would make the strand value divide by zero.
  if (params.spread == 0.0f) params.spread = kZeroSizeSubstitute;
  return params;
}

void TamrelScratches::ApplyDistortion(ShadeContext& sc, Point3& p) {
  Texmap* distortMap = subTex[SUBTEX_DISTORT];
  if (!distortMap) return;
  // The strength map is evaluated before the distortion map; without one the factor is 1, and
  // multiplying by 1 changes no bit.
  Texmap* strengthMap = UsedMap(SUBTEX_DISTORT_STR, dStrMapEnabled);
  const float m = strengthMap ? strengthMap->EvalMono(sc) : 1.0f;
  p += distortMap->EvalNormalPerturb(sc) * distortStr * m;
}

float TamrelScratches::EffectiveSize(ShadeContext& sc) {
  float s = size == 0.0f ? kZeroSizeSubstitute : size;
  if (Texmap* sizeMap = UsedMap(SUBTEX_SIZE, sizeMapEnabled)) {
    s = sizeMap->EvalMono(sc) * s;
    // A size map that reads 0 gets the same substitute as a zero size.
    if (s == 0.0f) s = kZeroSizeSubstitute;
  }
  return s;
}

bool TamrelScratches::PatternSample(ShadeContext& sc, Point3& p, Point3& dPdx, Point3& dPdy,
                                    tamrel::ScratchParams& params) {
  if (gbufID) sc.SetGBufferID(static_cast<int>(gbufID));
  if (!coords.GetXYZ(sc, p, dPdx, dPdy)) return false;
  if (useDistortion) ApplyDistortion(sc, p);
  const float s = EffectiveSize(sc);
  p /= s;
  dPdx /= s;
  dPdy /= s;
  params = GatherScratchParams(sc);
  return true;
}

AColor TamrelScratches::BlendColors(ShadeContext& sc, float f) {
  Texmap* map1 = UsedMap(SUBTEX_COLOR1, col1mapEnabled);
  const AColor c1 = map1 ? map1->EvalColor(sc) : AColor(color1, 1.0f);
  Texmap* map2 = UsedMap(SUBTEX_COLOR2, col2mapEnabled);
  const AColor c2 = map2 ? map2->EvalColor(sc) : AColor(color2, 1.0f);
  AColor c = c2 * f + c1 * (1.0f - f);
  if (texout) c = texout->Filter(c);
  return c;
}

bool TamrelScratches::ShadeColor(ShadeContext& sc, AColor& c, TexBakeSample* bake, bool grain) {
  Point3 p, dPdx, dPdy;
  tamrel::ScratchParams params;
  if (!PatternSample(sc, p, dPdx, dPdy, params)) return false;

  // The level of the winning strand, for the grain; the tile's lattices give it with their value.
  int level = 0;
  const bool wantLevel = bake && grain;
  float f;
  if (tilePattern) {
    const tamrel::TilePoint at = tilePattern->Reduce(p);
    f = sc.filterMaps ? tilePattern->EvalFiltered(at, dPdx, dPdy, params, &level)
                      : tilePattern->EvalPlain(at, params, &level);
  } else if (wantLevel) {
    // One evaluation gives the intensity and the winning level.
    f = sc.filterMaps ? tamrel::EvalScratchFilteredFastLevel(p, dPdx, dPdy, params, level)
                      : tamrel::EvalScratchPlainFastLevel(p, params, level);
  } else {
    f = sc.filterMaps ? tamrel::EvalScratchFilteredFast(p, dPdx, dPdy, params)
                      : tamrel::EvalScratchPlainFast(p, params);
  }
  if (bake) {
    bake->intensity = f;
    bake->footprint[0] = dPdx.Length();
    bake->footprint[1] = dPdy.Length();
  }
  if (wantLevel) bake->direction = GrainDirection(params, level, dPdx, dPdy);
  c = BlendColors(sc, f);
  return true;
}

AColor TamrelScratches::EvalColor(ShadeContext& sc) {
  if (!sc.doMaps) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
  AColor c;
  if (sc.GetCache(this, c)) return c;
  if (!ShadeColor(sc, c, nullptr)) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
  sc.PutCache(this, c);
  return c;
}

BOOL TamrelScratches::EvalBakeSample(ShadeContext& sc, TexBakeSample& out, BOOL grain) {
  out = TexBakeSample();
  if (!sc.doMaps) return FALSE;
  AColor c;
  if (!ShadeColor(sc, c, &out, grain != FALSE)) {
    out = TexBakeSample();
    return FALSE;
  }
  out.color = c;
  sc.PutCache(this, c);
  return TRUE;
}

void TamrelScratches::EvalBakeSamples(ShadeContext* const* scs, int n, TexBakeSample* out,
                                      BOOL* hit, BOOL grain) {
  // The tileable field takes the sample-by-sample road.
  if (tilePattern) {
    for (int i = 0; i < n; ++i) hit[i] = EvalBakeSample(*scs[i], out[i], grain);
    return;
  }
  // Parameters are compared by their bits, which holds only without padding between fields.
  static_assert(sizeof(tamrel::ScratchParams) == 10 * 4);
  constexpr int kChunk = 64;
  Point3 p[kChunk], dPdx[kChunk], dPdy[kChunk];
  tamrel::ScratchParams params[kChunk];
  float f[kChunk];
  int level[kChunk];
  for (int base = 0; base < n; base += kChunk) {
    const int m = std::min(kChunk, n - base);
    for (int i = 0; i < m; ++i) {
      ShadeContext& sc = *scs[base + i];
      out[base + i] = TexBakeSample();
      hit[base + i] =
          sc.doMaps && PatternSample(sc, p[i], dPdx[i], dPdy[i], params[i]) ? TRUE : FALSE;
    }
    // Runs of hits with the same parameters and filtering; sub-maps that vary the parameters
    // make runs of one.
    for (int i = 0; i < m;) {
      if (!hit[base + i]) {
        ++i;
        continue;
      }
      const BOOL filter = scs[base + i]->filterMaps;
      int end = i + 1;
      while (end < m && hit[base + end] && scs[base + end]->filterMaps == filter &&
             std::memcmp(&params[end], &params[i], sizeof(tamrel::ScratchParams)) == 0) {
        ++end;
      }
      // The grain needs the winning levels; one evaluation gives them with the intensities.
      int* winners = grain ? level + i : nullptr;
      if (filter) {
        tamrel::EvalScratchFilteredBatchLevel(p + i, dPdx + i, dPdy + i, end - i, params[i],
                                              f + i, winners);
      } else {
        tamrel::EvalScratchPlainBatchLevel(p + i, end - i, params[i], f + i, winners);
      }
      i = end;
    }
    for (int i = 0; i < m; ++i) {
      if (!hit[base + i]) continue;
      ShadeContext& sc = *scs[base + i];
      TexBakeSample& s = out[base + i];
      s.intensity = f[i];
      s.footprint[0] = dPdx[i].Length();
      s.footprint[1] = dPdy[i].Length();
      if (grain) s.direction = GrainDirection(params[i], level[i], dPdx[i], dPdy[i]);
      s.color = BlendColors(sc, f[i]);
      sc.PutCache(this, s.color);
    }
  }
}

void* TamrelScratches::GetInterface(ULONG id) {
  if (id == I_TEXBAKE) return static_cast<ITexBake*>(this);
  if (id == TAMREL_TILEABLE_INTERFACE) return static_cast<ITamrelTileable*>(this);
  return Texmap::GetInterface(id);
}

float TamrelScratches::EvalMono(ShadeContext& sc) {
  const AColor c = EvalColor(sc);
  return (c.g + c.r + c.b) / 3.0f;
}

Point3 TamrelScratches::EvalNormalPerturb(ShadeContext& sc) {
  if (!sc.doMaps) return Point3(0.0f, 0.0f, 0.0f);
  if (gbufID) sc.SetGBufferID(static_cast<int>(gbufID));

  Point3 p, basis[3];
  if (!coords.GetXYZBump(sc, p, basis)) return Point3(0.0f, 0.0f, 0.0f);
  if (useDistortion) ApplyDistortion(sc, p);
  p = p / EffectiveSize(sc);

  const float delta = bumpDelta * 0.01f + 0.001f;
  const tamrel::ScratchParams params = GatherScratchParams(sc);
  // The bump always takes the plain evaluation: its differences need the unfiltered field.
  Point3 g;
  float h;
  if (tilePattern) {
    // The differences are taken from the wrapped sample, so its copies a tile over agree.
    const tamrel::TilePoint at = tilePattern->Reduce(p);
    h = tilePattern->EvalPlain(at, params);
    for (int k = 0; k < 3; ++k) {
      const tamrel::TilePoint step = tilePattern->Offset(at, basis[k] * delta);
      g[k] = (tilePattern->EvalPlain(step, params) - h) / delta;
    }
  } else {
    h = tamrel::EvalScratchPlainFast(p, params);
    for (int k = 0; k < 3; ++k) {
      g[k] = (tamrel::EvalScratchPlainFast(p + basis[k] * delta, params) - h) / delta;
    }
  }
  const Point3 n = -sc.VectorFromNoScale(g, REF_OBJECT);

  float m1, m2;
  Point3 p1, p2;
  if (Texmap* map1 = UsedMap(SUBTEX_COLOR1, col1mapEnabled)) {
    m1 = map1->EvalMono(sc);
    p1 = map1->EvalNormalPerturb(sc);
  } else {
    m1 = Intensity(color1);
  }
  if (Texmap* map2 = UsedMap(SUBTEX_COLOR2, col2mapEnabled)) {
    m2 = map2->EvalMono(sc);
    p2 = map2->EvalNormalPerturb(sc);
  } else {
    m2 = Intensity(color2);
  }
  const Point3 r = p2 * h + (m2 - m1) * n + p1 * (1.0f - h);
  return texout ? texout->Filter(r) : r;
}
