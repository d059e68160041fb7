// What the scratches map promises beyond its everyday shading: references it refuses, values that
// read the same after a save and a load, a Load that tells a corrupt chunk from the end of its
// chunks, the bump blend with colour maps, the stretch map, Reset and Clone of an edited map, the
// random transform's draws by value, the bump basis under variance, and tiling inside GetXYZ.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "chunkio.h"
#include "coords/MappingBlock.h"
#include "pattern/ScratchPattern.h"
#include "scenefile.h"
#include "tests/MapHolder.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/TamrelScratches.h"

namespace {

using tamrel::testing::ConstantMap;
using tamrel::testing::MapHolder;
using tamrel::testing::UpdateNow;

SampleShadeContext ObjectSample(const Point3& p, float footprint = 0.01f) {
  SampleShadeContext sc;
  sc.p = p;
  sc.dpdx = Point3(footprint, 0.0f, 0.0f);
  sc.dpdy = Point3(0.0f, footprint, 0.0f);
  sc.SetUVW(1, Point3(p.x * 0.01f, p.y * 0.01f, 0.0f), Point3(0.001f, 0.001f, 0.0f));
  return sc;
}

float F(int i) {
  return static_cast<float>(i);
}

bool SameBits(const AColor& a, const AColor& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
bool SameBits(const Point3& a, const Point3& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

ClassDirectory MapClasses() {
  ClassDirectory classes;
  classes.AddClass(GetTamrelScratchesDesc());
  classes.AddClass(GetStdTexoutClassDesc());
  return classes;
}

TEST(OutputReference, AnotherClassIsRefusedBeforeAnythingHoldsIt) {
  MapHolder m, other;
  TextureOutput* const before = m->Output();
  ASSERT_NE(before, nullptr);
  const int dependents = other->NumDependents();
  EXPECT_FALSE(m->pblock->SetValue(PB_OUTPUT, 0, static_cast<ReferenceTarget*>(other.map)));
  EXPECT_EQ(m->GetReference(SCRATCHES_REF_OUTPUT), before);
  EXPECT_EQ(m->Output(), before);
  EXPECT_EQ(other->NumDependents(), dependents) << "the refused map is still referenced";
  // An output stage is taken.
  TextureOutput* fresh = GetNewDefaultTextureOutput();
  EXPECT_TRUE(m->pblock->SetValue(PB_OUTPUT, 0, static_cast<ReferenceTarget*>(fresh)));
  EXPECT_EQ(m->GetReference(SCRATCHES_REF_OUTPUT), fresh);
  EXPECT_EQ(m->pblock->GetReferenceTarget(PB_OUTPUT, 0), fresh);
}

TEST(OutputReference, AMapLinkedThereDirectlyIsNeverUsedAsAnOutputNorLoaded) {
  MapHolder m, other;
  other->pblock->SetValue(PB_COLOR1, 0, Color(0.3f, 0.6f, 0.9f));
  MapHolder plain;
  // Linked past the block, only the class check of reference 9 keeps it from being the output.
  ASSERT_EQ(m->ReplaceReference(SCRATCHES_REF_OUTPUT, other.map), REF_SUCCEED);
  EXPECT_EQ(m->Output(), nullptr);
  EXPECT_EQ(m->GetReference(SCRATCHES_REF_OUTPUT), nullptr);
  UpdateNow(m.map);
  UpdateNow(plain.map);
  for (int i = 0; i < 20; ++i) {
    SampleShadeContext a = ObjectSample(Point3(F(i) * 0.7f, 1.0f, 0.0f)), b = a;
    EXPECT_TRUE(SameBits(m->EvalColor(a), plain->EvalColor(b))) << i;
  }
  // A scene file that holds a map in the output slot is refused as a whole. Such a file is
  // made from a sound one: object 0's reference list (count 10, then ten indices) gets object 1,
  // the second root map, as its reference 9.
  MapHolder sound, second;
  Scene scene;
  scene.AddRoot(sound.map);
  scene.AddRoot(second.map);
  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(SaveSceneToBytes(scene, bytes, error)) << error;
  const ClassDirectory classes = MapClasses();
  ASSERT_TRUE(LoadSceneFromBytes(bytes, classes, error)) << error;
  const std::uint8_t count[4] = {10, 0, 0, 0};
  const auto list = std::search(bytes.begin() + 12, bytes.end(), count, count + 4);
  ASSERT_NE(list, bytes.end());
  const auto ref9 = list + 4 + 9 * 4;
  ASSERT_GE(*ref9, 2) << "reference 9 should name the output stage, stored after both roots";
  *ref9 = 1;
  EXPECT_EQ(LoadSceneFromBytes(bytes, classes, error), nullptr);
  EXPECT_NE(error.find("reference 9 must hold an object of super class 0xC30"), std::string::npos)
      << error;
}

// Every value SetValue accepts renders the same after a save and a load.
TEST(SaveAndLoad, OutOfRangeValuesAreKeptByOneRule) {
  MapHolder m;
  IParamBlock2* pb = m->pblock;
  IParamBlock2* mb = m->mappingBlock;
  EXPECT_TRUE(mb->SetValue(XYZ_PB_SEED, 0, 0));  // range 1 .. 99999
  EXPECT_EQ(mb->GetInt(XYZ_PB_SEED), 1);
  EXPECT_TRUE(mb->SetValue(XYZ_PB_OFFSET_X2, 0, 5.0f));
  EXPECT_TRUE(mb->SetValue(XYZ_PB_OFFSET_Y2, 0, -3.0f));  // range 0 .. 1e6
  EXPECT_EQ(mb->GetFloat(XYZ_PB_OFFSET_Y2), 0.0f);
  EXPECT_TRUE(pb->SetValue(PB_LEVELS, 0, 12));
  EXPECT_EQ(pb->GetInt(PB_LEVELS), 8);
  EXPECT_TRUE(pb->SetValue(PB_EROSION, 0, 1.5f));
  EXPECT_EQ(pb->GetFloat(PB_EROSION), 1.0f);
  EXPECT_TRUE(pb->SetValue(PB_USE_EROSION, 0, 7));
  EXPECT_EQ(pb->GetInt(PB_USE_EROSION), 1);
  // Not finite: refused, the value stays.
  EXPECT_FALSE(pb->SetValue(PB_SIZE, 0, std::nanf("")));
  EXPECT_FALSE(pb->SetValue(PB_COLOR1, 0, Color(INFINITY, 0.0f, 0.0f)));
  EXPECT_EQ(pb->GetFloat(PB_SIZE), 10.0f);
  // A key moved as a whole past the range's end stops there.
  AnimateOn();
  pb->SetValue(PB_THRESHOLD_HIGH, 0, 0.9f);
  pb->SetValue(PB_THRESHOLD_HIGH, 160, 0.5f);
  AnimateOff();
  EXPECT_TRUE(pb->SetValue(PB_THRESHOLD_HIGH, 160, 0.8f));  // +0.3: 0.9 would become 1.2
  EXPECT_EQ(pb->GetFloat(PB_THRESHOLD_HIGH, 0), 1.0f);
  EXPECT_EQ(pb->GetFloat(PB_THRESHOLD_HIGH, 160), 0.8f);

  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(SaveSceneToBytes(m.holder, bytes, error)) << error;
  const ClassDirectory classes = MapClasses();
  std::unique_ptr<Scene> loaded = LoadSceneFromBytes(bytes, classes, error);
  ASSERT_TRUE(loaded) << error;
  auto* back = static_cast<TamrelScratches*>(loaded->GetRoot(0));
  for (TimeValue t : {0, 80, 160}) {
    UpdateNow(m.map, t);
    UpdateNow(back, t);
    INode node(3);
    int differ = 0;
    for (int i = 0; i < 2000; ++i) {
      SampleShadeContext a = ObjectSample(Point3(F(i % 50) * 0.9f, F(i / 50) * -0.6f, 0.4f));
      a.node = &node;
      SampleShadeContext b = a;
      if (!SameBits(m->EvalColor(a), back->EvalColor(b))) ++differ;
      if (!SameBits(m->EvalNormalPerturb(a), back->EvalNormalPerturb(b))) ++differ;
    }
    EXPECT_EQ(differ, 0) << "at " << t;
  }
}

// Loads bytes into a map through its own Load.
IOResult LoadInto(TamrelScratches* m, const std::vector<std::uint8_t>& bytes) {
  ChunkReader r(bytes);
  return m->Load(&r);
}

TEST(SaveAndLoad, AChunkThatCannotBeOpenedIsAnErrorTheEndIsNot) {
  MapHolder m;
  m->SetName(L"header");
  ChunkWriter w;
  ASSERT_EQ(m->Save(&w), IO_OK);
  std::vector<std::uint8_t> bytes = w.Bytes();
  MapHolder target;
  EXPECT_EQ(LoadInto(target.map, bytes), IO_OK);
  EXPECT_EQ(target->GetName(), MSTR(L"header"));
  EXPECT_EQ(LoadInto(target.map, {}), IO_OK);  // no chunks at all: the end at once

  // A second chunk whose header claims more bytes than follow cannot be opened.
  std::vector<std::uint8_t> broken = bytes;
  ChunkWriter extra;
  extra.BeginChunk(0x4001);
  const std::uint32_t payload = 12345;
  extra.Write(&payload, sizeof payload, nullptr);
  extra.EndChunk();
  std::vector<std::uint8_t> tail = extra.Bytes();
  tail.resize(tail.size() - 2);
  broken.insert(broken.end(), tail.begin(), tail.end());
  MapHolder other;
  EXPECT_EQ(LoadInto(other.map, broken), IO_ERROR);
  // Whole, the unknown chunk is skipped.
  std::vector<std::uint8_t> skipped = bytes;
  skipped.insert(skipped.end(), extra.Bytes().begin(), extra.Bytes().end());
  EXPECT_EQ(LoadInto(other.map, skipped), IO_OK);
}

TEST(Shading, BumpBlendsTheColourMapsBumpsByTheIntensity) {
  MapHolder m;
  const Point3 p1(0.25f, -0.5f, 0.125f), p2(-1.0f, 0.75f, 0.5f);
  m->SetSubTexmap(SUBTEX_COLOR1, new ConstantMap(AColor(0.2f, 0.4f, 0.9f), p1));
  m->SetSubTexmap(SUBTEX_COLOR2, new ConstantMap(AColor(0.9f, 0.6f, 0.3f), p2));
  m->pblock->SetValue(PB_SIZE, 0, 4.0f);
  m->pblock->SetValue(PB_BUMP_DELTA, 0, 0.5f);
  UpdateNow(m.map);
  int nonzero = 0;
  for (int i = 0; i < 40; ++i) {
    const Point3 p(F(i) * 0.31f, F(i) * -0.17f, 0.5f);
    SampleShadeContext sc = ObjectSample(p);
    const Point3 got = m->EvalNormalPerturb(sc);
    const tamrel::ScratchParams params = m->Evaluator().GatherScratchParams(sc);
    const Point3 q = p / 4.0f;
    const float delta = 0.5f * 0.01f + 0.001f;
    const float h = tamrel::EvalScratchPlain(q, params);
    Point3 g;
    for (int k = 0; k < 3; ++k) {
      Point3 axis;
      axis[k] = 1.0f;
      g[k] = (tamrel::EvalScratchPlain(q + axis * delta, params) - h) / delta;
    }
    const Point3 n = -g;
    const float m1 = (0.4f + 0.2f + 0.9f) / 3.0f, m2 = (0.6f + 0.9f + 0.3f) / 3.0f;
    const Point3 want = p2 * h + (m2 - m1) * n + p1 * (1.0f - h);
    EXPECT_TRUE(SameBits(got, want)) << i << ": " << got.x << " " << want.x;
    if (h > 0.0f && h < 1.0f) ++nonzero;
  }
  EXPECT_GT(nonzero, 0) << "no sample between the two colours";
  // With colour 2's map switched off, its swatch (white, no bump of its own) takes its place.
  m->pblock->SetValue(PB_COL2_MAP_ENABLED, 0, 0);
  UpdateNow(m.map);
  const Point3 p(1.0f, 2.0f, 0.5f);
  SampleShadeContext sc = ObjectSample(p);
  const Point3 got = m->EvalNormalPerturb(sc);
  const tamrel::ScratchParams params = m->Evaluator().GatherScratchParams(sc);
  const Point3 q = p / 4.0f;
  const float delta = 0.5f * 0.01f + 0.001f;
  const float h = tamrel::EvalScratchPlain(q, params);
  Point3 g;
  for (int k = 0; k < 3; ++k) {
    Point3 axis;
    axis[k] = 1.0f;
    g[k] = (tamrel::EvalScratchPlain(q + axis * delta, params) - h) / delta;
  }
  const float m1 = (0.4f + 0.2f + 0.9f) / 3.0f, white = (1.0f + 1.0f + 1.0f) / 3.0f;
  const Point3 want = Point3() * h + (white - m1) * -g + p1 * (1.0f - h);
  EXPECT_TRUE(SameBits(got, want)) << got.x << " " << want.x;
}

TEST(Shading, StretchMapScalesTheStretch) {
  MapHolder mapped, scaled, off;
  mapped->SetSubTexmap(SUBTEX_STRETCH, new ConstantMap(AColor(0.5f, 0.5f, 0.5f)));
  scaled->pblock->SetValue(PB_STRETCH, 0, 5.0f);
  off->SetSubTexmap(SUBTEX_STRETCH, new ConstantMap(AColor(0.5f, 0.5f, 0.5f)));
  off->pblock->SetValue(PB_STRETCH_MAP_ENABLED, 0, 0);
  MapHolder plain;
  for (TamrelScratches* m : {mapped.map, scaled.map, off.map, plain.map}) UpdateNow(m);
  int differ = 0;
  for (int i = 0; i < 60; ++i) {
    SampleShadeContext a = ObjectSample(Point3(F(i) * 0.9f, F(i) * 0.4f, 0.0f));
    SampleShadeContext b = a, c = a, d = a;
    EXPECT_EQ(mapped->Evaluator().GatherScratchParams(a).stretch, 5.0f);
    EXPECT_TRUE(SameBits(mapped->EvalColor(a), scaled->EvalColor(b))) << i;
    EXPECT_TRUE(SameBits(off->EvalColor(c), plain->EvalColor(d))) << i;
    if (!SameBits(mapped->EvalColor(a), plain->EvalColor(d))) ++differ;
  }
  EXPECT_GE(differ, 5) << "a stretch of 5 should look unlike 10";
}

TEST(Lifecycle, ResetClearsAnEditedMap) {
  MapHolder m;
  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
    m->SetSubTexmap(s, new ConstantMap(AColor(0.5f, 0.5f, 0.5f)));
  }
  TextureOutput* out = m->Output();
  m->pblock->SetValue(PB_SIZE, 0, 3.0f);
  m->pblock->SetValue(PB_LEVELS, 0, 2);
  m->pblock->SetValue(PB_COLOR2, 0, Color(0.1f, 0.2f, 0.3f));
  m->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  m->mappingBlock->SetValue(XYZ_PB_OFFSET_X, 0, 4.0f);
  m->mappingBlock->SetValue(XYZ_PB_SIZE_Y2, 0, 2.0f);
  m->mappingBlock->SetValue(XYZ_PB_SEED, 0, 7);
  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, static_cast<int>(XYZ_MAP_WORLD));
  m->mappingBlock->SetValue(XYZ_PB_TILE_Y, 0, static_cast<int>(XYZ_TILE_MIRROR));
  m->Reset();
  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) EXPECT_EQ(m->GetSubTexmap(s), nullptr) << s;
  EXPECT_EQ(m->Output(), out) << "the output stage is reset in place";
  EXPECT_EQ(m->pblock->GetFloat(PB_SIZE), 10.0f);
  EXPECT_EQ(m->pblock->GetInt(PB_LEVELS), 6);
  EXPECT_EQ(m->pblock->GetColor(PB_COLOR2), Color(1.0f, 1.0f, 1.0f));
  EXPECT_EQ(m->pblock->GetInt(PB_USE_DISTORTION), 0);
  EXPECT_EQ(m->mappingBlock->GetFloat(XYZ_PB_OFFSET_X), 0.0f);
  EXPECT_EQ(m->mappingBlock->GetFloat(XYZ_PB_SIZE_Y2), 0.0f);
  EXPECT_EQ(m->mappingBlock->GetInt(XYZ_PB_SEED), 12345);
  EXPECT_EQ(m->mappingBlock->GetInt(XYZ_PB_MAP), static_cast<int>(XYZ_MAP_OBJECT));
  EXPECT_EQ(m->mappingBlock->GetInt(XYZ_PB_TILE_Y), 0);
  // And it renders as a new map does.
  MapHolder fresh;
  UpdateNow(m.map);
  UpdateNow(fresh.map);
  for (int i = 0; i < 20; ++i) {
    SampleShadeContext a = ObjectSample(Point3(F(i), 0.5f, 0.0f)), b = a;
    EXPECT_TRUE(SameBits(m->EvalColor(a), fresh->EvalColor(b))) << i;
  }
}

