// The host's view of the plug-in: parameters found and checked through the descriptors the loaded
// library reports, presets that round-trip animation, and bakes that are the same bits for every
// thread count and whose data outputs mean what they say.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "host/Bake.h"
#include "host/CliParse.h"
#include "host/ParamSchema.h"
#include "host/PluginLibrary.h"
#include "scenefile.h"

namespace tamrel::host {
namespace {

using nlohmann::json;

// The plug-in, loaded once through its exports as tamrel loads it.
class PluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = new PluginLibrary();
    ASSERT_TRUE(library_->Open(TAMREL_PLUGIN_PATH)) << library_->error();
    cd_ = library_->GetClassDesc(0);
    ASSERT_NE(cd_, nullptr);
  }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
  }
  Texmap* NewMap() {
    auto* map = static_cast<Texmap*>(cd_->Create(FALSE));
    scene_.AddRoot(map);
    return map;
  }

  static PluginLibrary* library_;
  static ClassDesc* cd_;
  Scene scene_;
};
PluginLibrary* PluginTest::library_ = nullptr;
ClassDesc* PluginTest::cd_ = nullptr;

TEST(CliParse, SizesFramesAndPatterns) {
  int w = 0, h = 0;
  EXPECT_TRUE(ParseImageSize("640x480", w, h));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_TRUE(ParseImageSize("64", w, h));
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 64);
  for (const char* bad : {"0x0", "0", "-4x4", "4x", "x4", "4x4x4", "", "1e3", "16385x1",
                          "99999999999x2", "4 x4"}) {
    EXPECT_FALSE(ParseImageSize(bad, w, h)) << bad;
  }

  int a = -1, b = -1;
  EXPECT_TRUE(ParseFrameRange("3-10", a, b));
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 10);
  EXPECT_TRUE(ParseFrameRange("7", a, b));
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 7);
  EXPECT_TRUE(ParseFrameRange("0-1000000", a, b));
  for (const char* bad : {"10-3", "-1", "a-b", "1-", "", "1--2", "0-1000001", "2147483647"}) {
    EXPECT_FALSE(ParseFrameRange(bad, a, b)) << bad;
  }

  EXPECT_EQ(ExpandFramePattern("out/anim.####.png", 42), "out/anim.0042.png");
  EXPECT_EQ(ExpandFramePattern("a#/b.#.exr", 123), "a#/b.123.exr");
  EXPECT_EQ(ExpandFramePattern("still.png", 5), "still.png");
  EXPECT_EQ(ExpandFramePattern("wide." + std::string(40, '#') + ".png", 7),
            "wide." + std::string(39, '0') + "7.png");
  EXPECT_FALSE(HasFramePattern("dir#/still.png"));
}

TEST_F(PluginTest, EveryDescriptorParameterIsFoundByItsInternalName) {
  const ParamSchema schema(*cd_);
  int count = 0;
  for (int b = 0; b < cd_->NumParamBlockDescs(); ++b) {
    for (const ParamDef& d : cd_->GetParamBlockDesc(b)->paramdefs) {
      const ParamEntry* p = schema.Find(Narrow(d.int_name));
      ASSERT_NE(p, nullptr) << Narrow(d.int_name);
      EXPECT_EQ(p->def, &d);
      ++count;
    }
  }
  EXPECT_EQ(static_cast<int>(schema.Params().size()), count);
  EXPECT_NE(schema.Find("spreasdMapEnabled"), nullptr);
  EXPECT_EQ(schema.Find("spreadMapEnabled"), nullptr);
}

TEST_F(PluginTest, BadAssignmentsNameTheParameterTypeAndRange) {
  const ParamSchema schema(*cd_);
  struct Case {
    const char* text;
    const char* mustSay;
  };
  const Case cases[] = {
      {"nosuch=1", "unknown parameter \"nosuch\""},
      {"size", "NAME=VALUE"},
      {"size=", "\"size\" (float in block \"params\", range 0 .. 1000000)"},
      {"size=-1", "'-1' is out of range"},
      {"size=1e40", "not a finite float"},
      {"size=nan", "not a number"},
      {"size=3.5cm", "not a number"},
      {"levels=2.5", "\"levels\" (int in block \"params\", range 1 .. 8): '2.5' is not an integer"},
      {"levels=0", "out of range"},
      {"seed=100000", "\"seed\" (int in block \"Mapping\", range 1 .. 99999)"},
      {"useErosion=yes", "not a bool"},
      {"color1=1,0", "not a colour r,g,b"},
      {"color1=1,0,0,0", "not a colour r,g,b"},
      {"distortMap=x", "maps are not set from the command line"},
      {"useErosion@5=1", "is not animatable"},
      {"size@x=1", "is not a frame number"},
      {"levels=99999999999999", "does not fit an int"},
  };
  for (const Case& c : cases) {
    try {
      schema.ParseAssignment(c.text);
      ADD_FAILURE() << c.text << " was accepted";
    } catch (const ParamError& e) {
      EXPECT_NE(std::string(e.what()).find(c.mustSay), std::string::npos)
          << c.text << " -> " << e.what();
    }
  }
}

