// The "Mapping" rollout's dialog procedure.
#include "ui/TamrelXYZDlgProc.h"

#include "coords/MappingBlock.h"
#include "custcont.h"
#include "resources/resource.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/TamrelScratches.h"

void TamrelXYZDlgProc::SetThing(ReferenceTarget* m) {
  map_ = static_cast<TamrelScratches*>(m);
}

#ifdef _WIN32
namespace {

// Selects in each list the entry whose position is the stored value.
void SelectLists(IParamBlock2* block, TimeValue t, HWND hWnd) {
  const struct {
    int ctrl;
    ParamID id;
  } lists[] = {{IDC_XYZ_MAP, XYZ_PB_MAP},
               {IDC_XYZ_TILE_X, XYZ_PB_TILE_X},
               {IDC_XYZ_TILE_Y, XYZ_PB_TILE_Y},
               {IDC_XYZ_TILE_Z, XYZ_PB_TILE_Z}};
  for (const auto& l : lists) {
    int v = 0;
    Interval valid = FOREVER;
    block->GetValue(l.id, t, v, valid);
    SendMessageW(GetDlgItem(hWnd, l.ctrl), CB_SETCURSEL, static_cast<WPARAM>(v), 0);
  }
}

void AddItems(HWND list, int firstID, int lastID) {
  for (int id = firstID; id <= lastID; ++id) {
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(GetResString(id)));
  }
}

}  // namespace

INT_PTR TamrelXYZDlgProc::DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM,
                                  LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      if (ICustButton* lock = GetICustButton(GetDlgItem(hWnd, IDC_XYZ_LOCK))) {
        lock->SetText(_M("L"));
        ReleaseICustButton(lock);
      }
      AddItems(GetDlgItem(hWnd, IDC_XYZ_MAP), IDS_MAP_CHANNEL_2D, IDS_SCREEN);
      for (int list : {IDC_XYZ_TILE_X, IDC_XYZ_TILE_Y, IDC_XYZ_TILE_Z}) {
        AddItems(GetDlgItem(hWnd, list), IDS_TILE_CONTINUE, IDS_TILE_NONE);
      }
      [[fallthrough]];
    case WM_SHOWWINDOW:
      SelectLists(map->GetParamBlock(), t, hWnd);
      return TRUE;
    default:
      return FALSE;
  }
}
#else
// Rollouts without windows receive no messages.
INT_PTR TamrelXYZDlgProc::DlgProc(TimeValue, IParamMap2*, HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
#endif
