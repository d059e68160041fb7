// The Windows types that the host's user-interface and viewport interfaces are declared with. On
// Windows they come from the platform; elsewhere they are plain stand-ins with the same layout.
#pragma once

#include <cstdint>

#include "maxtypes.h"

#ifndef _WIN32
struct HWND__;
using HWND = HWND__*;
using UINT = unsigned int;
using WORD = std::uint16_t;
using LONG = std::int32_t;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using WPARAM = UINT_PTR;
using LPARAM = INT_PTR;

inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_SHOWWINDOW = 0x0018;
inline constexpr UINT WM_COMMAND = 0x0111;

inline constexpr WORD LOWORD(WPARAM w) { return static_cast<WORD>(w & 0xFFFF); }

// A device-independent bitmap header, as the viewport takes a map's picture.
struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // positive: rows bottom-up
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
};
inline constexpr DWORD BI_RGB = 0;
#endif
