// The texture map object: references, update cycle, reset, cloning, storage and the editor hooks.
// The shading evaluations are in ScratchShading.cpp, over the evaluator of ScratchEvaluator.cpp.
#include "texmap/TamrelScratches.h"

#include <utility>

#include "coords/MappingBlock.h"
#include "maxapi.h"
#include "resources/resource.h"
#include "texmap/ScratchesClassDesc.h"
#include "ui/TamrelScratchesDlgProc.h"
#include "ui/TamrelXYZDlgProc.h"

namespace {

constexpr USHORT kMtlHeaderChunk = 0x4000;

// The "params" parameter holding each sub-texmap slot, for redrawing its map button.
constexpr ParamID kSlotParam[SCRATCHES_NUM_SUBTEX] = {PB_COLOR1_MAP,  PB_COLOR2_MAP, PB_SIZE_MAP,
                                                      PB_SPREAD_MAP,  PB_STRETCH_MAP,
                                                      PB_DISTORT_MAP, PB_DISTORT_STR_MAP};
constexpr int kSlotName[SCRATCHES_NUM_SUBTEX] = {IDS_COLOR1_MAP,  IDS_COLOR2_MAP, IDS_SIZE_MAP,
                                                 IDS_SPREAD_MAP,  IDS_STRETCH_MAP,
                                                 IDS_DISTORTION_MAP, IDS_DISTORTION_STRENGTH_MAP};

// The Output rollout of the most recent editor opening, shared by every map of the library.
ParamDlg* texoutDlg = nullptr;

MSTR ResText(int id) {
  const MCHAR* s = GetResString(id);
  return s ? MSTR(s) : MSTR();
}

}  // namespace

TamrelScratches::TamrelScratches() {
  // The blocks and the output stage attach through SetReference, which keeps the evaluator on
  // the current references, so there is one from the start.
  eval_ = std::make_unique<const ScratchEvaluator>(ScratchValues(), ScratchLinks());
  ivalid.SetEmpty();
  texHandleValid.SetEmpty();
  GetTamrelScratchesDesc()->MakeAutoParamBlocks(this);
  Reset();
}

TamrelScratches::~TamrelScratches() { DiscardTexHandle(); }

void TamrelScratches::GetClassName(MSTR& s, bool) const { s = ResText(IDS_CLASS_NAME); }

MSTR TamrelScratches::SubAnimName(int i, bool) {
  switch (i) {
    case SCRATCHES_REF_COORDS:
      return ResText(IDS_COORDINATES);
    case SCRATCHES_REF_PARAMS:
      return ResText(IDS_PARAMS);
    case SCRATCHES_REF_OUTPUT:
      return ResText(IDS_OUTPUT);
    default:
      return GetSubTexmapTVName(i - kFirstSubTexRef);
  }
}

IParamBlock2* TamrelScratches::GetParamBlock(int i) {
  switch (i) {
    case 0:
      return pblock;
    case 1:
      return mappingBlock;
    default:
      return nullptr;
  }
}

IParamBlock2* TamrelScratches::GetParamBlockByID(BlockID id) {
  if (pblock && pblock->ID() == id) return pblock;
  if (mappingBlock && mappingBlock->ID() == id) return mappingBlock;
  return nullptr;
}

RefTargetHandle TamrelScratches::GetReference(int i) {
  switch (i) {
    case SCRATCHES_REF_COORDS:
      return mappingBlock;
    case SCRATCHES_REF_PARAMS:
      return pblock;
    case SCRATCHES_REF_OUTPUT:
      return texout;
    default:
      return i >= SCRATCHES_REF_COLOR1_MAP && i <= SCRATCHES_REF_DISTORT_STR_MAP ? subTex[i - kFirstSubTexRef]
                                                                                   : nullptr;
  }
}