TEST(Lifecycle, CloneCopiesNameGBufferIdAndSwitches) {
  MapHolder m;
  m->SetName(L"scuffs");
  m->SetGBufID(7);
  m->pblock->SetValue(PB_COL1_MAP_ENABLED, 0, 0);
  m->pblock->SetValue(PB_SIZE_MAP_ENABLED, 0, 0);
  m->pblock->SetValue(PB_STRETCH_MAP_ENABLED, 0, 0);
  UpdateNow(m.map);
  RemapDir remap;
  auto* clone = static_cast<TamrelScratches*>(m->Clone(remap));
  Scene keep;
  keep.AddRoot(clone);
  EXPECT_EQ(clone->GetName(), MSTR(L"scuffs"));
  EXPECT_EQ(clone->GetGBufID(), 7u);
  // The cached switches travel before the clone's first update.
  const ScratchValues& v = clone->Evaluator().Values();
  EXPECT_EQ(v.col1mapEnabled, 0);
  EXPECT_EQ(v.col2mapEnabled, 1);
  EXPECT_EQ(v.sizeMapEnabled, 0);
  EXPECT_EQ(v.spreadMapEnabled, 1);
  EXPECT_EQ(v.stretchMapEnabled, 0);
  EXPECT_EQ(v.dStrMapEnabled, 1);
  // A G-buffer id is written by every evaluation.
  UpdateNow(clone);
  SampleShadeContext sc = ObjectSample(Point3(1.0f, 1.0f, 0.0f));
  clone->EvalColor(sc);
  EXPECT_EQ(sc.gbufferID, 7);
}

