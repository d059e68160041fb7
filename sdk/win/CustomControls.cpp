// The host's custom controls as Win32 window classes: "CustEdit" (an edit field that hands what
// is typed to its spinner), "SpinnerControl" (up and down arrows; click to step, drag to slide),
// "CustButton" (push or check button drawn by the host) and "ColorSwatch" (a colour that opens
// the colour picker). Each window owns one C++ object, found through GWLP_USERDATA (the edit
// field, a superclassed EDIT, keeps its object in a window property instead).
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <string>

#include "custcont.h"

namespace {

constexpr const wchar_t* kSpinnerProp = L"TamrelLinkedSpinner";
WNDPROC baseEditProc = nullptr;

template <typename T>
T* ObjectOf(HWND hWnd) {
  return reinterpret_cast<T*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
}

void NotifyParent(HWND hWnd, UINT msg, BOOL dragging, void* iface) {
  const int id = GetDlgCtrlID(hWnd);
  SendMessageW(GetParent(hWnd), msg, MAKEWPARAM(id, dragging), reinterpret_cast<LPARAM>(iface));
}

HFONT FontOf(HWND hWnd) {
  HFONT f = reinterpret_cast<HFONT>(SendMessageW(GetParent(hWnd), WM_GETFONT, 0, 0));
  return f ? f : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// ---------------------------------------------------------------------------------------------
class Spinner : public ISpinnerControl {
 public:
  explicit Spinner(HWND hWnd) : hWnd_(hWnd) {}

  float GetFVal() override { return value_; }
  int GetIVal() override {
    return static_cast<int>(std::lround(std::clamp(value_, -2147483520.0f, 2147483520.0f)));
  }
  void SetValue(float v, BOOL notify) override { Set(v, notify, FALSE); }
  void SetValue(int v, BOOL notify) override { Set(static_cast<float>(v), notify, FALSE); }
  void SetLimits(float mn, float mx, BOOL limitCurValue) override {
    min_ = mn;
    max_ = mx;
    if (limitCurValue) Set(value_, FALSE, FALSE);
  }
  void SetLimits(int mn, int mx, BOOL limitCurValue) override {
    SetLimits(static_cast<float>(mn), static_cast<float>(mx), limitCurValue);
  }
  void SetScale(float s) override { scale_ = s; }
  void SetAutoScale(BOOL on) override { autoScale_ = on; }
  void LinkToEdit(HWND hEdit, int editType) override {
    if (edit_) RemovePropW(edit_, kSpinnerProp);
    edit_ = hEdit;
    editType_ = editType;
    if (edit_) SetPropW(edit_, kSpinnerProp, this);
    ShowInEdit();
  }
  void Enable(BOOL on) override {
    EnableWindow(hWnd_, on);
    if (edit_) EnableWindow(edit_, on);
  }
  BOOL IsEnabled() override { return IsWindowEnabled(hWnd_); }
  float GetMin() override { return min_; }
  float GetMax() override { return max_; }
  float GetScale() override { return scale_; }
  BOOL GetAutoScale() override { return autoScale_; }
  int GetEditType() override { return editType_; }

  // The text of the linked edit field becomes the value (Enter or leaving the field). Text the
  // user has not changed is left alone: the field may show the value rounded, and reading that
  // back would lose the rest. Text that is not a number puts the current value back.
  void TakeEditText() {
    wchar_t text[64] = {};
    GetWindowTextW(edit_, text, 64);
    if (shown_ == text) return;
    wchar_t* end = nullptr;
    const double v = std::wcstod(text, &end);
    if (end == text || !std::isfinite(v)) {
      ShowInEdit();
      return;
    }
    Set(static_cast<float>(std::clamp(v, -3.0e38, 3.0e38)), TRUE, FALSE);
  }

  LRESULT Proc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_PAINT:
        Paint();
        return 0;
      case WM_ENABLE:
        InvalidateRect(hWnd_, nullptr, TRUE);
        return 0;
      case WM_LBUTTONDOWN: {
        RECT rc;
        GetClientRect(hWnd_, &rc);
        const int y = static_cast<short>(HIWORD(lParam));
        pressed_ = y < rc.bottom / 2 ? 1 : -1;
        dragY_ = y;
        dragged_ = false;
        SetCapture(hWnd_);
        InvalidateRect(hWnd_, nullptr, FALSE);
        return 0;
      }
      case WM_MOUSEMOVE:
        if (GetCapture() == hWnd_) {
          const int y = static_cast<short>(HIWORD(lParam));
          if (y != dragY_) {
            // Up the screen is up the value.
            Set(value_ + static_cast<float>(dragY_ - y) * Step(), TRUE, TRUE);
            dragY_ = y;
            dragged_ = true;
          }
        }
        return 0;
      case WM_LBUTTONUP:
        if (GetCapture() == hWnd_) {
          ReleaseCapture();
          if (!dragged_)
            Set(value_ + static_cast<float>(pressed_) * Step(), TRUE, FALSE);
          else
            NotifyParent(hWnd_, CC_SPINNER_CHANGE, FALSE, this);
          pressed_ = 0;
          InvalidateRect(hWnd_, nullptr, FALSE);
        }
        return 0;
      case WM_NCDESTROY:
        if (edit_) RemovePropW(edit_, kSpinnerProp);
        SetWindowLongPtrW(hWnd_, GWLP_USERDATA, 0);
        delete this;
        return 0;
      default:
        return DefWindowProcW(hWnd_, msg, wParam, lParam);
    }
  }

