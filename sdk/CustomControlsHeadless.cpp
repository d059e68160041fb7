// Custom controls of a build without windows: there are no controls, so every lookup and set-up
// answers null, as it does on Windows for a window that is not such a control.
#include "custcont.h"

BOOL InitCustomControls(HINSTANCE) {
  return FALSE;
}
ISpinnerControl* GetISpinner(HWND) {
  return nullptr;
}
void ReleaseISpinner(ISpinnerControl*) {}
ICustButton* GetICustButton(HWND) {
  return nullptr;
}
void ReleaseICustButton(ICustButton*) {}
IColorSwatch* GetIColorSwatch(HWND) {
  return nullptr;
}
void ReleaseIColorSwatch(IColorSwatch*) {}
ICustEdit* GetICustEdit(HWND) {
  return nullptr;
}
void ReleaseICustEdit(ICustEdit*) {}
ISpinnerControl* SetupFloatSpinner(HWND, int, int, float, float, float, float) {
  return nullptr;
}
ISpinnerControl* SetupUniverseSpinner(HWND, int, int, float, float, float, float) {
  return nullptr;
}
ISpinnerControl* SetupIntSpinner(HWND, int, int, int, int, int) {
  return nullptr;
}
