// Simplex noise over any assignment of gradients to lattice corners. The noise proper (skew, find
// the simplex, sum the attenuated gradient ramps of its corners) is written once here; a caller
// says where a corner's gradient code comes from. Every operation is in the order the pattern's
// exact bits depend on: the corner offsets subtract the whole step first and add the unskew
// constant second, and G2 = 2G is its own rounded constant.
#pragma once

#include <cstdint>

#include "pattern/CellIndex.h"
#include "pattern/SimplexNoise.h"

namespace tamrel::simplex {

inline constexpr float kF2 = 0.3660254f;     // (sqrt(3) - 1) / 2
inline constexpr float kG2 = 0.21132487f;    // (3 - sqrt(3)) / 6
inline constexpr float kG2x2 = 0.42264974f;  // 2 * kG2, rounded on its own
inline constexpr float kF3 = 0.33333334f;    // 1 / 3
inline constexpr float kG3 = 0.16666667f;    // 1 / 6
inline constexpr float kG3x2 = 0.33333334f;
inline constexpr float kG3x3 = 0.5f;

// Eight gradients (±1, ±2) and (±2, ±1).
inline float Grad2(int h, float a, float b) {
  const int k = h & 7;
  const float u = k < 4 ? a : b;
  const float v = k < 4 ? b : a;
  return ((k & 1) ? -u : u) + ((k & 2) ? -2.0f * v : 2.0f * v);
}

// The twelve cube-edge directions, four of them repeated for codes 12..15.
inline float Grad3(int h, float x, float y, float z) {
  const int m = h & 15;
  const float u = m < 8 ? x : y;
  const float v = m < 4 ? y : (m == 12 || m == 14 ? x : z);
  return ((m & 1) ? -u : u) + ((m & 2) ? -v : v);
}

inline float Corner2(int h, float x, float y) {
  float r = 0.5f - x * x - y * y;
  if (r < 0.0f) return 0.0f;
  r *= r;
  r *= r;
  return r * Grad2(h, x, y);
}

inline float Corner3(int h, float x, float y, float z) {
  float r = 0.6f - x * x - y * y - z * z;
  if (r < 0.0f) return 0.0f;
  r *= r;
  r *= r;
  return r * Grad3(h, x, y, z);
}

// 2D noise at (x, y); code(i, j, di, dj) is the gradient code of corner (i + di, j + dj) of the
// simplex whose first corner is (i, j), with di, dj each 0 or 1.
template <class Code>
inline float Noise2D(float x, float y, Code code) {
  const float s = (x + y) * kF2;
  const std::int32_t i = CellIndex(x + s);
  const std::int32_t j = CellIndex(y + s);
  const float t = static_cast<float>(WrapAdd(i, j)) * kG2;
  const float x0 = x - (static_cast<float>(i) - t);
  const float y0 = y - (static_cast<float>(j) - t);

  // A tie x0 == y0 takes the (0, 1) corner.
  const int i1 = x0 > y0 ? 1 : 0;
  const int j1 = 1 - i1;

  const float x1 = (x0 - static_cast<float>(i1)) + kG2;
  const float y1 = (y0 - static_cast<float>(j1)) + kG2;
  const float x2 = (x0 - 1.0f) + kG2x2;
  const float y2 = (y0 - 1.0f) + kG2x2;

  const int h0 = code(i, j, 0, 0);
  const int h1 = code(i, j, i1, j1);
  const int h2 = code(i, j, 1, 1);
  return 40.0f * (Corner2(h0, x0, y0) + Corner2(h1, x1, y1) + Corner2(h2, x2, y2));
}

// 3D noise at (x, y, z); code(i, j, k, di, dj, dk) as in Noise2D.
template <class Code>
inline float Noise3D(float x, float y, float z, Code code) {
  const float s = (x + y + z) * kF3;
  const std::int32_t i = CellIndex(x + s);
  const std::int32_t j = CellIndex(y + s);
  const std::int32_t k = CellIndex(z + s);
  const float t = static_cast<float>(WrapAdd(WrapAdd(i, j), k)) * kG3;
  const float x0 = x - (static_cast<float>(i) - t);
  const float y0 = y - (static_cast<float>(j) - t);
  const float z0 = z - (static_cast<float>(k) - t);

  // The comparisons run in this order and the ties fall as written; changing either moves points
  // on the simplex boundaries into another simplex.
  int i1, j1, k1, i2, j2, k2;
  if (x0 >= y0) {
    if (y0 >= z0) {
      i1 = 1, j1 = 0, k1 = 0, i2 = 1, j2 = 1, k2 = 0;
    } else if (x0 >= z0) {
      i1 = 1, j1 = 0, k1 = 0, i2 = 1, j2 = 0, k2 = 1;
    } else {
      i1 = 0, j1 = 0, k1 = 1, i2 = 1, j2 = 0, k2 = 1;
    }
  } else {
    if (y0 < z0) {
      i1 = 0, j1 = 0, k1 = 1, i2 = 0, j2 = 1, k2 = 1;
    } else if (x0 < z0) {
      i1 = 0, j1 = 1, k1 = 0, i2 = 0, j2 = 1, k2 = 1;
    } else {
      i1 = 0, j1 = 1, k1 = 0, i2 = 1, j2 = 1, k2 = 0;
    }
  }

  const float x1 = (x0 - static_cast<float>(i1)) + kG3;
  const float y1 = (y0 - static_cast<float>(j1)) + kG3;
  const float z1 = (z0 - static_cast<float>(k1)) + kG3;
  const float x2 = (x0 - static_cast<float>(i2)) + kG3x2;
  const float y2 = (y0 - static_cast<float>(j2)) + kG3x2;
  const float z2 = (z0 - static_cast<float>(k2)) + kG3x2;
  const float x3 = (x0 - 1.0f) + kG3x3;
  const float y3 = (y0 - 1.0f) + kG3x3;
  const float z3 = (z0 - 1.0f) + kG3x3;

  const int h0 = code(i, j, k, 0, 0, 0);
  const int h1 = code(i, j, k, i1, j1, k1);
  const int h2 = code(i, j, k, i2, j2, k2);
  const int h3 = code(i, j, k, 1, 1, 1);
  return 32.0f * (Corner3(h0, x0, y0, z0) + Corner3(h1, x1, y1, z1) + Corner3(h2, x2, y2, z2) +
                  Corner3(h3, x3, y3, z3));
}

}  // namespace tamrel::simplex
