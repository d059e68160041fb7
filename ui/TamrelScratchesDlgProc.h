// The dialog procedure of the "Parameters" rollout: fills the "Type" list and keeps its
// selection in step with the block, and opens the documentation from the "Homepage" button.
// Everything else in the rollout is bound by the host's parameter map.
#pragma once

#include "iparamm2.h"

class TamrelScratches;

// Where the "Homepage" button leads: the project's documentation.
inline constexpr const MCHAR* kHomepageUrl = _M("https://tamrel.example/scratches/docs/");

// Control ids of template 101 that the procedure addresses itself.
inline constexpr int IDC_PARAMS_TYPE = 1001;
inline constexpr int IDC_PARAMS_HOMEPAGE = 1003;

class TamrelScratchesDlgProc : public ParamMap2UserDlgProc {
 public:
  explicit TamrelScratchesDlgProc(TamrelScratches* m) : map_(m) {}

  INT_PTR DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM wParam,
                  LPARAM lParam) override;
  void DeleteThis() override { delete this; }
  // Serves another map and applies that map's enabling rules to the rollout.
  void SetThing(ReferenceTarget* m) override;

  TamrelScratches* Map() const { return map_; }

 private:
  TamrelScratches* map_;  // not owned
};
