// The scratches texture map: a new map's values, the update cycle, references and cloning,
// storage, the shading evaluations with their sub-maps and guards, the plug-in as the platform
// loader sees it, and bit-identical concurrent evaluation.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "coords/MappingBlock.h"
#include "iparamm2.h"
#include "maxapi.h"
#include "pattern/ScratchPattern.h"
#include "resources/resource.h"
#include "scenefile.h"
#include "tests/MapHolder.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/StringTable.h"
#include "texmap/TamrelScratches.h"
#include "ui/TamrelScratchesDlgProc.h"
#include "ui/TamrelXYZDlgProc.h"

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
  sc.screenUV = Point2(p.x * 0.01f, p.y * 0.01f);
  return sc;
}

std::uint32_t Bits(float v) {
  return std::bit_cast<std::uint32_t>(v);
}
float F(int i) {
  return static_cast<float>(i);
}

TEST(TamrelScratches, NewMapStartsFromItsResetValues) {
  MapHolder m;
  UpdateNow(m.map);
  const ScratchValues& v = m->Evaluator().Values();
  EXPECT_EQ(v.size, 10.0f);
  EXPECT_EQ(v.sizeDiv20, 0.5f);
  EXPECT_EQ(v.erosion, 0.5f);
  EXPECT_EQ(v.type, 1);
  EXPECT_EQ(v.levels, 6);
  EXPECT_EQ(v.stretch, 10.0f);
  EXPECT_EQ(v.spread, 0.8f);
  EXPECT_EQ(v.bumpDelta, 0.001f);
  EXPECT_FALSE(v.useErosion);
  EXPECT_FALSE(v.useDistortion);
  EXPECT_EQ(v.color1, Color(0.0f, 0.0f, 0.0f));
  EXPECT_EQ(v.color2, Color(1.0f, 1.0f, 1.0f));
  EXPECT_NE(m->Output(), nullptr);
  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
    EXPECT_EQ(m->GetSubTexmap(s), nullptr) << s;
    EXPECT_EQ(m->Evaluator().SubMap(s), nullptr) << s;
  }
  EXPECT_EQ(v.coords.mapType, XYZ_MAP_OBJECT);
  EXPECT_EQ(v.coords.seed, 12345);
  EXPECT_TRUE(v.coords.randByObj);
  EXPECT_TRUE(v.coords.lock);
  EXPECT_FALSE(v.coords.hasVariance);
  // The declared defaults stay what the descriptor says.
  const ParamDef* size = GetParamsDesc()->FindParamDef(PB_SIZE);
  ASSERT_NE(size, nullptr);
  EXPECT_EQ(size->def.f, 1.0f);
}

TEST(TamrelScratches, UpdateOrdersThresholdsAndClampsColours) {
  MapHolder m;
  m->pblock->SetValue(PB_THRESHOLD_LOW, 0, 0.8f);
  m->pblock->SetValue(PB_THRESHOLD_HIGH, 0, 0.2f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  m->pblock->SetValue(PB_COLOR1, 0, Color(1.5f, -0.25f, 0.5f));
  m->pblock->SetValue(PB_COLOR2, 0, Color(nan, 2.0f, 0.25f));
  UpdateNow(m.map);
  const ScratchValues& v = m->Evaluator().Values();
  EXPECT_EQ(v.thresholdLow, 0.2f);
  EXPECT_EQ(v.thresholdHigh, 0.8f);
  EXPECT_EQ(m->pblock->GetFloat(PB_THRESHOLD_LOW), 0.8f);  // the block keeps what was entered
  EXPECT_EQ(v.color1, Color(1.0f, 0.0f, 0.5f));
  EXPECT_GE(v.color2.r, 0.0f);
  EXPECT_LE(v.color2.r, 1.0f);
  EXPECT_EQ(v.color2.g, 1.0f);
}

TEST(TamrelScratches, UpdateRecomputesOnlyAfterAChange) {
  MapHolder m;
  auto* sub = new ConstantMap(AColor(1.0f, 0.0f, 0.0f));
  m->SetSubTexmap(SUBTEX_COLOR1, sub);
  UpdateNow(m.map);
  UpdateNow(m.map);
  EXPECT_EQ(sub->updates, 1);
  EXPECT_TRUE(m->Validity(0).InInterval(0));
  m->pblock->SetValue(PB_STRETCH, 0, 20.0f);  // REFMSG_CHANGE from the block
  EXPECT_FALSE(m->EvaluatorValidity().InInterval(0));
  UpdateNow(m.map);
  EXPECT_EQ(sub->updates, 2);
  EXPECT_EQ(m->Evaluator().Values().stretch, 20.0f);
  sub->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);  // a sub-map's change too
  UpdateNow(m.map);
  EXPECT_EQ(sub->updates, 3);

  // An animated value narrows validity to the instant; the caller's interval is narrowed too.
  AnimateOn();
  m->pblock->SetValue(PB_SIZE, 0, 10.0f);
  m->pblock->SetValue(PB_SIZE, 4800, 30.0f);
  AnimateOff();
  Interval valid = FOREVER;
  m->Update(2400, valid);
  EXPECT_EQ(m->Evaluator().Values().size, 20.0f);
  EXPECT_EQ(valid, Interval(2400, 2400));
}

TEST(TamrelScratches, ReferencesBlocksAndRequirements) {
  MapHolder m;
  EXPECT_EQ(m->NumRefs(), 10);
  EXPECT_EQ(m->NumSubs(), 10);
  EXPECT_EQ(m->NumSubTexmaps(), 7);
  EXPECT_EQ(m->GetParamBlock(0), m->pblock);
  EXPECT_EQ(m->GetParamBlock(1), m->mappingBlock);
  EXPECT_EQ(m->GetParamBlock(2), nullptr);
  EXPECT_EQ(m->GetParamBlockByID(PARAMS_BLOCK_ID), m->pblock);
  EXPECT_EQ(m->GetParamBlockByID(MAPPING_BLOCK_ID), m->mappingBlock);
  EXPECT_EQ(m->GetReference(SCRATCHES_REF_OUTPUT), m->Output());
  EXPECT_EQ(m->SubAnimName(0), MSTR(L"Coordinates"));
  EXPECT_EQ(m->SubAnimName(1), MSTR(L"Parameters"));
  EXPECT_EQ(m->SubAnimName(9), MSTR(L"Output"));
  EXPECT_EQ(m->SubAnimName(7), MSTR(L"Distortion Map"));
  EXPECT_EQ(m->GetSubTexmapSlotName(6), MSTR(L"Distortion Strength Map"));
  EXPECT_EQ(m->GetSubTexmapSlotName(7), MSTR());

  for (int type = 0; type <= 4; ++type) {
    m->mappingBlock->SetValue(XYZ_PB_MAP, 0, type);
    m->mappingBlock->SetValue(XYZ_PB_CHAN, 0, 3);
    UpdateNow(m.map);
    BitArray mapreq, bumpreq;
    m->LocalMappingsRequired(0, mapreq, bumpreq);
    const bool channel = type <= 1;
    EXPECT_EQ(m->LocalRequirements(0), channel ? MTLREQ_UV : 0u) << type;
    EXPECT_EQ(mapreq[3], channel) << type;
    EXPECT_EQ(mapreq.NumberSet(), channel ? 1 : 0) << type;
    EXPECT_EQ(bumpreq.NumberSet(), 0);
  }
  // A map cannot become its own sub-map.
  m->SetSubTexmap(SUBTEX_DISTORT, m.map);
  EXPECT_EQ(m->GetSubTexmap(SUBTEX_DISTORT), nullptr);
}

TEST(TamrelScratches, CloneSharesNothing) {
  MapHolder m;
  m->SetSubTexmap(SUBTEX_SIZE, new ConstantMap(AColor(2.0f, 2.0f, 2.0f)));
  m->pblock->SetValue(PB_LEVELS, 0, 3);
  RemapDir remap;
  auto* clone = static_cast<TamrelScratches*>(m->Clone(remap));
  Scene keep;
  keep.AddRoot(clone);
  for (int i = 0; i < 10; ++i) {
    if (m->GetReference(i)) {
      EXPECT_NE(clone->GetReference(i), nullptr) << i;
      EXPECT_NE(clone->GetReference(i), m->GetReference(i)) << i;
    } else {
      EXPECT_EQ(clone->GetReference(i), nullptr) << i;
    }
  }
  EXPECT_EQ(clone->pblock->GetInt(PB_LEVELS), 3);
  clone->pblock->SetValue(PB_LEVELS, 0, 7);
  EXPECT_EQ(m->pblock->GetInt(PB_LEVELS), 3);
}

TEST(TamrelScratches, SavesOneHeaderChunkAndReloadsWithSubMapsToTheSameBits) {
  auto classes = std::make_unique<ClassDirectory>();
  classes->AddClass(GetTamrelScratchesDesc());
  classes->AddClass(GetStdTexoutClassDesc());

  Scene scene;
  auto* map = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  auto* inner = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  scene.AddRoot(map);
  inner->pblock->SetValue(PB_SIZE, 0, 3.0f);
  inner->pblock->SetValue(PB_TYPE, 0, 0);
  map->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  map->pblock->SetValue(PB_DISTORT_STR, 0, 2.5f);
  map->pblock->SetValue(PB_USE_EROSION, 0, 1);
  map->SetSubTexmap(SUBTEX_DISTORT, inner);
  map->SetSubTexmap(SUBTEX_COLOR1, inner);  // one map in two slots stays one map
  map->mappingBlock->SetValue(XYZ_PB_OFFSET_Z2, 0, 5.0f);
  map->SetName(L"worn paint");

  std::vector<std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(SaveSceneToBytes(scene, bytes, error)) << error;
  std::unique_ptr<Scene> loaded = LoadSceneFromBytes(bytes, *classes, error);
  ASSERT_TRUE(loaded) << error;
  auto* back = dynamic_cast<TamrelScratches*>(loaded->GetRoot(0));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->GetName(), MSTR(L"worn paint"));
  ASSERT_NE(back->GetSubTexmap(SUBTEX_DISTORT), nullptr);
  EXPECT_EQ(back->GetSubTexmap(SUBTEX_DISTORT), back->GetSubTexmap(SUBTEX_COLOR1));
  EXPECT_NE(back->Output(), nullptr);

  UpdateNow(map);
  UpdateNow(back);
  INode node(42);
  for (int i = 0; i < 200; ++i) {
    SampleShadeContext a = ObjectSample(Point3(F(i) * 1.3f, F(i) * -0.7f, 4.0f));
    a.node = &node;
    SampleShadeContext b = a;
    const AColor ca = map->EvalColor(a), cb = back->EvalColor(b);
    EXPECT_EQ(std::memcmp(&ca, &cb, sizeof ca), 0) << i;
    const Point3 na = map->EvalNormalPerturb(a), nb = back->EvalNormalPerturb(b);
    EXPECT_EQ(na, nb) << i;
  }
}

