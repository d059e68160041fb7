// Parameter maps: the editor's binding between a rollout's controls and a parameter block, and
// the dialog procedures and parameter dialogs plug-ins attach to them.
//
// Every map keeps each parameter's enabled state and counts the redraw requests, which is
// everything the texture map itself relies on and lets the enabling rules be tested anywhere.
// Given a material editor with a rollup window (Windows), the map also has the rollout built from
// the descriptor's dialog template and binds its controls to the parameters, values moving both
// ways; without one it is headless and has no window (GetHWnd is null).
#pragma once

#include <map>
#include <vector>

#include "iparamb2.h"
#include "wintypes.h"

class IParamMap2;
class IParamBlock2;
class ReferenceTarget;

class ParamMap2UserDlgProc {
 public:
  virtual ~ParamMap2UserDlgProc() = default;
  // Messages of the rollout's window; TRUE when handled, FALSE leaves them to the map.
  virtual INT_PTR DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM wParam,
                          LPARAM lParam) = 0;
  virtual void DeleteThis() = 0;
  // The rollout starts editing another object.
  virtual void SetThing(ReferenceTarget*) {}
};

class IParamMap2 {
 public:
  virtual ~IParamMap2() = default;
  virtual IParamBlock2* GetParamBlock() = 0;
  virtual HWND GetHWnd() = 0;
  // Enables or greys out every control bound to the parameter.
  virtual void Enable(ParamID id, BOOL onOff, int tabIndex = -1) = 0;
  // Redraws the control of one parameter (or, with -1, all of them) from the block.
  virtual void Invalidate(ParamID id = -1, int tabIndex = -1) = 0;
  virtual void SetUserDlgProc(ParamMap2UserDlgProc* proc) = 0;
  virtual ParamMap2UserDlgProc* GetUserDlgProc() = 0;

  // State of the headless map, for whoever drives it.
  virtual bool IsEnabled(ParamID id) const = 0;
  virtual int InvalidateCount(ParamID id) const = 0;
};

// A parameter dialog of the material editor: one object's rollouts.
class ParamDlg {
 public:
  virtual ~ParamDlg() = default;
  virtual Class_ID ClassID() = 0;
  virtual void SetThing(ReferenceTarget* m) = 0;
  virtual ReferenceTarget* GetThing() = 0;
  virtual void SetTime(TimeValue) {}
  virtual void ReloadDialog() {}
  virtual void ActivateDlg(BOOL) {}
  virtual void DeleteThis() = 0;
};

// The master dialog that CreateParamDlgs returns: the automatic rollouts plus any added ones.
class IAutoMParamDlg : public ParamDlg {
 public:
  virtual void AddDlg(ParamDlg* dlg) = 0;
  virtual int NumDlgs() = 0;
  virtual ParamDlg* GetDlg(int i) = 0;
  // The parameter map of the rollout built for the block, or null.
  virtual IParamMap2* GetMap(IParamBlock2* block) = 0;
};

// The material editor's services to a map's dialog: the rollup window that holds its rollouts.
class IMtlParams {
 public:
  virtual ~IMtlParams() = default;
#ifdef _WIN32
  // Adds a rollout built from dialog template dlgTemplate of hInst, titled title, whose messages
  // go to proc (param is the WM_INITDIALOG argument); flags APPENDROLL_CLOSED adds it rolled up.
  // The rollout's window, or null when it cannot be built.
  virtual HWND AddRollupPage(HINSTANCE hInst, int dlgTemplate, DLGPROC proc, const MCHAR* title,
                             LPARAM param, DWORD flags) = 0;
  virtual void DeleteRollupPage(HWND hRollup) = 0;
#endif
};

// The open parameter map of a block (map 0), or null while no editor shows the block.
IParamMap2* GetParamMapOf(IParamBlock2* block);

// Builds the headless rollouts of every P_AUTO_UI descriptor of cd for the owner's blocks and
// returns the master dialog. Closing it (DeleteThis) closes the maps and deletes the attached
// dialog procedures.
IAutoMParamDlg* CreateAutoParamDlgs(ClassDesc2* cd, HWND hwMtlEdit, IMtlParams* imp,
                                    ReferenceTarget* owner);

// Redraws the control of parameter id in the open rollout of pbd's block, if any.
void InvalidateParamUI(ParamBlockDesc2* pbd, ParamID id, int tabIndex = -1);
