// Matrix3: the host's affine transform of four rows of three floats.
//
// Points are row vectors: p·M = p.x·row0 + p.y·row1 + p.z·row2 + row3. The editing operations act in
// place and append on the right, so a rotation added later acts after what the matrix already holds.
// Cosines and sines are taken in double and rounded once to float, which gives the nearest float on
// every platform whose double-precision library rounds correctly.
#pragma once

#include "point3.h"

class Matrix3 {
 public:
  // A new matrix is the identity.
  Matrix3() { IdentityMatrix(); }

  void IdentityMatrix() {
    NoRot();
    rows_[3] = Point3(0.0f, 0.0f, 0.0f);
  }

  // Rows 0 to 2 become the unit axes; the translation row is kept.
  void NoRot() {
    rows_[0] = Point3(1.0f, 0.0f, 0.0f);
    rows_[1] = Point3(0.0f, 1.0f, 0.0f);
    rows_[2] = Point3(0.0f, 0.0f, 1.0f);
  }

  void NoTrans() { rows_[3] = Point3(0.0f, 0.0f, 0.0f); }

  void Translate(const Point3& t) { rows_[3] += t; }

  void RotateX(float angle);
  void RotateY(float angle);
  void RotateZ(float angle);

  // Scales the x, y, z columns of the linear part; with trans set the translation row too.
  void Scale(const Point3& s, bool trans = false);

  const Point3& GetRow(int i) const { return rows_[i]; }
  void SetRow(int i, const Point3& row) { rows_[i] = row; }
  Point3 GetTrans() const { return rows_[3]; }
  void SetTrans(const Point3& t) { rows_[3] = t; }

  // Vector transform: rows 0 to 2 only, summed in row order.
  Point3 VectorTransform(const Point3& v) const {
    return Point3(v.x * rows_[0].x + v.y * rows_[1].x + v.z * rows_[2].x,
                  v.x * rows_[0].y + v.y * rows_[1].y + v.z * rows_[2].y,
                  v.x * rows_[0].z + v.y * rows_[1].z + v.z * rows_[2].z);
  }

  Point3 PointTransform(const Point3& p) const { return VectorTransform(p) + rows_[3]; }

  // Matrix product A·B in the row-vector convention: transforming by A·B is A first, then B.
  Matrix3 operator*(const Matrix3& b) const;

  // General inverse of the affine transform; a singular matrix yields the identity.
  Matrix3 Inverse() const;

  bool operator==(const Matrix3& b) const = default;

 private:
  Point3 rows_[4];
};

inline Point3 operator*(const Matrix3& m, const Point3& p) { return m.PointTransform(p); }
inline Point3 operator*(const Point3& p, const Matrix3& m) { return m.PointTransform(p); }
inline Point3 VectorTransform(const Matrix3& m, const Point3& v) { return m.VectorTransform(v); }
inline Point3 VectorTransform(const Point3& v, const Matrix3& m) { return m.VectorTransform(v); }
inline Matrix3 Inverse(const Matrix3& m) { return m.Inverse(); }
