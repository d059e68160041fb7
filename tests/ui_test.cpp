// The rollouts' rules as every build runs them over the host's parameter maps: the dialog
// procedures CreateParamDlg attaches and ends, and the "Mapping" rollout's enabling, which
// follows the map type and the size lock at each update of the map (never in the change itself);
// and what the map tells hosts that build the rollouts without windows (IRolloutInfo).
#include <gtest/gtest.h>

#include "coords/MappingBlock.h"
#include "iparamm2.h"
#include "resources/resource.h"
#include "rolloutinfo.h"
#include "scenefile.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/TamrelScratches.h"
#include "ui/MappingRollout.h"
#include "ui/TamrelScratchesDlgProc.h"
#include "ui/TamrelXYZDlgProc.h"

namespace {

struct OpenMap {
  TamrelScratches* map = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  Scene holder;
  ParamDlg* dlg = nullptr;
  OpenMap() {
    holder.AddRoot(map);
    dlg = map->CreateParamDlg(nullptr, nullptr);
  }
  ~OpenMap() {
    if (dlg) dlg->DeleteThis();
  }
  void Update() {
    Interval valid = FOREVER;
    map->Update(0, valid);
  }
  IParamMap2* Params() { return map->pblock->GetMap(0); }
  IParamMap2* Mapping() { return map->mappingBlock->GetMap(0); }
};

// A dialog procedure that counts its deletion.
struct CountingProc : ParamMap2UserDlgProc {
  explicit CountingProc(int& deleted) : deleted_(deleted) {}
  INT_PTR DlgProc(TimeValue, IParamMap2*, HWND, UINT, WPARAM, LPARAM) override { return FALSE; }
  void DeleteThis() override {
    ++deleted_;
    delete this;
  }
  int& deleted_;
};

}  // namespace

TEST(DialogProcs, AttachedToBothRolloutsForTheMapBeingEdited) {
  OpenMap e;
  auto* params = dynamic_cast<TamrelScratchesDlgProc*>(GetParamsDesc()->GetUserDlgProc());
  auto* mapping = dynamic_cast<TamrelXYZDlgProc*>(GetMappingDesc()->GetUserDlgProc());
  ASSERT_NE(params, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(params->Map(), e.map);
  EXPECT_EQ(mapping->Map(), e.map);
  EXPECT_EQ(e.Params()->GetUserDlgProc(), params);
  EXPECT_EQ(e.Mapping()->GetUserDlgProc(), mapping);
  // Closing the editor ends both procedures.
  e.dlg->DeleteThis();
  e.dlg = nullptr;
  EXPECT_EQ(GetParamsDesc()->GetUserDlgProc(), nullptr);
  EXPECT_EQ(GetMappingDesc()->GetUserDlgProc(), nullptr);
}

TEST(DialogProcs, ReplacingAnOpenRolloutsProcedureEndsTheOldOne) {
  OpenMap e;
  int deleted = 0;
  auto* first = new CountingProc(deleted);
  GetMappingDesc()->SetUserDlgProc(first);
  EXPECT_EQ(e.Mapping()->GetUserDlgProc(), first);
  GetMappingDesc()->SetUserDlgProc(first);  // the same one again stays
  EXPECT_EQ(deleted, 0);
  GetMappingDesc()->SetUserDlgProc(new CountingProc(deleted));
  EXPECT_EQ(deleted, 1);
  e.dlg->DeleteThis();
  e.dlg = nullptr;
  EXPECT_EQ(deleted, 2);
}

TEST(DialogProcs, SetThingAppliesTheNewMapsEnabling) {
  OpenMap e;
  auto* proc = static_cast<TamrelScratchesDlgProc*>(GetParamsDesc()->GetUserDlgProc());
  EXPECT_FALSE(e.Params()->IsEnabled(PB_DISTORT_MAP));
  // The switch alone changes nothing until something runs the enabling step ...
  e.map->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  EXPECT_FALSE(e.Params()->IsEnabled(PB_DISTORT_MAP));
  // ... which giving the procedure its map does.
  proc->SetThing(e.map);
  EXPECT_EQ(proc->Map(), e.map);
  for (ParamID id : {PB_DISTORT_STR, PB_DISTORT_MAP, PB_DISTORT_STR_MAP, PB_DSTR_MAP_ENABLED}) {
    EXPECT_TRUE(e.Params()->IsEnabled(id)) << id;
  }
  EXPECT_FALSE(e.Params()->IsEnabled(PB_EROSION));
  EXPECT_FALSE(e.Params()->IsEnabled(PB_EROSION_DELTA));

  // The coordinates procedure only changes the map it serves.
  auto* xyz = static_cast<TamrelXYZDlgProc*>(GetMappingDesc()->GetUserDlgProc());
  xyz->SetThing(nullptr);
  EXPECT_EQ(xyz->Map(), nullptr);
}

TEST(MappingRollout, LockDisablesTheYAndZSizeAmplitudesAtTheNextUpdate) {
  OpenMap e;
  // Opening alone applies no rule: every control as the parameter map made it.
  EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Y2));
  e.Update();
  EXPECT_FALSE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Y2));
  EXPECT_FALSE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Z2));
  EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_X2));
  EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_OFFSET_Y2));

  e.map->mappingBlock->SetValue(XYZ_PB_LOCK, 0, 0);
  EXPECT_FALSE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Y2));  // not in the click itself
  e.Update();
  EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Y2));
  EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Z2));

  e.map->mappingBlock->SetValue(XYZ_PB_LOCK, 0, 1);
  e.Update();
  EXPECT_FALSE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Y2));
  EXPECT_FALSE(e.Mapping()->IsEnabled(XYZ_PB_SIZE_Z2));
}

