// The material editor's rollup window.
#include "MaterialEditor.h"

#include <algorithm>

#include "custcont.h"
#include "maxapi.h"

namespace {

constexpr const wchar_t* kClassName = L"TamrelMaterialEditor";
constexpr UINT WM_APP_UPDATE_MAP = WM_APP + 1;
constexpr int kMargin = 3;
constexpr int kHeaderHeight = 16;
constexpr int kGap = 4;
HINSTANCE hostInstance = nullptr;

}  // namespace

bool InitMaterialEditor(HINSTANCE hInst) {
  hostInstance = hInst;
  if (!InitCustomControls(hInst)) return false;
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.hInstance = hInst;
  wc.lpszClassName = kClassName;
  wc.lpfnWndProc = &MaterialEditor::WindowProc;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

MaterialEditor::MaterialEditor() = default;

MaterialEditor::~MaterialEditor() {
  Close();
}

bool MaterialEditor::Open(Texmap* map) {
  Close();
  hWnd_ = CreateWindowExW(0, kClassName, L"Material Editor",
                          WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 400, 300,
                          nullptr, nullptr, hostInstance, this);
  if (!hWnd_) return false;
  ReplaceReference(0, map);
  dlg_ = map->CreateParamDlg(hWnd_, this);
  Layout();
  ShowWindow(hWnd_, SW_SHOW);
  UpdateWindow(hWnd_);
  return true;
}

void MaterialEditor::Close() {
  if (dlg_) {
    dlg_->DeleteThis();
    dlg_ = nullptr;
  }
  if (map_) DeleteReference(0);
  for (Page& p : pages_) DestroyWindow(p.hDlg);
  pages_.clear();
  if (hWnd_) {
    SetWindowLongPtrW(hWnd_, GWLP_USERDATA, 0);
    DestroyWindow(hWnd_);
    hWnd_ = nullptr;
  }
}

RefTargetHandle MaterialEditor::GetReference(int i) {
  return i == 0 ? map_ : nullptr;
}

void MaterialEditor::SetReference(int i, RefTargetHandle target) {
  if (i == 0) map_ = static_cast<Texmap*>(target);
}

RefResult MaterialEditor::NotifyRefChanged(const Interval&, RefTargetHandle, PartID&,
                                           RefMessage message, BOOL) {
  // The editor redraws the map's sample after the change is complete, not inside it.
  if (message == REFMSG_CHANGE && hWnd_ && !updatePosted_) {
    updatePosted_ = PostMessageW(hWnd_, WM_APP_UPDATE_MAP, 0, 0) != 0;
  }
  return REF_SUCCEED;
}

void MaterialEditor::UpdateMap() {
  updatePosted_ = false;
  if (!map_) return;
  Interval valid = FOREVER;
  map_->Update(GetCOREInterface()->GetTime(), valid);
}

void MaterialEditor::PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

HWND MaterialEditor::AddRollupPage(HINSTANCE hInst, int dlgTemplate, DLGPROC proc,
                                   const MCHAR* title, LPARAM param, DWORD flags) {
  if (!hWnd_) return nullptr;
  HWND hDlg = CreateDialogParamW(hInst, MAKEINTRESOURCEW(dlgTemplate), hWnd_, proc, param);
  if (!hDlg) return nullptr;
  Page page;
  page.title = title ? title : L"";
  page.hDlg = hDlg;
  page.open = !(flags & APPENDROLL_CLOSED);
  pages_.push_back(page);
  ShowWindow(hDlg, page.open ? SW_SHOW : SW_HIDE);
  Layout();
  return hDlg;
}

void MaterialEditor::DeleteRollupPage(HWND hRollup) {
  auto it =
      std::find_if(pages_.begin(), pages_.end(), [&](const Page& p) { return p.hDlg == hRollup; });
  if (it == pages_.end()) return;
  DestroyWindow(it->hDlg);
  pages_.erase(it);
  Layout();
}

void MaterialEditor::SetPageOpen(int i, bool open) {
  if (i < 0 || i >= NumPages() || pages_[i].open == open) return;
  pages_[i].open = open;
  ShowWindow(pages_[i].hDlg, open ? SW_SHOW : SW_HIDE);
  Layout();
}

int MaterialEditor::FindPage(const std::wstring& title) const {
  for (int i = 0; i < NumPages(); ++i) {
    if (pages_[i].title == title) return i;
  }
  return -1;
}

void MaterialEditor::Layout() {
  if (!hWnd_) return;
  int width = 0;
  for (const Page& p : pages_) {
    RECT r;
    GetWindowRect(p.hDlg, &r);
    width = std::max(width, static_cast<int>(r.right - r.left));
  }
  int y = kMargin;
  for (Page& p : pages_) {
    p.header = {kMargin, y, kMargin + width, y + kHeaderHeight};
    y += kHeaderHeight;
    if (p.open) {
      RECT r;
      GetWindowRect(p.hDlg, &r);
      SetWindowPos(p.hDlg, nullptr, kMargin, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      y += r.bottom - r.top;
    }
    y += kGap;
  }
  RECT frame = {0, 0, width + 2 * kMargin, y + kMargin - kGap};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hWnd_, GWL_STYLE)), FALSE, 0);
  SetWindowPos(hWnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(hWnd_, nullptr, TRUE);
}

