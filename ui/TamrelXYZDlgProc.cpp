// The "Mapping" rollout's dialog procedure.
#include "ui/TamrelXYZDlgProc.h"

#include "coords/MappingBlock.h"
#include "resources/resource.h"
#include "texmap/TamrelScratches.h"
#include "ui/ProcedureControls.h"

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

}  // namespace

INT_PTR TamrelXYZDlgProc::DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM,
                                  LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      FillProcedureControls(hWnd, IDD_MAPPING);
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