void TamrelScratches::SetReference(int i, RefTargetHandle target) {
  switch (i) {
    case SCRATCHES_REF_COORDS:
      mappingBlock = static_cast<IParamBlock2*>(target);
      break;
    case SCRATCHES_REF_PARAMS:
      pblock = static_cast<IParamBlock2*>(target);
      break;
    case SCRATCHES_REF_OUTPUT:
      // Nothing but the class tells an output stage from another target in this slot.
      texout = dynamic_cast<TextureOutput*>(target);
      break;
    default:
      if (i >= SCRATCHES_REF_COLOR1_MAP && i <= SCRATCHES_REF_DISTORT_STR_MAP) {
        subTex[i - kFirstSubTexRef] = static_cast<Texmap*>(target);
      }
      break;
  }
  // The target this reference let go of may be deleted right after, so the evaluator moves on to
  // the new one at once; its values stay those of the last Update.
  if (i >= SCRATCHES_REF_COLOR1_MAP && i <= SCRATCHES_REF_OUTPUT && eval_) {
    Install(eval_->Values(), eval_->SharedTile());
  }
}

ScratchLinks TamrelScratches::Links() const {
  ScratchLinks links;
  for (int k = 0; k < SCRATCHES_NUM_SUBTEX; ++k) links.subTex[k] = subTex[k];
  links.texout = texout;
  return links;
}

void TamrelScratches::Install(const ScratchValues& values,
                              std::shared_ptr<const tamrel::TileablePattern> tile) {
  // Built before the old one goes, which values may belong to.
  auto next = std::make_unique<const ScratchEvaluator>(values, Links(), std::move(tile));
  eval_ = std::move(next);
}

Texmap* TamrelScratches::GetSubTexmap(int i) {
  return i >= 0 && i < SCRATCHES_NUM_SUBTEX ? subTex[i] : nullptr;
}

void TamrelScratches::SetSubTexmap(int i, Texmap* m) {
  if (i < 0 || i >= SCRATCHES_NUM_SUBTEX) return;
  ReplaceReference(i + kFirstSubTexRef, m);
  GetTamrelScratchesDesc()->InvalidateUI(GetParamsDesc(), kSlotParam[i]);
  ivalid.SetEmpty();
}

MSTR TamrelScratches::GetSubTexmapSlotName(int i, bool) {
  return i >= 0 && i < SCRATCHES_NUM_SUBTEX ? ResText(kSlotName[i]) : MSTR();
}

BOOL TamrelScratches::SetDlgThing(ParamDlg* dlg) {
  if (texoutDlg && dlg == texoutDlg) {
    texoutDlg->SetThing(texout);
    return TRUE;
  }
  return FALSE;
}

ULONG TamrelScratches::LocalRequirements(int) {
  const XYZCoords& coords = eval_->Values().coords;
  const bool channel =
      coords.mapType == XYZ_MAP_CHANNEL_2D || coords.mapType == XYZ_MAP_CHANNEL_REAL_WORLD;
  return channel ? MTLREQ_UV : 0;
}

void TamrelScratches::LocalMappingsRequired(int, BitArray& mapreq, BitArray&) {
  const XYZCoords& coords = eval_->Values().coords;
  if (coords.mapType == XYZ_MAP_CHANNEL_2D || coords.mapType == XYZ_MAP_CHANNEL_REAL_WORLD) {
    mapreq.Set(coords.channel);
  }
}

