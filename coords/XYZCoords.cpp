// Coordinate generation: the stored and the random transform, the five sources and the tiling.
#include "coords/XYZCoords.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr float kMinSize = 0.0001f;
constexpr float kVarianceEpsilon = 0.0001f;
const Point3 kCentre(0.5f, 0.5f, 0.0f);

// The platform runtime's rand(): state·214013 + 2531011, 15-bit output. The state lives in the
// caller's frame, so concurrent samples cannot disturb each other's sequence.
class RuntimeRand {
 public:
  explicit RuntimeRand(std::uint32_t seed) : state_(seed) {}
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 32767u);
  }
  // A uniform draw in [-1, 1].
  float Signed() { return 2.0f * (static_cast<float>(Next()) / 32767.0f) - 1.0f; }

 private:
  std::uint32_t state_;
};

inline std::uint32_t Scramble(std::uint32_t n) { return n * (n * n * 15731u + 789221u); }

inline float AtLeastMinSize(float v) { return v < kMinSize ? kMinSize : v; }

inline Point3 ReciprocalOf(const Point3& s) { return Point3(1.0f / s.x, 1.0f / s.y, 1.0f / s.z); }

}  // namespace

void XYZCoords::BuildTransforms() {
  // Sizes below the block's minimum can still arrive (scripted values, spinners limited at 0);
  // they are used as that minimum, as the random transform does, so a zero size never divides.
  const Point3 s(AtLeastMinSize(size.x), AtLeastMinSize(size.y), AtLeastMinSize(size.z));
  mapTM.IdentityMatrix();
  mapTM.Translate(offset);
  mapTM.RotateX(angle.x);
  mapTM.RotateY(angle.y);
  mapTM.RotateZ(angle.z);
  mapTM.Scale(ReciprocalOf(s), false);
  AxisBasisOf(mapTM, axisBasis);
  const float amplitudes[9] = {offsetVar.x, offsetVar.y, offsetVar.z, sizeVar.x, sizeVar.y,
                               sizeVar.z,   angleVar.x,  angleVar.y,  angleVar.z};
  hasVariance = false;
  for (float a : amplitudes) hasVariance = hasVariance || a > kVarianceEpsilon;
}

void XYZCoords::AxisBasisOf(const Matrix3& m, Point3 basis[3]) {
  for (int i = 0; i < 3; ++i) basis[i] = Normalize(m.GetRow(i));
}

std::uint32_t XYZCoords::RandomSeed(ShadeContext& sc) const {
  return RandomSeed(sc.mtlNum, sc.Node());
}

std::uint32_t XYZCoords::RandomSeed(int mtlNum, INode* node) const {
  std::uint32_t s = randByMat ? static_cast<std::uint32_t>(mtlNum) + 1u : 1u;
  if (randByObj) {
    if (node) s = s + Scramble(node->GetHandle());
  }
  s = s * static_cast<std::uint32_t>(seed);
  return Scramble(s);
}

Matrix3 XYZCoords::RandomTransform(ShadeContext& sc) const {
  return RandomTransformFromSeed(RandomSeed(sc));
}

Matrix3 XYZCoords::RandomTransformFromSeed(std::uint32_t randomSeed) const {
  RuntimeRand rand(randomSeed);

  Matrix3 m;
  // Draw order is part of the placement: z before y before x.
  const float oz = rand.Signed() * offsetVar.z + offset.z;
  const float oy = rand.Signed() * offsetVar.y + offset.y;
  const float ox = rand.Signed() * offsetVar.x + offset.x;
  m.Translate(Point3(ox, oy, oz));
  m.RotateX(rand.Signed() * angleVar.x + angle.x);
  m.RotateY(rand.Signed() * angleVar.y + angle.y);
  m.RotateZ(rand.Signed() * angleVar.z + angle.z);

  float sx, sy, sz;
  if (lock) {
    const float d = rand.Signed() * sizeVar.x;
    sz = d + size.z;
    sy = d + size.y;
    sx = d + size.x;
  } else {
    sz = rand.Signed() * sizeVar.z + size.z;
    sy = rand.Signed() * sizeVar.y + size.y;
    sx = rand.Signed() * sizeVar.x + size.x;
  }
  m.Scale(ReciprocalOf(Point3(AtLeastMinSize(sx), AtLeastMinSize(sy), AtLeastMinSize(sz))), false);
  return m;
}

