// Basic scalar types, time and class identity of the host SDK.
//
// Times are integer ticks (4800 a second). Class identity is the pair of 32-bit words a scene
// file stores to find the plug-in class that reads an object back.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
using BOOL = int;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
using BYTE = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
#endif

using TimeValue = int;
inline constexpr TimeValue TIME_TICKSPERSEC = 4800;
// The extremes are kept one step inside the int range so that "end + 1" or "start - 1" of an
// interval touching them cannot overflow.
inline constexpr TimeValue TIME_NegInfinity = INT32_MIN + 1;
inline constexpr TimeValue TIME_PosInfinity = INT32_MAX - 1;

using SClass_ID = ULONG;
inline constexpr SClass_ID TEXMAP_CLASS_ID = 0xC10;
inline constexpr SClass_ID MATERIAL_CLASS_ID = 0xC00;
inline constexpr SClass_ID PARAMETER_BLOCK2_CLASS_ID = 0x82;
inline constexpr SClass_ID REF_TARGET_CLASS_ID = 0x907;
inline constexpr SClass_ID TEXOUTPUT_CLASS_ID = 0xC30;

class Class_ID {
 public:
  constexpr Class_ID() = default;
  constexpr Class_ID(ULONG aa, ULONG bb) : a(aa), b(bb) {}
  constexpr ULONG PartA() const { return a; }
  constexpr ULONG PartB() const { return b; }
  constexpr bool operator==(const Class_ID&) const = default;
  constexpr bool operator<(const Class_ID& c) const { return a < c.a || (a == c.a && b < c.b); }

 private:
  ULONG a = 0xFFFFFFFF, b = 0xFFFFFFFF;
};

// Identity of a parameter block within its owner class, and of a parameter within its block.
using BlockID = short;
using ParamID = short;