 private:
  float Step() const {
    if (editType_ == SPINNER_EDIT_INT) return 1.0f;
    if (!autoScale_) return scale_;
    // Automatic scaling: a hundredth of the value's size, and no finer than the fixed scale.
    return std::max(std::fabs(value_) * 0.01f, scale_ > 0.0f ? scale_ * 0.1f : 0.001f);
  }

  void Set(float v, BOOL notify, BOOL dragging) {
    if (std::isnan(v)) v = value_;
    if (min_ <= max_) v = std::clamp(v, min_, max_);
    if (editType_ == SPINNER_EDIT_INT) v = std::round(v);
    value_ = v;
    ShowInEdit();
    if (notify) NotifyParent(hWnd_, CC_SPINNER_CHANGE, dragging, this);
  }

  void ShowInEdit() {
    if (!edit_) return;
    wchar_t text[64];
    if (editType_ == SPINNER_EDIT_INT) {
      std::swprintf(text, 64, L"%d", GetIVal());
    } else if (editType_ == SPINNER_EDIT_UNIVERSE) {
      // Scene units carry the unit mark, plain numbers none.
      std::swprintf(text, 64, L"%.2fu", static_cast<double>(value_));
    } else {
      std::swprintf(text, 64, L"%.3f", static_cast<double>(value_));
    }
    shown_ = text;
    SetWindowTextW(edit_, text);
  }

