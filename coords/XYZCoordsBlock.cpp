// Reading the "Mapping" block into the coordinate record.
#include "coords/MappingBlock.h"
#include "coords/XYZCoords.h"

namespace {

constexpr float kDegToRad = 0.017453292f;

}  // namespace

void XYZCoords::UpdateFromBlock(IParamBlock2* block, TimeValue t, Interval& valid) {
  if (!block) return;
  block->GetValue(XYZ_PB_OFFSET_X, t, offset.x, valid);
  block->GetValue(XYZ_PB_OFFSET_Y, t, offset.y, valid);
  block->GetValue(XYZ_PB_OFFSET_Z, t, offset.z, valid);
  block->GetValue(XYZ_PB_SIZE_X, t, size.x, valid);
  block->GetValue(XYZ_PB_SIZE_Y, t, size.y, valid);
  block->GetValue(XYZ_PB_SIZE_Z, t, size.z, valid);
  block->GetValue(XYZ_PB_ANGLE_X, t, angle.x, valid);
  block->GetValue(XYZ_PB_ANGLE_Y, t, angle.y, valid);
  block->GetValue(XYZ_PB_ANGLE_Z, t, angle.z, valid);
  block->GetValue(XYZ_PB_OFFSET_X2, t, offsetVar.x, valid);
  block->GetValue(XYZ_PB_OFFSET_Y2, t, offsetVar.y, valid);
  block->GetValue(XYZ_PB_OFFSET_Z2, t, offsetVar.z, valid);
  block->GetValue(XYZ_PB_SIZE_X2, t, sizeVar.x, valid);
  block->GetValue(XYZ_PB_SIZE_Y2, t, sizeVar.y, valid);
  block->GetValue(XYZ_PB_SIZE_Z2, t, sizeVar.z, valid);
  block->GetValue(XYZ_PB_ANGLE_X2, t, angleVar.x, valid);
  block->GetValue(XYZ_PB_ANGLE_Y2, t, angleVar.y, valid);
  block->GetValue(XYZ_PB_ANGLE_Z2, t, angleVar.z, valid);
  block->GetValue(XYZ_PB_TILE_X, t, tiling[0], valid);
  block->GetValue(XYZ_PB_TILE_Y, t, tiling[1], valid);
  block->GetValue(XYZ_PB_TILE_Z, t, tiling[2], valid);
  block->GetValue(XYZ_PB_SEED, t, seed, valid);
  block->GetValue(XYZ_PB_RAND_BY_OBJ, t, randByObj, valid);
  block->GetValue(XYZ_PB_RAND_BY_MAT, t, randByMat, valid);
  block->GetValue(XYZ_PB_MAP, t, mapType, valid);
  block->GetValue(XYZ_PB_CHAN, t, channel, valid);
  block->GetValue(XYZ_PB_LOCK, t, lock, valid);

  // The block holds degrees; the record radians.
  angle = angle * kDegToRad;
  angleVar = angleVar * kDegToRad;
  RefreshRollout(block, t);
  BuildTransforms();
}