void TamrelScratches::Reset() {
  const TimeValue t = GetCOREInterface()->GetTime();
  if (texout) {
    texout->Reset();
  } else {
    ReplaceReference(SCRATCHES_REF_OUTPUT, GetNewDefaultTextureOutput());
  }
  for (int i = SCRATCHES_REF_COLOR1_MAP; i <= SCRATCHES_REF_DISTORT_STR_MAP; ++i) {
    DeleteReference(i);
  }
  if (!pblock) return;

  // A new map's values; size, erosion, type and levels differ from the declared defaults.
  pblock->SetValue(PB_COLOR1, t, Color(0.0f, 0.0f, 0.0f));
  pblock->SetValue(PB_COLOR2, t, Color(1.0f, 1.0f, 1.0f));
  pblock->SetValue(PB_COL1_MAP_ENABLED, t, 1);
  pblock->SetValue(PB_COL2_MAP_ENABLED, t, 1);
  pblock->SetValue(PB_SIZE, t, 10.0f);
  pblock->SetValue(PB_THRESHOLD_LOW, t, 0.0f);
  pblock->SetValue(PB_THRESHOLD_HIGH, t, 1.0f);
  pblock->SetValue(PB_SIZE_MAP_ENABLED, t, 1);
  pblock->SetValue(PB_SPREAD_MAP_ENABLED, t, 1);
  pblock->SetValue(PB_STRETCH_MAP_ENABLED, t, 1);
  pblock->SetValue(PB_STRETCH, t, 10.0f);
  pblock->SetValue(PB_EROSION, t, 0.5f);
  pblock->SetValue(PB_EROSION_DELTA, t, 1.0f);
  pblock->SetValue(PB_SPREAD, t, 0.8f);
  pblock->SetValue(PB_TYPE, t, 1);
  pblock->SetValue(PB_LEVELS, t, 6);
  pblock->SetValue(PB_DSTR_MAP_ENABLED, t, 1);
  pblock->SetValue(PB_DISTORT_STR, t, 0.1f);
  pblock->SetValue(PB_USE_DISTORTION, t, 0);
  pblock->SetValue(PB_USE_EROSION, t, 0);
  pblock->SetValue(PB_BUMP_DELTA, t, 0.001f);

  if (mappingBlock) {
    for (ParamID id : {XYZ_PB_OFFSET_X, XYZ_PB_OFFSET_Y, XYZ_PB_OFFSET_Z}) {
      mappingBlock->SetValue(id, t, 0.0f);
    }
    for (ParamID id : {XYZ_PB_SIZE_X, XYZ_PB_SIZE_Y, XYZ_PB_SIZE_Z}) {
      mappingBlock->SetValue(id, t, 1.0f);
    }
    for (ParamID id : {XYZ_PB_ANGLE_X, XYZ_PB_ANGLE_Y, XYZ_PB_ANGLE_Z, XYZ_PB_OFFSET_X2,
                       XYZ_PB_OFFSET_Y2, XYZ_PB_OFFSET_Z2, XYZ_PB_SIZE_X2, XYZ_PB_SIZE_Y2,
                       XYZ_PB_SIZE_Z2, XYZ_PB_ANGLE_X2, XYZ_PB_ANGLE_Y2, XYZ_PB_ANGLE_Z2}) {
      mappingBlock->SetValue(id, t, 0.0f);
    }
    for (ParamID id : {XYZ_PB_TILE_X, XYZ_PB_TILE_Y, XYZ_PB_TILE_Z}) {
      mappingBlock->SetValue(id, t, 0);
    }
    mappingBlock->SetValue(XYZ_PB_SEED, t, 12345);
    mappingBlock->SetValue(XYZ_PB_RAND_BY_OBJ, t, 1);
    mappingBlock->SetValue(XYZ_PB_RAND_BY_MAT, t, 0);
    mappingBlock->SetValue(XYZ_PB_MAP, t, static_cast<int>(XYZ_MAP_OBJECT));
    mappingBlock->SetValue(XYZ_PB_CHAN, t, 1);
    mappingBlock->SetValue(XYZ_PB_LOCK, t, 1);
  }
  ivalid.SetEmpty();
}

