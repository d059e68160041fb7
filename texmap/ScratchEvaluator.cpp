// The shading of the scratches map and the steps it shares. Everything here reads the evaluator
// and the shade contexts it is given, and writes nothing but those contexts and the results.
#include "texmap/ScratchEvaluator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "pattern/ScratchFast.h"
#include "pattern/ScratchField.h"

namespace {

// Storage for n values that is not initialised: for buffers whose every entry used is written
// first. The values' type copies as bytes, so the storage holds them as it is written.
template <typename T, int N>
struct ChunkStorage {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  alignas(T) unsigned char bytes[sizeof(T) * N];
  T* data() { return std::launder(reinterpret_cast<T*>(bytes)); }
};

inline bool SameBits(const Point3& a, const Point3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

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

// The grains of one parameter record along a run: samples that share their derivatives, as
// neighbours mostly do, share each level's grain, the same bits worked out once for the level the
// first time it wins.
class GrainCache {
 public:
  explicit GrainCache(const tamrel::ScratchParams& params) : params_(params) {}

  Point2 At(int level, const Point3& dPdx, const Point3& dPdy) {
    if (level < 0 || level >= kLevels) return GrainDirection(params_, level, dPdx, dPdy);
    if (!SameBits(dPdx, dPdx_) || !SameBits(dPdy, dPdy_)) {
      dPdx_ = dPdx;
      dPdy_ = dPdy;
      known_ = 0;
    }
    if (!((known_ >> level) & 1u)) {
      grain_[level] = GrainDirection(params_, level, dPdx, dPdy);
      known_ |= 1u << level;
    }
    return grain_[level];
  }

 private:
  static constexpr int kLevels = 8;
  const tamrel::ScratchParams& params_;
  Point3 dPdx_{0.0f, 0.0f, 0.0f}, dPdy_{0.0f, 0.0f, 0.0f};
  unsigned known_ = 0;
  Point2 grain_[kLevels];
};

// The field over n neighbouring samples of one parameter record, with the winning levels when
// winners is given.
void EvalBatch(const Point3* p, const Point3* dPdx, const Point3* dPdy, int n,
               const tamrel::ScratchParams& params, bool filter, float* f, int* winners) {
  if (filter) {
    tamrel::EvalScratchFilteredBatchLevel(p, dPdx, dPdy, n, params, f, winners);
  } else {
    tamrel::EvalScratchPlainBatchLevel(p, n, params, f, winners);
  }
}

// The tileable field at a sample, its winning level into level.
float EvalTile(const tamrel::TileablePattern& tile, const Point3& p, const Point3& dPdx,
               const Point3& dPdy, const tamrel::ScratchParams& params, bool filter, int& level) {
  const tamrel::TilePoint at = tile.Reduce(p);
  return filter ? tile.EvalFiltered(at, dPdx, dPdy, params, &level)
                : tile.EvalPlain(at, params, &level);
}

}  // namespace

ScratchEvaluator::ScratchEvaluator(const ScratchValues& values, const ScratchLinks& links,
                                   std::shared_ptr<const tamrel::TileablePattern> tile)
    : values_(values), links_(links), tile_(std::move(tile)) {
  tamrel::ScratchParams& p = fixedParams_;
  p.thresholdLow = values_.thresholdLow;
  p.thresholdHigh = values_.thresholdHigh;
  p.stretch = values_.stretch;
  p.type = values_.type;
  p.levels = values_.levels;
  p.useErosion = values_.useErosion;
  p.erosion = values_.erosion;
  p.sizeDiv20 = values_.sizeDiv20;
  p.erosionDelta = values_.erosionDelta;
  // A spread of 0 would make the strand value divide by zero.
  p.spread = values_.spread == 0.0f ? kZeroSizeSubstitute : values_.spread;
}

bool ScratchEvaluator::SlotInUse(int slot) const {
  const ScratchValues& v = values_;
  Texmap* const* sub = links_.subTex;
  switch (slot) {
    case SUBTEX_COLOR1:
      return v.col1mapEnabled && sub[slot];
    case SUBTEX_COLOR2:
      return v.col2mapEnabled && sub[slot];
    case SUBTEX_SIZE:
      return v.sizeMapEnabled && sub[slot];
    case SUBTEX_SPREAD:
      return v.spreadMapEnabled && sub[slot];
    case SUBTEX_STRETCH:
      return v.stretchMapEnabled && sub[slot];
    case SUBTEX_DISTORT:
      return v.useDistortion && sub[slot];
    case SUBTEX_DISTORT_STR:
      return v.useDistortion && sub[SUBTEX_DISTORT] && v.dStrMapEnabled && sub[slot];
    default:
      return false;
  }
}

tamrel::ScratchParams ScratchEvaluator::GatherScratchParams(ShadeContext& sc) const {
  tamrel::ScratchParams params = fixedParams_;
  // The stretch map is evaluated before the spread map: sub-maps may leave marks in the sample
  // (its cache, its G-buffer id), so their order is part of the result.
  if (Texmap* stretchMap = UsedMap(SUBTEX_STRETCH, values_.stretchMapEnabled)) {
    params.stretch = stretchMap->EvalMono(sc) * values_.stretch;
  }
  if (Texmap* spreadMap = UsedMap(SUBTEX_SPREAD, values_.spreadMapEnabled)) {
    params.spread = spreadMap->EvalMono(sc) * values_.spread;
    // A spread map that reads 0 gets the same substitute as a zero spread.
    if (params.spread == 0.0f) params.spread = kZeroSizeSubstitute;
  }
  return params;
}

void ScratchEvaluator::ApplyDistortion(ShadeContext& sc, Point3& p) const {
  Texmap* distortMap = links_.subTex[SUBTEX_DISTORT];
  if (!distortMap) return;
  // The strength map is evaluated before the distortion map; without one the factor is 1, and
  // multiplying by 1 changes no bit.
  Texmap* strengthMap = UsedMap(SUBTEX_DISTORT_STR, values_.dStrMapEnabled);
  const float m = strengthMap ? strengthMap->EvalMono(sc) : 1.0f;
  p += distortMap->EvalNormalPerturb(sc) * values_.distortStr * m;
}

float ScratchEvaluator::BlockSize() const {
  return values_.size == 0.0f ? kZeroSizeSubstitute : values_.size;
}

float ScratchEvaluator::EffectiveSize(ShadeContext& sc) const {
  float s = BlockSize();
  if (Texmap* sizeMap = UsedMap(SUBTEX_SIZE, values_.sizeMapEnabled)) {
    s = sizeMap->EvalMono(sc) * s;
    // A size map that reads 0 gets the same substitute as a zero size.
    if (s == 0.0f) s = kZeroSizeSubstitute;
  }
  return s;
}

bool ScratchEvaluator::PatternSample(ShadeContext& sc, ULONG gbufID, Point3& p, Point3& dPdx,
                                     Point3& dPdy, tamrel::ScratchParams& params) const {
  if (gbufID) sc.SetGBufferID(static_cast<int>(gbufID));
  if (!values_.coords.GetXYZ(sc, p, dPdx, dPdy)) return false;
  if (values_.useDistortion) ApplyDistortion(sc, p);
  const float s = EffectiveSize(sc);
  p /= s;
  dPdx /= s;
  dPdy /= s;
  params = GatherScratchParams(sc);
  return true;
}

AColor ScratchEvaluator::BlendColors(ShadeContext& sc, float f) const {
  Texmap* map1 = UsedMap(SUBTEX_COLOR1, values_.col1mapEnabled);
  const AColor c1 = map1 ? map1->EvalColor(sc) : AColor(values_.color1, 1.0f);
  Texmap* map2 = UsedMap(SUBTEX_COLOR2, values_.col2mapEnabled);
  const AColor c2 = map2 ? map2->EvalColor(sc) : AColor(values_.color2, 1.0f);
  return Blend(c1, c2, f);
}

bool ScratchEvaluator::ShadeColor(ShadeContext& sc, ULONG gbufID, AColor& c, TexBakeSample* bake,
                                  bool grain) const {
  Point3 p, dPdx, dPdy;
  tamrel::ScratchParams params;
  if (!PatternSample(sc, gbufID, p, dPdx, dPdy, params)) return false;

  // The level of the winning strand, for the grain; the tile's lattices give it with their value.
  int level = 0;
  const bool wantLevel = bake && grain;
  float f;
  if (const tamrel::TileablePattern* tile = tile_.get()) {
    f = EvalTile(*tile, p, dPdx, dPdy, params, sc.filterMaps != FALSE, level);
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

BOOL ScratchEvaluator::ShadeBakeSample(ShadeContext& sc, ULONG gbufID, Texmap* cacheKey,
                                       TexBakeSample& out, BOOL grain) const {
  out = TexBakeSample();
  if (!sc.doMaps) return FALSE;
  AColor c;
  if (!ShadeColor(sc, gbufID, c, &out, grain != FALSE)) {
    out = TexBakeSample();
    return FALSE;
  }
  out.color = c;
  sc.PutCache(cacheKey, c);
  return TRUE;
}

void ScratchEvaluator::ShadeBakeSamples(ShadeContext* const* scs, int n, ULONG gbufID,
                                        Texmap* cacheKey, TexBakeSample* out, BOOL* hit,
                                        BOOL grain) const {
  // The tileable field takes the sample-by-sample road.
  if (tile_) {
    for (int i = 0; i < n; ++i) hit[i] = ShadeBakeSample(*scs[i], gbufID, cacheKey, out[i], grain);
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
      hit[base + i] = sc.doMaps && PatternSample(sc, gbufID, p[i], dPdx[i], dPdy[i], params[i])
                          ? TRUE
                          : FALSE;
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
      EvalBatch(p + i, dPdx + i, dPdy + i, end - i, params[i], filter != FALSE, f + i,
                grain ? level + i : nullptr);
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
      sc.PutCache(cacheKey, s.color);
    }
  }
}

bool ScratchEvaluator::RunsReady() const {
  for (int slot = 0; slot < SCRATCHES_NUM_SUBTEX; ++slot) {
    if (SlotInUse(slot)) return false;
  }
  return values_.coords.RunsKnown();
}

// PatternSample, ShadeColor and BlendColors without a sub-map: the size and the parameters are
// the block's, the colours its two, and the distortion without its map moves nothing.
void ScratchEvaluator::ShadeBakeRun(const TexBakeRun& run, TexBakeSample* out, BOOL* hit,
                                    BOOL grain) const {
  const float size = BlockSize();
  const tamrel::ScratchParams& params = fixedParams_;
  const AColor c1(values_.color1, 1.0f), c2(values_.color2, 1.0f);
  const bool filter = run.filterMaps != FALSE;
  const tamrel::TileablePattern* tile = tile_.get();
  constexpr int kChunk = 64;
  // Every entry a chunk uses is written before it is read: the arrays are not cleared first.
  ChunkStorage<Point3, kChunk> pStore, dPdxStore, dPdyStore;
  Point3* const p = pStore.data();
  Point3* const dPdx = dPdxStore.data();
  Point3* const dPdy = dPdyStore.data();
  BOOL ok[kChunk];
  float f[kChunk];
  int level[kChunk];
  GrainCache grains(params);
  for (int base = 0; base < run.count; base += kChunk) {
    const int m = std::min(kChunk, run.count - base);
    if (!run.doMaps) {
      for (int i = 0; i < m; ++i) {
        out[base + i] = TexBakeSample();
        hit[base + i] = FALSE;
      }
      continue;
    }
    values_.coords.GetXYZRun(run, base, m, p, dPdx, dPdy, ok);
    // Every component divided by the size, as PatternSample divides each point (a rejected
    // sample's values are never read). The points over the whole chunk as plain floats, which
    // the compiler can do a vector at a time; the derivatives, with their lengths (the
    // footprint), once for each stretch of samples that share them, as neighbours mostly do:
    // the same bits give the same bits again.
    static_assert(sizeof(Point3) == 3 * sizeof(float));
    float* const pv = &p[0].x;
    for (int k = 0; k < 3 * m; ++k) pv[k] = pv[k] / size;
    float footX[kChunk], footY[kChunk];
    {
      Point3 rawX, rawY, divX, divY;
      float lenX = 0.0f, lenY = 0.0f;
      for (int i = 0; i < m; ++i) {
        if (i == 0 || !SameBits(dPdx[i], rawX) || !SameBits(dPdy[i], rawY)) {
          rawX = dPdx[i];
          rawY = dPdy[i];
          divX = Point3(rawX.x / size, rawX.y / size, rawX.z / size);
          divY = Point3(rawY.x / size, rawY.y / size, rawY.z / size);
          lenX = divX.Length();
          lenY = divY.Length();
        }
        dPdx[i] = divX;
        dPdy[i] = divY;
        footX[i] = lenX;
        footY[i] = lenY;
      }
    }
    if (tile) {
      for (int i = 0; i < m; ++i) {
        if (!ok[i]) continue;
        f[i] = EvalTile(*tile, p[i], dPdx[i], dPdy[i], params, filter, level[i]);
      }
    } else {
      // Runs of hits; only a "None" tiling rule breaks them.
      for (int i = 0; i < m;) {
        if (!ok[i]) {
          ++i;
          continue;
        }
        int end = i + 1;
        while (end < m && ok[end]) ++end;
        EvalBatch(p + i, dPdx + i, dPdy + i, end - i, params, filter, f + i,
                  grain ? level + i : nullptr);
        i = end;
      }
    }
    // Each result written once; the output stage then takes the chunk's colours where they lie
    // (a colour coming back from it through registers into the loop stalls the store).
    for (int i = 0; i < m; ++i) {
      TexBakeSample& s = out[base + i];
      hit[base + i] = ok[i];
      if (!ok[i]) {
        s = TexBakeSample();
        continue;
      }
      s.intensity = f[i];
      s.footprint[0] = footX[i];
      s.footprint[1] = footY[i];
      s.direction = grain ? grains.At(level[i], dPdx[i], dPdy[i]) : Point2(0.0f, 0.0f);
      s.color = Mix(c1, c2, f[i]);
    }
    if (TextureOutput* const texout = links_.texout) {
      for (int i = 0; i < m; ++i) {
        if (ok[i]) out[base + i].color = texout->Filter(out[base + i].color);
      }
    }
  }
}

Point3 ScratchEvaluator::NormalPerturb(ShadeContext& sc, ULONG gbufID) const {
  if (gbufID) sc.SetGBufferID(static_cast<int>(gbufID));

  Point3 p, basis[3];
  if (!values_.coords.GetXYZBump(sc, p, basis)) return Point3(0.0f, 0.0f, 0.0f);
  if (values_.useDistortion) ApplyDistortion(sc, p);
  p = p / EffectiveSize(sc);

  const float delta = values_.bumpDelta * 0.01f + 0.001f;
  const tamrel::ScratchParams params = GatherScratchParams(sc);
  // The bump always takes the plain evaluation: its differences need the unfiltered field.
  Point3 g;
  float h;
  if (const tamrel::TileablePattern* tile = tile_.get()) {
    // The differences are taken from the wrapped sample, so its copies a tile over agree.
    const tamrel::TilePoint at = tile->Reduce(p);
    h = tile->EvalPlain(at, params);
    for (int k = 0; k < 3; ++k) {
      const tamrel::TilePoint step = tile->Offset(at, basis[k] * delta);
      g[k] = (tile->EvalPlain(step, params) - h) / delta;
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
  if (Texmap* map1 = UsedMap(SUBTEX_COLOR1, values_.col1mapEnabled)) {
    m1 = map1->EvalMono(sc);
    p1 = map1->EvalNormalPerturb(sc);
  } else {
    m1 = Intensity(values_.color1);
  }
  if (Texmap* map2 = UsedMap(SUBTEX_COLOR2, values_.col2mapEnabled)) {
    m2 = map2->EvalMono(sc);
    p2 = map2->EvalNormalPerturb(sc);
  } else {
    m2 = Intensity(values_.color2);
  }
  const Point3 r = p2 * h + (m2 - m1) * n + p1 * (1.0f - h);
  return links_.texout ? links_.texout->Filter(r) : r;
}