// The platform generator, written out again: state * 214013 + 2531011, 15 bits, as [-1, 1].
class Draws {
 public:
  explicit Draws(std::uint32_t seed) : state_(seed) {}
  float Next() {
    state_ = state_ * 214013u + 2531011u;
    return 2.0f * (static_cast<float>((state_ >> 16) & 32767u) / 32767.0f) - 1.0f;
  }

 private:
  std::uint32_t state_;
};

TEST(RandomTransform, RotationAndSizeDrawsByValue) {
  XYZCoords varied;
  varied.randByObj = 0;
  varied.seed = 4321;
  varied.angle = Point3(0.1f, 0.0f, 0.2f);
  varied.angleVar = Point3(0.5f, 0.25f, 1.5f);
  varied.sizeVar = Point3(0.4f, 0.0f, 0.0f);
  varied.lock = 1;
  varied.BuildTransforms();
  SampleShadeContext sc = ObjectSample(Point3(3.0f, -2.0f, 1.5f));
  // Offsets z, y, x, then angles x, y, z, then one locked size delta.
  Draws d(varied.RandomSeed(sc));
  for (int k = 0; k < 3; ++k) d.Next();
  const float ax = d.Next() * 0.5f + 0.1f, ay = d.Next() * 0.25f + 0.0f,
              az = d.Next() * 1.5f + 0.2f;
  const float delta = d.Next() * 0.4f;

  XYZCoords fixed;
  fixed.angle = Point3(ax, ay, az);
  fixed.size = Point3(delta + 1.0f, delta + 1.0f, delta + 1.0f);
  fixed.BuildTransforms();
  ASSERT_FALSE(fixed.hasVariance);
  Point3 pv, dxv, dyv, pf, dxf, dyf;
  ASSERT_TRUE(varied.GetXYZ(sc, pv, dxv, dyv));
  ASSERT_TRUE(fixed.GetXYZ(sc, pf, dxf, dyf));
  EXPECT_TRUE(SameBits(pv, pf)) << pv.x << " " << pf.x;
  EXPECT_TRUE(SameBits(dxv, dxf));
  EXPECT_TRUE(SameBits(dyv, dyf));
  EXPECT_NE(delta, 0.0f);
  EXPECT_GT(std::fabs(az - 0.2f), 0.01f) << "the z angle drew nothing";

  // The bump basis under variance is the varied transform's unit axes, those of the fixed map.
  Point3 p, basis[3];
  ASSERT_TRUE(varied.GetXYZBump(sc, p, basis));
  EXPECT_TRUE(SameBits(p, pf));
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(SameBits(basis[k], fixed.axisBasis[k])) << k;
    EXPECT_NEAR(Length(basis[k]), 1.0f, 1e-6f) << k;
    EXPECT_NE(basis[k], varied.axisBasis[k]) << k << ": the basis ignored the variance";
  }
  EXPECT_NEAR(DotProd(basis[0], basis[1]), 0.0f, 1e-6f);
}