// Records the chunk structure an object's Save writes.
class ChunkRecorder : public ISave {
 public:
  void BeginChunk(USHORT id) override {
    if (depth == 0) topLevel.push_back(id);
    ++depth;
  }
  void EndChunk() override { --depth; }
  int CurChunkDepth() override { return depth; }
  IOResult Write(const void*, ULONG n, ULONG* written) override {
    if (written) *written = n;
    return IO_OK;
  }
  IOResult WriteWString(const MCHAR*) override { return IO_OK; }
  std::vector<USHORT> topLevel;
  int depth = 0;
};

TEST(TamrelScratches, TruncatedScenesFailCleanly) {
  MapHolder header;
  ChunkRecorder rec;
  EXPECT_EQ(header->Save(&rec), IO_OK);
  EXPECT_EQ(rec.topLevel, std::vector<USHORT>{0x4000});
  EXPECT_EQ(rec.depth, 0);

  MapHolder m;
  std::vector<std::uint8_t> bytes;
  std::string error;
  m->SetName(L"x");
  ASSERT_TRUE(SaveSceneToBytes(m.holder, bytes, error)) << error;
  ClassDirectory classes;
  classes.AddClass(GetTamrelScratchesDesc());
  classes.AddClass(GetStdTexoutClassDesc());
  // Every truncation fails cleanly.
  for (std::size_t n = 0; n < bytes.size(); n += 7) {
    std::span<const std::uint8_t> part(bytes.data(), n);
    EXPECT_EQ(LoadSceneFromBytes(part, classes, error), nullptr) << n;
  }
}

TEST(Shading, DefaultColoursBlendToTheIntensity) {
  MapHolder m;
  UpdateNow(m.map);
  for (int i = 0; i < 100; ++i) {
    const Point3 p(F(i) * 0.37f, F(i) * -0.21f, 1.5f);
    for (BOOL filter : {TRUE, FALSE}) {
      SampleShadeContext sc = ObjectSample(p);
      sc.filterMaps = filter;
      const AColor c = m->EvalColor(sc);
      const tamrel::ScratchParams params = m->Evaluator().GatherScratchParams(sc);
      const float f =
          filter ? tamrel::EvalScratchFiltered(p / 10.0f, sc.dpdx / 10.0f, sc.dpdy / 10.0f, params)
                 : tamrel::EvalScratchPlain(p / 10.0f, params);
      EXPECT_NEAR(c.r, f, 1e-6f);
      EXPECT_EQ(c.r, c.g);
      EXPECT_EQ(c.r, c.b);
      EXPECT_EQ(c.a, 1.0f);
      SampleShadeContext sc2 = ObjectSample(p);
      sc2.filterMaps = filter;
      EXPECT_NEAR(m->EvalMono(sc2), f, 1e-6f);
    }
  }
}

TEST(Shading, OneGetInterfaceHandsOutTheBakingAndTheTileInterfaces) {
  MapHolder m;
  TamrelScratches* map = m.map;
  EXPECT_EQ(m->GetInterface(I_TEXBAKE), static_cast<void*>(static_cast<ITexBake*>(map)));
  EXPECT_EQ(m->GetInterface(TAMREL_TILEABLE_INTERFACE),
            static_cast<void*>(static_cast<ITamrelTileable*>(map)));
  EXPECT_NE(m->GetInterface(I_TEXBAKE), m->GetInterface(TAMREL_TILEABLE_INTERFACE));
  EXPECT_EQ(m->GetInterface(0), nullptr);
  EXPECT_EQ(m->GetInterface(TAMREL_TILEABLE_INTERFACE + 1), nullptr);
}

