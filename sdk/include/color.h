// Color and AColor: the host's RGB and RGBA single-precision colours.
#pragma once

class Color {
 public:
  float r = 0.0f, g = 0.0f, b = 0.0f;

  constexpr Color() = default;
  constexpr Color(float ar, float ag, float ab) : r(ar), g(ag), b(ab) {}

  constexpr Color operator+(const Color& c) const { return Color(r + c.r, g + c.g, b + c.b); }
  constexpr Color operator-(const Color& c) const { return Color(r - c.r, g - c.g, b - c.b); }
  constexpr Color operator*(float f) const { return Color(r * f, g * f, b * f); }
  constexpr bool operator==(const Color& c) const = default;

  // Clamps every component to [0, 1]; NaN components become 0.
  void ClampMinMax() {
    r = Clamp01(r);
    g = Clamp01(g);
    b = Clamp01(b);
  }

 private:
  static constexpr float Clamp01(float v) { return v > 1.0f ? 1.0f : (v >= 0.0f ? v : 0.0f); }
};

class AColor {
 public:
  float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f;

  constexpr AColor() = default;
  constexpr AColor(float ar, float ag, float ab, float aa = 1.0f) : r(ar), g(ag), b(ab), a(aa) {}
  constexpr explicit AColor(const Color& c, float aa = 1.0f) : r(c.r), g(c.g), b(c.b), a(aa) {}

  constexpr AColor operator+(const AColor& c) const { return AColor(r + c.r, g + c.g, b + c.b, a + c.a); }
  constexpr AColor operator-(const AColor& c) const { return AColor(r - c.r, g - c.g, b - c.b, a - c.a); }
  constexpr AColor operator*(float f) const { return AColor(r * f, g * f, b * f, a * f); }
  constexpr bool operator==(const AColor& c) const = default;
};

inline constexpr Color operator*(float f, const Color& c) { return Color(f * c.r, f * c.g, f * c.b); }
inline constexpr AColor operator*(float f, const AColor& c) { return AColor(f * c.r, f * c.g, f * c.b, f * c.a); }
