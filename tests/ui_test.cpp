// The rollouts' rules as every build runs them over the host's parameter maps: the dialog
// procedures CreateParamDlg attaches and ends, and the "Mapping" rollout's enabling, which
// follows the map type and the size lock at each update of the map (never in the change itself).
#include <gtest/gtest.h>

#include "coords/MappingBlock.h"
#include "iparamm2.h"
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
  SetupCoordSpinner(e.Mapping(), 0, XYZ_PB_OFFSET_X, 1491, 1497, true, true);
  EXPECT_EQ(e.map->mappingBlock->GetFloat(XYZ_PB_OFFSET_X), before);
  EXPECT_EQ(e.Mapping()->GetHWnd(), nullptr);
}