TEST(XYZCoords, TileAndMirrorApplyInsideGetXYZ) {
  XYZCoords c;
  c.mapType = XYZ_MAP_CHANNEL_2D;
  c.tiling[0] = XYZ_TILE_TILE;
  c.tiling[1] = XYZ_TILE_MIRROR;
  c.tiling[2] = XYZ_TILE_STRETCH;
  c.BuildTransforms();
  struct Case {
    Point3 uvw, want;
  };
  // Tile keeps the fraction; Mirror reflects odd periods; Stretch clamps.
  for (const Case& k : {Case{{1.25f, 1.75f, 2.0f}, {0.25f, 0.25f, 1.0f}},
                        Case{{2.25f, 2.75f, -1.0f}, {0.25f, 0.75f, 0.0f}},
                        Case{{-0.25f, -1.25f, 0.5f}, {0.75f, 0.75f, 0.5f}}}) {
    SampleShadeContext sc;
    sc.SetUVW(1, k.uvw, Point3(0.01f, 0.02f, 0.0f));
    Point3 p, dx, dy;
    ASSERT_TRUE(c.GetXYZ(sc, p, dx, dy));
    EXPECT_EQ(p, k.want) << k.uvw.x;
    EXPECT_EQ(dx, Point3(0.01f, 0.0f, 0.0f));
    EXPECT_EQ(dy, Point3(0.0f, 0.02f, 0.0f));
    Point3 b[3];
    ASSERT_TRUE(c.GetXYZBump(sc, p, b));
    EXPECT_EQ(p, k.want);
  }
}

}  // namespace