void TamrelScratches::Update(TimeValue t, Interval& valid) {
  if (!pblock) return;
  if (!ivalid.InInterval(t)) {
    ivalid = FOREVER;
    // Starts from the last values: without a "Mapping" block the coordinates stay as they were.
    ScratchValues v = eval_->Values();
    if (texout) texout->Update(t, ivalid);
    pblock->GetValue(PB_COLOR1, t, v.color1, ivalid);
    v.color1.ClampMinMax();
    pblock->GetValue(PB_COLOR2, t, v.color2, ivalid);
    v.color2.ClampMinMax();
    for (Texmap* m : subTex) {
      if (m) m->Update(t, ivalid);
    }
    pblock->GetValue(PB_COL1_MAP_ENABLED, t, v.col1mapEnabled, ivalid);
    pblock->GetValue(PB_COL2_MAP_ENABLED, t, v.col2mapEnabled, ivalid);
    pblock->GetValue(PB_SIZE, t, v.size, ivalid);
    pblock->GetValue(PB_THRESHOLD_HIGH, t, v.thresholdHigh, ivalid);
    pblock->GetValue(PB_THRESHOLD_LOW, t, v.thresholdLow, ivalid);
    pblock->GetValue(PB_SIZE_MAP_ENABLED, t, v.sizeMapEnabled, ivalid);
    pblock->GetValue(PB_SPREAD_MAP_ENABLED, t, v.spreadMapEnabled, ivalid);
    pblock->GetValue(PB_STRETCH_MAP_ENABLED, t, v.stretchMapEnabled, ivalid);
    pblock->GetValue(PB_STRETCH, t, v.stretch, ivalid);
    pblock->GetValue(PB_SPREAD, t, v.spread, ivalid);
    pblock->GetValue(PB_TYPE, t, v.type, ivalid);
    pblock->GetValue(PB_LEVELS, t, v.levels, ivalid);
    pblock->GetValue(PB_USE_EROSION, t, v.useErosion, ivalid);
    pblock->GetValue(PB_EROSION, t, v.erosion, ivalid);
    pblock->GetValue(PB_EROSION_DELTA, t, v.erosionDelta, ivalid);
    pblock->GetValue(PB_BUMP_DELTA, t, v.bumpDelta, ivalid);
    pblock->GetValue(PB_DISTORT_STR, t, v.distortStr, ivalid);
    pblock->GetValue(PB_USE_DISTORTION, t, v.useDistortion, ivalid);
    pblock->GetValue(PB_DSTR_MAP_ENABLED, t, v.dStrMapEnabled, ivalid);

    if (v.thresholdLow > v.thresholdHigh) std::swap(v.thresholdLow, v.thresholdHigh);
    // A size of 0 (the block allows it) would make the erosion noise divide by zero; it gets
    // the same substitute the shading uses for the size itself.
    v.sizeDiv20 = (v.size == 0.0f ? kZeroSizeSubstitute : v.size) / 20.0f;
    EnableDependentControls();
    v.coords.UpdateFromBlock(mappingBlock, t, ivalid);
    // A tile bake in progress keeps its field across the update.
    Install(v, eval_->SharedTile());
  }
  valid &= ivalid;
}

Interval TamrelScratches::Validity(TimeValue t) {
  Interval scratch = FOREVER;
  Update(t, scratch);
  return ivalid;
}

void TamrelScratches::EnableDependentControls() const {
  if (!pblock) return;
  IParamMap2* map = pblock->GetMap(0);
  if (!map) return;
  // The switches are read at time 0, whatever time the editor shows. They are the rollout's
  // own: the editor may run beside a render, and what is shaded changes only in Update.
  Interval dummy = FOREVER;
  BOOL useDistortion = FALSE, useErosion = FALSE;
  pblock->GetValue(PB_USE_DISTORTION, 0, useDistortion, dummy);
  pblock->GetValue(PB_USE_EROSION, 0, useErosion, dummy);
  for (ParamID id : {PB_DISTORT_STR, PB_DISTORT_MAP, PB_DISTORT_STR_MAP, PB_DSTR_MAP_ENABLED}) {
    map->Enable(id, useDistortion != 0);
  }
  for (ParamID id : {PB_EROSION, PB_EROSION_DELTA}) map->Enable(id, useErosion != 0);
}

