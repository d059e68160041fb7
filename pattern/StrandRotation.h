// The rotation of a strand level, owned by the pattern: the host's affine transform of four rows
// of three floats, reduced to the editing steps the levels use and stored as the columns the
// level point is formed from.
#pragma once

#include "point3.h"

namespace tamrel {

// Starts as the identity. Each rotation acts in place on every row (the translation row too, so
// its zeros take the signs the host's transform gives them) and appends on the right: a rotation
// added later acts after what the transform already holds. Cosines and sines are taken in double
// and rounded once to float; every other step is the single-precision operation in the order
// written, so the entries are those of the host's transform built with the same steps.
class StrandRotation {
 public:
  void RotateX(float angle);
  void RotateY(float angle);
  void RotateZ(float angle);

  // Row i (0..2) of the linear part; 3 is the translation row.
  Point3 GetRow(int i) const;
  // The linear part by columns: entry 3 * axis + row is row `row`'s coordinate `axis`.
  const float* Columns() const { return col_; }
  const float* Translation() const { return trans_; }

 private:
  // Calls edit(x, y, z) on each row, the translation row last.
  template <class Edit>
  void EachRow(Edit edit);

  float col_[9] = {1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f};
  float trans_[3] = {0.0f, 0.0f, 0.0f};
};

}  // namespace tamrel
