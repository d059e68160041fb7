// The host's material editor on Windows: a rollup window that shows one texture map's rollouts
// (built by the map's CreateParamDlg through IMtlParams::AddRollupPage), stacked under title bars
// that roll them up and down. Like the real editor it depends on the map it shows, and updates
// the map after every change, which is when the map's enabling rules reach the controls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "imtl.h"
#include "iparamm2.h"

class MaterialEditor : public ReferenceMaker, public IMtlParams {
 public:
  MaterialEditor();
  ~MaterialEditor() override;

  // Shows the map's rollouts in a new top-level window; false when the window cannot be made.
  bool Open(Texmap* map);
  void Close();
  HWND hWnd() const { return hWnd_; }
  Texmap* map() const { return map_; }

  // Rollouts in order of addition: their titles, windows and open state.
  int NumPages() const { return static_cast<int>(pages_.size()); }
  const std::wstring& PageTitle(int i) const { return pages_[i].title; }
  HWND PageDialog(int i) const { return pages_[i].hDlg; }
  bool IsPageOpen(int i) const { return pages_[i].open; }
  // Rolls a rollout down (shown) or up (hidden), as a click on its title bar does.
  void SetPageOpen(int i, bool open);
  // The page with this title, or -1.
  int FindPage(const std::wstring& title) const;

  // Runs the window's pending messages (the updates posted after changes among them).
  static void PumpMessages();
  // Updates the map at the current time, as the editor does after each change.
  void UpdateMap();

  // The pixels of rollout i with its title bar, top row first, 8-bit RGB; empty when the
  // window is not on screen.
  std::vector<unsigned char> CapturePage(int i, int& width, int& height);

  // IMtlParams
  HWND AddRollupPage(HINSTANCE hInst, int dlgTemplate, DLGPROC proc, const MCHAR* title,
                     LPARAM param, DWORD flags) override;
  void DeleteRollupPage(HWND hRollup) override;

  // ReferenceMaker: reference 0 is the map shown.
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int i) override;
  RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle hTarget, PartID& partID,
                             RefMessage message, BOOL propagate) override;

 protected:
  void SetReference(int i, RefTargetHandle target) override;

 private:
  struct Page {
    std::wstring title;
    HWND hDlg = nullptr;
    bool open = true;
    RECT header{};
  };

  friend bool InitMaterialEditor(HINSTANCE hInst);
  static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Proc(UINT msg, WPARAM wParam, LPARAM lParam);
  void Layout();
  void PaintHeaders(HDC dc);

  HWND hWnd_ = nullptr;
  Texmap* map_ = nullptr;
  ParamDlg* dlg_ = nullptr;
  std::vector<Page> pages_;
  bool updatePosted_ = false;
};

// Registers the editor's window class and the host's custom controls; call once at start-up.
bool InitMaterialEditor(HINSTANCE hInst);
