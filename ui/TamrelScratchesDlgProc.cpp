// The "Parameters" rollout's dialog procedure.
#include "ui/TamrelScratchesDlgProc.h"

#include "resources/resource.h"
#include "texmap/ParamsBlock.h"
#include "texmap/TamrelScratches.h"
#include "ui/ProcedureControls.h"

#ifdef _WIN32
#include <shellapi.h>
#endif

void TamrelScratchesDlgProc::SetThing(ReferenceTarget* m) {
  map_ = static_cast<TamrelScratches*>(m);
  if (map_) map_->EnableDependentControls();
}

#ifdef _WIN32
INT_PTR TamrelScratchesDlgProc::DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg,
                                        WPARAM wParam, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      FillProcedureControls(hWnd, IDD_PARAMS);
      [[fallthrough]];
    case WM_SHOWWINDOW: {
      int type = 0;
      Interval valid = FOREVER;
      map->GetParamBlock()->GetValue(PB_TYPE, t, type, valid);
      SendMessageW(GetDlgItem(hWnd, IDC_PARAMS_TYPE), CB_SETCURSEL, static_cast<WPARAM>(type), 0);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_PARAMS_HOMEPAGE) {
        ShellExecuteW(nullptr, nullptr, kHomepageUrl, nullptr, nullptr, SW_SHOW);
      }
      return FALSE;
    default:
      return FALSE;
  }
}
#else
// Rollouts without windows receive no messages.
INT_PTR TamrelScratchesDlgProc::DlgProc(TimeValue, IParamMap2*, HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}
#endif
