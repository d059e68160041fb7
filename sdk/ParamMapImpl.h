// The host's parameter map, shared by ParamMap2.cpp (what every build does) and, on Windows,
// win/ParamMapWindow.cpp (the rollout's controls and their binding to the block).
#pragma once

#include <map>

#include "iparamm2.h"

class ParamMap : public IParamMap2 {
 public:
  ParamMap(IParamBlock2* block, ParamBlockDesc2* desc) : block_(block), desc_(desc) {}
  // Closing the rollout ends the dialog procedure attached to it, as the host does.
  ~ParamMap() override;

  IParamBlock2* GetParamBlock() override { return block_; }
  HWND GetHWnd() override { return hWnd_; }
  void Enable(ParamID id, BOOL onOff, int tabIndex = -1) override;
  void Invalidate(ParamID id = -1, int tabIndex = -1) override;
  // The procedure is the descriptor's (plug-ins attach it there); a new one ends the old one.
  void SetUserDlgProc(ParamMap2UserDlgProc* proc) override;
  ParamMap2UserDlgProc* GetUserDlgProc() override { return desc_->GetUserDlgProc(); }
  bool IsEnabled(ParamID id) const override;
  int InvalidateCount(ParamID id) const override;
  ParamBlockDesc2* Desc() const { return desc_; }

#ifdef _WIN32
  // The rollout's dialog procedure; lParam of WM_INITDIALOG is the ParamMap.
  static INT_PTR CALLBACK RolloutProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND hRollup = nullptr;  // the rollup page that holds the dialog
#endif

 private:
#ifdef _WIN32
  // Window side (win/ParamMapWindow.cpp).
  INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void InitControls();
  void ShowValue(const ParamDef& def);
  void EnableControls(const ParamDef& def, bool on);
  void TakeValueFrom(int ctrlID, UINT msg, WPARAM wParam);
  // Runs the user procedure with one message; FALSE when none is attached.
  INT_PTR CallUserProc(UINT msg, WPARAM wParam, LPARAM lParam);
#endif

  IParamBlock2* block_;
  ParamBlockDesc2* desc_;
  HWND hWnd_ = nullptr;
  std::map<ParamID, bool> disabled_;
  std::map<ParamID, int> invalidated_;
};