RefResult TamrelScratches::NotifyRefChanged(const Interval&, RefTargetHandle hTarget, PartID&,
                                            RefMessage message, BOOL) {
  if (message != REFMSG_CHANGE) return REF_SUCCEED;
  ivalid.SetEmpty();
  ParamBlockDesc2* desc = nullptr;
  IParamBlock2* block = nullptr;
  if (hTarget == pblock && pblock) {
    block = pblock;
    desc = GetParamsDesc();
  } else if (hTarget == mappingBlock && mappingBlock) {
    block = mappingBlock;
    desc = GetMappingDesc();
  }
  if (block) {
    const ParamID id = block->LastNotifyParamID();
    GetTamrelScratchesDesc()->InvalidateUI(desc, id, -1);
    if (id != -1) DiscardTexHandle();
  }
  return REF_SUCCEED;
}

RefTargetHandle TamrelScratches::Clone(RemapDir& remap) {
  auto* m = new TamrelScratches();
  *static_cast<MtlBase*>(m) = *static_cast<MtlBase*>(this);
  m->ReplaceReference(SCRATCHES_REF_COORDS, remap.CloneRef(mappingBlock));
  m->ReplaceReference(SCRATCHES_REF_OUTPUT, remap.CloneRef(texout));
  m->ReplaceReference(SCRATCHES_REF_PARAMS, remap.CloneRef(pblock));
  m->ivalid.SetEmpty();
  // The new map was reset, so its slots are empty; only filled slots are cloned into it.
  for (int k = 0; k < SCRATCHES_NUM_SUBTEX; ++k) {
    if (subTex[k]) m->ReplaceReference(k + kFirstSubTexRef, remap.CloneRef(subTex[k]));
  }
  // Until its first update the clone shades with this map's values over its own references;
  // a tile bake stays with this map.
  m->Install(eval_->Values(), nullptr);
  BaseClone(this, m, remap);
  return m;
}

IOResult TamrelScratches::Save(ISave* isave) {
  isave->BeginChunk(kMtlHeaderChunk);
  const IOResult res = MtlBase::Save(isave);
  if (res != IO_OK) return res;
  isave->EndChunk();
  return IO_OK;
}

IOResult TamrelScratches::Load(ILoad* iload) {
  IOResult res = IO_OK;
  IOResult open;
  while ((open = iload->OpenChunk()) == IO_OK) {
    if (iload->CurChunkID() == kMtlHeaderChunk) res = MtlBase::Load(iload);
    if (iload->CloseChunk() != IO_OK && res == IO_OK) res = IO_ERROR;
    if (res != IO_OK) return res;
  }
  // The end of the object's chunks is success; a chunk that cannot be opened is a corrupt file.
  return open == IO_END ? IO_OK : IO_ERROR;
}

ParamDlg* TamrelScratches::CreateParamDlg(HWND hwMtlEdit, IMtlParams* imp) {
  IAutoMParamDlg* master = GetTamrelScratchesDesc()->CreateParamDlgs(hwMtlEdit, imp, this);
  texoutDlg = texout ? texout->CreateParamDlg(hwMtlEdit, imp) : nullptr;
  master->AddDlg(texoutDlg);
  GetParamsDesc()->SetUserDlgProc(new TamrelScratchesDlgProc(this));
  GetMappingDesc()->SetUserDlgProc(new TamrelXYZDlgProc(this));
  EnableDependentControls();
  return master;
}

void TamrelScratches::DiscardTexHandle() {
  if (texHandle) {
    texHandle->DeleteThis();
    texHandle = nullptr;
  }
}

DWORD_PTR TamrelScratches::GetActiveTexHandle(TimeValue t, TexHandleMaker& thmaker) {
  if (texHandle && texHandleValid.InInterval(t)) return texHandle->GetHandle();
  DiscardTexHandle();
  texHandleValid = FOREVER;
  BITMAPINFO* bmi = GetVPDisplayDIB(t, thmaker, texHandleValid, FALSE, 0, 0);
  texHandle = thmaker.MakeHandle(bmi);
  return texHandle ? texHandle->GetHandle() : 0;
}

void TamrelScratches::ActivateTexDisplay(BOOL onoff) {
  if (!onoff) DiscardTexHandle();
}
