// The host's geometry conventions: row vectors, operations appended on the right.
#include <gtest/gtest.h>

#include <cmath>

#include "matrix3.h"
#include "texutil.h"

namespace {

constexpr float kHalfPi = 1.5707964f;

void ExpectNear(const Point3& a, const Point3& b, float tol = 1e-6f) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

TEST(Matrix3, RotationsFollowTheRowVectorConvention) {
  Matrix3 m;
  m.RotateZ(kHalfPi);
  ExpectNear(m * Point3(1.0f, 0.0f, 0.0f), Point3(0.0f, 1.0f, 0.0f));
  m.IdentityMatrix();
  m.RotateX(kHalfPi);
  ExpectNear(m * Point3(0.0f, 1.0f, 0.0f), Point3(0.0f, 0.0f, 1.0f));
  m.IdentityMatrix();
  m.RotateY(kHalfPi);
  ExpectNear(m * Point3(0.0f, 0.0f, 1.0f), Point3(1.0f, 0.0f, 0.0f));
}

TEST(Matrix3, OperationsAppendOnTheRight) {
  // Translate, then rotate: the translation is rotated too.
  Matrix3 m;
  m.Translate(Point3(1.0f, 0.0f, 0.0f));
  m.RotateZ(kHalfPi);
  ExpectNear(m * Point3(0.0f, 0.0f, 0.0f), Point3(0.0f, 1.0f, 0.0f));
  ExpectNear(m.GetRow(3), Point3(0.0f, 1.0f, 0.0f));

  // Scale without trans leaves row 3; vectors ignore row 3.
  Matrix3 s;
  s.Translate(Point3(1.0f, 2.0f, 3.0f));
  s.Scale(Point3(2.0f, 3.0f, 4.0f));
  EXPECT_EQ(s.GetRow(3), Point3(1.0f, 2.0f, 3.0f));
  EXPECT_EQ(s * Point3(1.0f, 1.0f, 1.0f), Point3(3.0f, 5.0f, 7.0f));
  EXPECT_EQ(VectorTransform(s, Point3(1.0f, 1.0f, 1.0f)), Point3(2.0f, 3.0f, 4.0f));

  // NoRot keeps the translation, IdentityMatrix drops it.
  s.NoRot();
  EXPECT_EQ(s * Point3(0.0f, 0.0f, 0.0f), Point3(1.0f, 2.0f, 3.0f));
  EXPECT_EQ(s.GetRow(0), Point3(1.0f, 0.0f, 0.0f));
  s.IdentityMatrix();
  EXPECT_EQ(s, Matrix3());
}

TEST(Matrix3, ProductAndInverseComposeAsTransforms) {
  Matrix3 a, b;
  a.RotateX(0.3f);
  a.Translate(Point3(1.0f, -2.0f, 0.5f));
  b.Scale(Point3(2.0f, 0.5f, 3.0f), true);
  b.RotateY(-1.1f);
  const Point3 p(0.25f, 1.5f, -3.0f);
  ExpectNear((a * b) * p, b * (a * p), 1e-5f);
  ExpectNear(a.Inverse() * (a * p), p, 1e-5f);
  ExpectNear((a * b).Inverse() * ((a * b) * p), p, 1e-5f);
}

TEST(Point3, LengthAndNormalize) {
  EXPECT_EQ(Point3(3.0f, 4.0f, 12.0f).Length(), 13.0f);
  ExpectNear(Normalize(Point3(0.0f, 3.0f, 4.0f)), Point3(0.0f, 0.6f, 0.8f));
  EXPECT_EQ(Point3(0.0f, 0.0f, 0.0f).Normalize(), Point3(0.0f, 0.0f, 0.0f));
  EXPECT_EQ(Point3(1.0f, 2.0f, 3.0f) / 2.0f, Point3(0.5f, 1.0f, 1.5f));
}

TEST(Threshold, RampsBetweenItsEnds) {
  EXPECT_EQ(threshold(0.1f, 0.3f, 0.7f), 0.0f);
  EXPECT_EQ(threshold(0.9f, 0.3f, 0.7f), 1.0f);
  EXPECT_EQ(threshold(0.5f, 0.0f, 1.0f), 0.5f);
  EXPECT_NEAR(threshold(0.5f, 0.3f, 0.7f), 0.5f, 1e-6f);
  EXPECT_EQ(threshold(0.3f, 0.3f, 0.7f), 0.0f);
}

}  // namespace
