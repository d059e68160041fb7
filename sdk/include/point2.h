// Point2: the host's two-component single-precision point.
#pragma once

class Point2 {
 public:
  float x = 0.0f, y = 0.0f;

  constexpr Point2() = default;
  constexpr Point2(float ax, float ay) : x(ax), y(ay) {}

  constexpr float& operator[](int i) { return i == 0 ? x : y; }
  constexpr const float& operator[](int i) const { return i == 0 ? x : y; }

  constexpr Point2 operator+(const Point2& b) const { return Point2(x + b.x, y + b.y); }
  constexpr Point2 operator-(const Point2& b) const { return Point2(x - b.x, y - b.y); }
  constexpr Point2 operator*(float f) const { return Point2(x * f, y * f); }
  constexpr Point2 operator/(float f) const { return Point2(x / f, y / f); }
  constexpr bool operator==(const Point2& b) const = default;
};
