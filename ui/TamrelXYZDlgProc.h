// The dialog procedure of the "Mapping" rollout: fills the map-type list and the three tiling
// lists, selects their entries from the block, and captions the size lock button.
#pragma once

#include "iparamm2.h"

class TamrelScratches;

// Control ids of template 102 that the procedure addresses itself.
inline constexpr int IDC_XYZ_MAP = 1001;
inline constexpr int IDC_XYZ_TILE_X = 1004;
inline constexpr int IDC_XYZ_TILE_Y = 1005;
inline constexpr int IDC_XYZ_TILE_Z = 1006;
inline constexpr int IDC_XYZ_LOCK = 1023;

class TamrelXYZDlgProc : public ParamMap2UserDlgProc {
 public:
  explicit TamrelXYZDlgProc(TamrelScratches* m) : map_(m) {}

  INT_PTR DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM wParam,
                  LPARAM lParam) override;
  void DeleteThis() override { delete this; }
  void SetThing(ReferenceTarget* m) override;

  TamrelScratches* Map() const { return map_; }

 private:
  TamrelScratches* map_;  // not owned
};