TEST(Shading, InATileBakeTheBakeSampleIsStillEvalColorToTheBit) {
  MapHolder m;
  m->pblock->SetValue(PB_LEVELS, 0, 3);
  UpdateNow(m.map);
  auto* tile = static_cast<ITamrelTileable*>(m->GetInterface(TAMREL_TILEABLE_INTERFACE));
  auto* bake = static_cast<ITexBake*>(m->GetInterface(I_TEXBAKE));
  ASSERT_NE(tile, nullptr);
  ASSERT_NE(bake, nullptr);
  // A tile 30 units across the object's xy plane, sampled 64 times along each edge.
  SampleShadeContext corner = ObjectSample(Point3(0.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongU = ObjectSample(Point3(30.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongV = ObjectSample(Point3(0.0f, -30.0f, 0.0f), 0.5f);
  ASSERT_EQ(tile->BeginTileBake(corner, alongU, alongV, 64).problem, TILE_OK);
  int differentFromOrdinary = 0;
  for (int i = 0; i < 40; ++i) {
    const Point3 p(F(i) * 0.71f, F(i) * -0.29f, 0.0f);
    SampleShadeContext a = ObjectSample(p, 0.02f), b = ObjectSample(p, 0.02f);
    a.filterMaps = b.filterMaps = i % 2 == 0 ? TRUE : FALSE;
    TexBakeSample s;
    ASSERT_TRUE(bake->EvalBakeSample(a, s, TRUE));
    const AColor c = m->EvalColor(b);
    EXPECT_EQ(std::memcmp(&s.color, &c, sizeof c), 0) << i;
    EXPECT_GE(s.intensity, 0.0f);
    EXPECT_LE(s.intensity, 1.0f);
    tile->EndTileBake();
    SampleShadeContext o = ObjectSample(p, 0.02f);
    o.filterMaps = a.filterMaps;
    TexBakeSample ordinary;
    ASSERT_TRUE(bake->EvalBakeSample(o, ordinary, FALSE));
    if (ordinary.intensity != s.intensity) ++differentFromOrdinary;
    ASSERT_EQ(tile->BeginTileBake(corner, alongU, alongV, 64).problem, TILE_OK);
  }
  tile->EndTileBake();
  EXPECT_GT(differentFromOrdinary, 0);
}

TEST(Shading, BakeSampleIsEvalColorToTheBitWithItsIntensityAndGrain) {
  MapHolder m;
  m->pblock->SetValue(PB_COLOR1, 0, Color(0.6f, 0.3f, 0.1f));
  m->pblock->SetValue(PB_USE_EROSION, 0, 1);
  m->pblock->SetValue(PB_LEVELS, 0, 4);
  UpdateNow(m.map);
  auto* bake = static_cast<ITexBake*>(m->GetInterface(I_TEXBAKE));
  ASSERT_NE(bake, nullptr);
  EXPECT_EQ(m->GetInterface(I_TEXBAKE + 1), nullptr);
  for (int i = 0; i < 60; ++i) {
    const Point3 p(F(i) * 0.53f, F(i) * -0.17f, 0.25f * F(i % 5));
    for (BOOL filter : {TRUE, FALSE}) {
      SampleShadeContext a = ObjectSample(p, 0.02f), b = ObjectSample(p, 0.02f);
      a.filterMaps = b.filterMaps = filter;
      TexBakeSample s;
      ASSERT_TRUE(bake->EvalBakeSample(a, s, TRUE));
      const AColor c = m->EvalColor(b);
      EXPECT_EQ(Bits(s.color.r), Bits(c.r));
      EXPECT_EQ(Bits(s.color.g), Bits(c.g));
      EXPECT_EQ(Bits(s.color.a), Bits(c.a));
      const tamrel::ScratchParams params = m->Evaluator().GatherScratchParams(b);
      const float f =
          filter ? tamrel::EvalScratchFiltered(p / 10.0f, b.dpdx / 10.0f, b.dpdy / 10.0f, params)
                 : tamrel::EvalScratchPlain(p / 10.0f, params);
      EXPECT_EQ(Bits(s.intensity), Bits(f));
      EXPECT_FLOAT_EQ(s.footprint[0], 0.002f);
      EXPECT_FLOAT_EQ(s.footprint[1], 0.002f);
      EXPECT_NEAR(s.direction.x * s.direction.x + s.direction.y * s.direction.y, 1.0f, 1e-5f);
    }
  }
}

// A run of arrays against the contexts it stands for (ITexBake's own EvalBakeRun, which builds
// them): every map type, with and without the random transform and grain, filtered or not,
// over samples whose derivatives, instances and materials each change on a beat of their own,
// so that nothing a run keeps from one sample to the next outlives a change.
TEST(Shading, ABakeRunGivesItsContextsBitsWhereverItsSamplesChange) {
  constexpr int kN = 41;
  std::vector<Point3> p(kN), dpdx(kN), dpdy(kN), uvw(kN), duvw(kN);
  std::vector<Point2> screenUV(kN), screenDUV(kN);
  std::vector<int> instance(kN), mtlNum(kN);
  for (int i = 0; i < kN; ++i) {
    const float t = F(i) * 0.61f - 9.0f, d = F(i / 4), e = F(i / 7);
    p[i] = Point3(t * 2.3f, 4.0f - t * 0.7f, -990.0f + t * 0.05f);
    dpdx[i] = Point3(0.02f + 0.004f * d, 0.001f * e, 0.0f);
    dpdy[i] = Point3(0.0007f * d, -0.02f - 0.003f * e, 0.001f);
    uvw[i] = Point3(0.05f * t, 0.9f - 0.03f * t, 0.0f);
    duvw[i] = Point3(0.002f + 0.0005f * d, 0.002f + 0.0003f * e, 0.0f);
    screenUV[i] = Point2(0.5f + 0.02f * t, 0.4f - 0.01f * t);
    screenDUV[i] = Point2(0.001f + 0.0002f * e, 0.0012f + 0.0001f * d);
    instance[i] = (i / 5) % 2;
    mtlNum[i] = (i / 3) % 3;
  }
  Matrix3 toObj[2], toWorld[2];
  toObj[0].Translate(Point3(0.0f, 0.0f, 1000.0f));
  toObj[1].RotateZ(0.7f);
  toObj[1].Translate(Point3(5.0f, 1.0f, 995.0f));
  toWorld[0] = toObj[1];
  toWorld[1] = toObj[0];
  INode a(11), b(4321);
  INode* nodes[2] = {&a, &b};
  TexBakeRun run;
  run.count = kN;
  run.p = p.data();
  run.dpdx = dpdx.data();
  run.dpdy = dpdy.data();
  run.screenUV = screenUV.data();
  run.screenDUV = screenDUV.data();
  run.camToObj = toObj;
  run.camToWorld = toWorld;
  run.nodes = nodes;
  run.instance = instance.data();
  run.mtlNum = mtlNum.data();
  run.channelCount = 1;
  run.channelIds[0] = 1;
  run.uvw[0] = uvw.data();
  run.duvw[0] = duvw.data();

  int compared = 0;
  for (int type = XYZ_MAP_CHANNEL_2D; type <= XYZ_MAP_SCREEN; ++type) {
    for (int variance = 0; variance < 2; ++variance) {
      MapHolder m;
      m->pblock->SetValue(PB_LEVELS, 0, 3);
      m->pblock->SetValue(PB_SIZE, 0, 0.3f);
      m->mappingBlock->SetValue(XYZ_PB_MAP, 0, type);
      m->mappingBlock->SetValue(XYZ_PB_RAND_BY_MAT, 0, 1);
      m->mappingBlock->SetValue(XYZ_PB_ANGLE_Z, 0, 0.4f);
      if (variance) {
        m->mappingBlock->SetValue(XYZ_PB_OFFSET_X2, 0, 0.5f);
        m->mappingBlock->SetValue(XYZ_PB_ANGLE_Z2, 0, 0.6f);
        m->mappingBlock->SetValue(XYZ_PB_SIZE_X2, 0, 0.3f);
      }
      UpdateNow(m.map);
      ASSERT_EQ(m->Evaluator().Values().coords.hasVariance, variance != 0);
      auto* bake = static_cast<ITexBake*>(m->GetInterface(I_TEXBAKE));
      ASSERT_NE(bake, nullptr);
      for (BOOL filter : {TRUE, FALSE}) {
        for (BOOL grain : {TRUE, FALSE}) {
          run.filterMaps = filter;
          // A slice that starts inside the run, as the renderer hands groups of it.
          const TexBakeRun slice = run.Slice(3, kN - 5);
          std::vector<TexBakeSample> got(slice.count), want(slice.count);
          std::vector<BOOL> gotHit(slice.count), wantHit(slice.count);
          bake->EvalBakeRun(slice, got.data(), gotHit.data(), grain);
          bake->ITexBake::EvalBakeRun(slice, want.data(), wantHit.data(), grain);
          for (int i = 0; i < slice.count; ++i) {
            ASSERT_EQ(gotHit[i], wantHit[i]) << type << variance << filter << grain << " " << i;
            ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof got[i]), 0)
                << type << variance << filter << grain << " " << i;
            compared += wantHit[i] ? 1 : 0;
          }
        }
      }
    }
  }
  EXPECT_EQ(compared, 5 * 2 * 4 * (kN - 5));
}

TEST(Shading, BakeGrainOfASingleFlatLevelRunsAlongX) {
  MapHolder m;
  m->pblock->SetValue(PB_TYPE, 0, 0);
  m->pblock->SetValue(PB_LEVELS, 0, 1);
  UpdateNow(m.map);
  auto* bake = static_cast<ITexBake*>(m->GetInterface(I_TEXBAKE));
  for (int i = 0; i < 20; ++i) {
    SampleShadeContext sc = ObjectSample(Point3(F(i) * 1.3f, F(i) * 0.7f, 0.0f));
    // The footprint's x runs along -y of the object here, its y along +x.
    sc.dpdx = Point3(0.0f, -0.01f, 0.0f);
    sc.dpdy = Point3(0.02f, 0.0f, 0.0f);
    TexBakeSample s;
    ASSERT_TRUE(bake->EvalBakeSample(sc, s, TRUE));
    EXPECT_NEAR(std::fabs(s.direction.x), 0.0f, 1e-6f);
    EXPECT_NEAR(std::fabs(s.direction.y), 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(s.footprint[0], 0.001f);
    EXPECT_FLOAT_EQ(s.footprint[1], 0.002f);
  }
  // Without coordinates the sample is empty.
  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, static_cast<int>(XYZ_MAP_CHANNEL_2D));
  m->mappingBlock->SetValue(XYZ_PB_TILE_X, 0, static_cast<int>(XYZ_TILE_NONE));
  UpdateNow(m.map);
  SampleShadeContext out = ObjectSample(Point3());
  out.SetUVW(1, Point3(1.5f, 0.5f, 0.0f), Point3());
  TexBakeSample s;
  s.intensity = 0.5f;
  EXPECT_FALSE(bake->EvalBakeSample(out, s, TRUE));
  EXPECT_EQ(s.intensity, 0.0f);
  EXPECT_EQ(s.color, AColor(0.0f, 0.0f, 0.0f, 0.0f));
}

// A sub-map whose value steps along x: neighbouring samples share it in short runs.
class StepMap : public Texmap {
 public:
  AColor EvalColor(ShadeContext& sc) override {
    const float v = 1.5f + 0.25f * std::floor(std::fmod(std::fabs(sc.P().x) * 2.0f, 5.0f));
    return AColor(v, v, v, 1.0f);
  }
  Point3 EvalNormalPerturb(ShadeContext&) override { return Point3(); }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new StepMap();
    BaseClone(this, c, remap);
    return c;
  }
};

// The bake of many samples in one call is, sample for sample, the bits of EvalBakeSample: across
// the call's chunks, with the parameters varying in runs, filtering on and off, maps switched off
// for some samples, and with the grain.
TEST(Shading, BakeSamplesInOneCallAreTheSampleBySampleBits) {
  MapHolder m;
  m->pblock->SetValue(PB_TYPE, 0, 0);
  m->pblock->SetValue(PB_LEVELS, 0, 5);
  m->pblock->SetValue(PB_USE_EROSION, 0, 1);
  m->pblock->SetValue(PB_EROSION, 0, 0.8f);
  m->pblock->SetValue(PB_STRETCH, 0, 3.0f);
  m->pblock->SetValue(PB_SIZE, 0, 0.4f);
  m->pblock->SetValue(PB_SPREAD, 0, 1.0f);
  auto* bake = static_cast<ITexBake*>(m->GetInterface(I_TEXBAKE));
  constexpr int kSamples = 150;  // beyond two of the map's chunks
  const auto row = [](int i) {
    // A row of neighbouring samples, as a bake's pixels give them, then a jump.
    const float x = i < 100 ? F(i) * 0.07f : 40.0f + F(i) * 1.9f;
    SampleShadeContext sc = ObjectSample(Point3(x, 3.1f + F(i % 3) * 0.01f, -2.0f), 0.004f);
    sc.filterMaps = (i / 17) % 2 == 0 ? TRUE : FALSE;
    sc.doMaps = i % 23 == 5 ? FALSE : TRUE;
    return sc;
  };
  for (const bool stepped : {false, true}) {
    if (stepped) {
      m->SetSubTexmap(SUBTEX_SPREAD, new StepMap());
      m->pblock->SetValue(PB_SPREAD_MAP_ENABLED, 0, 1);
    }
    UpdateNow(m.map);
    for (const BOOL grain : {FALSE, TRUE}) {
      std::vector<SampleShadeContext> batch(kSamples);
      std::vector<ShadeContext*> pointers(kSamples);
      for (int i = 0; i < kSamples; ++i) {
        batch[i] = row(i);
        pointers[i] = &batch[i];
      }
      std::vector<TexBakeSample> got(kSamples);
      std::vector<BOOL> hit(kSamples, 7);
      bake->EvalBakeSamples(pointers.data(), kSamples, got.data(), hit.data(), grain);
      for (int i = 0; i < kSamples; ++i) {
        SampleShadeContext one = row(i);
        TexBakeSample want;
        const BOOL wantHit = bake->EvalBakeSample(one, want, grain);
        ASSERT_EQ(hit[i], wantHit) << i;
        EXPECT_EQ(Bits(got[i].intensity), Bits(want.intensity)) << i << " stepped " << stepped;
        EXPECT_EQ(Bits(got[i].color.r), Bits(want.color.r)) << i;
        EXPECT_EQ(Bits(got[i].color.a), Bits(want.color.a)) << i;
        EXPECT_EQ(Bits(got[i].footprint[0]), Bits(want.footprint[0])) << i;
        EXPECT_EQ(Bits(got[i].footprint[1]), Bits(want.footprint[1])) << i;
        EXPECT_EQ(Bits(got[i].direction.x), Bits(want.direction.x)) << i;
        EXPECT_EQ(Bits(got[i].direction.y), Bits(want.direction.y)) << i;
        // The colour is left in the sample's cache, as EvalBakeSample leaves it.
        AColor cached;
        EXPECT_EQ(batch[i].GetCache(m.map, cached) != 0, wantHit != FALSE) << i;
        if (wantHit) {
          EXPECT_EQ(cached, want.color) << i;
        }
      }
      // The comparison covers scratches, not only background: with the wider spread many hits
      // lie on the ramp between the colours.
      if (stepped) {
        int between = 0;
        for (int i = 0; i < kSamples; ++i) {
          between += hit[i] && got[i].intensity > 0.05f && got[i].intensity < 0.95f ? 1 : 0;
        }
        EXPECT_GT(between, 30);
      }
    }
  }
}

TEST(Shading, DoMapsOffAndRejectedSamplesGiveZero) {
  MapHolder m;
  UpdateNow(m.map);
  SampleShadeContext sc = ObjectSample(Point3(1.0f, 2.0f, 3.0f));
  sc.PutCache(m.map, AColor(0.5f, 0.5f, 0.5f, 1.0f));
  sc.doMaps = FALSE;
  EXPECT_EQ(m->EvalColor(sc), AColor(0.0f, 0.0f, 0.0f, 0.0f));
  EXPECT_EQ(m->EvalMono(sc), 0.0f);
  EXPECT_EQ(m->EvalNormalPerturb(sc), Point3());
  sc.doMaps = TRUE;
  EXPECT_EQ(m->EvalColor(sc), AColor(0.5f, 0.5f, 0.5f, 1.0f));  // the cache answers first

  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, static_cast<int>(XYZ_MAP_CHANNEL_2D));
  m->mappingBlock->SetValue(XYZ_PB_TILE_X, 0, static_cast<int>(XYZ_TILE_NONE));
  UpdateNow(m.map);
  SampleShadeContext out = ObjectSample(Point3());
  out.SetUVW(1, Point3(1.5f, 0.5f, 0.0f), Point3());
  EXPECT_EQ(m->EvalColor(out), AColor(0.0f, 0.0f, 0.0f, 0.0f));
  AColor cached;
  EXPECT_FALSE(out.GetCache(m.map, cached));  // a rejection is not cached
  EXPECT_EQ(m->EvalNormalPerturb(out), Point3());
}

