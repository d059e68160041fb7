// The coordinate generator: the stored transform, the five sources, tiling, and the random
// variance with the platform's generator.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "coords/XYZCoords.h"

namespace {

constexpr float kDeg = 0.017453292f;

void ExpectNear(const Point3& a, const Point3& b, float tol = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

// A sample whose camera space equals object space shifted by (10, 0, 0), so object and world
// frames are told apart.
SampleShadeContext Sample(const Point3& objectP) {
  SampleShadeContext sc;
  sc.camToObj.IdentityMatrix();
  sc.camToObj.Translate(Point3(-10.0f, 0.0f, 0.0f));
  sc.p = objectP + Point3(10.0f, 0.0f, 0.0f);
  sc.dpdx = Point3(0.01f, 0.0f, 0.0f);
  sc.dpdy = Point3(0.0f, 0.02f, 0.0f);
  return sc;
}

TEST(XYZCoords, DefaultsPassObjectSpaceThrough) {
  XYZCoords c;
  c.BuildTransforms();
  EXPECT_FALSE(c.hasVariance);
  SampleShadeContext sc = Sample(Point3(1.0f, 2.0f, 3.0f));
  Point3 p, dx, dy;
  ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
  EXPECT_EQ(p, Point3(1.0f, 2.0f, 3.0f));
  EXPECT_EQ(dx, Point3(0.01f, 0.0f, 0.0f));
  EXPECT_EQ(dy, Point3(0.0f, 0.02f, 0.0f));
  c.mapType = XYZ_MAP_WORLD;
  ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
  EXPECT_EQ(p, Point3(11.0f, 2.0f, 3.0f));  // world is camera space here
}

TEST(XYZCoords, OffsetIsTurnedButNotScaled) {
  XYZCoords c;
  c.offset = Point3(1.0f, 0.0f, 0.0f);
  c.angle = Point3(0.0f, 0.0f, 90.0f * kDeg);
  c.size = Point3(2.0f, 2.0f, 2.0f);
  c.BuildTransforms();
  SampleShadeContext sc = Sample(Point3(1.0f, 0.0f, 0.0f));
  Point3 p, basis[3];
  ASSERT_TRUE(c.GetXYZBump(sc, p, basis));
  ExpectNear(p, Point3(0.0f, 1.5f, 0.0f));
  // The basis is the unit image of each source axis.
  ExpectNear(basis[0], Point3(0.0f, 1.0f, 0.0f));
  ExpectNear(basis[1], Point3(-1.0f, 0.0f, 0.0f));
  ExpectNear(basis[2], Point3(0.0f, 0.0f, 1.0f));
}

TEST(XYZCoords, MapChannelsTurnAboutTheCentreOrTheOrigin) {
  XYZCoords c;
  c.mapType = XYZ_MAP_CHANNEL_2D;
  c.channel = 2;
  c.BuildTransforms();
  SampleShadeContext sc;
  sc.SetUVW(2, Point3(0.75f, 0.5f, 0.0f), Point3(0.01f, 0.02f, 0.0f));
  Point3 p, dx, dy;
  ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
  EXPECT_EQ(p, Point3(0.75f, 0.5f, 0.0f));
  EXPECT_EQ(dx, Point3(0.01f, 0.0f, 0.0f));
  EXPECT_EQ(dy, Point3(0.0f, 0.02f, 0.0f));

  c.angle.z = 90.0f * kDeg;
  c.BuildTransforms();
  ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
  ExpectNear(p, Point3(0.5f, 0.75f, 0.0f));  // about (0.5, 0.5)
  c.mapType = XYZ_MAP_CHANNEL_REAL_WORLD;
  ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
  ExpectNear(p, Point3(-0.5f, 0.75f, 0.0f));  // about the origin
}

TEST(XYZCoords, ScreenUsesScreenPosition) {
  XYZCoords c;
  c.mapType = XYZ_MAP_SCREEN;
  c.size = Point3(0.5f, 0.5f, 1.0f);
  c.BuildTransforms();
  SampleShadeContext sc;
  sc.screenUV = Point2(0.25f, 0.5f);
  sc.screenDUV = Point2(0.001f, 0.002f);
  Point3 p, dx, dy;
  ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
  EXPECT_EQ(p, Point3(0.5f, 1.0f, 0.0f));
  EXPECT_EQ(dx, Point3(0.002f, 0.0f, 0.0f));
  EXPECT_EQ(dy, Point3(0.0f, 0.004f, 0.0f));
}

TEST(ApplyTiling, EveryRule) {
  const struct {
    int rule;
    float in, out;
  } cases[] = {{XYZ_TILE_TILE, -0.25f, 0.75f},   {XYZ_TILE_TILE, 2.25f, 0.25f},
               {XYZ_TILE_MIRROR, 1.25f, 0.75f},  {XYZ_TILE_MIRROR, 2.25f, 0.25f},
               {XYZ_TILE_MIRROR, -0.25f, 0.25f}, {XYZ_TILE_STRETCH, -3.0f, 0.0f},
               {XYZ_TILE_STRETCH, 7.0f, 1.0f},   {XYZ_TILE_CONTINUE, -7.5f, -7.5f},
               {XYZ_TILE_NONE, 0.0f, 0.0f},      {XYZ_TILE_NONE, 1.0f, 1.0f},
               {99, 3.5f, 3.5f}};
  for (const auto& c : cases) {
    float v = c.in;
    EXPECT_TRUE(ApplyTiling(c.rule, v)) << c.rule << " " << c.in;
    EXPECT_EQ(v, c.out) << c.rule << " " << c.in;
  }
  for (float reject : {1.0001f, -0.0001f}) {
    float v = reject;
    EXPECT_FALSE(ApplyTiling(XYZ_TILE_NONE, v));
  }
  // Beyond the int range and for non-finite values the rules stay defined.
  for (float v : {3e9f, -1e30f, std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()}) {
    float a = v, b = v;
    ApplyTiling(XYZ_TILE_TILE, a);
    ApplyTiling(XYZ_TILE_MIRROR, b);
  }
}

TEST(XYZCoords, NoneRejectsInColourButNotInRealWorldBump) {
  XYZCoords c;
  c.mapType = XYZ_MAP_CHANNEL_REAL_WORLD;
  c.tiling[0] = XYZ_TILE_NONE;
  c.BuildTransforms();
  SampleShadeContext sc;
  sc.SetUVW(1, Point3(2.0f, 0.5f, 0.0f), Point3());
  Point3 p, dx, dy, basis[3];
  EXPECT_FALSE(c.GetXYZ(sc, p, dx, dy));
  EXPECT_TRUE(c.GetXYZBump(sc, p, basis));
  EXPECT_EQ(p, Point3(2.0f, 0.5f, 0.0f));
  c.mapType = XYZ_MAP_CHANNEL_2D;
  EXPECT_FALSE(c.GetXYZBump(sc, p, basis));
  // Positions are never tiled.
  for (int type : {XYZ_MAP_OBJECT, XYZ_MAP_WORLD, XYZ_MAP_SCREEN}) {
    c.mapType = type;
    SampleShadeContext far = Sample(Point3(5.0f, -5.0f, 2.0f));
    far.screenUV = Point2(3.0f, -2.0f);
    EXPECT_TRUE(c.GetXYZ(far, p, dx, dy)) << type;
    EXPECT_TRUE(c.GetXYZBump(far, p, basis)) << type;
  }
}

TEST(XYZCoords, UnknownMapTypeLeavesZeroAndSucceeds) {
  XYZCoords c;
  c.mapType = 7;
  c.BuildTransforms();
  SampleShadeContext sc = Sample(Point3(1.0f, 2.0f, 3.0f));
  Point3 p, dx, dy, basis[3];
  EXPECT_TRUE(c.GetXYZ(sc, p, dx, dy));
  EXPECT_EQ(p, Point3());
  EXPECT_EQ(dx, Point3());
  EXPECT_EQ(dy, Point3());
  EXPECT_TRUE(c.GetXYZBump(sc, p, basis));
  EXPECT_EQ(p, Point3());
}

TEST(XYZCoords, SizesBelowTheMinimumAreUsedAsTheMinimum) {
  XYZCoords c;
  c.size = Point3(0.0f, -1.0f, 0.00001f);
  c.BuildTransforms();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(c.mapTM.GetRow(i)[i], 1.0f / 0.0001f) << i;
}

TEST(XYZCoords, VarianceNeedsAnAmplitudeAboveTheEpsilon) {
  XYZCoords c;
  c.angleVar.y = 0.005f * kDeg;
  c.BuildTransforms();
  EXPECT_FALSE(c.hasVariance);
  c.angleVar.y = 0.006f * kDeg;
  c.BuildTransforms();
  EXPECT_TRUE(c.hasVariance);
  // Each of the nine amplitudes on its own: the epsilon 0.0001 itself is no variance, the next
  // float above it is.
  Point3* const amplitudes[] = {&c.offsetVar, &c.sizeVar, &c.angleVar};
  for (int k = 0; k < 3; ++k) {
    for (int axis = 0; axis < 3; ++axis) {
      for (Point3* b : amplitudes) *b = Point3(0.0f, 0.0f, 0.0f);
      (*amplitudes[k])[axis] = 0.0001f;
      c.BuildTransforms();
      EXPECT_FALSE(c.hasVariance) << k << " " << axis;
      (*amplitudes[k])[axis] = std::nextafter(0.0001f, 1.0f);
      c.BuildTransforms();
      EXPECT_TRUE(c.hasVariance) << k << " " << axis;
    }
  }
  for (Point3* b : amplitudes) *b = Point3(0.0f, 0.0f, 0.0f);
  c.angleVar.y = 0.0f;
  c.lock = 1;
  c.sizeVar.z = 0.5f;  // counts even while the lock uses only the x amplitude
  c.BuildTransforms();
  EXPECT_TRUE(c.hasVariance);
}

TEST(RandomTransform, SeedsAndDrawsOfThePlatformGenerator) {
  XYZCoords c;
  c.seed = 12345;
  c.randByObj = 0;
  c.randByMat = 0;
  c.offsetVar = Point3(1.0f, 1.0f, 1.0f);
  c.BuildTransforms();
  SampleShadeContext sc;
  EXPECT_EQ(c.RandomSeed(sc), 4188539432u);
  ExpectNear(c.RandomTransform(sc).GetRow(3), Point3(-0.636952f, -0.741203f, 0.317972f), 1e-6f);

  c.randByMat = 1;
  EXPECT_EQ(c.RandomSeed(sc), 4188539432u);  // mtlNum 0: s = 1 as without the option
  sc.mtlNum = 1;
  EXPECT_EQ(c.RandomSeed(sc), 820519762u);

  // By material and by object together: the material's term and the node's scrambled handle
  // are summed before the seed multiplies them, s = S(((2 + 1) + S(7)) * 12345) with
  // S(n) = n (15731 n^2 + 789221) mod 2^32; each switch alone gives its own seed.
  INode node(7);
  sc.node = &node;
  sc.mtlNum = 2;
  c.randByObj = 1;
  EXPECT_EQ(c.RandomSeed(sc), 1419459408u);
  c.randByMat = 0;
  EXPECT_EQ(c.RandomSeed(sc), 472900536u);
  c.randByMat = 1;
  c.randByObj = 0;
  EXPECT_EQ(c.RandomSeed(sc), 3814218368u);
}

TEST(RandomTransform, DependsOnlyOnParametersMaterialAndNode) {
  XYZCoords c;
  c.randByObj = 0;
  c.randByMat = 0;
  c.offsetVar = Point3(2.0f, 2.0f, 2.0f);
  c.angleVar = Point3(0.3f, 0.3f, 0.3f);
  c.BuildTransforms();
  INode a(7), b(8);
  SampleShadeContext s1 = Sample(Point3(1.0f, 2.0f, 3.0f)), s2 = Sample(Point3(-4.0f, 0.0f, 9.0f));
  s1.node = &a;
  s2.node = &b;
  s2.mtlNum = 3;
  EXPECT_EQ(c.RandomTransform(s1), c.RandomTransform(s2));

  c.randByObj = 1;
  EXPECT_NE(c.RandomTransform(s1), c.RandomTransform(s2));
  s2.node = &a;
  EXPECT_EQ(c.RandomTransform(s1), c.RandomTransform(s2));
  s2.node = nullptr;  // no node: the node term is left out
  c.randByObj = 0;
  const Matrix3 noNode = c.RandomTransform(s2);
  c.randByObj = 1;
  EXPECT_EQ(c.RandomTransform(s2), noNode);

  c.randByObj = 0;
  c.randByMat = 1;
  s1.mtlNum = 0;
  s2.mtlNum = 1;
  EXPECT_NE(c.RandomTransform(s1), c.RandomTransform(s2));
}

TEST(RandomTransform, LockedSizesShareOneDeltaAndStayPositive) {
  XYZCoords c;
  c.randByObj = 0;
  c.size = Point3(1.0f, 2.0f, 3.0f);
  c.sizeVar = Point3(0.5f, 0.0f, 0.0f);
  c.lock = 1;
  c.BuildTransforms();
  for (int seed = 1; seed < 50; ++seed) {
    c.seed = seed;
    SampleShadeContext sc;
    const Matrix3 m = c.RandomTransform(sc);
    const float dx = 1.0f / m.GetRow(0).Length() - 1.0f;
    const float dy = 1.0f / m.GetRow(1).Length() - 2.0f;
    const float dz = 1.0f / m.GetRow(2).Length() - 3.0f;
    EXPECT_NEAR(dx, dy, 1e-5f);
    EXPECT_NEAR(dx, dz, 1e-5f);
    EXPECT_LE(std::fabs(dx), 0.5f + 1e-5f);
  }
  // Amplitudes far beyond the base size push some sizes to or below zero: they become 0.0001.
  c.size = Point3(0.001f, 0.001f, 0.001f);
  c.sizeVar = Point3(100.0f, 100.0f, 100.0f);
  c.lock = 0;
  c.BuildTransforms();
  int clamped = 0;
  for (int seed = 1; seed < 50; ++seed) {
    c.seed = seed;
    SampleShadeContext sc;
    const Matrix3 m = c.RandomTransform(sc);
    for (int i = 0; i < 3; ++i) {
      const float scale = m.GetRow(i).Length();
      EXPECT_LE(scale, 1.0f / 0.0001f + 1.0f);
      clamped += scale > 9999.0f;
    }
  }
  EXPECT_GT(clamped, 0);
}

}  // namespace

// The coordinates of a run of arrays against GetXYZ on the contexts the run stands for: every
// source, a moved, turned and tiled transform, the random transform of two nodes and materials,
// a channel the run lacks, and a "None" rule that rejects some samples.
TEST(XYZCoords, RunsGiveGetXYZsBitsForEverySource) {
  constexpr int kN = 23;
  Point3 p[kN], dpdx[kN], dpdy[kN], uvw2[kN], duvw2[kN];
  Point2 screenUV[kN], screenDUV[kN];
  int instance[kN], mtlNum[kN];
  for (int i = 0; i < kN; ++i) {
    const float t = static_cast<float>(i) * 0.37f - 3.1f;
    // The derivatives across change every fourth sample, those up every seventh, across the
    // instance's and the material's changes: a run reuses transformed derivatives only while
    // all of them stay.
    const float d = static_cast<float>(i / 4) * 0.37f - 3.1f;
    const float e = static_cast<float>(i / 7) * 0.41f - 2.3f;
    p[i] = Point3(t * 1.7f, 2.0f - t * 0.3f, -996.0f + t * 0.01f);
    dpdx[i] = Point3(0.039f + 0.001f * d, 0.002f, 0.0f);
    dpdy[i] = Point3(0.0005f, -0.041f, 0.003f * e);
    uvw2[i] = Point3(0.1f * t, 1.3f - 0.2f * t, 0.3f * t);
    duvw2[i] = Point3(0.0013f, 0.0021f + 0.0001f * d, 0.0f);
    screenUV[i] = Point2(0.5f + 0.04f * t, 0.2f - 0.03f * t);
    screenDUV[i] = Point2(0.001f + 0.0001f * d, 0.0015f + 0.0001f * e);
    instance[i] = (i / 5) % 2;  // runs of one instance, then the other
    mtlNum[i] = (i / 3) % 3;
  }
  Matrix3 toObj[2], toWorld[2];
  toObj[0].Translate(Point3(0.0f, 0.0f, 1000.0f));
  toObj[1].RotateZ(0.4f);
  toObj[1].Translate(Point3(3.0f, -2.0f, 990.0f));
  toWorld[0] = toObj[1];
  toWorld[1] = toObj[0];
  toWorld[1].Scale(Point3(2.0f, 0.5f, 1.5f), true);
  INode a(7), b(1234);
  INode* nodes[2] = {&a, &b};
  TexBakeRun run;
  run.count = kN;
  run.p = p;
  run.dpdx = dpdx;
  run.dpdy = dpdy;
  run.screenUV = screenUV;
  run.screenDUV = screenDUV;
  run.camToObj = toObj;
  run.camToWorld = toWorld;
  run.nodes = nodes;
  run.instance = instance;
  run.mtlNum = mtlNum;
  run.channelCount = 1;
  run.channelIds[0] = 2;
  run.uvw[0] = uvw2;
  run.duvw[0] = duvw2;

  int compared = 0, rejected = 0;
  for (int type = XYZ_MAP_CHANNEL_2D; type <= XYZ_MAP_SCREEN; ++type) {
    for (int variance = 0; variance < 2; ++variance) {
      for (int channel : {1, 2}) {
        XYZCoords c;
        c.mapType = type;
        c.channel = channel;
        c.offset = Point3(0.25f, -1.5f, 0.75f);
        c.size = Point3(0.8f, 1.7f, 2.5f);
        c.angle = Point3(0.3f, -0.2f, 1.1f);
        c.tiling[0] = XYZ_TILE_TILE;
        c.tiling[1] = XYZ_TILE_MIRROR;
        c.tiling[2] = XYZ_TILE_NONE;
        c.randByMat = 1;
        if (variance) {
          c.offsetVar = Point3(0.5f, 0.25f, 0.125f);
          c.angleVar = Point3(0.0f, 0.0f, 0.6f);
          c.sizeVar = Point3(0.3f, 0.0f, 0.0f);
        }
        c.BuildTransforms();
        ASSERT_EQ(c.hasVariance, variance != 0);
        ASSERT_TRUE(c.RunsKnown());
        // A slice that starts inside the run, as the host hands groups of it.
        const int first = 2, n = kN - 4;
        const TexBakeRun slice = run.Slice(first, n);
        Point3 rp[kN], rx[kN], ry[kN];
        BOOL ok[kN];
        c.GetXYZRun(slice, 0, n, rp, rx, ry, ok);
        for (int j = 0; j < n; ++j) {
          SampleShadeContext sc;
          run.MakeContext(first + j, sc);
          Point3 q, qx, qy;
          const bool hit = c.GetXYZ(sc, q, qx, qy);
          ASSERT_EQ(ok[j] != FALSE, hit) << type << " " << j;
          if (!hit) {
            ++rejected;
            continue;
          }
          ASSERT_EQ(std::memcmp(&q, &rp[j], sizeof q), 0) << type << " " << variance << " " << j;
          ASSERT_EQ(std::memcmp(&qx, &rx[j], sizeof qx), 0) << type << " " << j;
          ASSERT_EQ(std::memcmp(&qy, &ry[j], sizeof qy), 0) << type << " " << j;
          ++compared;
        }
      }
    }
  }
  // The "None" rule on z rejects the map channels' samples whose w falls outside [0, 1].
  EXPECT_GT(compared, 100);
  EXPECT_GT(rejected, 0);
}

TEST(XYZCoords, UnknownMapTypeIsNotARunSource) {
  XYZCoords c;
  c.mapType = 9;
  EXPECT_FALSE(c.RunsKnown());
}