  void Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hWnd_, &ps);
    RECT rc;
    GetClientRect(hWnd_, &rc);
    const bool on = IsWindowEnabled(hWnd_);
    for (int half = 0; half < 2; ++half) {
      RECT r = rc;
      if (half == 0)
        r.bottom = rc.bottom / 2;
      else
        r.top = rc.bottom / 2;
      const bool down = pressed_ == (half == 0 ? 1 : -1);
      FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
      DrawEdge(dc, &r, down ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
      // A small triangle pointing up (upper half) or down (lower half).
      const int cx = (r.left + r.right) / 2;
      const int cy = (r.top + r.bottom) / 2;
      POINT tri[3];
      if (half == 0) {
        tri[0] = {cx - 2, cy + 1};
        tri[1] = {cx + 2, cy + 1};
        tri[2] = {cx, cy - 1};
      } else {
        tri[0] = {cx - 2, cy - 1};
        tri[1] = {cx + 2, cy - 1};
        tri[2] = {cx, cy + 1};
      }
      HBRUSH b = GetSysColorBrush(on ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
      HPEN p = CreatePen(PS_SOLID, 1, GetSysColor(on ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
      HGDIOBJ ob = SelectObject(dc, b);
      HGDIOBJ op = SelectObject(dc, p);
      Polygon(dc, tri, 3);
      SelectObject(dc, ob);
      SelectObject(dc, op);
      DeleteObject(p);
    }
    EndPaint(hWnd_, &ps);
  }

  HWND hWnd_;
  HWND edit_ = nullptr;
  std::wstring shown_;  // the text last put into the edit field
  int editType_ = SPINNER_EDIT_FLOAT;
  float value_ = 0.0f;
  float min_ = -3.0e38f, max_ = 3.0e38f;
  float scale_ = 0.1f;
  BOOL autoScale_ = FALSE;
  int pressed_ = 0;  // 1 upper arrow, -1 lower arrow, 0 none
  int dragY_ = 0;
  bool dragged_ = false;
};

// ---------------------------------------------------------------------------------------------
class CustButton : public ICustButton {
 public:
  explicit CustButton(HWND hWnd) : hWnd_(hWnd) {}

  void SetText(const MCHAR* text) override {
    SetWindowTextW(hWnd_, text ? text : L"");
    InvalidateRect(hWnd_, nullptr, TRUE);
  }
  MSTR GetText() override {
    wchar_t text[256] = {};
    GetWindowTextW(hWnd_, text, 256);
    return text;
  }
  void SetType(CustButtonType type) override { type_ = type; }
  CustButtonType GetType() override { return type_; }
  void SetCheck(BOOL checked) override {
    checked_ = checked != 0;
    InvalidateRect(hWnd_, nullptr, TRUE);
  }
  BOOL IsChecked() override { return checked_; }
  void Enable(BOOL on) override { EnableWindow(hWnd_, on); }
  BOOL IsEnabled() override { return IsWindowEnabled(hWnd_); }

  LRESULT Proc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_PAINT:
        Paint();
        return 0;
      case WM_ENABLE:
      case WM_SETTEXT: {
        const LRESULT r = DefWindowProcW(hWnd_, msg, wParam, lParam);
        InvalidateRect(hWnd_, nullptr, TRUE);
        return r;
      }
      case WM_LBUTTONDOWN:
        down_ = true;
        SetCapture(hWnd_);
        InvalidateRect(hWnd_, nullptr, FALSE);
        return 0;
      case WM_LBUTTONUP:
        if (GetCapture() == hWnd_) {
          ReleaseCapture();
          down_ = false;
          POINT pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
          RECT rc;
          GetClientRect(hWnd_, &rc);
          if (PtInRect(&rc, pt)) Click();
          InvalidateRect(hWnd_, nullptr, FALSE);
        }
        return 0;
      case WM_KEYUP:
        if (wParam == VK_SPACE) Click();
        return 0;
      case WM_GETDLGCODE:
        return DLGC_BUTTON;
      case WM_NCDESTROY:
        SetWindowLongPtrW(hWnd_, GWLP_USERDATA, 0);
        delete this;
        return 0;
      default:
        return DefWindowProcW(hWnd_, msg, wParam, lParam);
    }
  }

 private:
  void Click() {
    if (type_ == CBT_CHECK) checked_ = !checked_;
    InvalidateRect(hWnd_, nullptr, FALSE);
    SendMessageW(GetParent(hWnd_), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hWnd_), BN_CLICKED),
                 reinterpret_cast<LPARAM>(hWnd_));
  }

  void Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hWnd_, &ps);
    RECT rc;
    GetClientRect(hWnd_, &rc);
    const bool sunken = down_ || checked_;
    // A pressed check button is lit, as the host marks modes that are on.
    HBRUSH face = checked_ ? CreateSolidBrush(RGB(255, 214, 110)) : nullptr;
    FillRect(dc, &rc, face ? face : GetSysColorBrush(COLOR_BTNFACE));
    if (face) DeleteObject(face);
    DrawEdge(dc, &rc, sunken ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
    wchar_t text[256] = {};
    GetWindowTextW(hWnd_, text, 256);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(IsWindowEnabled(hWnd_) ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    HGDIOBJ of = SelectObject(dc, FontOf(hWnd_));
    RECT tr = rc;
    if (sunken) OffsetRect(&tr, 1, 1);
    DrawTextW(dc, text, -1, &tr, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    SelectObject(dc, of);
    EndPaint(hWnd_, &ps);
  }

  HWND hWnd_;
  CustButtonType type_ = CBT_PUSH;
  bool checked_ = false;
  bool down_ = false;
};

// ---------------------------------------------------------------------------------------------
class ColorSwatch : public IColorSwatch {
 public:
  explicit ColorSwatch(HWND hWnd) : hWnd_(hWnd) {}

  Color GetColor() override { return color_; }
  void SetColor(const Color& c, BOOL notify) override {
    color_ = c;
    InvalidateRect(hWnd_, nullptr, FALSE);
    if (notify) NotifyParent(hWnd_, CC_COLOR_CHANGE, FALSE, this);
  }

  LRESULT Proc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_PAINT:
        Paint();
        return 0;
      case WM_ENABLE:
        InvalidateRect(hWnd_, nullptr, FALSE);
        return 0;
      case WM_LBUTTONUP:
        Pick();
        return 0;
      case WM_NCDESTROY:
        SetWindowLongPtrW(hWnd_, GWLP_USERDATA, 0);
        delete this;
        return 0;
      default:
        return DefWindowProcW(hWnd_, msg, wParam, lParam);
    }
  }

 private:
  static BYTE ToByte(float v) {
    return static_cast<BYTE>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
  }

  void Pick() {
    static COLORREF custom[16] = {};
    CHOOSECOLORW cc = {};
    cc.lStructSize = sizeof(cc);
    cc.hwndOwner = GetParent(hWnd_);
    cc.rgbResult = RGB(ToByte(color_.r), ToByte(color_.g), ToByte(color_.b));
    cc.lpCustColors = custom;
    cc.Flags = CC_RGBINIT | CC_FULLOPEN;
    if (ChooseColorW(&cc)) {
      SetColor(Color(GetRValue(cc.rgbResult) / 255.0f, GetGValue(cc.rgbResult) / 255.0f,
                     GetBValue(cc.rgbResult) / 255.0f),
               TRUE);
    }
  }

  void Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hWnd_, &ps);
    RECT rc;
    GetClientRect(hWnd_, &rc);
    DrawEdge(dc, &rc, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
    HBRUSH b = IsWindowEnabled(hWnd_)
                   ? CreateSolidBrush(RGB(ToByte(color_.r), ToByte(color_.g), ToByte(color_.b)))
                   : CreateHatchBrush(HS_DIAGCROSS, GetSysColor(COLOR_GRAYTEXT));
    FillRect(dc, &rc, b);
    DeleteObject(b);
    EndPaint(hWnd_, &ps);
  }

  HWND hWnd_;
  Color color_{0.0f, 0.0f, 0.0f};
};

