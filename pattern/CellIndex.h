// The lattice cell of a coordinate, shared by the gradient noise and the cellular basis.
//
// The rule is truncation toward zero, minus one for negative values. It equals floor() except at
// negative whole numbers, which step down one more cell (-1.0 lies in cell -2); the pattern's look
// depends on that, so floor() must not be substituted.
//
// Converting a float that does not fit an int32 is undefined behaviour in C++, so coordinates
// beyond the 32-bit cell range saturate to the extreme cells and NaN lands in the lowest cell. The
// pattern there is meaningless but deterministic.
#pragma once

#include <cstdint>

namespace tamrel {

template <class Real>
inline std::int32_t CellIndex(Real v) {
  constexpr Real kLimit = Real(2147483648.0);  // 2^31, exact in float and double
  if (v >= Real(0)) return v < kLimit ? static_cast<std::int32_t>(v) : INT32_MAX;
  // For v > -2^31 the truncation is at least -2^31 + 1, so subtracting one cannot overflow.
  if (v > -kLimit) return static_cast<std::int32_t>(v) - 1;
  return INT32_MIN;
}

// Cell arithmetic that wraps instead of overflowing at the saturated extremes.
inline std::int32_t WrapAdd(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace tamrel