void MaterialEditor::PaintHeaders(HDC dc) {
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  if (!pages_.empty()) {
    if (auto f = reinterpret_cast<HFONT>(SendMessageW(pages_[0].hDlg, WM_GETFONT, 0, 0))) font = f;
  }
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  for (const Page& p : pages_) {
    RECT r = p.header;
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &r, EDGE_RAISED, BF_RECT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    DrawTextW(dc, p.title.c_str(), -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    RECT sign = r;
    sign.left += 6;
    DrawTextW(dc, p.open ? L"-" : L"+", -1, &sign, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
  }
  SelectObject(dc, old);
}

LRESULT CALLBACK MaterialEditor::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    static_cast<MaterialEditor*>(cs->lpCreateParams)->hWnd_ = hWnd;
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* ed = reinterpret_cast<MaterialEditor*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  return ed ? ed->Proc(msg, wParam, lParam) : DefWindowProcW(hWnd, msg, wParam, lParam);
}

LRESULT MaterialEditor::Proc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hWnd_, &ps);
      PaintHeaders(dc);
      EndPaint(hWnd_, &ps);
      return 0;
    }
    case WM_LBUTTONUP: {
      POINT pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      for (int i = 0; i < NumPages(); ++i) {
        if (PtInRect(&pages_[i].header, pt)) SetPageOpen(i, !pages_[i].open);
      }
      return 0;
    }
    case WM_APP_UPDATE_MAP:
      UpdateMap();
      return 0;
    case WM_CLOSE:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hWnd_, msg, wParam, lParam);
  }
}

std::vector<unsigned char> MaterialEditor::CapturePage(int i, int& width, int& height) {
  width = height = 0;
  if (i < 0 || i >= NumPages() || !hWnd_) return {};
  RedrawWindow(hWnd_, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  // Painting may still be queued on its way to the display; the capture reads the screen.
  GdiFlush();
  PumpMessages();
  const Page& p = pages_[i];
  RECT area = p.header;
  if (p.open) {
    RECT r;
    GetWindowRect(p.hDlg, &r);
    area.bottom += r.bottom - r.top;
  }
  // The window's client area as the screen shows it, children included.
  POINT origin = {area.left, area.top};
  ClientToScreen(hWnd_, &origin);
  width = area.right - area.left;
  height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;  // top row first
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::vector<unsigned char> rgb;
  if (bmp) {
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    const auto* px = static_cast<const unsigned char*>(bits);
    rgb.resize(static_cast<size_t>(width) * height * 3);
    for (size_t k = 0; k < static_cast<size_t>(width) * height; ++k) {
      rgb[3 * k + 0] = px[4 * k + 2];
      rgb[3 * k + 1] = px[4 * k + 1];
      rgb[3 * k + 2] = px[4 * k + 0];
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
  }
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return rgb;
}