// ---------------------------------------------------------------------------------------------
template <typename T>
LRESULT CALLBACK ControlProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new T(hWnd)));
  }
  if (T* obj = ObjectOf<T>(hWnd)) return obj->Proc(msg, wParam, lParam);
  return DefWindowProcW(hWnd, msg, wParam, lParam);
}

// The edit field: an EDIT that scrolls its text, has a border, and commits to its spinner.
LRESULT CALLBACK CustEditProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
      cs->style |= ES_AUTOHSCROLL | WS_BORDER;
      SetWindowLongPtrW(hWnd, GWL_STYLE, static_cast<LONG_PTR>(cs->style));
      break;
    }
    case WM_GETDLGCODE:
      return CallWindowProcW(baseEditProc, hWnd, msg, wParam, lParam) | DLGC_WANTALLKEYS;
    case WM_CHAR:
      if (wParam == VK_RETURN) {
        if (auto* s = static_cast<Spinner*>(GetPropW(hWnd, kSpinnerProp))) s->TakeEditText();
        return 0;
      }
      break;
    case WM_KILLFOCUS:
      if (auto* s = static_cast<Spinner*>(GetPropW(hWnd, kSpinnerProp))) s->TakeEditText();
      break;
    default:
      break;
  }
  return CallWindowProcW(baseEditProc, hWnd, msg, wParam, lParam);
}

class CustEdit : public ICustEdit {
 public:
  explicit CustEdit(HWND hWnd) : hWnd_(hWnd) {}
  MSTR GetText() override {
    wchar_t text[256] = {};
    GetWindowTextW(hWnd_, text, 256);
    return text;
  }
  void SetText(const MCHAR* text) override { SetWindowTextW(hWnd_, text ? text : L""); }

