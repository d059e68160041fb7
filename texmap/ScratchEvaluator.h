// ScratchEvaluator: everything the scratches map shades with, as one Update read it. The values of
// both blocks, the coordinate record, the sub-maps and output stage then referenced and, during a
// tile bake, the repeating field. It never changes after construction: the map builds a new one
// when it updates (or enters or leaves a tile bake, or its references change) and swaps it in,
// always outside shading, so any number of render threads may read one at the same time without
// locks. Shading allocates nothing.
#pragma once

#include <memory>

#include "acolor.h"
#include "color.h"
#include "coords/XYZCoords.h"
#include "imtl.h"
#include "pattern/ScratchParams.h"
#include "pattern/TileableField.h"
#include "texbake.h"
#include "texmap/ParamsBlock.h"
#include "texout.h"

// Sub-texmap slots share the reference numbering, offset by the two blocks.
inline constexpr int kFirstSubTexRef = SCRATCHES_REF_COLOR1_MAP;
enum ScratchesSubTex : int {
  SUBTEX_COLOR1 = SCRATCHES_REF_COLOR1_MAP - kFirstSubTexRef,
  SUBTEX_COLOR2 = SCRATCHES_REF_COLOR2_MAP - kFirstSubTexRef,
  SUBTEX_SIZE = SCRATCHES_REF_SIZE_MAP - kFirstSubTexRef,
  SUBTEX_SPREAD = SCRATCHES_REF_SPREAD_MAP - kFirstSubTexRef,
  SUBTEX_STRETCH = SCRATCHES_REF_STRETCH_MAP - kFirstSubTexRef,
  SUBTEX_DISTORT = SCRATCHES_REF_DISTORT_MAP - kFirstSubTexRef,
  SUBTEX_DISTORT_STR = SCRATCHES_REF_DISTORT_STR_MAP - kFirstSubTexRef,
};

// Stands in for a zero size or spread that would otherwise divide by zero.
inline constexpr float kZeroSizeSubstitute = 0.001f;

// The values of the "params" and "Mapping" blocks at one time (names follow the "params" block),
// as Update leaves them: thresholds in order, colours clamped to [0, 1].
struct ScratchValues {
  float size = 0.0f;
  float thresholdLow = 0.0f;
  float thresholdHigh = 1.0f;
  float stretch = 0.0f;
  int type = 0;
  int levels = 1;
  BOOL useErosion = FALSE;
  float erosion = 0.0f;
  float sizeDiv20 = 0.0f;
  float erosionDelta = 1.0f;
  float spread = 1.0f;
  float bumpDelta = 0.0f;
  BOOL useDistortion = FALSE;
  float distortStr = 0.0f;
  Color color1{0.0f, 0.0f, 0.0f};
  Color color2{0.0f, 0.0f, 0.0f};
  BOOL col1mapEnabled = FALSE;
  BOOL col2mapEnabled = FALSE;
  BOOL dStrMapEnabled = FALSE;
  BOOL sizeMapEnabled = FALSE;
  BOOL spreadMapEnabled = FALSE;
  BOOL stretchMapEnabled = FALSE;
  XYZCoords coords;
};

// The objects the map referenced: its sub-maps by slot and its output stage. Not owned; the
// map replaces its evaluator whenever one of these references changes, so none outlives them.
struct ScratchLinks {
  Texmap* subTex[SCRATCHES_NUM_SUBTEX] = {};
  TextureOutput* texout = nullptr;
};

class ScratchEvaluator {
 public:
  // tile is the repeating field of a tile bake; null for the ordinary field.
  ScratchEvaluator(const ScratchValues& values, const ScratchLinks& links,
                   std::shared_ptr<const tamrel::TileablePattern> tile = nullptr);

  const ScratchValues& Values() const { return values_; }
  const ScratchLinks& Links() const { return links_; }
  Texmap* SubMap(int slot) const { return links_.subTex[slot]; }
  // While set, shading evaluates this repeating variant of the field in its frame.
  const tamrel::TileablePattern* Tile() const { return tile_.get(); }
  const std::shared_ptr<const tamrel::TileablePattern>& SharedTile() const { return tile_; }

  // The sub-texmap slots whose maps reach the shading, and so must repeat in a tile bake.
  bool SlotInUse(int slot) const;

  // The field's parameters at a sample: the block's values, with the stretch and spread maps.
  tamrel::ScratchParams GatherScratchParams(ShadeContext& sc) const;
  // Moves p by the distortion map's bump, scaled by the strength (and its map).
  void ApplyDistortion(ShadeContext& sc, Point3& p) const;
  // The block's size, and the size with its map; never zero.
  float BlockSize() const;
  float EffectiveSize(ShadeContext& sc) const;

  // The shading of a map whose G-buffer id is gbufID. ShadeColor is the colour road of EvalColor
  // after the sample cache; it fills bake too when given, and is false when the sample has no
  // coordinates.
  bool ShadeColor(ShadeContext& sc, ULONG gbufID, AColor& c, TexBakeSample* bake,
                  bool grain = false) const;
  // ITexBake::EvalBakeSample and EvalBakeSamples for the map cacheKey: each hit's colour goes
  // into its sample's cache under that key.
  BOOL ShadeBakeSample(ShadeContext& sc, ULONG gbufID, Texmap* cacheKey, TexBakeSample& out,
                       BOOL grain) const;
  void ShadeBakeSamples(ShadeContext* const* scs, int n, ULONG gbufID, Texmap* cacheKey,
                        TexBakeSample* out, BOOL* hit, BOOL grain) const;
  // True when ShadeBakeRun evaluates runs: no sub-map in use (they are shaded through contexts)
  // and coordinates GetXYZRun knows.
  bool RunsReady() const;
  // ITexBake::EvalBakeRun when RunsReady: the coordinates of the run, the field and the colours
  // as ShadeBakeSamples gives them for the run's contexts, to the bit. The tileable field too.
  void ShadeBakeRun(const TexBakeRun& run, TexBakeSample* out, BOOL* hit, BOOL grain) const;
  // EvalNormalPerturb once doMaps has been checked.
  Point3 NormalPerturb(ShadeContext& sc, ULONG gbufID) const;

 private:
  // The sub-map of a slot when it is present and its switch is on.
  Texmap* UsedMap(int slot, BOOL enabled) const { return enabled ? links_.subTex[slot] : nullptr; }
  // The two halves of ShadeColor around the field: the point and footprint in pattern units
  // with the parameters there (false without coordinates), and the colour the field's value f
  // gives.
  bool PatternSample(ShadeContext& sc, ULONG gbufID, Point3& p, Point3& dPdx, Point3& dPdy,
                     tamrel::ScratchParams& params) const;
  AColor BlendColors(ShadeContext& sc, float f) const;
  // The colour between c1 and c2 at the field's value f, through the output stage.
  AColor Blend(const AColor& c1, const AColor& c2, float f) const {
    const AColor c = Mix(c1, c2, f);
    return links_.texout ? links_.texout->Filter(c) : c;
  }
  static AColor Mix(const AColor& c1, const AColor& c2, float f) { return c2 * f + c1 * (1.0f - f); }

  ScratchValues values_;
  ScratchLinks links_;
  std::shared_ptr<const tamrel::TileablePattern> tile_;
  // The parameters that no sub-map changes, gathered once.
  tamrel::ScratchParams fixedParams_;
};