TEST_F(PluginTest, AssignmentsReachTheBlocksAndKeysAnimate) {
  const ParamSchema schema(*cd_);
  Texmap* map = NewMap();
  for (const char* s : {"size=2.5", "levels=3", "useErosion=on", "color1=0.25,0.5,1",
                        "xyz_map=0", "seed=+77"}) {
    ParamSchema::Apply(*map, schema.ParseAssignment(s));
  }
  IParamBlock2* params = map->GetParamBlockByID(1);
  IParamBlock2* mapping = map->GetParamBlockByID(0);
  EXPECT_EQ(params->GetFloat(params->GetDesc()->IndextoID(params->GetDesc()->NameToIndex(L"size"))),
            2.5f);
  const json j = schema.ToJson(*map);
  EXPECT_EQ(j["levels"], 3);
  EXPECT_EQ(j["useErosion"], true);
  EXPECT_EQ(j["color1"], json::array({0.25, 0.5, 1.0}));
  EXPECT_EQ(j["xyz_map"], 0);
  EXPECT_EQ(j["seed"], 77);
  EXPECT_EQ(mapping->NumKeys(23), 0);

  ParamSchema::Apply(*map, schema.ParseAssignment("erosion@0=0.25"));
  ParamSchema::Apply(*map, schema.ParseAssignment("erosion@10=0.75"));
  const json k = schema.ToJson(*map)["erosion"];
  ASSERT_TRUE(k.contains("keys")) << k.dump();
  EXPECT_EQ(k["keys"], json::parse("[[0.0, 0.25], [10.0, 0.75]]"));
  EXPECT_FLOAT_EQ(ParamSchema::ValueJson(*map, *schema.Find("erosion"), 5 * kTicksPerFrame)
                      .get<float>(),
                  0.5f);
  EXPECT_FALSE(Animating());
}

TEST_F(PluginTest, PresetRoundTripKeepsValuesAndKeys) {
  const ParamSchema schema(*cd_);
  Texmap* a = NewMap();
  for (const char* s : {"size=4", "spread=0.3", "color2=0.9,0.8,0.7", "type=0",
                        "stretch@0=5", "stretch@30=50", "xyz_angle_z@15=45"}) {
    ParamSchema::Apply(*a, schema.ParseAssignment(s));
  }
  const json preset = schema.ToJson(*a);
  Texmap* b = NewMap();
  schema.FromJson(*b, json::parse(preset.dump()));
  EXPECT_EQ(schema.ToJson(*b), preset);
  EXPECT_NE(schema.ToJson(*NewMap()), preset);
}

TEST_F(PluginTest, MalformedPresetsAreRefused) {
  const ParamSchema schema(*cd_);
  const char* bad[] = {
      R"([1, 2])",
      R"({"nosuch": 1})",
      R"({"size": "big"})",
      R"({"size": -3})",
      R"({"levels": 2.5})",
      R"({"levels": 4294967297})",
      R"({"color1": [1, 2]})",
      R"({"useErosion": 3})",
      R"({"type": {"keys": [[0, 1]]}})",
      R"({"size": {"keys": []}})",
      R"({"size": {"keys": [[0]]}})",
      R"({"size": {"keys": [[1e300, 1]]}})",
      R"({"size": {"kees": [[0, 1]]}})",
      R"({"sizeMap": null})",
  };
  for (const char* text : bad) {
    Texmap* map = NewMap();
    EXPECT_THROW(schema.FromJson(*map, json::parse(text)), ParamError) << text;
  }
}

BakeSettings SmallPlane(OutputKind kind, int threads) {
  BakeSettings s;
  s.view.width = 75;
  s.view.height = 53;
  s.view.extent = 40.0f;
  s.output = kind;
  s.render.threads = threads;
  return s;
}

TEST_F(PluginTest, ConcurrentBakesAreTheSameBitsForAnyThreadCount) {
  Texmap* map = NewMap();
  for (OutputKind kind : {OutputKind::COLOR, OutputKind::HEIGHT, OutputKind::NORMAL}) {
    BakeSettings one = SmallPlane(kind, 1);
    BakeSettings many = SmallPlane(kind, 4);
    many.render.tileSize = 7;
    Raster a, b;
    ASSERT_TRUE(BakeFrame(*map, 0, one, a));
    ASSERT_TRUE(BakeFrame(*map, 0, many, b));
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    EXPECT_EQ(0, std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size() * sizeof(float)))
        << OutputKindName(kind);
  }
}