namespace {

bool TileAll(const int tiling[3], Point3& p) {
  return ApplyTiling(tiling[0], p.x) && ApplyTiling(tiling[1], p.y) && ApplyTiling(tiling[2], p.z);
}

}  // namespace

// The untiled point of the sample: the source coordinates of the map type through m (map
// channel 2D about the centre (0.5, 0.5)). False for an unknown map type, leaving p untouched.
bool XYZCoords::TransformedPoint(ShadeContext& sc, const Matrix3& m, Point3& p) const {
  switch (mapType) {
    case XYZ_MAP_CHANNEL_2D:
      p = m * (sc.UVW(channel) - kCentre) + kCentre;
      return true;
    case XYZ_MAP_CHANNEL_REAL_WORLD:
      p = m * sc.UVW(channel);
      return true;
    case XYZ_MAP_OBJECT:
    case XYZ_MAP_WORLD:
      p = m * sc.PointTo(sc.P(), mapType == XYZ_MAP_OBJECT ? REF_OBJECT : REF_WORLD);
      return true;
    case XYZ_MAP_SCREEN: {
      Point2 uv, duv;
      sc.ScreenUV(uv, duv);
      p = m * Point3(uv.x, uv.y, 0.0f);
      return true;
    }
    default:
      return false;
  }
}

bool XYZCoords::MapWithDerivatives(ShadeContext& sc, const Matrix3& m, Point3& p, Point3& dPdx,
                                   Point3& dPdy) const {
  if (!TransformedPoint(sc, m, p)) return true;
  switch (mapType) {
    case XYZ_MAP_CHANNEL_2D:
    case XYZ_MAP_CHANNEL_REAL_WORLD: {
      const Point3 t = VectorTransform(m, sc.DUVW(channel));
      dPdx = Point3(t.x, 0.0f, 0.0f);
      dPdy = Point3(0.0f, t.y, 0.0f);
      return TileAll(tiling, p);
    }
    case XYZ_MAP_OBJECT:
    case XYZ_MAP_WORLD: {
      const RefFrame frame = mapType == XYZ_MAP_OBJECT ? REF_OBJECT : REF_WORLD;
      Point3 dpdx, dpdy;
      sc.DP(dpdx, dpdy);
      dPdx = VectorTransform(m, sc.VectorTo(dpdx, frame));
      dPdy = VectorTransform(m, sc.VectorTo(dpdy, frame));
      return true;
    }
    default: {  // screen
      Point2 uv, duv;
      sc.ScreenUV(uv, duv);
      dPdx = VectorTransform(m, Point3(duv.x, 0.0f, 0.0f));
      dPdy = VectorTransform(m, Point3(0.0f, duv.y, 0.0f));
      return true;
    }
  }
}

// The bump of real-world mapping is never tiled; only the 2D map channel is.
bool XYZCoords::MapPoint(ShadeContext& sc, const Matrix3& m, Point3& p) const {
  if (!TransformedPoint(sc, m, p)) return true;
  return mapType == XYZ_MAP_CHANNEL_2D ? TileAll(tiling, p) : true;
}

bool XYZCoords::GetXYZ(ShadeContext& sc, Point3& p, Point3& dPdx, Point3& dPdy) const {
  if (hasVariance) return MapWithDerivatives(sc, RandomTransform(sc), p, dPdx, dPdy);
  return MapWithDerivatives(sc, mapTM, p, dPdx, dPdy);
}

bool XYZCoords::GetXYZBump(ShadeContext& sc, Point3& p, Point3 basis[3]) const {
  if (!hasVariance) {
    if (!MapPoint(sc, mapTM, p)) return false;
    for (int i = 0; i < 3; ++i) basis[i] = axisBasis[i];
    return true;
  }
  const Matrix3 m = RandomTransform(sc);
  if (!MapPoint(sc, m, p)) return false;
  AxisBasisOf(m, basis);
  return true;
}

