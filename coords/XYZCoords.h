// The coordinate generator: turns a shade sample into the point where the scratch pattern is
// evaluated, with two footprint derivatives (colour) or three unit axis vectors (bump). Its values
// come from the "Mapping" block at each update; evaluation only reads the record, so any number of
// render threads may share it.
#pragma once

#include <cmath>
#include <cstdint>

#include "interval.h"
#include "matrix3.h"
#include "point3.h"
#include "shadectx.h"
#include "texbake.h"

class IParamBlock2;

// Source of the coordinates ("xyz_map").
enum XYZMapType {
  XYZ_MAP_CHANNEL_2D = 0,          // UVW of a map channel, turned about the centre (0.5, 0.5)
  XYZ_MAP_CHANNEL_REAL_WORLD = 1,  // UVW of a map channel, turned about the origin
  XYZ_MAP_OBJECT = 2,              // object-space position
  XYZ_MAP_WORLD = 3,               // world-space position
  XYZ_MAP_SCREEN = 4,              // screen position
};

// Per-axis tiling rule for map-channel coordinates ("xyz_tile_x" ...).
enum XYZTiling {
  XYZ_TILE_CONTINUE = 0,  // unchanged
  XYZ_TILE_STRETCH = 1,   // clamped to [0, 1]
  XYZ_TILE_TILE = 2,      // fractional part
  XYZ_TILE_MIRROR = 3,    // alternately reflected
  XYZ_TILE_NONE = 4,      // outside [0, 1] the sample is rejected
};

// Applies one tiling rule to one coordinate in place; false rejects the sample. Unknown rules act
// as "Continue". Inline: the coordinates of a run apply it to every sample.
// std::trunc equals the truncating int conversion wherever that is defined and stays defined for
// values beyond the int range, NaN and infinities.
inline bool ApplyTiling(int rule, float& v) {
  switch (rule) {
    case XYZ_TILE_STRETCH:
      if (v < 0.0f) v = 0.0f;
      if (v > 1.0f) v = 1.0f;
      return true;
    case XYZ_TILE_TILE:
      v = v - std::trunc(v);
      if (v < 0.0f) v = v + 1.0f;
      return true;
    case XYZ_TILE_MIRROR: {
      const float a = std::fabs(v);
      const float n = std::trunc(a);
      const bool odd = std::fmod(n, 2.0f) == 1.0f;
      v = odd ? (1.0f - a) + n : a - n;
      return true;
    }
    case XYZ_TILE_NONE:
      return !(v < 0.0f || v > 1.0f);
    default:
      return true;
  }
}

struct XYZCoords {
  int mapType = XYZ_MAP_OBJECT;
  Point3 offset;
  Point3 size{1.0f, 1.0f, 1.0f};
  int tiling[3] = {XYZ_TILE_CONTINUE, XYZ_TILE_CONTINUE, XYZ_TILE_CONTINUE};
  Point3 offsetVar;
  Point3 sizeVar;
  Point3 angleVar;  // radians
  int seed = 12345;
  int randByObj = 1;
  int randByMat = 0;
  int lock = 1;
  bool hasVariance = false;
  Point3 axisBasis[3];
  Matrix3 mapTM;
  int channel = 1;
  Point3 angle;  // radians

  XYZCoords() { BuildTransforms(); }

  // Reads the "Mapping" block at t, narrowing valid, and rebuilds the transforms. A null block
  // leaves the record as it is.
  void UpdateFromBlock(IParamBlock2* block, TimeValue t, Interval& valid);
  // Applies the "Mapping" rollout's rules for the map type and lock just read, when the block's
  // rollout is open: the Y and Z size amplitudes follow the lock, the tiling lists the map type,
  // and the offset and size spinners are set up anew in scene units or as plain numbers.
  void RefreshRollout(IParamBlock2* block, TimeValue t) const;

  // mapTM = translate(offset) · rotations X, Y, Z · scale(1 / size); axisBasis and hasVariance
  // follow from it and from the amplitudes.
  void BuildTransforms();

  // Point and footprint derivatives; false when a "None" tiling rule rejects the sample.
  bool GetXYZ(ShadeContext& sc, Point3& p, Point3& dPdx, Point3& dPdy) const;
  // Point and the unit axis vectors for finite differences; false as above.
  bool GetXYZBump(ShadeContext& sc, Point3& p, Point3 basis[3]) const;

  // The coordinates of samples first .. first+n-1 of run into p, dPdx and dPdy (n each), as
  // GetXYZ gives them for the contexts run.MakeContext builds, to the bit; ok[i] is GetXYZ's
  // answer. Only for the map types TransformedPoint knows (RunsKnown).
  void GetXYZRun(const TexBakeRun& run, int first, int n, Point3* p, Point3* dPdx, Point3* dPdy,
                 BOOL* ok) const;
  // True when the map type is one of the five sources, which GetXYZRun evaluates.
  bool RunsKnown() const { return mapType >= XYZ_MAP_CHANNEL_2D && mapType <= XYZ_MAP_SCREEN; }

  // The perturbed transform of one sample: its seed depends only on the parameters, the material
  // ID and the node, so all samples of one node and material share it.
  Matrix3 RandomTransform(ShadeContext& sc) const;
  Matrix3 RandomTransformFromSeed(std::uint32_t seed) const;
  // The generator seed RandomTransform starts from.
  std::uint32_t RandomSeed(ShadeContext& sc) const;
  std::uint32_t RandomSeed(int mtlNum, INode* node) const;
  bool MapWithDerivatives(ShadeContext& sc, const Matrix3& m, Point3& p, Point3& dPdx,
                          Point3& dPdy) const;
  bool MapPoint(ShadeContext& sc, const Matrix3& m, Point3& p) const;
  static void AxisBasisOf(const Matrix3& m, Point3 basis[3]);

 private:
  bool TransformedPoint(ShadeContext& sc, const Matrix3& m, Point3& p) const;
};
