// The editing steps of a level rotation, written element by element so that each product and sum
// is the single-precision operation of the host's transform, in its order.
#include "pattern/StrandRotation.h"

#include <cmath>

namespace tamrel {
namespace {

struct CosSin {
  float c, s;
};

// Taken in double and rounded once: the nearest float wherever the double library rounds
// correctly.
CosSin CosSinOf(float angle) {
  const double a = static_cast<double>(angle);
  return {static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))};
}

}  // namespace

template <class Edit>
void StrandRotation::EachRow(Edit edit) {
  for (int row = 0; row < 3; ++row) edit(col_[row], col_[3 + row], col_[6 + row]);
  edit(trans_[0], trans_[1], trans_[2]);
}

void StrandRotation::RotateX(float angle) {
  const CosSin cs = CosSinOf(angle);
  EachRow([&](float&, float& ry, float& rz) {
    const float y = ry, z = rz;
    ry = y * cs.c - z * cs.s;
    rz = y * cs.s + z * cs.c;
  });
}

void StrandRotation::RotateY(float angle) {
  const CosSin cs = CosSinOf(angle);
  EachRow([&](float& rx, float&, float& rz) {
    const float x = rx, z = rz;
    rx = x * cs.c + z * cs.s;
    rz = -x * cs.s + z * cs.c;
  });
}

void StrandRotation::RotateZ(float angle) {
  const CosSin cs = CosSinOf(angle);
  EachRow([&](float& rx, float& ry, float&) {
    const float x = rx, y = ry;
    rx = x * cs.c - y * cs.s;
    ry = x * cs.s + y * cs.c;
  });
}

Point3 StrandRotation::GetRow(int i) const {
  if (i == 3) return Point3(trans_[0], trans_[1], trans_[2]);
  return Point3(col_[i], col_[3 + i], col_[6 + i]);
}

}  // namespace tamrel