TEST(Shading, ColourMapsSwitchesAndBump) {
  MapHolder m;
  m->pblock->SetValue(PB_COL1_MAP_ENABLED, 0, 1);  // on, but no map: the swatch is used
  m->pblock->SetValue(PB_COLOR1, 0, Color(0.25f, 0.25f, 0.25f));
  m->pblock->SetValue(PB_COLOR2, 0, Color(0.25f, 0.25f, 0.25f));
  UpdateNow(m.map);
  SampleShadeContext sc = ObjectSample(Point3(3.0f, 1.0f, 0.5f));
  const AColor c = m->EvalColor(sc);
  EXPECT_NEAR(c.r, 0.25f, 1e-6f);
  // Equally bright colours cancel the bump.
  EXPECT_EQ(m->EvalNormalPerturb(sc), Point3());

  auto* red = new ConstantMap(AColor(1.0f, 0.0f, 0.0f, 1.0f), Point3(0.0f, 0.0f, 0.5f));
  m->SetSubTexmap(SUBTEX_COLOR2, red);
  UpdateNow(m.map);
  SampleShadeContext sc2 = ObjectSample(Point3(3.0f, 1.0f, 0.5f));
  // Colour 2 comes from the red map now, blended by the intensity.
  const AColor c2 = m->EvalColor(sc2);
  const float f = tamrel::EvalScratchFiltered(sc2.p / 10.0f, sc2.dpdx / 10.0f, sc2.dpdy / 10.0f,
                                              m->Evaluator().GatherScratchParams(sc2));
  EXPECT_NEAR(c2.r, f * 1.0f + (1.0f - f) * 0.25f, 1e-6f);
  EXPECT_NEAR(c2.g, (1.0f - f) * 0.25f, 1e-6f);
  m->pblock->SetValue(PB_COL2_MAP_ENABLED, 0, 0);
  UpdateNow(m.map);
  SampleShadeContext sc3 = ObjectSample(Point3(3.0f, 1.0f, 0.5f));
  EXPECT_NEAR(m->EvalColor(sc3).r, 0.25f, 1e-6f);
}

TEST(Shading, BumpIsTheScaledNegativeGradientWithAMinimumStep) {
  MapHolder m;
  m->pblock->SetValue(PB_BUMP_DELTA, 0, 0.0f);
  UpdateNow(m.map);
  const Point3 p(2.0f, -3.0f, 1.0f);
  SampleShadeContext sc = ObjectSample(p);
  const Point3 n = m->EvalNormalPerturb(sc);
  const tamrel::ScratchParams params = m->Evaluator().GatherScratchParams(sc);
  const Point3 q = p / 10.0f;
  const float h = tamrel::EvalScratchPlain(q, params);
  const float delta = 0.001f;
  Point3 expect;
  for (int k = 0; k < 3; ++k) {
    Point3 axis;
    axis[k] = 1.0f;
    expect[k] = -(tamrel::EvalScratchPlain(q + axis * delta, params) - h) / delta;
  }
  // Colour 1 black, colour 2 white: the brightness difference is 1.
  EXPECT_EQ(n, expect);
}

TEST(Shading, SizeAndSpreadGuards) {
  MapHolder zero, tiny;
  zero->pblock->SetValue(PB_SIZE, 0, 0.0f);
  tiny->pblock->SetValue(PB_SIZE, 0, 0.001f);
  UpdateNow(zero.map);
  UpdateNow(tiny.map);
  for (int i = 0; i < 20; ++i) {
    const Point3 p(F(i) * 0.0013f, F(i) * 0.0007f, 0.0f);
    SampleShadeContext a = ObjectSample(p, 0.0001f), b = ObjectSample(p, 0.0001f);
    EXPECT_EQ(zero->EvalColor(a), tiny->EvalColor(b));
    EXPECT_EQ(zero->EvalNormalPerturb(a), tiny->EvalNormalPerturb(b));
  }
  // With erosion on, a zero size must not turn the erosion noise into NaN.
  zero->pblock->SetValue(PB_USE_EROSION, 0, 1);
  UpdateNow(zero.map);
  SampleShadeContext e = ObjectSample(Point3(0.01f, 0.02f, 0.0f), 0.0001f);
  EXPECT_FALSE(std::isnan(zero->EvalColor(e).r));

  // A size map reading 2 doubles the scratches: the same as size 20.
  MapHolder mapped, doubled;
  mapped->SetSubTexmap(SUBTEX_SIZE, new ConstantMap(AColor(2.0f, 2.0f, 2.0f)));
  doubled->pblock->SetValue(PB_SIZE, 0, 20.0f);
  UpdateNow(mapped.map);
  UpdateNow(doubled.map);
  for (int i = 0; i < 20; ++i) {
    SampleShadeContext a = ObjectSample(Point3(F(i) * 1.1f, 2.0f, 0.0f));
    SampleShadeContext b = a;
    EXPECT_EQ(mapped->EvalMono(a), doubled->EvalMono(b)) << i;
  }
  // Size and spread maps reading 0 fall back to a small positive value, not a division by zero.
  MapHolder zeroMaps;
  zeroMaps->SetSubTexmap(SUBTEX_SIZE, new ConstantMap(AColor(0.0f, 0.0f, 0.0f)));
  zeroMaps->SetSubTexmap(SUBTEX_SPREAD, new ConstantMap(AColor(0.0f, 0.0f, 0.0f)));
  UpdateNow(zeroMaps.map);
  SampleShadeContext z = ObjectSample(Point3(0.0003f, 0.0001f, 0.0f), 0.0f);
  const AColor cz = zeroMaps->EvalColor(z);
  EXPECT_FALSE(std::isnan(cz.r));
  EXPECT_EQ(zeroMaps->Evaluator().GatherScratchParams(z).spread, kZeroSizeSubstitute);
}

TEST(Shading, DistortionMovesThePointOnlyWhenOnAndStrong) {
  MapHolder plain, distorted;
  auto* bump = new ConstantMap(AColor(), Point3(3.0f, -2.0f, 1.0f));
  distorted->SetSubTexmap(SUBTEX_DISTORT, bump);
  UpdateNow(plain.map);
  UpdateNow(distorted.map);
  const Point3 p(4.0f, 5.0f, 6.0f);
  auto colourAt = [&](TamrelScratches* m, const Point3& q) {
    SampleShadeContext sc = ObjectSample(q);
    sc.filterMaps = FALSE;
    return m->EvalColor(sc);
  };
  EXPECT_EQ(colourAt(plain.map, p), colourAt(distorted.map, p));  // useDistortion off
  distorted->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  distorted->pblock->SetValue(PB_DISTORT_STR, 0, 0.0f);
  UpdateNow(distorted.map);
  EXPECT_EQ(colourAt(plain.map, p), colourAt(distorted.map, p));  // strength 0
  distorted->pblock->SetValue(PB_DISTORT_STR, 0, 0.5f);
  UpdateNow(distorted.map);
  const Point3 moved = p + Point3(3.0f, -2.0f, 1.0f) * 0.5f;
  Point3 pp = p;
  SampleShadeContext sc = ObjectSample(p);
  distorted->Evaluator().ApplyDistortion(sc, pp);
  EXPECT_EQ(pp, moved);
  // A strength map scales the displacement.
  distorted->SetSubTexmap(SUBTEX_DISTORT_STR, new ConstantMap(AColor(0.5f, 0.5f, 0.5f)));
  UpdateNow(distorted.map);
  pp = p;
  distorted->Evaluator().ApplyDistortion(sc, pp);
  EXPECT_EQ(pp, p + Point3(3.0f, -2.0f, 1.0f) * 0.5f * 0.5f);
}

TEST(Shading, HostileInputsStayDefined) {
  MapHolder m;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  m->mappingBlock->SetValue(XYZ_PB_OFFSET_X, 0, 1e6f);
  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, 7);
  m->pblock->SetValue(PB_TYPE, 0, 9);
  UpdateNow(m.map);
  SampleShadeContext sc = ObjectSample(Point3(nan, 1e30f, -1e30f));
  const AColor c = m->EvalColor(sc);
  EXPECT_EQ(c.a, 1.0f);
  m->EvalNormalPerturb(sc);
  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, static_cast<int>(XYZ_MAP_OBJECT));
  m->mappingBlock->SetValue(XYZ_PB_ANGLE_Z2, 0, 45.0f);
  m->pblock->SetValue(PB_TYPE, 0, 0);
  UpdateNow(m.map);
  SampleShadeContext far = ObjectSample(Point3(3e9f, -3e9f, 1e20f));
  m->EvalColor(far);
  m->EvalNormalPerturb(far);
}

