// TamrelScratches: the scratches texture map. It owns the "Mapping" and "params" blocks, seven
// sub-maps and an output stage; Update copies every parameter into plain members, so that the
// shading evaluations read only members, the coordinate record and the sub-maps, and can run on
// any number of render threads between two updates.
#pragma once

#include "coords/XYZCoords.h"
#include "imtl.h"
#include "iparamb2.h"
#include "iparamm2.h"
#include <memory>

#include "pattern/ScratchParams.h"
#include "pattern/TileableField.h"
#include "texmap/ITamrelTileable.h"
#include "texmap/ParamsBlock.h"
#include "texbake.h"
#include "texout.h"

inline constexpr Class_ID TAMREL_SCRATCHES_CLASS_ID(0x8DB6A691, 0x8D486002);

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

class TamrelScratches : public Texmap, public ITexBake, public ITamrelTileable {
 public:
  // Cached parameters, written by Update (names follow the "params" block).
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
  IParamBlock2* mappingBlock = nullptr;  // reference 0
  IParamBlock2* pblock = nullptr;        // reference 1
  Color color1, color2;                  // clamped to [0, 1]
  Texmap* subTex[SCRATCHES_NUM_SUBTEX] = {};
  BOOL col1mapEnabled = FALSE;
  BOOL col2mapEnabled = FALSE;
  BOOL dStrMapEnabled = FALSE;
  BOOL sizeMapEnabled = FALSE;
  BOOL spreadMapEnabled = FALSE;
  BOOL stretchMapEnabled = FALSE;
  XYZCoords coords;
  TextureOutput* texout = nullptr;  // reference 9
  Interval ivalid;                  // empty: the cached members are stale
  TexHandle* texHandle = nullptr;
  Interval texHandleValid;

  TamrelScratches();
  ~TamrelScratches() override;

  // Identity.
  void DeleteThis() override { delete this; }
  void GetClassName(MSTR& s, bool localized = true) const override;
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }
  Class_ID ClassID() override { return TAMREL_SCRATCHES_CLASS_ID; }

  // Sub-anims and parameter blocks.
  int NumSubs() override { return SCRATCHES_NUM_REFS; }
  Animatable* SubAnim(int i) override { return GetReference(i); }
  MSTR SubAnimName(int i, bool localized = true) override;
  int SubNumToRefNum(int subNum) override { return subNum; }
  int NumParamBlocks() override { return 2; }
  IParamBlock2* GetParamBlock(int i) override;
  IParamBlock2* GetParamBlockByID(BlockID id) override;

  // References.
  int NumRefs() override { return SCRATCHES_NUM_REFS; }
  RefTargetHandle GetReference(int i) override;
  RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle hTarget, PartID& partID,
                             RefMessage message, BOOL propagate) override;
  RefTargetHandle Clone(RemapDir& remap) override;
  IOResult Save(ISave* isave) override;
  IOResult Load(ILoad* iload) override;

  // Requirements of the renderer.
  ULONG LocalRequirements(int subMtlNum) override;
  void LocalMappingsRequired(int subMtlNum, BitArray& mapreq, BitArray& bumpreq) override;

  // Update cycle.
  void Update(TimeValue t, Interval& valid) override;
  void Reset() override;
  Interval Validity(TimeValue t) override;

  // Editor and viewport.
  ParamDlg* CreateParamDlg(HWND hwMtlEdit, IMtlParams* imp) override;
  // Greys out the distortion and erosion controls of the open rollout while their switch is off.
  void EnableDependentControls();
  BOOL SupportTexDisplay() override { return TRUE; }
  DWORD_PTR GetActiveTexHandle(TimeValue t, TexHandleMaker& thmaker) override;
  void ActivateTexDisplay(BOOL onoff) override;
  void GetUVTransform(Matrix3& uvtrans) override { uvtrans.IdentityMatrix(); }

  // Shading.
  AColor EvalColor(ShadeContext& sc) override;
  float EvalMono(ShadeContext& sc) override;
  Point3 EvalNormalPerturb(ShadeContext& sc) override;
  tamrel::ScratchParams GatherScratchParams(ShadeContext& sc);
  // The colour with the intensity under it and the direction of the winning strand.
  BOOL EvalBakeSample(ShadeContext& sc, TexBakeSample& out, BOOL grain) override;
  // The same for many samples: runs of neighbouring samples with the same parameters go through
  // the batch evaluation of the field.
  void EvalBakeSamples(ShadeContext* const* scs, int n, TexBakeSample* out, BOOL* hit,
                       BOOL grain) override;
  // I_TEXBAKE and TAMREL_TILEABLE_INTERFACE; null for any other id.
  void* GetInterface(ULONG id) override;
  void ApplyDistortion(ShadeContext& sc, Point3& p);

  // Tileable bakes (TileBake.cpp). While tilePattern is set, shading evaluates the repeating
  // variant of the field in its frame; it is built for a bake and reused while the frame and
  // the parameters it depends on stay the same. GetInterface (ScratchShading.cpp) hands out this
  // interface beside the baking one.
  TamrelTileReport BeginTileBake(ShadeContext& corner, ShadeContext& alongU, ShadeContext& alongV,
                                 int samplesPerEdge) override;
  void EndTileBake() override;
  const tamrel::TileablePattern* tilePattern = nullptr;
  std::shared_ptr<const tamrel::TileablePattern> tileCache;

  // Sub-maps.
  int NumSubTexmaps() override { return SCRATCHES_NUM_SUBTEX; }
  Texmap* GetSubTexmap(int i) override;
  void SetSubTexmap(int i, Texmap* m) override;
  MSTR GetSubTexmapSlotName(int i, bool localized = true) override;
  BOOL SetDlgThing(ParamDlg* dlg) override;

 protected:
  void SetReference(int i, RefTargetHandle target) override;

 private:
  // The sub-map of a slot when it is present and its switch is on.
  Texmap* UsedMap(int slot, BOOL enabled) const { return enabled ? subTex[slot] : nullptr; }
  float EffectiveSize(ShadeContext& sc);
  // The colour road of EvalColor after the cache; fills bake too when given. False when the
  // sample has no coordinates.
  bool ShadeColor(ShadeContext& sc, AColor& c, TexBakeSample* bake, bool grain = false);
  // Its two halves around the field: the point and footprint in pattern units with the
  // parameters there (false without coordinates), and the colour the field's value f gives.
  bool PatternSample(ShadeContext& sc, Point3& p, Point3& dPdx, Point3& dPdy,
                     tamrel::ScratchParams& params);
  AColor BlendColors(ShadeContext& sc, float f);
  void DiscardTexHandle();
};