TEST(MappingRollout, TilingListsOnlyUnderMapChannel2D) {
  OpenMap e;
  for (int type : {XYZ_MAP_CHANNEL_2D, XYZ_MAP_CHANNEL_REAL_WORLD, XYZ_MAP_OBJECT, XYZ_MAP_WORLD,
                   XYZ_MAP_SCREEN, XYZ_MAP_CHANNEL_2D}) {
    e.map->mappingBlock->SetValue(XYZ_PB_MAP, 0, type);
    e.Update();
    for (ParamID id : {XYZ_PB_TILE_X, XYZ_PB_TILE_Y, XYZ_PB_TILE_Z}) {
      EXPECT_EQ(e.Mapping()->IsEnabled(id), type == XYZ_MAP_CHANNEL_2D) << type << " " << id;
    }
    // The map type touches nothing else.
    EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_CHAN));
    EXPECT_TRUE(e.Mapping()->IsEnabled(XYZ_PB_OFFSET_X));
  }
}

TEST(MappingRollout, RulesNeedAnOpenRollout) {
  auto* m = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  Scene holder;
  holder.AddRoot(m);
  // No rollout: the refresh and the spinner set-up do nothing, and the update still reads.
  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, XYZ_MAP_SCREEN);
  Interval valid = FOREVER;
  m->Update(0, valid);
  EXPECT_EQ(m->Evaluator().Values().coords.mapType, XYZ_MAP_SCREEN);
  m->Evaluator().Values().coords.RefreshRollout(m->mappingBlock, 0);
  m->Evaluator().Values().coords.RefreshRollout(nullptr, 0);
  // A rollout without a window (this build's) takes no spinner set-up either.
  OpenMap e;
  const float before = e.map->mappingBlock->GetFloat(XYZ_PB_OFFSET_X);
  CoordSpinnerSetup setup;
  ASSERT_TRUE(CoordSpinnerFor(XYZ_PB_OFFSET_X, XYZ_MAP_OBJECT, setup));
  SetupCoordSpinner(e.Mapping(), 0, XYZ_PB_OFFSET_X, setup);
  EXPECT_EQ(e.map->mappingBlock->GetFloat(XYZ_PB_OFFSET_X), before);
  EXPECT_EQ(e.Mapping()->GetHWnd(), nullptr);
}

// ---- the rollout interface ---------------------------------------------------------------------