TEST(Editor, DependentControlsFollowTheirSwitches) {
  MapHolder m;
  EXPECT_EQ(m->pblock->GetMap(), nullptr);
  ParamDlg* dlg = m->CreateParamDlg(nullptr, nullptr);
  ASSERT_NE(dlg, nullptr);
  IParamMap2* map = m->pblock->GetMap();
  ASSERT_NE(map, nullptr);
  ASSERT_NE(m->mappingBlock->GetMap(), nullptr);
  for (ParamID id : {PB_DISTORT_STR, PB_DISTORT_MAP, PB_DISTORT_STR_MAP, PB_DSTR_MAP_ENABLED,
                     PB_EROSION, PB_EROSION_DELTA}) {
    EXPECT_FALSE(map->IsEnabled(id)) << id;
  }
  EXPECT_TRUE(map->IsEnabled(PB_BUMP_DELTA));
  m->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  UpdateNow(m.map);
  EXPECT_TRUE(map->IsEnabled(PB_DISTORT_MAP));
  EXPECT_FALSE(map->IsEnabled(PB_EROSION));
  // Changes redraw their control; setting a sub-map redraws its button.
  const int before = map->InvalidateCount(PB_STRETCH);
  m->pblock->SetValue(PB_STRETCH, 0, 3.0f);
  EXPECT_EQ(map->InvalidateCount(PB_STRETCH), before + 1);
  m->SetSubTexmap(SUBTEX_SPREAD, new ConstantMap(AColor(1.0f, 1.0f, 1.0f)));
  EXPECT_GE(map->InvalidateCount(PB_SPREAD_MAP), 1);
  dlg->DeleteThis();
  EXPECT_EQ(m->pblock->GetMap(), nullptr);
}

class CountingHandle : public TexHandle {
 public:
  explicit CountingHandle(BITMAPINFO* b, int* live) : bmi(b), live_(live) { ++*live_; }
  ~CountingHandle() override {
    delete[] reinterpret_cast<BYTE*>(bmi);
    --*live_;
  }
  DWORD_PTR GetHandle() override { return reinterpret_cast<DWORD_PTR>(this); }
  void DeleteThis() override { delete this; }
  BITMAPINFO* bmi;

 private:
  int* live_;
};

class Maker : public TexHandleMaker {
 public:
  TexHandle* MakeHandle(BITMAPINFO* b) override {
    ++made;
    last = b;
    return new CountingHandle(b, &live);
  }
  int Size() override { return 16; }
  int made = 0, live = 0;
  BITMAPINFO* last = nullptr;
};

TEST(Editor, ViewportHandleLivesUntilAParameterChanges) {
  Maker maker;
  {
    MapHolder m;
    EXPECT_TRUE(m->SupportTexDisplay());
    const DWORD_PTR h = m->GetActiveTexHandle(0, maker);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(m->GetActiveTexHandle(0, maker), h);
    EXPECT_EQ(maker.made, 1);
    EXPECT_EQ(maker.last->bmiHeader.biWidth, 16);
    EXPECT_EQ(maker.last->bmiHeader.biBitCount, 24);
    m->pblock->SetValue(PB_LEVELS, 0, 2);
    EXPECT_EQ(maker.live, 0);
    m->GetActiveTexHandle(0, maker);
    EXPECT_EQ(maker.made, 2);
    m->ActivateTexDisplay(FALSE);
    EXPECT_EQ(maker.live, 0);
    m->GetActiveTexHandle(0, maker);
  }
  EXPECT_EQ(maker.live, 0);  // the destructor discards the last handle
  Matrix3 uv;
  uv.Translate(Point3(1.0f, 0.0f, 0.0f));
  MapHolder m;
  m->GetUVTransform(uv);
  EXPECT_EQ(uv, Matrix3());
}

TEST(Strings, LoaderSharesOneBufferAndTheTableFitsIt) {
  const MCHAR* a = GetResString(IDS_LIBDESCRIPTION);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(MSTR(a), MSTR(L"Procedural Scratches texmap"));
  const MCHAR* b = GetResString(IDS_TILE_MIRROR);
  EXPECT_EQ(a, b);
  EXPECT_EQ(MSTR(a), MSTR(L"Mirror"));
  EXPECT_EQ(GetResString(9999), nullptr);
  EXPECT_EQ(kStringTableSize, 56);
  std::size_t longest = 0;
  for (int i = 0; i < kStringTableSize; ++i) {
    longest = std::max(longest, std::wcslen(kStringTable[i].text));
    EXPECT_EQ(kStringTable[i].id, i + 1);
  }
  EXPECT_LT(longest, 255u);
  EXPECT_EQ(MSTR(GetResString(IDS_SPREAD_MAP_ON)), MSTR(L"Spread MapOn"));
}

TEST(Plugin, LoadsThroughThePlatformLoader) {
  void* lib = dlopen(TAMREL_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto numberClasses = reinterpret_cast<int (*)()>(dlsym(lib, "LibNumberClasses"));
  auto classDesc = reinterpret_cast<ClassDesc* (*)(int)>(dlsym(lib, "LibClassDesc"));
  auto version = reinterpret_cast<ULONG (*)()>(dlsym(lib, "LibVersion"));
  auto description = reinterpret_cast<const MCHAR* (*)()>(dlsym(lib, "LibDescription"));
  auto init = reinterpret_cast<int (*)()>(dlsym(lib, "LibInitialize"));
  auto shutdown = reinterpret_cast<int (*)()>(dlsym(lib, "LibShutdown"));
  ASSERT_TRUE(numberClasses && classDesc && version && description && init && shutdown);
  // Nothing but the six functions is exported.
  EXPECT_EQ(dlsym(lib, "GetResString"), nullptr);
  EXPECT_EQ(init(), TRUE);
  EXPECT_EQ(numberClasses(), 1);
  EXPECT_EQ(classDesc(1), nullptr);
  EXPECT_EQ(version(), 0x6D604400u);
  EXPECT_EQ(MSTR(description()), MSTR(L"Procedural Scratches texmap"));

  ClassDesc* cd = classDesc(0);
  ASSERT_NE(cd, nullptr);
  EXPECT_EQ(cd->ClassID(), Class_ID(0x8DB6A691, 0x8D486002));
  EXPECT_EQ(cd->SuperClassID(), TEXMAP_CLASS_ID);
  EXPECT_EQ(MSTR(cd->ClassName()), MSTR(L"TamrelScratches"));
  EXPECT_EQ(MSTR(cd->InternalName()), MSTR(L"TamrelScratches"));
  EXPECT_EQ(cd->IsPublic(), 1);
  EXPECT_NE(cd->HInstance(), nullptr);
  EXPECT_EQ(cd->NumParamBlockDescs(), 2);
  {
    Scene scene;
    auto* map = static_cast<Texmap*>(cd->Create(FALSE));
    scene.AddRoot(map);
    Interval valid = FOREVER;
    map->Update(0, valid);
    SampleShadeContext sc = ObjectSample(Point3(1.0f, 2.0f, 3.0f));
    const AColor c = map->EvalColor(sc);
    EXPECT_GE(c.r, 0.0f);
    EXPECT_LE(c.r, 1.0f);
    EXPECT_EQ(c.a, 1.0f);
    // The loaded plug-in computes what the linked one computes.
    MapHolder local;
    UpdateNow(local.map);
    SampleShadeContext sc2 = ObjectSample(Point3(1.0f, 2.0f, 3.0f));
    EXPECT_EQ(local->EvalColor(sc2), c);
  }
  EXPECT_EQ(shutdown(), TRUE);
  dlclose(lib);
}

// Evaluates all three results over many samples with variance on; each sample has its own node
// and material so the random transforms differ.
std::vector<std::uint32_t> EvaluateAll(TamrelScratches* m, const std::vector<INode>& nodes,
                                       int begin, int end) {
  std::vector<std::uint32_t> out;
  for (int i = begin; i < end; ++i) {
    SampleShadeContext sc = ObjectSample(Point3(F(i) * 0.731f, F(i) * -0.377f, F(i) * 0.119f));
    sc.node = const_cast<INode*>(&nodes[static_cast<std::size_t>(i) % nodes.size()]);
    sc.mtlNum = i % 3;
    sc.filterMaps = (i & 1) != 0;
    const AColor c = m->EvalColor(sc);
    SampleShadeContext sc2 = sc;
    sc2.ClearCache();
    const float mono = m->EvalMono(sc2);
    const Point3 n = m->EvalNormalPerturb(sc);
    for (float v : {c.r, c.g, c.b, c.a, mono, n.x, n.y, n.z}) out.push_back(Bits(v));
  }
  return out;
}

TEST(Determinism, ConcurrentEvaluationMatchesTheSerialPass) {
  MapHolder m;
  m->pblock->SetValue(PB_USE_EROSION, 0, 1);
  m->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  auto* inner = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  m->SetSubTexmap(SUBTEX_DISTORT, inner);
  m->mappingBlock->SetValue(XYZ_PB_OFFSET_X2, 0, 3.0f);
  m->mappingBlock->SetValue(XYZ_PB_ANGLE_Z2, 0, 30.0f);
  m->mappingBlock->SetValue(XYZ_PB_RAND_BY_MAT, 0, 1);
  UpdateNow(m.map);
  ASSERT_TRUE(m->Evaluator().Values().coords.hasVariance);

  const std::vector<INode> nodes = {INode(1), INode(2), INode(77)};
  constexpr int kSamples = 3000;
  const std::vector<std::uint32_t> serial = EvaluateAll(m.map, nodes, 0, kSamples);

  constexpr int kThreads = 4;
  std::vector<std::vector<std::uint32_t>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(
        [&, t] { results[static_cast<std::size_t>(t)] = EvaluateAll(m.map, nodes, 0, kSamples); });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[static_cast<std::size_t>(t)], serial) << t;
}