TEST_F(PluginTest, HeightIsTheIntensityWhateverTheColoursAndLeavesTheMapAlone) {
  const ParamSchema schema(*cd_);
  Texmap* map = NewMap();
  Raster height, mono;
  ASSERT_TRUE(BakeFrame(*map, 0, SmallPlane(OutputKind::HEIGHT, 2), height));
  // With the new map's black and white the mono value is the intensity itself.
  ASSERT_TRUE(BakeFrame(*map, 0, SmallPlane(OutputKind::MONO, 2), mono));
  EXPECT_EQ(height.pixels, mono.pixels);
  float lo = 1.0f, hi = 0.0f;
  for (float v : height.pixels) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  EXPECT_LT(lo, 0.5f);
  EXPECT_EQ(hi, 1.0f);

  ParamSchema::Apply(*map, schema.ParseAssignment("color1=1,0,0"));
  ParamSchema::Apply(*map, schema.ParseAssignment("color2=0.2,0.2,0.2"));
  const json before = schema.ToJson(*map);
  Raster recoloured, recolouredMono;
  ASSERT_TRUE(BakeFrame(*map, 0, SmallPlane(OutputKind::HEIGHT, 2), recoloured));
  EXPECT_EQ(recoloured.pixels, height.pixels);
  EXPECT_EQ(schema.ToJson(*map), before);
  ASSERT_TRUE(BakeFrame(*map, 0, SmallPlane(OutputKind::MONO, 2), recolouredMono));
  EXPECT_NE(recolouredMono.pixels, height.pixels);
}

TEST_F(PluginTest, NormalConventionsDifferOnlyInGreen) {
  Texmap* map = NewMap();
  Raster gl, dx;
  BakeSettings s = SmallPlane(OutputKind::NORMAL, 2);
  ASSERT_TRUE(BakeFrame(*map, 0, s, gl));
  s.convention = NormalConvention::DIRECTX;
  ASSERT_TRUE(BakeFrame(*map, 0, s, dx));
  int bent = 0;
  for (int y = 0; y < gl.height; ++y) {
    for (int x = 0; x < gl.width; ++x) {
      const float* a = gl.Pixel(x, y);
      const float* b = dx.Pixel(x, y);
      EXPECT_EQ(a[0], b[0]);
      EXPECT_EQ(a[2], b[2]);
      EXPECT_NEAR(a[1] + b[1], 1.0f, 1e-6f);
      // Unit normals facing out of the plane.
      EXPECT_GE(a[2], 0.5f);
      const float nx = a[0] * 2 - 1, ny = a[1] * 2 - 1, nz = a[2] * 2 - 1;
      EXPECT_NEAR(nx * nx + ny * ny + nz * nz, 1.0f, 1e-4f);
      bent += a[2] < 0.999f;
    }
  }
  EXPECT_GT(bent, 0) << "the scratches bend no normal";
}

TEST_F(PluginTest, KeysGiveDifferentFramesAndTheSphereRefusesNormals) {
  const ParamSchema schema(*cd_);
  Texmap* map = NewMap();
  ParamSchema::Apply(*map, schema.ParseAssignment("size@0=5"));
  ParamSchema::Apply(*map, schema.ParseAssignment("size@10=20"));
  Raster f0, f10, again;
  ASSERT_TRUE(BakeFrame(*map, 0, SmallPlane(OutputKind::MONO, 2), f0));
  ASSERT_TRUE(BakeFrame(*map, 10 * kTicksPerFrame, SmallPlane(OutputKind::MONO, 2), f10));
  ASSERT_TRUE(BakeFrame(*map, 0, SmallPlane(OutputKind::MONO, 2), again));
  EXPECT_NE(f0.pixels, f10.pixels);
  EXPECT_EQ(f0.pixels, again.pixels);

  BakeSettings sphere = SmallPlane(OutputKind::NORMAL, 1);
  sphere.view.geometry = Geometry::SPHERE;
  Raster r;
  EXPECT_THROW(BakeFrame(*map, 0, sphere, r), BakeError);
  sphere.output = OutputKind::COLOR;
  ASSERT_TRUE(BakeFrame(*map, 0, sphere, r));
  // The corner misses the sphere and shows the backdrop; the centre is lit map colour.
  EXPECT_EQ(r.Pixel(0, 0)[0], Backdrop(0, 0));
  EXPECT_GT(r.Pixel(37, 26)[0], 0.0f);
}

}  // namespace
}  // namespace tamrel::host