namespace {

IRolloutInfo* RolloutInfoOf(TamrelScratches* m) {
  return static_cast<IRolloutInfo*>(m->GetInterface(I_ROLLOUTINFO));
}

std::vector<MSTR> Texts(const std::vector<int>& ids) {
  std::vector<MSTR> texts;
  for (int id : ids) {
    const MCHAR* t = GetResString(id);
    texts.emplace_back(t ? t : _M("(none)"));
  }
  return texts;
}

// The "Mapping" block's parameters whose spinners switch units, and a few that do not.
constexpr ParamID kUnitSpinners[] = {
    XYZ_PB_OFFSET_X,  XYZ_PB_OFFSET_Y,  XYZ_PB_OFFSET_Z,  XYZ_PB_SIZE_X,  XYZ_PB_SIZE_Y,
    XYZ_PB_SIZE_Z,    XYZ_PB_OFFSET_X2, XYZ_PB_OFFSET_Y2, XYZ_PB_OFFSET_Z2, XYZ_PB_SIZE_X2,
    XYZ_PB_SIZE_Y2,   XYZ_PB_SIZE_Z2};
constexpr ParamID kPlainSpinners[] = {XYZ_PB_MAP,      XYZ_PB_CHAN,     XYZ_PB_ANGLE_X,
                                      XYZ_PB_ANGLE_Z,  XYZ_PB_ANGLE_X2, XYZ_PB_ANGLE_Z2,
                                      XYZ_PB_TILE_X,   XYZ_PB_SEED,     XYZ_PB_LOCK};

}  // namespace

TEST(RolloutInfo, OfferedByTheMapBesideItsBakingInterfaces) {
  OpenMap e;
  IRolloutInfo* info = RolloutInfoOf(e.map);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(static_cast<void*>(info), static_cast<void*>(static_cast<IRolloutInfo*>(e.map)));
  EXPECT_NE(static_cast<void*>(info), e.map->GetInterface(I_TEXBAKE));
  EXPECT_NE(static_cast<void*>(info), e.map->GetInterface(TAMREL_TILEABLE_INTERFACE));
  EXPECT_EQ(e.map->GetInterface(I_ROLLOUTINFO + 1), nullptr);
}

TEST(RolloutInfo, ListItemsAreTheProceduresStringsInTheOrderOfTheStoredValues) {
  OpenMap e;
  IRolloutInfo* info = RolloutInfoOf(e.map);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->DialogListItems(IDD_PARAMS, IDC_PARAMS_TYPE),
            (std::vector<int>{IDS_TYPE_2D, IDS_TYPE_3D}));
  EXPECT_EQ(Texts(info->DialogListItems(101, 1001)), (std::vector<MSTR>{_M("2D"), _M("3D")}));

  const std::vector<int> mapTypes = info->DialogListItems(IDD_MAPPING, IDC_XYZ_MAP);
  EXPECT_EQ(mapTypes, (std::vector<int>{9, 10, 11, 12, 13}));
  EXPECT_EQ(Texts(mapTypes),
            (std::vector<MSTR>{_M("Explicit Map Channel 2D"), _M("Explicit map Channel Real World"),
                               _M("Object XYZ"), _M("World XYZ"), _M("Screen")}));
  // The positions are XYZMapType's values.
  ASSERT_EQ(mapTypes.size(), 5u);
  EXPECT_EQ(mapTypes[XYZ_MAP_CHANNEL_2D], IDS_MAP_CHANNEL_2D);
  EXPECT_EQ(mapTypes[XYZ_MAP_OBJECT], IDS_OBJECT_XYZ);
  EXPECT_EQ(mapTypes[XYZ_MAP_SCREEN], IDS_SCREEN);

  for (int list : {IDC_XYZ_TILE_X, IDC_XYZ_TILE_Y, IDC_XYZ_TILE_Z}) {
    const std::vector<int> tiling = info->DialogListItems(IDD_MAPPING, list);
    EXPECT_EQ(tiling, (std::vector<int>{14, 15, 16, 17, 18})) << list;
    EXPECT_EQ(Texts(tiling), (std::vector<MSTR>{_M("Continue"), _M("Stretch"), _M("Tile"),
                                                _M("Mirror"), _M("None")}))
        << list;
    ASSERT_EQ(tiling.size(), 5u);
    EXPECT_EQ(tiling[XYZ_TILE_MIRROR], IDS_TILE_MIRROR);
    EXPECT_EQ(tiling[XYZ_TILE_NONE], IDS_TILE_NONE);
  }

  // Only those five: the same control ids of the other template, the templates' other lists and
  // controls the procedures leave alone have none.
  EXPECT_TRUE(info->DialogListItems(IDD_PARAMS, IDC_XYZ_TILE_X).empty());
  EXPECT_TRUE(info->DialogListItems(IDD_PARAMS, IDC_PARAMS_HOMEPAGE).empty());
  EXPECT_TRUE(info->DialogListItems(IDD_MAPPING, 1002).empty());
  EXPECT_TRUE(info->DialogListItems(IDD_MAPPING, IDC_XYZ_LOCK).empty());
  EXPECT_TRUE(info->DialogListItems(103, 1001).empty());
  EXPECT_TRUE(info->DialogListItems(0, 0).empty());
}