// The bits of colour, bump and bake sample (with grain) at a row of points.
std::vector<std::uint32_t> ShadeBits(TamrelScratches* m, int count) {
  std::vector<std::uint32_t> out;
  auto* bake = static_cast<ITexBake*>(m->GetInterface(I_TEXBAKE));
  for (int i = 0; i < count; ++i) {
    const Point3 p(F(i) * 0.43f, F(i) * -0.31f, 0.2f * F(i % 7));
    SampleShadeContext a = ObjectSample(p, 0.02f);
    a.filterMaps = i % 2 == 0 ? TRUE : FALSE;
    SampleShadeContext b = a, c = a;
    const AColor col = m->EvalColor(a);
    const Point3 n = m->EvalNormalPerturb(b);
    TexBakeSample s;
    const BOOL hit = bake->EvalBakeSample(c, s, TRUE);
    for (float v : {col.r, col.g, col.b, col.a, n.x, n.y, n.z, s.intensity, s.direction.x,
                    s.direction.y}) {
      out.push_back(Bits(v));
    }
    out.push_back(static_cast<std::uint32_t>(hit));
  }
  return out;
}

int Differences(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  int n = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i] ? 1 : 0;
  return n + static_cast<int>(a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
}

TEST(Evaluator, OneUpdatesValuesHoldUntilTheNextUpdate) {
  MapHolder m;
  auto* inner = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  inner->pblock->SetValue(PB_COLOR2, 0, Color(0.9f, 0.2f, 0.1f));
  inner->pblock->SetValue(PB_LEVELS, 0, 2);
  m->SetSubTexmap(SUBTEX_COLOR2, inner);
  m->pblock->SetValue(PB_SIZE, 0, 3.5f);
  m->pblock->SetValue(PB_LEVELS, 0, 4);
  m->pblock->SetValue(PB_TYPE, 0, 0);
  m->pblock->SetValue(PB_USE_EROSION, 0, 1);
  m->pblock->SetValue(PB_COLOR1, 0, Color(0.1f, 0.3f, 0.6f));
  UpdateNow(m.map);
  const ScratchEvaluator* first = &m->Evaluator();
  const std::vector<std::uint32_t> before = ShadeBits(m.map, 60);
  EXPECT_EQ(first->Values().size, 3.5f);
  EXPECT_EQ(first->SubMap(SUBTEX_COLOR2), inner);

  // Parameters of both blocks and of the sub-map change: nothing shaded moves.
  m->pblock->SetValue(PB_SIZE, 0, 7.0f);
  m->pblock->SetValue(PB_LEVELS, 0, 2);
  m->pblock->SetValue(PB_COLOR1, 0, Color(0.8f, 0.8f, 0.1f));
  m->pblock->SetValue(PB_THRESHOLD_HIGH, 0, 0.6f);
  m->pblock->SetValue(PB_COL2_MAP_ENABLED, 0, 0);
  m->mappingBlock->SetValue(XYZ_PB_OFFSET_X, 0, 2.5f);
  inner->pblock->SetValue(PB_LEVELS, 0, 7);
  EXPECT_FALSE(m->EvaluatorValidity().InInterval(0));
  EXPECT_EQ(&m->Evaluator(), first);
  EXPECT_EQ(m->Evaluator().Values().size, 3.5f);
  EXPECT_EQ(m->Evaluator().Values().levels, 4);
  EXPECT_EQ(m->Evaluator().Values().col2mapEnabled, TRUE);
  EXPECT_EQ(m->Evaluator().Values().coords.offset.x, 0.0f);
  EXPECT_EQ(ShadeBits(m.map, 60), before);

  // The next Update takes all of them, as a map made with the new values has them.
  UpdateNow(m.map);
  EXPECT_EQ(m->Evaluator().Values().size, 7.0f);
  EXPECT_EQ(m->Evaluator().Values().thresholdHigh, 0.6f);
  EXPECT_EQ(m->Evaluator().Values().coords.offset.x, 2.5f);
  const std::vector<std::uint32_t> after = ShadeBits(m.map, 60);
  EXPECT_GT(Differences(after, before), 60);
  MapHolder fresh;
  fresh->pblock->SetValue(PB_SIZE, 0, 7.0f);
  fresh->pblock->SetValue(PB_LEVELS, 0, 2);
  fresh->pblock->SetValue(PB_TYPE, 0, 0);
  fresh->pblock->SetValue(PB_USE_EROSION, 0, 1);
  fresh->pblock->SetValue(PB_COLOR1, 0, Color(0.8f, 0.8f, 0.1f));
  fresh->pblock->SetValue(PB_THRESHOLD_HIGH, 0, 0.6f);
  fresh->pblock->SetValue(PB_COL2_MAP_ENABLED, 0, 0);
  fresh->mappingBlock->SetValue(XYZ_PB_OFFSET_X, 0, 2.5f);
  UpdateNow(fresh.map);
  EXPECT_EQ(after, ShadeBits(fresh.map, 60));
}

TEST(Evaluator, ASubMapsChangeReachesTheShadingWithTheNextUpdate) {
  MapHolder m;
  auto* inner = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  inner->pblock->SetValue(PB_COLOR2, 0, Color(0.9f, 0.2f, 0.1f));
  m->SetSubTexmap(SUBTEX_COLOR2, inner);
  UpdateNow(m.map);
  const std::vector<std::uint32_t> before = ShadeBits(m.map, 40);
  inner->pblock->SetValue(PB_COLOR2, 0, Color(0.1f, 0.2f, 0.9f));
  EXPECT_EQ(ShadeBits(m.map, 40), before);
  UpdateNow(m.map);  // updates the sub-map too
  EXPECT_EQ(inner->Evaluator().Values().color2, Color(0.1f, 0.2f, 0.9f));
  EXPECT_GT(Differences(ShadeBits(m.map, 40), before), 20);
}

TEST(Evaluator, EditorNotificationsLeaveTheShadingAlone) {
  MapHolder m;
  m->SetSubTexmap(SUBTEX_DISTORT, new ConstantMap(AColor(), Point3(3.0f, -2.0f, 1.0f)));
  m->pblock->SetValue(PB_DISTORT_STR, 0, 0.7f);
  m->pblock->SetValue(PB_EROSION, 0, 0.9f);
  ParamDlg* dlg = m->CreateParamDlg(nullptr, nullptr);
  ASSERT_NE(dlg, nullptr);
  UpdateNow(m.map);
  const std::vector<std::uint32_t> before = ShadeBits(m.map, 60);
  // Both switches go on, and everything the editor runs on its own runs before any Update.
  m->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  m->pblock->SetValue(PB_USE_EROSION, 0, 1);
  auto* params = static_cast<TamrelScratchesDlgProc*>(GetParamsDesc()->GetUserDlgProc());
  auto* mapping = static_cast<TamrelXYZDlgProc*>(GetMappingDesc()->GetUserDlgProc());
  ASSERT_NE(params, nullptr);
  ASSERT_NE(mapping, nullptr);
  params->SetThing(m.map);
  mapping->SetThing(m.map);
  EXPECT_FALSE(m->SetDlgThing(nullptr));
  m->EnableDependentControls();
  // The rollout followed the switches ...
  IParamMap2* map = m->pblock->GetMap();
  ASSERT_NE(map, nullptr);
  EXPECT_TRUE(map->IsEnabled(PB_DISTORT_MAP));
  EXPECT_TRUE(map->IsEnabled(PB_EROSION));
  // ... the shading did not.
  EXPECT_FALSE(m->Evaluator().Values().useDistortion);
  EXPECT_FALSE(m->Evaluator().Values().useErosion);
  EXPECT_EQ(ShadeBits(m.map, 60), before);
  UpdateNow(m.map);
  EXPECT_TRUE(m->Evaluator().Values().useDistortion);
  EXPECT_TRUE(m->Evaluator().Values().useErosion);
  EXPECT_GT(Differences(ShadeBits(m.map, 60), before), 60);
  dlg->DeleteThis();
}

TEST(Evaluator, AReplacedSubMapIsNeverShadedAgain) {
  MapHolder m;
  m->pblock->SetValue(PB_COLOR1, 0, Color(0.5f, 0.5f, 0.5f));
  m->SetSubTexmap(SUBTEX_COLOR2, new ConstantMap(AColor(1.0f, 0.0f, 0.0f, 1.0f)));
  UpdateNow(m.map);
  // The red map loses its only reference and is deleted; the evaluator moves to the green one
  // at once and keeps the last Update's values.
  auto* green = new ConstantMap(AColor(0.0f, 1.0f, 0.0f, 1.0f));
  m->SetSubTexmap(SUBTEX_COLOR2, green);
  EXPECT_EQ(m->Evaluator().SubMap(SUBTEX_COLOR2), green);
  EXPECT_EQ(m->Evaluator().Values().color1, Color(0.5f, 0.5f, 0.5f));
  int between = 0;
  for (int i = 0; i < 40; ++i) {
    SampleShadeContext sc = ObjectSample(Point3(F(i) * 0.37f, F(i) * -0.21f, 1.5f));
    const AColor c = m->EvalColor(sc);
    EXPECT_EQ(c.r, c.b) << i;  // red never mixes in: r and b both come from colour 1 alone
    if (c.g > c.r) ++between;
  }
  EXPECT_GT(between, 0);
  // A sub-map deleted outright clears its slot in the evaluator too.
  auto* doomed = new ConstantMap(AColor(0.0f, 0.0f, 1.0f, 1.0f));
  m->SetSubTexmap(SUBTEX_COLOR1, doomed);
  doomed->DeleteThis();
  EXPECT_EQ(m->GetSubTexmap(SUBTEX_COLOR1), nullptr);
  EXPECT_EQ(m->Evaluator().SubMap(SUBTEX_COLOR1), nullptr);
  SampleShadeContext sc = ObjectSample(Point3(1.0f, 2.0f, 0.5f));
  EXPECT_EQ(m->EvalColor(sc).a, 1.0f);
}

