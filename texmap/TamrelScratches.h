// TamrelScratches: the scratches texture map. It owns the "Mapping" and "params" blocks, seven
// sub-maps and an output stage. Update reads every parameter into a new ScratchEvaluator and
// swaps it in; the shading evaluations and the baking interfaces only read the current one, so
// they can run on any number of render threads between two updates, and editing a parameter or
// the editor's rollouts changes nothing they see until the next Update.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "coords/XYZCoords.h"
#include "imtl.h"
#include "iparamb2.h"
#include "iparamm2.h"
#include "pattern/ScratchParams.h"
#include "pattern/TileableField.h"
#include "rolloutinfo.h"
#include "texbake.h"
#include "texmap/ParamsBlock.h"
#include "texmap/ScratchEvaluator.h"
#include "texout.h"
#include "textile.h"

inline constexpr Class_ID TAMREL_SCRATCHES_CLASS_ID(0x8DB6A691, 0x8D486002);

class TamrelScratches : public Texmap,
                        public ITexBake,
                        public ITamrelTileable,
                        public IRolloutInfo {
 public:
  IParamBlock2* mappingBlock = nullptr;  // reference 0
  IParamBlock2* pblock = nullptr;        // reference 1

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

  // Update cycle. Update builds a new evaluator from the blocks and swaps it in when the last one
  // is stale at t; it never runs while the map is being shaded.
  void Update(TimeValue t, Interval& valid) override;
  void Reset() override;
  Interval Validity(TimeValue t) override;
  // What shading reads: the evaluator of the last Update (of a new map, its reset-time defaults
  // until then). The reference stays valid until the next Update, Reset, tile bracket or
  // reference change.
  const ScratchEvaluator& Evaluator() const { return *eval_; }
  // The times for which the evaluator holds; empty once a parameter or sub-map has changed.
  const Interval& EvaluatorValidity() const { return ivalid; }
  TextureOutput* Output() const { return texout; }

  // Editor and viewport.
  ParamDlg* CreateParamDlg(HWND hwMtlEdit, IMtlParams* imp) override;
  // Greys out the distortion and erosion controls of the open rollout while their switch is off.
  // Reads the switches from the block; the evaluator is not touched.
  void EnableDependentControls() const;
  BOOL SupportTexDisplay() override { return TRUE; }
  DWORD_PTR GetActiveTexHandle(TimeValue t, TexHandleMaker& thmaker) override;
  void ActivateTexDisplay(BOOL onoff) override;
  void GetUVTransform(Matrix3& uvtrans) override { uvtrans.IdentityMatrix(); }

  // Shading, through the current evaluator (ScratchShading.cpp).
  AColor EvalColor(ShadeContext& sc) override;
  float EvalMono(ShadeContext& sc) override;
  Point3 EvalNormalPerturb(ShadeContext& sc) override;
  // The colour with the intensity under it and the direction of the winning strand.
  BOOL EvalBakeSample(ShadeContext& sc, TexBakeSample& out, BOOL grain) override;
  // The same for many samples: runs of neighbouring samples with the same parameters go through
  // the batch evaluation of the field.
  void EvalBakeSamples(ShadeContext* const* scs, int n, TexBakeSample* out, BOOL* hit,
                       BOOL grain) override;
  // The same for a run given as arrays: coordinates, field and colours a run at a time, without
  // shade contexts, whenever no sub-map is in use.
  void EvalBakeRun(const TexBakeRun& run, TexBakeSample* out, BOOL* hit, BOOL grain) override;
  // I_TEXBAKE, TAMREL_TILEABLE_INTERFACE and I_ROLLOUTINFO; null for any other id.
  void* GetInterface(ULONG id) override;

  // Tileable bakes (TileBake.cpp). BeginTileBake swaps in an evaluator that holds the repeating
  // variant of the field in the tile's frame, EndTileBake one without it; later updates keep the
  // bracket's field until it ends. The field is built for a bake and reused while the frame and
  // the parameters it depends on stay the same.
  TamrelTileReport BeginTileBake(ShadeContext& corner, ShadeContext& alongU, ShadeContext& alongV,
                                 int samplesPerEdge) override;
  void EndTileBake() override;
  // The parameter names come from the blocks' descriptors.
  std::string DescribeTileRefusal(const TamrelTileReport& report) override;

  // The rollouts for hosts without windows (RolloutInfo.cpp): the dialog procedures' own tables
  // and the "Mapping" rollout's unit rule, applied to the map type of the evaluator.
  std::vector<int> DialogListItems(int dialog, int control) override;
  const MCHAR* DialogButtonCaption(int dialog, int control) override;
  BOOL IsUnitSpinner(BlockID block, ParamID id) override;
  BOOL InSceneUnits(BlockID block, ParamID id) override;

  // Sub-maps.
  int NumSubTexmaps() override { return SCRATCHES_NUM_SUBTEX; }
  Texmap* GetSubTexmap(int i) override;
  void SetSubTexmap(int i, Texmap* m) override;
  MSTR GetSubTexmapSlotName(int i, bool localized = true) override;
  BOOL SetDlgThing(ParamDlg* dlg) override;

 protected:
  void SetReference(int i, RefTargetHandle target) override;

 private:
  // The current references as the evaluator holds them.
  ScratchLinks Links() const;
  // Swaps in an evaluator of the given values and tile field over the current references.
  void Install(const ScratchValues& values,
               std::shared_ptr<const tamrel::TileablePattern> tile);
  void DiscardTexHandle();

  Texmap* subTex[SCRATCHES_NUM_SUBTEX] = {};  // references 2 .. 8
  TextureOutput* texout = nullptr;            // reference 9
  std::unique_ptr<const ScratchEvaluator> eval_;
  Interval ivalid;  // empty: the evaluator is stale
  // The last tile bake's field, kept for the next bake of the same tile.
  std::shared_ptr<const tamrel::TileablePattern> tileCache_;
  TexHandle* texHandle = nullptr;
  Interval texHandleValid;
};
