// The host's custom controls: spinners linked to edit fields, custom (push and check) buttons and
// colour swatches, with the interfaces plug-ins use to set them up.
//
// On Windows the host registers the window classes the dialog templates name ("CustEdit",
// "SpinnerControl", "CustButton", "ColorSwatch") with InitCustomControls, and the Get... calls
// return the interface of such a window. A build without windows has no controls: the calls
// answer null, as they do on Windows for a window that is not one of these controls.
#pragma once

#include "color.h"
#include "iparamb2.h"
#include "wintypes.h"

// Messages a custom control sends to its parent dialog. wParam: low word the control id, high
// word TRUE while a spinner drag is still in progress; lParam: the control's interface.
inline constexpr UINT CC_SPINNER_CHANGE = 0x0400 + 600;  // WM_USER + 600
inline constexpr UINT CC_COLOR_CHANGE = 0x0400 + 603;

// How a spinner's linked edit field shows its value.
enum SpinnerEditType : int {
  SPINNER_EDIT_INT = EDITTYPE_INT,
  SPINNER_EDIT_FLOAT = EDITTYPE_FLOAT,
  SPINNER_EDIT_UNIVERSE = 2,  // a length in scene units
};

class ISpinnerControl {
 public:
  virtual ~ISpinnerControl() = default;
  virtual float GetFVal() = 0;
  virtual int GetIVal() = 0;
  // Sets the value, brought into the limits; notify sends CC_SPINNER_CHANGE as a user change does.
  virtual void SetValue(float v, BOOL notify) = 0;
  virtual void SetValue(int v, BOOL notify) = 0;
  // With limitCurValue the current value is brought into the new limits at once.
  virtual void SetLimits(float min, float max, BOOL limitCurValue = TRUE) = 0;
  virtual void SetLimits(int min, int max, BOOL limitCurValue = TRUE) = 0;
  // The step of one click or one pixel of drag; automatic scaling steps by the value's size.
  virtual void SetScale(float s) = 0;
  virtual void SetAutoScale(BOOL on = TRUE) = 0;
  virtual void LinkToEdit(HWND hEdit, int editType) = 0;
  virtual void Enable(BOOL on = TRUE) = 0;
  virtual BOOL IsEnabled() = 0;

  // What the host shows, for its editor and its tests.
  virtual float GetMin() = 0;
  virtual float GetMax() = 0;
  virtual float GetScale() = 0;
  virtual BOOL GetAutoScale() = 0;
  virtual int GetEditType() = 0;
};

enum CustButtonType : int { CBT_PUSH = 0, CBT_CHECK = 1 };

class ICustButton {
 public:
  virtual ~ICustButton() = default;
  virtual void SetText(const MCHAR* text) = 0;
  virtual MSTR GetText() = 0;
  virtual void SetType(CustButtonType type) = 0;
  virtual CustButtonType GetType() = 0;
  virtual void SetCheck(BOOL checked) = 0;
  virtual BOOL IsChecked() = 0;
  virtual void Enable(BOOL on = TRUE) = 0;
  virtual BOOL IsEnabled() = 0;
};

class IColorSwatch {
 public:
  virtual ~IColorSwatch() = default;
  virtual Color GetColor() = 0;
  // notify sends CC_COLOR_CHANGE as a user's pick does.
  virtual void SetColor(const Color& c, BOOL notify = FALSE) = 0;
};

class ICustEdit {
 public:
  virtual ~ICustEdit() = default;
  virtual MSTR GetText() = 0;
  virtual void SetText(const MCHAR* text) = 0;
};

// Registers the custom control classes for the host's process; TRUE when they are available.
BOOL InitCustomControls(HINSTANCE hInst);

ISpinnerControl* GetISpinner(HWND hCtrl);
void ReleaseISpinner(ISpinnerControl* spin);
ICustButton* GetICustButton(HWND hCtrl);
void ReleaseICustButton(ICustButton* button);
IColorSwatch* GetIColorSwatch(HWND hCtrl);
void ReleaseIColorSwatch(IColorSwatch* swatch);
ICustEdit* GetICustEdit(HWND hCtrl);
void ReleaseICustEdit(ICustEdit* edit);

// Sets up the spinner idSpin of dialog hwnd, linked to the edit field idEdit, with limits, value
// and scale; the caller releases the result. Universe spinners show lengths in scene units,
// float spinners plain numbers. Null when the dialog has no such spinner.
ISpinnerControl* SetupFloatSpinner(HWND hwnd, int idSpin, int idEdit, float min, float max,
                                   float val, float scale = 0.1f);
ISpinnerControl* SetupUniverseSpinner(HWND hwnd, int idSpin, int idEdit, float min, float max,
                                      float val, float scale = 0.1f);
ISpinnerControl* SetupIntSpinner(HWND hwnd, int idSpin, int idEdit, int min, int max, int val);