TEST(Evaluator, ACloneShadesWithItsOwnSubMaps) {
  MapHolder m;
  m->SetSubTexmap(SUBTEX_SIZE, new ConstantMap(AColor(2.0f, 2.0f, 2.0f)));
  m->pblock->SetValue(PB_LEVELS, 0, 3);
  UpdateNow(m.map);
  RemapDir remap;
  auto* clone = static_cast<TamrelScratches*>(m->Clone(remap));
  Scene keep;
  keep.AddRoot(clone);
  EXPECT_EQ(clone->Evaluator().Values().levels, 3);
  ASSERT_NE(clone->GetSubTexmap(SUBTEX_SIZE), nullptr);
  EXPECT_EQ(clone->Evaluator().SubMap(SUBTEX_SIZE), clone->GetSubTexmap(SUBTEX_SIZE));
  EXPECT_NE(clone->Evaluator().SubMap(SUBTEX_SIZE), m->GetSubTexmap(SUBTEX_SIZE));
  EXPECT_EQ(clone->Evaluator().Links().texout, clone->Output());
  EXPECT_NE(clone->Output(), m->Output());
  EXPECT_EQ(ShadeBits(clone, 30), ShadeBits(m.map, 30));
}

TEST(Evaluator, TheTileBracketIsTheEvaluatorsAndOutlivesUpdates) {
  MapHolder m;
  m->pblock->SetValue(PB_LEVELS, 0, 3);
  m->pblock->SetValue(PB_TYPE, 0, 0);
  UpdateNow(m.map);
  const std::vector<std::uint32_t> ordinary = ShadeBits(m.map, 40);
  EXPECT_EQ(m->Evaluator().Tile(), nullptr);
  SampleShadeContext corner = ObjectSample(Point3(7.5f, 2.5f, 0.0f), 0.5f);
  SampleShadeContext alongU = ObjectSample(Point3(37.5f, 2.5f, 0.0f), 0.5f);
  SampleShadeContext alongV = ObjectSample(Point3(7.5f, -27.5f, 0.0f), 0.5f);
  const TamrelTileReport report = m->BeginTileBake(corner, alongU, alongV, 64);
  ASSERT_EQ(report.problem, TILE_OK);
  const tamrel::TileablePattern* tile = m->Evaluator().Tile();
  ASSERT_NE(tile, nullptr);
  // The tile in scratch space: the corners divided by the size of 10, and 64 snap steps between
  // neighbouring samples of the 64 along an edge.
  tamrel::TileFrame frame;
  frame.origin = {0.75, 0.25, 0.0};
  frame.edgeU = {3.0, 0.0, 0.0};
  frame.edgeV = {0.0, -3.0, 0.0};
  frame.snap = 4096.0;
  const tamrel::ScratchParams params = m->Evaluator().GatherScratchParams(corner);
  EXPECT_TRUE(tile->Matches(frame, params));
  frame.snap = 2048.0;
  EXPECT_FALSE(tile->Matches(frame, params));
  // Without sub-maps the report is the tile's own nudge.
  EXPECT_EQ(report.length, tile->Nudge().length);
  EXPECT_EQ(report.width, tile->Nudge().width);
  EXPECT_EQ(report.angleDeg, tile->Nudge().angleDeg);
  EXPECT_EQ(report.erosion, tile->Nudge().erosion);
  EXPECT_GT(report.width, 0.0);
  const std::vector<std::uint32_t> tiled = ShadeBits(m.map, 40);
  EXPECT_GT(Differences(tiled, ordinary), 10);
  // An update inside the bracket (here one that reads the same values) keeps the tile's field.
  const ScratchEvaluator* bracketed = &m->Evaluator();
  m->pblock->SetValue(PB_COLOR1, 0, Color(0.0f, 0.0f, 0.0f));
  ASSERT_FALSE(m->EvaluatorValidity().InInterval(0));
  UpdateNow(m.map);
  EXPECT_NE(&m->Evaluator(), bracketed);
  EXPECT_EQ(m->Evaluator().Tile(), tile);
  EXPECT_EQ(ShadeBits(m.map, 40), tiled);
  m->EndTileBake();
  EXPECT_EQ(m->Evaluator().Tile(), nullptr);
  EXPECT_EQ(ShadeBits(m.map, 40), ordinary);
  // A refused bracket leaves the ordinary evaluator in place.
  m->mappingBlock->SetValue(XYZ_PB_MAP, 0, static_cast<int>(XYZ_MAP_CHANNEL_2D));
  m->mappingBlock->SetValue(XYZ_PB_TILE_Y, 0, static_cast<int>(XYZ_TILE_MIRROR));
  UpdateNow(m.map);
  EXPECT_EQ(m->BeginTileBake(corner, alongU, alongV, 64).problem, TILE_MAPPING_TILING);
  EXPECT_EQ(m->Evaluator().Tile(), nullptr);
}

// The tileable bump of a map: its tile's plain field differenced along the mapping's axes (here
// the object's) from the wrapped sample, as the ordinary bump differences the ordinary field.
Point3 TileGradientBump(const tamrel::TileablePattern& tile, const Point3& p, float size,
                        const tamrel::ScratchParams& params, float bumpDelta, float& h) {
  const tamrel::TilePoint from = tile.Reduce(p / size);
  h = tile.EvalPlain(from, params);
  const float delta = bumpDelta * 0.01f + 0.001f;
  Point3 g;
  for (int k = 0; k < 3; ++k) {
    Point3 axis;
    axis[k] = 1.0f;
    g[k] = (tile.EvalPlain(tile.Offset(from, axis * delta), params) - h) / delta;
  }
  return -g;
}