// The run's road through the same steps as GetXYZ and MapWithDerivatives: the point through the
// frame transform and then the map's, the derivatives likewise, in the same operations and order,
// so every sample gets the bits its context would. The random transform depends only on the seed,
// which neighbouring samples of one node and material share: it is built again only when the
// seed changes.
namespace {

// Neighbouring samples of a run mostly share their derivatives, instance and transform (all of a
// plane's do): the transformed derivatives of the last sample stand for the next one's whenever
// its inputs are the same bits, which give the same bits again.
class SameDerivatives {
 public:
  // True when the sample's inputs are the last sample's; else they become the last.
  bool Holds(int instance, std::uint32_t seed, const Point3& a, const Point3& b) {
    if (valid_ && instance == instance_ && seed == seed_ && std::memcmp(&a, &a_, sizeof a) == 0 &&
        std::memcmp(&b, &b_, sizeof b) == 0) {
      return true;
    }
    valid_ = true;
    instance_ = instance;
    seed_ = seed;
    a_ = a;
    b_ = b;
    return false;
  }

 private:
  bool valid_ = false;
  int instance_ = 0;
  std::uint32_t seed_ = 0;
  Point3 a_, b_;
};

}  // namespace

void XYZCoords::GetXYZRun(const TexBakeRun& run, int first, int n, Point3* p, Point3* dPdx,
                          Point3* dPdy, BOOL* ok) const {
  Matrix3 random;
  std::uint32_t randomSeed = 0;
  bool haveRandom = false;
  const auto transformOf = [&](int i) -> const Matrix3& {
    if (!hasVariance) return mapTM;
    const std::uint32_t s = RandomSeed(run.MtlNum(i), run.Node(i));
    if (!haveRandom || s != randomSeed) {
      random = RandomTransformFromSeed(s);
      randomSeed = s;
      haveRandom = true;
    }
    return random;
  };
  switch (mapType) {
    case XYZ_MAP_CHANNEL_2D:
    case XYZ_MAP_CHANNEL_REAL_WORLD: {
      const Point3* uvw = run.ChannelUVW(channel);
      const Point3* duvw = run.ChannelDUVW(channel);
      const bool centred = mapType == XYZ_MAP_CHANNEL_2D;
      SameDerivatives same;
      Point3 t;
      for (int j = 0; j < n; ++j) {
        const int i = first + j;
        const Matrix3& m = transformOf(i);
        const Point3 q = uvw ? uvw[i] : Point3();
        p[j] = centred ? m * (q - kCentre) + kCentre : m * q;
        const Point3 d = duvw ? duvw[i] : Point3();
        if (!same.Holds(0, randomSeed, d, d)) t = VectorTransform(m, d);
        dPdx[j] = Point3(t.x, 0.0f, 0.0f);
        dPdy[j] = Point3(0.0f, t.y, 0.0f);
        ok[j] = TileAll(tiling, p[j]) ? TRUE : FALSE;
      }
      return;
    }
    case XYZ_MAP_OBJECT:
    case XYZ_MAP_WORLD: {
      const Matrix3* frames = mapType == XYZ_MAP_OBJECT ? run.camToObj : run.camToWorld;
      SameDerivatives same;
      Point3 dx, dy;
      for (int j = 0; j < n; ++j) {
        const int i = first + j;
        const Matrix3& m = transformOf(i);
        const int instance = run.Instance(i);
        const Matrix3& f = frames[instance];
        p[j] = m * (f * run.p[i]);
        if (!same.Holds(instance, randomSeed, run.dpdx[i], run.dpdy[i])) {
          dx = VectorTransform(m, VectorTransform(f, run.dpdx[i]));
          dy = VectorTransform(m, VectorTransform(f, run.dpdy[i]));
        }
        dPdx[j] = dx;
        dPdy[j] = dy;
        ok[j] = TRUE;
      }
      return;
    }
    case XYZ_MAP_SCREEN: {
      SameDerivatives same;
      Point3 dx, dy;
      for (int j = 0; j < n; ++j) {
        const int i = first + j;
        const Matrix3& m = transformOf(i);
        const Point2 uv = run.screenUV[i], duv = run.screenDUV[i];
        p[j] = m * Point3(uv.x, uv.y, 0.0f);
        const Point3 d(duv.x, duv.y, 0.0f);
        if (!same.Holds(0, randomSeed, d, d)) {
          dx = VectorTransform(m, Point3(duv.x, 0.0f, 0.0f));
          dy = VectorTransform(m, Point3(0.0f, duv.y, 0.0f));
        }
        dPdx[j] = dx;
        dPdy[j] = dy;
        ok[j] = TRUE;
      }
      return;
    }
    default:  // not a source GetXYZRun knows: every sample without coordinates
      for (int j = 0; j < n; ++j) ok[j] = FALSE;
      return;
  }
}
