// The editing operations of the host's affine transform, written element by element so that each
// product and sum is the single-precision operation the conventions name.
#include "matrix3.h"

#include <cmath>

namespace {

struct CosSin {
  float c, s;
};

CosSin CosSinOf(float angle) {
  const double a = static_cast<double>(angle);
  return {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))};
}

}  // namespace

void Matrix3::RotateX(float angle) {
  const CosSin cs = CosSinOf(angle);
  for (Point3& r : rows_) {
    const float y = r.y, z = r.z;
    r.y = y * cs.c - z * cs.s;
    r.z = y * cs.s + z * cs.c;
  }
}

void Matrix3::RotateY(float angle) {
  const CosSin cs = CosSinOf(angle);
  for (Point3& r : rows_) {
    const float x = r.x, z = r.z;
    r.x = x * cs.c + z * cs.s;
    r.z = -x * cs.s + z * cs.c;
  }
}

void Matrix3::RotateZ(float angle) {
  const CosSin cs = CosSinOf(angle);
  for (Point3& r : rows_) {
    const float x = r.x, y = r.y;
    r.x = x * cs.c - y * cs.s;
    r.y = x * cs.s + y * cs.c;
  }
}

void Matrix3::Scale(const Point3& s, bool trans) {
  const int last = trans ? 4 : 3;
  for (int i = 0; i < last; ++i) rows_[i] = rows_[i] * s;
}

Matrix3 Matrix3::operator*(const Matrix3& b) const {
  Matrix3 out;
  for (int i = 0; i < 3; ++i) out.rows_[i] = b.VectorTransform(rows_[i]);
  out.rows_[3] = b.PointTransform(rows_[3]);
  return out;
}

Matrix3 Matrix3::Inverse() const {
  const Point3& a = rows_[0];
  const Point3& b = rows_[1];
  const Point3& c = rows_[2];
  // Rows of the inverse linear part are the cofactor columns divided by the determinant.
  const Point3 bc = CrossProd(b, c), ca = CrossProd(c, a), ab = CrossProd(a, b);
  const float det = DotProd(a, bc);
  Matrix3 inv;
  if (det == 0.0f || !std::isfinite(det)) return inv;
  inv.rows_[0] = Point3(bc.x / det, ca.x / det, ab.x / det);
  inv.rows_[1] = Point3(bc.y / det, ca.y / det, ab.y / det);
  inv.rows_[2] = Point3(bc.z / det, ca.z / det, ab.z / det);
  inv.rows_[3] = -inv.VectorTransform(rows_[3]);
  return inv;
}