TEST(Evaluator, TheTileBumpThroughScratchesSubMapsRepeatsWithTheTile) {
  // Both colours of the map come from other scratches maps; in the tile's bracket all three
  // repeat, so the bump, which takes the sub-maps' brightness and bumps, gives the same bits a
  // tile over. Wide scratches (a fifth of the plane darkened) put many samples on slopes; the
  // sub-maps' sizes make the tile 3.75 and 1.25 of their units across.
  constexpr float kFirstSize = 8.0f, kSecondSize = 24.0f;
  MapHolder m;
  auto* first = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  auto* second = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  for (TamrelScratches* t : {m.map, first, second}) {
    t->pblock->SetValue(PB_THRESHOLD_LOW, 0, 0.05f);
    t->pblock->SetValue(PB_THRESHOLD_HIGH, 0, 0.95f);
    t->pblock->SetValue(PB_SPREAD, 0, 1.0f);
  }
  m->pblock->SetValue(PB_LEVELS, 0, 8);
  m->pblock->SetValue(PB_BUMP_DELTA, 0, 0.2f);
  first->pblock->SetValue(PB_TYPE, 0, 0);
  first->pblock->SetValue(PB_LEVELS, 0, 7);
  first->pblock->SetValue(PB_SIZE, 0, kFirstSize);
  first->pblock->SetValue(PB_BUMP_DELTA, 0, 0.3f);
  second->pblock->SetValue(PB_LEVELS, 0, 6);
  second->pblock->SetValue(PB_SIZE, 0, kSecondSize);
  second->pblock->SetValue(PB_COLOR1, 0, Color(0.3f, 0.6f, 0.0f));
  second->pblock->SetValue(PB_USE_EROSION, 0, 1);
  m->SetSubTexmap(SUBTEX_COLOR1, first);
  m->SetSubTexmap(SUBTEX_COLOR2, second);
  UpdateNow(m.map);
  SampleShadeContext corner = ObjectSample(Point3(0.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongU = ObjectSample(Point3(30.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongV = ObjectSample(Point3(0.0f, -30.0f, 0.0f), 0.5f);
  const TamrelTileReport report = m->BeginTileBake(corner, alongU, alongV, 64);
  ASSERT_EQ(report.problem, TILE_OK);
  const tamrel::TileablePattern* tile = m->Evaluator().Tile();
  const tamrel::TileablePattern* firstTile = first->Evaluator().Tile();
  const tamrel::TileablePattern* secondTile = second->Evaluator().Tile();
  ASSERT_NE(tile, nullptr);
  ASSERT_NE(firstTile, nullptr);
  ASSERT_NE(secondTile, nullptr);
  // The report is the worst nudge of the three tiles; the second map, a tile of 1.25 of its
  // units and the only one with erosion, has the worst of each.
  const tamrel::TileNudge& own = tile->Nudge();
  const tamrel::TileNudge& nudge1 = firstTile->Nudge();
  const tamrel::TileNudge& nudge2 = secondTile->Nudge();
  EXPECT_EQ(report.length, std::max({own.length, nudge1.length, nudge2.length}));
  EXPECT_EQ(report.width, std::max({own.width, nudge1.width, nudge2.width}));
  EXPECT_EQ(report.angleDeg, std::max({own.angleDeg, nudge1.angleDeg, nudge2.angleDeg}));
  EXPECT_EQ(report.erosion, nudge2.erosion);
  EXPECT_GT(nudge2.length, own.length);
  EXPECT_GT(nudge2.width, own.width);
  EXPECT_GT(nudge2.angleDeg, own.angleDeg);
  EXPECT_GT(nudge2.erosion, 0.0);
  EXPECT_EQ(own.erosion, 0.0);

  // Samples on the bake's grid (16 positions a pixel, 64 pixels across the tile), and their
  // copies a tile right, a tile down, and two tiles left and three up.
  auto at = [](int i, float dx, float dy) {
    const float x = 30.0f * static_cast<float>(i % 61 * 16 + 5) / 1024.0f;
    const float y = -30.0f * static_cast<float>(i * 37 % 1024) / 1024.0f;
    return ObjectSample(Point3(x + dx, y + dy, 0.0f), 0.02f);
  };
  auto bits = [](const Point3& n) {
    return std::array<std::uint32_t, 3>{Bits(n.x), Bits(n.y), Bits(n.z)};
  };
  constexpr int kSamples = 200;
  std::vector<Point3> tiled(kSamples);
  int throughFirst = 0, throughSecond = 0;
  for (int i = 0; i < kSamples; ++i) {
    SampleShadeContext a = at(i, 0.0f, 0.0f);
    tiled[i] = m->EvalNormalPerturb(a);
    for (auto [dx, dy] : {std::pair{30.0f, 0.0f}, {0.0f, -30.0f}, {-60.0f, 90.0f}}) {
      SampleShadeContext b = at(i, dx, dy);
      EXPECT_EQ(bits(m->EvalNormalPerturb(b)), bits(tiled[i])) << i << " moved " << dx << "," << dy;
    }
    // Each sub-map's bump, a tile over, is its own tile's gradient scaled by its brightness
    // difference (first: black to white, 1; second: (0.3, 0.6, 0) to white, 0.7).
    SampleShadeContext c = at(i, 30.0f, -30.0f), e = c;
    const Point3 p1 = first->EvalNormalPerturb(c), p2 = second->EvalNormalPerturb(e);
    float h1, h2;
    const Point3 n1 = TileGradientBump(*firstTile, c.p, kFirstSize,
                                       first->Evaluator().GatherScratchParams(c), 0.3f, h1);
    const Point3 n2 = TileGradientBump(*secondTile, e.p, kSecondSize,
                                       second->Evaluator().GatherScratchParams(e), 0.001f, h2);
    EXPECT_EQ(bits(p1), bits(Point3() * h1 + 1.0f * n1 + Point3() * (1.0f - h1))) << i;
    const float dark = (0.6f + 0.3f + 0.0f) / 3.0f;
    EXPECT_EQ(bits(p2), bits(Point3() * h2 + (1.0f - dark) * n2 + Point3() * (1.0f - h2))) << i;
    // The map's bump blends the sub-maps' bumps and brightness by its own tile's field.
    SampleShadeContext d1 = at(i, 0.0f, 0.0f), d2 = d1, d3 = d1;
    const float m1 = first->EvalMono(d1), m2 = second->EvalMono(d2);
    float h;
    const Point3 n =
        TileGradientBump(*tile, d3.p, 10.0f, m->Evaluator().GatherScratchParams(d3), 0.2f, h);
    EXPECT_EQ(bits(tiled[i]), bits(p2 * h + (m2 - m1) * n + p1 * (1.0f - h))) << i;
    if (h < 1.0f && p1 != Point3()) ++throughFirst;
    if (h > 0.0f && p2 != Point3()) ++throughSecond;
  }
  // The sub-maps' bumps reach the result on many samples (19 and 32 of them here; other
  // realisations of the same looks give a few more or less).
  EXPECT_GE(throughFirst, 8);
  EXPECT_GE(throughSecond, 16);
  m->EndTileBake();
  EXPECT_EQ(first->Evaluator().Tile(), nullptr);
  EXPECT_EQ(second->Evaluator().Tile(), nullptr);
  // Out of the bracket the same samples take the ordinary fields.
  int differ = 0;
  for (int i = 0; i < kSamples; ++i) {
    SampleShadeContext a = at(i, 0.0f, 0.0f);
    if (bits(m->EvalNormalPerturb(a)) != bits(tiled[i])) ++differ;
  }
  EXPECT_GT(differ, kSamples / 4);
}

TEST(Determinism, ConcurrentTileBakeSamplesMatchTheSerialPass) {
  MapHolder m;
  m->pblock->SetValue(PB_LEVELS, 0, 4);
  m->pblock->SetValue(PB_USE_EROSION, 0, 1);
  m->pblock->SetValue(PB_EROSION, 0, 0.3f);
  m->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  auto* inner = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  inner->pblock->SetValue(PB_TYPE, 0, 0);
  m->SetSubTexmap(SUBTEX_DISTORT, inner);
  UpdateNow(m.map);
  SampleShadeContext corner = ObjectSample(Point3(0.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongU = ObjectSample(Point3(40.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongV = ObjectSample(Point3(0.0f, -40.0f, 0.0f), 0.5f);
  ASSERT_EQ(m->BeginTileBake(corner, alongU, alongV, 32).problem, TILE_OK);
  ASSERT_NE(inner->Evaluator().Tile(), nullptr);
  auto batch = [&] {
    constexpr int kSamples = 300;
    std::vector<SampleShadeContext> scs(kSamples);
    std::vector<ShadeContext*> pointers(kSamples);
    for (int i = 0; i < kSamples; ++i) {
      scs[i] = ObjectSample(Point3(F(i) * 0.29f, F(i % 17) * -0.83f, 0.0f), 0.05f);
      scs[i].filterMaps = i % 3 == 0 ? FALSE : TRUE;
      pointers[i] = &scs[i];
    }
    std::vector<TexBakeSample> got(kSamples);
    std::vector<BOOL> hit(kSamples);
    m->EvalBakeSamples(pointers.data(), kSamples, got.data(), hit.data(), TRUE);
    std::vector<std::uint32_t> out;
    for (int i = 0; i < kSamples; ++i) {
      scs[i].ClearCache();
      const Point3 n = m->EvalNormalPerturb(scs[i]);
      for (float v : {got[i].color.r, got[i].intensity, got[i].direction.x, n.x, n.y, n.z}) {
        out.push_back(Bits(v));
      }
      out.push_back(static_cast<std::uint32_t>(hit[i]));
    }
    return out;
  };
  const std::vector<std::uint32_t> serial = batch();
  constexpr int kThreads = 4;
  std::vector<std::vector<std::uint32_t>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { results[static_cast<std::size_t>(t)] = batch(); });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[static_cast<std::size_t>(t)], serial) << t;
  m->EndTileBake();
  EXPECT_EQ(inner->Evaluator().Tile(), nullptr);
}

TEST(TileRefusal, EveryProblemIsDescribedInTheBlocksOwnNames) {
  MapHolder m;
  auto text = [&](int problem, int slot, int depth) {
    TamrelTileReport r;
    r.problem = problem;
    r.slot = slot;
    r.depth = depth;
    return m->DescribeTileRefusal(r);
  };
  EXPECT_EQ(text(TILE_SIZE_MAP, SUBTEX_SIZE, 0),
            " cannot repeat a size map: it changes the scale from point to point; switch "
            "\"sizeMapEnabled\" off");
  EXPECT_EQ(text(TILE_STRETCH_MAP, SUBTEX_STRETCH, 2),
            " cannot repeat a stretch map (in a sub-map of the map): it changes the scratches' "
            "shape from point to point; switch \"stretchMapEnabled\" off");
  EXPECT_EQ(text(TILE_MAPPING_TILING, -1, 0),
            " needs \"xyz_tile_x\", \"xyz_tile_y\" and \"xyz_tile_z\" at 0 (continue): the "
            "mapping's own tiling folds the pattern");
  EXPECT_EQ(text(TILE_MAPPING_TILING, -1, 1),
            " needs \"xyz_tile_x\", \"xyz_tile_y\" and \"xyz_tile_z\" at 0 (continue) (in a "
            "sub-map of the map): the mapping's own tiling folds the pattern");
  EXPECT_EQ(text(TILE_EROSION_TOO_COARSE, -1, 0),
            ": the erosion noise is too coarse to repeat within one tile; lower "
            "\"erosionDelta\" or \"size\", or bake a larger --extent");
  EXPECT_EQ(text(TILE_DEGENERATE, -1, 3),
            ": the tile's edges collapse, or span more cells than can repeat exactly, in the "
            "map's coordinates (in a sub-map of the map) (a size near zero, or a mapping that "
            "sees the plane edge-on)");
  EXPECT_EQ(text(TILE_DEGENERATE, -1, 0), text(99, -1, 0));
  // Each slot by the name of the sub-map parameter that holds it.
  const char* const slots[] = {"color1map",  "color2map",  "sizeMap",      "spreadMap",
                               "stretchMap", "distortMap", "distortStrMap"};
  for (int s = 0; s < SCRATCHES_NUM_SUBTEX; ++s) {
    EXPECT_EQ(text(TILE_SUBMAP_NOT_TILEABLE, s, 0),
              std::string(": the \"") + slots[s] +
                  "\" sub-map cannot repeat with the tile and would leave a seam; switch it off "
                  "or use a scratches map there")
        << s;
  }
  EXPECT_EQ(text(TILE_SUBMAP_NOT_TILEABLE, SUBTEX_DISTORT_STR, 1),
            ": the \"distortStrMap\" sub-map (in a sub-map of the map) cannot repeat with the "
            "tile and would leave a seam; switch it off or use a scratches map there");
  for (int s : {-1, SCRATCHES_NUM_SUBTEX}) {
    EXPECT_EQ(text(TILE_SUBMAP_NOT_TILEABLE, s, 0),
              ": the \"a\" sub-map cannot repeat with the tile and would leave a seam; switch it "
              "off or use a scratches map there")
        << s;
  }
}

TEST(TileRefusal, ASubMapsRefusalNamesItsSlotAndDepth) {
  MapHolder m;
  auto* inner = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  auto* deepest = static_cast<TamrelScratches*>(GetTamrelScratchesDesc()->Create(FALSE));
  deepest->SetSubTexmap(SUBTEX_DISTORT_STR, new ConstantMap(AColor(0.5f, 0.5f, 0.5f)));
  deepest->pblock->SetValue(PB_USE_DISTORTION, 0, 1);
  deepest->SetSubTexmap(SUBTEX_DISTORT, new ConstantMap(AColor(), Point3(0.1f, 0.0f, 0.0f)));
  inner->SetSubTexmap(SUBTEX_COLOR1, deepest);
  m->SetSubTexmap(SUBTEX_SPREAD, inner);
  UpdateNow(m.map);
  SampleShadeContext corner = ObjectSample(Point3(0.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongU = ObjectSample(Point3(30.0f, 0.0f, 0.0f), 0.5f);
  SampleShadeContext alongV = ObjectSample(Point3(0.0f, -30.0f, 0.0f), 0.5f);
  // The distortion map in the deepest map is the first that cannot repeat.
  const TamrelTileReport r = m->BeginTileBake(corner, alongU, alongV, 16);
  EXPECT_EQ(r.problem, TILE_SUBMAP_NOT_TILEABLE);
  EXPECT_EQ(r.slot, SUBTEX_DISTORT);
  EXPECT_EQ(r.depth, 2);
  EXPECT_EQ(m->DescribeTileRefusal(r),
            ": the \"distortMap\" sub-map (in a sub-map of the map) cannot repeat with the tile "
            "and would leave a seam; switch it off or use a scratches map there");
  for (TamrelScratches* t : {m.map, inner, deepest}) EXPECT_EQ(t->Evaluator().Tile(), nullptr);
}

}  // namespace