TEST(RolloutInfo, TheLockIsTheOnlyButtonTheProceduresCaption) {
  OpenMap e;
  IRolloutInfo* info = RolloutInfoOf(e.map);
  ASSERT_NE(info, nullptr);
  const MCHAR* lock = info->DialogButtonCaption(IDD_MAPPING, IDC_XYZ_LOCK);
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(MSTR(lock), MSTR(_M("L")));
  // The "Parameters" template's control 1023 is a colour swatch; "Homepage" keeps its template
  // caption; a list gets items, not a caption.
  EXPECT_EQ(info->DialogButtonCaption(IDD_PARAMS, IDC_XYZ_LOCK), nullptr);
  EXPECT_EQ(info->DialogButtonCaption(IDD_PARAMS, IDC_PARAMS_HOMEPAGE), nullptr);
  EXPECT_EQ(info->DialogButtonCaption(IDD_MAPPING, IDC_XYZ_MAP), nullptr);
  EXPECT_EQ(info->DialogButtonCaption(IDD_MAPPING, IDC_XYZ_LOCK + 1), nullptr);
}

TEST(RolloutInfo, UnitSpinnersAreTheMappingBlocksOffsetsSizesAndTheirAmplitudes) {
  OpenMap e;
  IRolloutInfo* info = RolloutInfoOf(e.map);
  ASSERT_NE(info, nullptr);
  for (ParamID id : kUnitSpinners) {
    EXPECT_TRUE(info->IsUnitSpinner(MAPPING_BLOCK_ID, id)) << id;
    EXPECT_TRUE(IsCoordSpinner(id)) << id;
    // The same parameter ids of the "params" block are other parameters.
    EXPECT_FALSE(info->IsUnitSpinner(PARAMS_BLOCK_ID, id)) << id;
  }
  for (ParamID id : kPlainSpinners) {
    EXPECT_FALSE(info->IsUnitSpinner(MAPPING_BLOCK_ID, id)) << id;
    EXPECT_FALSE(IsCoordSpinner(id)) << id;
  }
  int count = 0;
  for (ParamID id = 0; id < 64; ++id) count += info->IsUnitSpinner(MAPPING_BLOCK_ID, id) ? 1 : 0;
  EXPECT_EQ(count, 12);
  EXPECT_FALSE(info->IsUnitSpinner(PARAMS_BLOCK_ID, PB_SIZE));
  EXPECT_FALSE(info->IsUnitSpinner(7, XYZ_PB_OFFSET_X));
}