 private:
  HWND hWnd_;
};

bool IsClass(HWND hWnd, const wchar_t* name) {
  wchar_t cls[64] = {};
  return hWnd && GetClassNameW(hWnd, cls, 64) && lstrcmpiW(cls, name) == 0;
}

template <typename T>
T* InterfaceOf(HWND hWnd, const wchar_t* cls) {
  return IsClass(hWnd, cls) ? ObjectOf<T>(hWnd) : nullptr;
}

ISpinnerControl* SetupSpinner(HWND hwnd, int idSpin, int idEdit, float mn, float mx, float val,
                              float scale, int editType) {
  ISpinnerControl* spin = GetISpinner(GetDlgItem(hwnd, idSpin));
  if (!spin) return nullptr;
  spin->LinkToEdit(GetDlgItem(hwnd, idEdit), editType);
  spin->SetLimits(mn, mx, FALSE);
  spin->SetScale(scale);
  spin->SetValue(val, FALSE);
  return spin;
}

}  // namespace

BOOL InitCustomControls(HINSTANCE hInst) {
  static BOOL done = FALSE;
  if (done) return TRUE;
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.hInstance = hInst;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.style = CS_HREDRAW | CS_VREDRAW | CS_GLOBALCLASS;
  const struct {
    const wchar_t* name;
    WNDPROC proc;
  } classes[] = {{L"SpinnerControl", &ControlProc<Spinner>},
                 {L"CustButton", &ControlProc<CustButton>},
                 {L"ColorSwatch", &ControlProc<ColorSwatch>}};
  for (const auto& c : classes) {
    wc.lpszClassName = c.name;
    wc.lpfnWndProc = c.proc;
    if (!RegisterClassExW(&wc)) return FALSE;
  }
  // The edit field is a superclass of the system's EDIT.
  WNDCLASSEXW edit = {};
  edit.cbSize = sizeof(edit);
  if (!GetClassInfoExW(nullptr, L"EDIT", &edit)) return FALSE;
  baseEditProc = edit.lpfnWndProc;
  edit.hInstance = hInst;
  edit.lpszClassName = L"CustEdit";
  edit.lpfnWndProc = &CustEditProc;
  edit.style |= CS_GLOBALCLASS;
  if (!RegisterClassExW(&edit)) return FALSE;
  done = TRUE;
  return TRUE;
}

ISpinnerControl* GetISpinner(HWND hCtrl) {
  return InterfaceOf<Spinner>(hCtrl, L"SpinnerControl");
}
void ReleaseISpinner(ISpinnerControl*) {}
ICustButton* GetICustButton(HWND hCtrl) {
  return InterfaceOf<CustButton>(hCtrl, L"CustButton");
}
void ReleaseICustButton(ICustButton*) {}
IColorSwatch* GetIColorSwatch(HWND hCtrl) {
  return InterfaceOf<ColorSwatch>(hCtrl, L"ColorSwatch");
}
void ReleaseIColorSwatch(IColorSwatch*) {}
ICustEdit* GetICustEdit(HWND hCtrl) {
  return IsClass(hCtrl, L"CustEdit") ? new CustEdit(hCtrl) : nullptr;
}
void ReleaseICustEdit(ICustEdit* edit) {
  delete edit;
}

ISpinnerControl* SetupFloatSpinner(HWND hwnd, int idSpin, int idEdit, float mn, float mx, float val,
                                   float scale) {
  return SetupSpinner(hwnd, idSpin, idEdit, mn, mx, val, scale, SPINNER_EDIT_FLOAT);
}

ISpinnerControl* SetupUniverseSpinner(HWND hwnd, int idSpin, int idEdit, float mn, float mx,
                                      float val, float scale) {
  return SetupSpinner(hwnd, idSpin, idEdit, mn, mx, val, scale, SPINNER_EDIT_UNIVERSE);
}

ISpinnerControl* SetupIntSpinner(HWND hwnd, int idSpin, int idEdit, int mn, int mx, int val) {
  return SetupSpinner(hwnd, idSpin, idEdit, static_cast<float>(mn), static_cast<float>(mx),
                      static_cast<float>(val), 1.0f, SPINNER_EDIT_INT);
}
