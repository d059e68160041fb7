// Point3: the host's three-component single-precision point and vector.
//
// Every operation is component-wise single-precision arithmetic in the order written, so that
// callers relying on exact bits (the scratch pattern, the coordinate generator) get them.
#pragma once

#include <cmath>

class Point3 {
 public:
  float x = 0.0f, y = 0.0f, z = 0.0f;

  constexpr Point3() = default;
  constexpr Point3(float ax, float ay, float az) : x(ax), y(ay), z(az) {}
  constexpr Point3(double ax, double ay, double az)
      : x(static_cast<float>(ax)), y(static_cast<float>(ay)), z(static_cast<float>(az)) {}

  static const Point3 Origin;
  static const Point3 XAxis;
  static const Point3 YAxis;
  static const Point3 ZAxis;

  constexpr float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  constexpr const float& operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }

  // Euclidean length; the sum is formed x² + y² + z² in that order.
  float Length() const { return std::sqrt(x * x + y * y + z * z); }
  float LengthSquared() const { return x * x + y * y + z * z; }

  // The vector divided by its length. A zero vector stays zero rather than turning into NaNs.
  Point3 Normalize() const {
    const float len = Length();
    if (len == 0.0f) return *this;
    return Point3(x / len, y / len, z / len);
  }

  constexpr Point3 operator-() const { return Point3(-x, -y, -z); }
  constexpr Point3 operator+(const Point3& b) const { return Point3(x + b.x, y + b.y, z + b.z); }
  constexpr Point3 operator-(const Point3& b) const { return Point3(x - b.x, y - b.y, z - b.z); }
  constexpr Point3 operator*(float f) const { return Point3(x * f, y * f, z * f); }
  // Division divides each component by f (not a multiplication by 1/f, which rounds differently).
  constexpr Point3 operator/(float f) const { return Point3(x / f, y / f, z / f); }
  constexpr Point3& operator+=(const Point3& b) { return *this = *this + b; }
  constexpr Point3& operator-=(const Point3& b) { return *this = *this - b; }
  constexpr Point3& operator*=(float f) { return *this = *this * f; }
  constexpr Point3& operator/=(float f) { return *this = *this / f; }
  constexpr bool operator==(const Point3& b) const = default;
};

inline constexpr Point3 operator*(float f, const Point3& p) { return Point3(f * p.x, f * p.y, f * p.z); }

// Component-wise product.
inline constexpr Point3 operator*(const Point3& a, const Point3& b) {
  return Point3(a.x * b.x, a.y * b.y, a.z * b.z);
}

inline constexpr float DotProd(const Point3& a, const Point3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline constexpr Point3 CrossProd(const Point3& a, const Point3& b) {
  return Point3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}

inline float Length(const Point3& p) { return p.Length(); }
inline Point3 Normalize(const Point3& p) { return p.Normalize(); }

inline constexpr Point3 Point3::Origin{0.0f, 0.0f, 0.0f};
inline constexpr Point3 Point3::XAxis{1.0f, 0.0f, 0.0f};
inline constexpr Point3 Point3::YAxis{0.0f, 1.0f, 0.0f};
inline constexpr Point3 Point3::ZAxis{0.0f, 0.0f, 1.0f};