TEST(RolloutInfo, SceneUnitsFollowTheMapTypeOfTheLastUpdate) {
  OpenMap e;
  IRolloutInfo* info = RolloutInfoOf(e.map);
  ASSERT_NE(info, nullptr);
  // A new map is Object XYZ: scene units before its first update too.
  EXPECT_TRUE(info->InSceneUnits(MAPPING_BLOCK_ID, XYZ_PB_OFFSET_X));

  // Map channel 2D and screen are plain numbers; any type the list does not offer measures in
  // scene units, as RefreshRollout sets the spinners up for it.
  const struct {
    int type;
    bool scene;
  } cases[] = {{XYZ_MAP_CHANNEL_2D, false}, {XYZ_MAP_CHANNEL_REAL_WORLD, true},
               {XYZ_MAP_OBJECT, true},      {XYZ_MAP_WORLD, true},
               {XYZ_MAP_SCREEN, false},     {7, true},
               {-1, true},                  {XYZ_MAP_CHANNEL_2D, false}};
  for (const auto& c : cases) {
    ASSERT_TRUE(e.map->mappingBlock->SetValue(XYZ_PB_MAP, 0, c.type));
    e.Update();
    ASSERT_EQ(e.map->Evaluator().Values().coords.mapType, c.type);
    EXPECT_EQ(CoordSpinnersInSceneUnits(c.type), c.scene) << c.type;
    for (ParamID id : kUnitSpinners) {
      EXPECT_EQ(info->InSceneUnits(MAPPING_BLOCK_ID, id), c.scene ? TRUE : FALSE)
          << c.type << " " << id;
      EXPECT_FALSE(info->InSceneUnits(PARAMS_BLOCK_ID, id)) << c.type << " " << id;
    }
    // Spinners that never switch are never in scene units, and RefreshRollout sets none up.
    for (ParamID id : kPlainSpinners) {
      EXPECT_FALSE(info->InSceneUnits(MAPPING_BLOCK_ID, id)) << c.type << " " << id;
      CoordSpinnerSetup untouched;
      untouched.edit = -7;
      EXPECT_FALSE(CoordSpinnerFor(id, c.type, untouched)) << c.type << " " << id;
      EXPECT_EQ(untouched.edit, -7) << c.type << " " << id;
    }
    // The set-up RefreshRollout gives each spinner: the controls the descriptor binds to the
    // parameter, the descriptor's upper limit, and below only the offsets themselves take
    // negative values (their descriptor range starts at -1000000; sizes at 0.0001, amplitudes at
    // 0), in scene units exactly when the map type measures in them.
    const ParamBlockDesc2* desc = e.map->mappingBlock->GetDesc();
    for (ParamID id : kUnitSpinners) {
      const ParamDef* def = desc->FindParamDef(id);
      ASSERT_NE(def, nullptr) << id;
      ASSERT_EQ(def->ctrl_IDs.size(), 2u) << id;
      CoordSpinnerSetup s;
      ASSERT_TRUE(CoordSpinnerFor(id, c.type, s)) << c.type << " " << id;
      EXPECT_EQ(s.edit, def->ctrl_IDs[0]) << id;
      EXPECT_EQ(s.spin, def->ctrl_IDs[1]) << id;
      const bool offset = id == XYZ_PB_OFFSET_X || id == XYZ_PB_OFFSET_Y || id == XYZ_PB_OFFSET_Z;
      EXPECT_EQ(s.low, offset ? -1000000.0f : 0.0f) << id;
      EXPECT_EQ(s.low < 0.0f, def->range_low.f < 0.0f) << id;
      EXPECT_EQ(s.high, 1000000.0f) << id;
      EXPECT_EQ(s.high, def->range_high.f) << id;
      EXPECT_EQ(s.scale, 0.1f) << id;
      EXPECT_EQ(s.universe, c.scene) << c.type << " " << id;
    }
  }

  // The answer is the update's, not the block's: a new type counts from the next update on.
  ASSERT_TRUE(e.map->mappingBlock->SetValue(XYZ_PB_MAP, 0, XYZ_MAP_WORLD));
  EXPECT_FALSE(info->InSceneUnits(MAPPING_BLOCK_ID, XYZ_PB_SIZE_X));
  e.Update();
  EXPECT_TRUE(info->InSceneUnits(MAPPING_BLOCK_ID, XYZ_PB_SIZE_X));
}
