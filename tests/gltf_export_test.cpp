// The glTF asset of a bake and the two maps its material reads that no other bake has: the orm
// map against the roughness and the intensity it packs, anisotropy-gltf against the anisotropy
// map; the asset's document and buffer read back (accessors and their bounds, the flipped v, the
// bake's tangents, the instances' matrices, the material's slots); the .glb container; and
// `tamrel render --gltf` as a user runs it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "engine/Bake.h"
#include "engine/GltfExport.h"
#include "engine/Host.h"
#include "engine/MeshSource.h"
#include "mesh/MeshModel.h"
#include "tests/PluginFixture.h"
#include "tests/TamrelRun.h"

namespace tamrel::host {
namespace {

using mesh::MeshInstance;
using mesh::MeshModel;
using mesh::MeshPart;
using nlohmann::json;

// ---------------------------------------------------------------------------------------------
// The maps.

class GltfMapTest : public PluginFixture {};

TEST_F(GltfMapTest, OrmAndAnisotropyGltfCarryTheMaterialsMeanings) {
  Texmap* map = NewMap({"size=0.5", "levels=4", "thresholdLow=0.45", "thresholdHigh=1", "spread=1"});
  BakeSettings s;
  s.view.width = 37;
  s.view.height = 23;
  s.view.extent = 4.0f;
  s.samples = 2;
  s.render.threads = 2;
  s.roughnessSurface = 0.2f;
  s.roughnessScratch = 0.9f;
  s.metallicSurface = 0.1f;
  s.metallicScratch = 0.75f;
  s.maps = {MapKind::HEIGHT, MapKind::ROUGHNESS, MapKind::ORM, MapKind::ANISOTROPY,
            MapKind::ANISOTROPY_GLTF};
  std::vector<Raster> r;
  ASSERT_TRUE(BakeFrame(*map, 0, s, r));
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[2].channels, 3);
  EXPECT_EQ(r[4].channels, 3);
  int scratched = 0, directed = 0;
  for (int y = 0; y < s.view.height; ++y) {
    for (int x = 0; x < s.view.width; ++x) {
      const float h = r[0].Pixel(x, y)[0];
      const float* orm = r[2].Pixel(x, y);
      const float* aniso = r[3].Pixel(x, y);
      const float* gltf = r[4].Pixel(x, y);
      scratched += h < 0.9f;
      EXPECT_EQ(orm[0], 1.0f);
      EXPECT_EQ(orm[1], r[1].Pixel(x, y)[0]);
      EXPECT_EQ(orm[2], 0.75f * (1.0f - h) + 0.1f * h);
      // Strength where the anisotropy map holds the intensity.
      EXPECT_EQ(gltf[2], 1.0f - aniso[2]);
      // The direction a quarter turn on: (dx, dy) -> (-dy, dx), encoded.
      EXPECT_NEAR(gltf[0], 1.0f - aniso[1], 1e-6f);
      EXPECT_NEAR(gltf[1], aniso[0], 1e-6f);
      directed += std::fabs(aniso[0] - 0.5f) > 0.1f && std::fabs(aniso[1] - 0.5f) > 0.1f;
    }
  }
  // The checks above saw scratches, and directions off both axes.
  EXPECT_GT(scratched, 20);
  EXPECT_GT(directed, 20);
}

TEST(GltfMapKinds, NamesChannelsAndChecks) {
  MapKind k = MapKind::COLOR;
  ASSERT_TRUE(ParseMapName("orm", NormalConvention::OPENGL, k));
  EXPECT_EQ(k, MapKind::ORM);
  ASSERT_TRUE(ParseMapName("anisotropy-gltf", NormalConvention::DIRECTX, k));
  EXPECT_EQ(k, MapKind::ANISOTROPY_GLTF);
  EXPECT_STREQ(MapKindName(MapKind::ORM), "orm");
  EXPECT_STREQ(MapKindName(MapKind::ANISOTROPY_GLTF), "anisotropy-gltf");
  EXPECT_NE(std::string(MapNames()).find(", orm, anisotropy-gltf"), std::string::npos);
  EXPECT_EQ(MapChannels(MapKind::ORM), 3);
  EXPECT_EQ(MapChannels(MapKind::ANISOTROPY_GLTF), 3);
  EXPECT_TRUE(IsDataMap(MapKind::ORM));
  EXPECT_TRUE(IsDataMap(MapKind::ANISOTROPY_GLTF));

  BakeSettings s;
  s.maps = {MapKind::ORM};
  EXPECT_EQ(CheckBakeSettings(s), "");
  s.metallicScratch = 1.0f;
  EXPECT_EQ(CheckBakeSettings(s), "");
  for (float bad : {1.01f, -0.01f, NAN}) {
    s.metallicScratch = bad;
    EXPECT_EQ(CheckBakeSettings(s), "metallic values must be from 0 to 1") << bad;
    s.metallicScratch = 0.0f;
    s.metallicSurface = bad;
    EXPECT_EQ(CheckBakeSettings(s), "metallic values must be from 0 to 1") << bad;
    s.metallicSurface = 0.0f;
  }
  s.maps = {MapKind::ANISOTROPY_GLTF};
  s.view.geometry = Geometry::SPHERE;
  EXPECT_EQ(CheckBakeSettings(s),
            "anisotropy-gltf is a tangent-space map of the plane; use --geometry plane");
}

// ---------------------------------------------------------------------------------------------
// The asset.

void AddQuad(MeshPart& part, const Point3 (&p)[4], const Point2 (&uv)[4]) {
  const auto base = static_cast<std::uint32_t>(part.positions.size());
  if (part.uvSets.empty()) part.uvSets.resize(2);
  for (int k = 0; k < 4; ++k) {
    part.positions.push_back(p[k]);
    part.normals.push_back(Point3(0.0f, 0.0f, 1.0f));
    part.uvSets[0].push_back(Point2(uv[k].y, uv[k].x));  // another set, not the baked one
    part.uvSets[1].push_back(uv[k]);
  }
  for (std::uint32_t i : {0u, 1u, 2u, 0u, 2u, 3u}) part.indices.push_back(base + i);
}

// Part 0: a quad in UV set 2 (index 1) shown by two instances; part 1: shown by none; part 2: a
// quad whose second triangle is mirrored in UV, so that its shared corners take two tangents.
std::shared_ptr<MeshModel> TestModel() {
  auto model = std::make_shared<MeshModel>();
  model->source = "test";
  MeshPart quad;
  quad.name = "quad";
  AddQuad(quad, {{-1.0f, -2.0f, 0.0f}, {3.0f, -2.0f, 0.0f}, {3.0f, 1.0f, 0.0f}, {-1.0f, 1.0f, 0.0f}},
          {{0.1f, 0.0f}, {0.6f, 0.0f}, {0.6f, 0.5f}, {0.1f, 0.5f}});
  MeshPart unused = quad;
  unused.name = "unused";
  MeshPart mirrored;
  mirrored.name = "mirrored";
  AddQuad(mirrored, {{0.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 0.0f}, {0.0f, 1.0f, 0.0f}},
          {{0.0f, 0.6f}, {0.4f, 0.6f}, {0.4f, 1.0f}, {0.8f, 0.6f}});
  mirrored.material = 3;
  mirrored.materialName = "brushed steel";
  unused.material = 5;
  unused.materialName = "never shown";
  model->parts = {quad, unused, mirrored};
  MeshInstance a{"first", 0, {}};
  MeshInstance b{"second", 0, {}};
  const double m[3][4] = {{0, -2, 0, 5}, {2, 0, 0, -1.5}, {0, 0, 2, 0.25}};
  std::memcpy(b.objectToWorld.m, m, sizeof m);
  MeshInstance c{"third", 2, {}};
  model->instances = {a, b, c};
  return model;
}

template <typename T>
std::vector<T> Read(const GltfAsset& a, int accessor) {
  const json& acc = a.doc["accessors"][accessor];
  const json& view = a.doc["bufferViews"][acc["bufferView"].get<int>()];
  const std::size_t offset = view["byteOffset"].get<std::size_t>();
  const std::size_t length = view["byteLength"].get<std::size_t>();
  EXPECT_LE(offset + length, a.bin.size());
  std::vector<T> out(length / sizeof(T));
  std::memcpy(out.data(), a.bin.data() + offset, out.size() * sizeof(T));
  return out;
}

GltfImageRef Embedded(const std::string& tag) {
  GltfImageRef r;
  r.bytes = "\x89PNG\r\n\x1a\n" + tag;
  return r;
}

class GltfAssetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bake_ = PrepareMeshBake(TestModel(), 1, 4);
    const GltfImageRef images[GLTF_IMAGES] = {Embedded("color"), Embedded("normal-gl"),
                                              Embedded("orm"), Embedded("aniso")};
    asset_ = BuildGltf(GltfScene{bake_.get(), {}}, images, "tamrel test", "");
  }
  const json& Doc() const { return asset_.doc; }
  const json& Primitive(int mesh) const { return Doc()["meshes"][mesh]["primitives"][0]; }
  int Attribute(int mesh, const char* name) const {
    return Primitive(mesh)["attributes"][name].get<int>();
  }

  std::shared_ptr<const MeshBake> bake_;
  GltfAsset asset_;
};

TEST_F(GltfAssetTest, MeshesAccessorsAndBounds) {
  EXPECT_EQ(Doc()["asset"]["version"], "2.0");
  EXPECT_EQ(Doc()["asset"]["generator"], "tamrel test");
  // Parts 0 and 2 only: part 1 is shown by no instance.
  ASSERT_EQ(Doc()["meshes"].size(), 2u);
  EXPECT_EQ(Doc()["meshes"][0]["name"], "quad");
  EXPECT_EQ(Doc()["meshes"][1]["name"], "mirrored");
  const json& acc = Doc()["accessors"];
  const json& pos = acc[Attribute(0, "POSITION")];
  EXPECT_EQ(pos["count"], 4);
  EXPECT_EQ(pos["type"], "VEC3");
  EXPECT_EQ(pos["componentType"], 5126);
  EXPECT_EQ(pos["min"], json::array({-1.0, -2.0, 0.0}));
  EXPECT_EQ(pos["max"], json::array({3.0, 1.0, 0.0}));
  const json& uv = acc[Attribute(0, "TEXCOORD_0")];
  EXPECT_EQ(uv["type"], "VEC2");
  EXPECT_EQ(uv["min"], json::array({static_cast<double>(0.1f), 0.5}));
  EXPECT_EQ(uv["max"], json::array({static_cast<double>(0.6f), 1.0}));
  EXPECT_EQ(acc[Attribute(0, "TANGENT")]["type"], "VEC4");
  EXPECT_EQ(acc[Attribute(0, "NORMAL")]["count"], 4);
  const json& idx = acc[Primitive(0)["indices"].get<int>()];
  EXPECT_EQ(idx["count"], 6);
  EXPECT_EQ(idx["componentType"], 5125);
  EXPECT_EQ(Primitive(0)["mode"], 4);
  EXPECT_EQ(Primitive(0)["material"], 0);
  EXPECT_EQ(Doc()["materials"].size(), 2u);  // see TheFilesMaterialsKeepTheirSlots
  // Every view on a multiple of 4, inside the buffer, which the document sizes.
  for (const json& v : Doc()["bufferViews"]) {
    EXPECT_EQ(v["byteOffset"].get<std::size_t>() % 4, 0u);
    EXPECT_LE(v["byteOffset"].get<std::size_t>() + v["byteLength"].get<std::size_t>(),
              asset_.bin.size());
  }
  EXPECT_EQ(Doc()["buffers"][0]["byteLength"], asset_.bin.size());
  EXPECT_FALSE(Doc()["buffers"][0].contains("uri"));
  EXPECT_EQ(Doc()["bufferViews"][pos["bufferView"].get<int>()]["target"], 34962);
  EXPECT_EQ(Doc()["bufferViews"][idx["bufferView"].get<int>()]["target"], 34963);
}

TEST_F(GltfAssetTest, UvsFlippedAndTangentsAsBaked) {
  for (int mesh = 0; mesh < 2; ++mesh) {
    const std::size_t part = mesh == 0 ? 0 : 2;
    const MeshPart& src = bake_->model->parts[part];
    const auto positions = Read<float>(asset_, Attribute(mesh, "POSITION"));
    const auto uvs = Read<float>(asset_, Attribute(mesh, "TEXCOORD_0"));
    const auto tangents = Read<float>(asset_, Attribute(mesh, "TANGENT"));
    const auto normals = Read<float>(asset_, Attribute(mesh, "NORMAL"));
    const auto indices = Read<std::uint32_t>(asset_, Primitive(mesh)["indices"].get<int>());
    ASSERT_EQ(indices.size(), src.indices.size());
    for (std::size_t c = 0; c < indices.size(); ++c) {
      const std::uint32_t w = indices[c], v = src.indices[c];
      ASSERT_LT(w, uvs.size() / 2);
      // The baked set (index 1), v turned down the image.
      EXPECT_EQ(uvs[2 * w], src.uvSets[1][v].x);
      EXPECT_EQ(uvs[2 * w + 1], 1.0f - src.uvSets[1][v].y);
      EXPECT_EQ(positions[3 * w], src.positions[v].x);
      EXPECT_EQ(positions[3 * w + 1], src.positions[v].y);
      EXPECT_EQ(normals[3 * w + 2], src.normals[v].z);
      const mesh::Tangent& t = bake_->cornerTangents[part][c];
      EXPECT_EQ(tangents[4 * w], t.t.x) << mesh << " " << c;
      EXPECT_EQ(tangents[4 * w + 1], t.t.y);
      EXPECT_EQ(tangents[4 * w + 2], t.t.z);
      EXPECT_EQ(tangents[4 * w + 3], t.w);
    }
  }
  // A corner at v = 0 of the layout is at glTF's v = 1.
  const auto uvs = Read<float>(asset_, Attribute(0, "TEXCOORD_0"));
  EXPECT_EQ(uvs[1], 1.0f);
  // The mirrored triangle's corners at the shared vertices take their own tangents: more
  // vertices than the part has.
  EXPECT_GT(Doc()["accessors"][Attribute(1, "POSITION")]["count"].get<int>(), 4);
  const auto& corners = bake_->cornerTangents[2];
  EXPECT_NE(corners[0].w, corners[3].w);  // the model mirrors as meant
}

TEST_F(GltfAssetTest, NodesCarryEachInstancesWorldMatrix) {
  ASSERT_EQ(Doc()["nodes"].size(), 3u);
  EXPECT_EQ(Doc()["scene"], 0);
  EXPECT_EQ(Doc()["scenes"][0]["nodes"], json::array({0, 1, 2}));
  const json& first = Doc()["nodes"][0];
  EXPECT_EQ(first["name"], "first");
  EXPECT_EQ(first["mesh"], 0);
  EXPECT_FALSE(first.contains("matrix"));  // the identity
  const json& second = Doc()["nodes"][1];
  EXPECT_EQ(second["name"], "second");
  EXPECT_EQ(second["mesh"], 0);
  EXPECT_EQ(second["matrix"], json::array({0, 2, 0, 0, -2, 0, 0, 0, 0, 0, 2, 0, 5, -1.5, 0.25, 1}));
  EXPECT_EQ(Doc()["nodes"][2]["mesh"], 1);
  EXPECT_EQ(Doc()["nodes"][2]["name"], "third");
}

TEST_F(GltfAssetTest, MaterialSlotsTexturesAndImages) {
  const json& m = Doc()["materials"][0];
  const auto image = [&](const json& info) {
    EXPECT_FALSE(info.contains("texCoord") && info["texCoord"] != 0);
    const json& tex = Doc()["textures"][info["index"].get<int>()];
    EXPECT_EQ(tex["sampler"], 0);
    return tex["source"].get<int>();
  };
  const json& pbr = m["pbrMetallicRoughness"];
  EXPECT_EQ(image(pbr["baseColorTexture"]), GLTF_COLOR);
  EXPECT_EQ(image(m["normalTexture"]), GLTF_NORMAL);
  EXPECT_EQ(image(pbr["metallicRoughnessTexture"]), GLTF_ORM);
  EXPECT_EQ(image(m["occlusionTexture"]), GLTF_ORM);
  const json& ext = m["extensions"]["KHR_materials_anisotropy"];
  EXPECT_EQ(image(ext["anisotropyTexture"]), GLTF_ANISOTROPY);
  EXPECT_EQ(ext["anisotropyStrength"], 1.0);
  EXPECT_EQ(Doc()["extensionsUsed"], json::array({"KHR_materials_anisotropy"}));
  EXPECT_FALSE(Doc().contains("extensionsRequired"));
  EXPECT_EQ(pbr["metallicFactor"], 1.0);
  EXPECT_EQ(pbr["roughnessFactor"], 1.0);
  EXPECT_FALSE(m.contains("alphaMode"));  // opaque
  // The colour image (the one sRGB slot) is read by baseColorTexture alone.
  int colorUses = 0;
  for (const json* info : {&pbr["baseColorTexture"], &m["normalTexture"],
                           &pbr["metallicRoughnessTexture"], &m["occlusionTexture"],
                           &ext["anisotropyTexture"]}) {
    colorUses += image(*info) == GLTF_COLOR;
  }
  EXPECT_EQ(colorUses, 1);
  const json& sampler = Doc()["samplers"][0];
  EXPECT_EQ(sampler["magFilter"], 9729);
  EXPECT_EQ(sampler["minFilter"], 9987);
  // The images embedded, byte for byte, in their order.
  const char* tags[] = {"color", "normal-gl", "orm", "aniso"};
  ASSERT_EQ(Doc()["images"].size(), 4u);
  for (int k = 0; k < 4; ++k) {
    const json& img = Doc()["images"][k];
    EXPECT_EQ(img["mimeType"], "image/png");
    EXPECT_FALSE(img.contains("uri"));
    const json& view = Doc()["bufferViews"][img["bufferView"].get<int>()];
    EXPECT_FALSE(view.contains("target"));
    EXPECT_EQ(asset_.bin.substr(view["byteOffset"].get<std::size_t>(),
                                view["byteLength"].get<std::size_t>()),
              std::string("\x89PNG\r\n\x1a\n") + tags[k]);
  }
}

// Each of the file's materials keeps its slot and name, with the baked set's textures; parts
// without one share "scratches"; a material no shown part uses is left out, and a nameless one
// is called by its index.
TEST_F(GltfAssetTest, TheFilesMaterialsKeepTheirSlots) {
  const json& materials = Doc()["materials"];
  ASSERT_EQ(materials.size(), 2u);
  EXPECT_EQ(materials[0]["name"], "scratches");
  EXPECT_EQ(materials[1]["name"], "brushed steel");
  json same = materials[1];
  same["name"] = "scratches";
  EXPECT_EQ(same, materials[0]);
  EXPECT_EQ(Primitive(0)["material"], 0);  // the quad has none
  EXPECT_EQ(Primitive(1)["material"], 1);  // the mirrored part's "brushed steel"

  // Two parts of one nameless material share it.
  auto model = std::make_shared<MeshModel>(*bake_->model);
  model->parts[0].material = 7;
  model->parts[2].material = 7;
  model->parts[2].materialName.clear();
  const GltfImageRef images[GLTF_IMAGES] = {Embedded("c"), Embedded("n"), Embedded("o"),
                                            Embedded("a")};
  const GltfAsset other =
      BuildGltf(GltfScene{PrepareMeshBake(model, 1, 4).get(), {}}, images, "t", "");
  ASSERT_EQ(other.doc["materials"].size(), 1u);
  EXPECT_EQ(other.doc["materials"][0]["name"], "material 7");
  EXPECT_EQ(other.doc["meshes"][0]["primitives"][0]["material"], 0);
  EXPECT_EQ(other.doc["meshes"][1]["primitives"][0]["material"], 0);
}

std::uint32_t U32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

TEST_F(GltfAssetTest, GlbContainer) {
  const std::string glb = GlbBytes(asset_);
  ASSERT_GE(glb.size(), 28u);
  EXPECT_EQ(glb.substr(0, 4), "glTF");
  EXPECT_EQ(U32(glb, 4), 2u);
  EXPECT_EQ(U32(glb, 8), glb.size());
  const std::uint32_t jsonLength = U32(glb, 12);
  EXPECT_EQ(jsonLength % 4, 0u);
  EXPECT_EQ(glb.substr(16, 4), "JSON");
  const std::string text = glb.substr(20, jsonLength);
  EXPECT_EQ(json::parse(text), Doc());
  EXPECT_EQ(text, GltfText(asset_) + std::string(jsonLength - GltfText(asset_).size(), ' '));
  const std::size_t bin = 20 + jsonLength;
  const std::uint32_t binLength = U32(glb, bin);
  EXPECT_EQ(binLength % 4, 0u);
  EXPECT_EQ(glb.substr(bin + 4, 4), std::string("BIN\0", 4));
  EXPECT_EQ(bin + 8 + binLength, glb.size());
  EXPECT_GE(binLength, Doc()["buffers"][0]["byteLength"].get<std::uint32_t>());
  EXPECT_EQ(glb.substr(bin + 8, asset_.bin.size()), asset_.bin);
}

TEST(GltfPlane, TheQuadOfThePlaneView) {
  View view;
  view.width = 64;
  view.height = 32;
  view.extent = 10.0f;
  GltfImageRef images[GLTF_IMAGES];
  for (int k = 0; k < GLTF_IMAGES; ++k) images[k].uri = "m" + std::to_string(k) + ".png";
  const GltfAsset a = BuildGltf(GltfScene{nullptr, view}, images, "g", "p.bin");
  const json& prim = a.doc["meshes"][0]["primitives"][0];
  const json& acc = a.doc["accessors"];
  EXPECT_EQ(acc[prim["attributes"]["POSITION"].get<int>()]["min"],
            json::array({-5.0, -2.5, 0.0}));
  EXPECT_EQ(acc[prim["attributes"]["POSITION"].get<int>()]["max"], json::array({5.0, 2.5, 0.0}));
  const auto pos = Read<float>(a, prim["attributes"]["POSITION"].get<int>());
  const auto uv = Read<float>(a, prim["attributes"]["TEXCOORD_0"].get<int>());
  const auto tan = Read<float>(a, prim["attributes"]["TANGENT"].get<int>());
  const auto nrm = Read<float>(a, prim["attributes"]["NORMAL"].get<int>());
  const auto idx = Read<std::uint32_t>(a, prim["indices"].get<int>());
  ASSERT_EQ(uv.size(), 8u);
  ASSERT_EQ(idx.size(), 6u);
  // Each corner where the plane bake shows that corner of the image: the sample at image
  // position (u * width, v * height), measured from the top-left, lies at the vertex.
  for (int k = 0; k < 4; ++k) {
    SampleShadeContext sc;
    ASSERT_TRUE(MakeSampleAt(view, uv[2 * k] * 64.0f, uv[2 * k + 1] * 32.0f, 1.0f, sc));
    const Point3 object = sc.PointTo(sc.p, REF_OBJECT);
    EXPECT_NEAR(pos[3 * k], object.x, 1e-3f) << k;
    EXPECT_NEAR(pos[3 * k + 1], object.y, 1e-3f) << k;
    EXPECT_NEAR(pos[3 * k + 2], object.z, 1e-3f) << k;
    EXPECT_EQ(tan[4 * k], 1.0f);
    EXPECT_EQ(tan[4 * k + 1], 0.0f);
    EXPECT_EQ(tan[4 * k + 3], 1.0f);
    EXPECT_EQ(nrm[3 * k + 2], 1.0f);
  }
  // Counter-clockwise seen from +z, toward the viewer.
  for (int t = 0; t < 2; ++t) {
    const float* p0 = &pos[3 * idx[3 * t]];
    const float* p1 = &pos[3 * idx[3 * t + 1]];
    const float* p2 = &pos[3 * idx[3 * t + 2]];
    const float cross = (p1[0] - p0[0]) * (p2[1] - p0[1]) - (p1[1] - p0[1]) * (p2[0] - p0[0]);
    EXPECT_GT(cross, 0.0f) << t;
  }
  EXPECT_EQ(a.doc["nodes"][0]["name"], "plane");
  EXPECT_EQ(a.doc["buffers"][0]["uri"], "p.bin");
  for (int k = 0; k < GLTF_IMAGES; ++k) {
    EXPECT_EQ(a.doc["images"][k]["uri"], "m" + std::to_string(k) + ".png");
    EXPECT_FALSE(a.doc["images"][k].contains("bufferView"));
  }
}

TEST(GltfPaths, ExtensionsBufferAndUris) {
  EXPECT_TRUE(IsGlbPath("a/b.GLB"));
  EXPECT_FALSE(IsGlbPath("a/b.gltf"));
  for (const char* bad : {"a.obj", "a", "a.glb.png"}) {
    try {
      IsGlbPath(bad);
      ADD_FAILURE() << bad;
    } catch (const Failure& f) {
      EXPECT_EQ(f.code, EXIT_USAGE);
      EXPECT_EQ(f.message, std::string("--gltf writes a .glb or a .gltf file, not ") + bad);
    }
  }
  EXPECT_EQ(GltfBufferPath("out/set.gltf"), "out/set.bin");
  EXPECT_EQ(RelativeUri("/x/y", "/x/y/maps/a b#1%.png"), "maps/a%20b%231%25.png");
  EXPECT_EQ(RelativeUri("/x/y", "/x/z/c.png"), "../z/c.png");
  EXPECT_EQ(RelativeUri("/x/y/", "/x/y/c~_-.png"), "c~_-.png");
}

// ---------------------------------------------------------------------------------------------
// tamrel render --gltf.

class GltfCli : public testing::TamrelFolderTest {};

// A unit quad in OBJ: UV (0, 0) at its bottom-left corner, as OBJ has it.
const char* kQuadObj =
    "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "f 1/1 2/2 3/3 4/4\n";

json GlbDocument(const std::string& glb) {
  if (glb.size() < 20) return json();
  return json::parse(glb.substr(20, U32(glb, 12)));
}

TEST_F(GltfCli, MeshGlbWithItsMapsBesideIt) {
  Write("quad.obj", kQuadObj);
  const testing::Result r = Run(
      "render --mesh quad.obj --size 16 --samples 1 --gltf out/asset.glb --metallic 0.25,1 --json");
  // The folder is checked before the bake: nothing is written.
  EXPECT_EQ(r.code, EXIT_OUTPUT) << r.err;
  EXPECT_EQ(Files(), (std::set<std::string>{"quad.obj"}));
  std::filesystem::create_directory(Path("out"));
  const testing::Result j = Run(
      "render --mesh quad.obj --size 16 --samples 1 --gltf out/asset.glb --metallic 0.25,1 --json "
      "--maps height --type uint16");
  ASSERT_EQ(j.code, 0) << j.err;
  const json report = json::parse(j.out);
  EXPECT_EQ(report["maps"], json::array({"height", "color", "normal-gl", "orm", "anisotropy-gltf"}));
  std::map<std::string, std::string> space;
  for (const json& f : report["files"]) space[f["map"]] = f["color_space"];
  EXPECT_EQ(space, (std::map<std::string, std::string>{{"height", "Linear"},
                                                       {"color", "sRGB"},
                                                       {"normal-gl", "Linear"},
                                                       {"orm", "Linear"},
                                                       {"anisotropy-gltf", "Linear"}}));
  EXPECT_EQ(report["gltf"]["format"], "glb");
  EXPECT_EQ(report["gltf"]["path"], std::filesystem::canonical(Path("out/asset.glb")).string());
  EXPECT_EQ(report["gltf"]["triangles"], 2);
  EXPECT_EQ(report["gltf"]["vertices"], 4);
  EXPECT_EQ(report["gltf"]["nodes"], 1);
  ASSERT_EQ(report["gltf"]["images"].size(), 4u);
  EXPECT_EQ(report["gltf"]["images"][0],
            std::filesystem::canonical(Path("out/asset_color.png")).string());
  EXPECT_EQ(report["gltf"]["images"][3],
            std::filesystem::canonical(Path("out/asset_anisotropy-gltf.png")).string());
  const std::string glb = testing::Slurp(Path("out/asset.glb"));
  const json doc = GlbDocument(glb);
  ASSERT_TRUE(doc.is_object());
  // The images are the bake's files, byte for byte.
  const json& view = doc["bufferViews"][doc["images"][GLTF_ORM]["bufferView"].get<int>()];
  const std::size_t bin = 20 + U32(glb, 12) + 8;
  EXPECT_EQ(glb.substr(bin + view["byteOffset"].get<std::size_t>(),
                       view["byteLength"].get<std::size_t>()),
            testing::Slurp(Path("out/asset_orm.png")));
  // OBJ's v = 0 corner is glTF's v = 1.
  EXPECT_EQ(doc["accessors"][doc["meshes"][0]["primitives"][0]["attributes"]["TEXCOORD_0"]
                                 .get<int>()]["max"],
            json::array({1.0, 1.0}));

  const testing::Result quiet = Run("render --mesh quad.obj --size 8 --samples 1 --gltf q.glb");
  ASSERT_EQ(quiet.code, 0) << quiet.err;
  EXPECT_NE(quiet.out.find("tamrel: wrote " + std::filesystem::canonical(Path("q.glb")).string() +
                           " (glTF binary, 1 node, 2 triangles)"),
            std::string::npos)
      << quiet.out;
}

TEST_F(GltfCli, PlaneGltfWithExternalFiles) {
  std::filesystem::create_directory(Path("maps"));
  const testing::Result r = Run(
      "render --size 8x4 --samples 1 --gltf 'set one.gltf' -o 'maps/s %_{map}.png'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("(glTF buffer)"), std::string::npos);
  EXPECT_NE(r.out.find("(glTF with external files, 1 node, 2 triangles)"), std::string::npos);
  const json doc = json::parse(testing::Slurp(Path("set one.gltf")));
  EXPECT_EQ(doc["buffers"][0]["uri"], "set%20one.bin");
  EXPECT_EQ(doc["buffers"][0]["byteLength"],
            std::filesystem::file_size(Path("set one.bin")));
  EXPECT_EQ(doc["images"][GLTF_COLOR]["uri"], "maps/s%20%25_color.png");
  EXPECT_EQ(doc["images"][GLTF_NORMAL]["uri"], "maps/s%20%25_normal-gl.png");
  EXPECT_EQ(doc["images"][GLTF_ORM]["uri"], "maps/s%20%25_orm.png");
  EXPECT_EQ(doc["images"][GLTF_ANISOTROPY]["uri"], "maps/s%20%25_anisotropy-gltf.png");
  // The default plane is 40 units wide; 8x4 pixels make it 20 high.
  const json& pos = doc["accessors"][doc["meshes"][0]["primitives"][0]["attributes"]["POSITION"]
                                         .get<int>()];
  EXPECT_EQ(pos["max"], json::array({20.0, 10.0, 0.0}));
}

// The sphere of an asset: the lit preview's sphere as a model, its maps baked into its UV layout.
TEST(GltfSphere, TheModelOfThePreviewSphere) {
  const auto model = PreviewSphereModel(40.0f);
  ASSERT_EQ(model->parts.size(), 1u);
  ASSERT_EQ(model->instances.size(), 1u);
  const mesh::MeshPart& part = model->parts[0];
  // 33 rings of 65 vertices; two triangles a quad but one at each pole.
  ASSERT_EQ(part.positions.size(), 33u * 65u);
  ASSERT_EQ(part.TriangleCount(), 2u * 64u * 32u - 2u * 64u);
  ASSERT_EQ(part.uvSets.size(), 1u);
  const auto vertex = [](int ring, int segment) { return ring * 65 + segment; };
  // The front of the sphere faces +z at u = 0.5 on the equator, as the lit preview's UVW does;
  // the north pole is +y at v = 1; the seam is at the back, -z.
  const Point3 front = part.positions[vertex(16, 32)];
  EXPECT_NEAR(front.x, 0.0f, 1e-5f);
  EXPECT_NEAR(front.y, 0.0f, 1e-5f);
  EXPECT_FLOAT_EQ(front.z, 18.0f);  // 0.45 of the width
  EXPECT_EQ(part.uvSets[0][vertex(16, 32)], Point2(0.5f, 0.5f));
  EXPECT_FLOAT_EQ(part.positions[vertex(32, 7)].y, 18.0f);
  EXPECT_EQ(part.uvSets[0][vertex(32, 7)].y, 1.0f);
  EXPECT_FLOAT_EQ(part.positions[vertex(0, 7)].y, -18.0f);
  EXPECT_FLOAT_EQ(part.positions[vertex(16, 0)].z, -18.0f);
  const Point3 east = part.positions[vertex(16, 48)];  // a quarter turn on from the front
  EXPECT_FLOAT_EQ(east.x, 18.0f);
  // Every triangle has an area and turns counter-clockwise seen from outside.
  for (std::size_t t = 0; t < part.TriangleCount(); ++t) {
    const Point3& a = part.positions[part.indices[3 * t]];
    const Point3& b = part.positions[part.indices[3 * t + 1]];
    const Point3& c = part.positions[part.indices[3 * t + 2]];
    const Point3 n = CrossProd(b - a, c - a);
    ASSERT_GT(DotProd(n, a + b + c), 0.0f) << "triangle " << t;
  }
}

TEST_F(GltfCli, SphereGlbBakedIntoItsLayout) {
  const testing::Result r =
      Run("render --geometry sphere --size 64 --samples 1 --gltf ball.glb --json");
  ASSERT_EQ(r.code, 0) << r.err;
  const json report = json::parse(r.out);
  EXPECT_EQ(report["mesh"]["triangles"], 3968);
  EXPECT_EQ(report["gltf"]["triangles"], 3968);
  EXPECT_EQ(report["gltf"]["nodes"], 1);
  // The poles' triangles leave part of the layout's top and bottom rows empty.
  EXPECT_GT(report["mesh"]["coverage"].get<double>(), 0.9);
  EXPECT_LT(report["mesh"]["coverage"].get<double>(), 1.0);
  for (const char* map : {"color", "normal-gl", "orm", "anisotropy-gltf"}) {
    EXPECT_TRUE(std::filesystem::exists(Path(std::string("ball_") + map + ".png"))) << map;
  }
}

TEST_F(GltfCli, RefusedBeforeAnyWork) {
  struct Case {
    const char* args;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"--gltf a.obj", EXIT_USAGE, "--gltf writes a .glb or a .gltf file, not a.obj"},
      {"--gltf a.glb --frames 4-5", EXIT_USAGE, "--gltf writes one asset"},
      {"--gltf a.glb --region 0,0,4,4", EXIT_USAGE, "without --region"},
      {"--gltf a.glb --repeat 2", EXIT_USAGE, "without --repeat"},
      {"--gltf a.glb -o plain.png", EXIT_USAGE, "needs a '{map}' pattern"},
      {"--gltf a.glb -o m_{map}.exr", EXIT_USAGE,
       "--gltf takes PNG images; the map color would be written to m_color.exr"},
      {"--gltf a.glb --map-format orm=tif", EXIT_USAGE, "use --map-format orm=png"},
      {"--gltf a.glb -o a_{map}.png --save-preset a.glb", EXIT_USAGE,
       "the glTF asset and the preset would both be written to a.glb"},
      {"--gltf a.gltf -o a_{map}.png --save-preset a.bin", EXIT_USAGE,
       "the glTF buffer and the preset would both be written to a.bin"},
      {"--gltf a.glb --metallic 0.5", EXIT_USAGE, "--metallic takes SURFACE,SCRATCH"},
      {"--gltf a.glb --metallic 0,2", EXIT_USAGE, "metallic values must be from 0 to 1"},
      {"--gltf no/a.glb -o a_{map}.png", EXIT_OUTPUT, "cannot write glTF asset no/a.glb"},
  };
  for (const Case& c : cases) {
    const testing::Result r = Run(std::string("render --size 8 --samples 1 ") + c.args);
    EXPECT_EQ(r.code, c.code) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_TRUE(Files().empty()) << c.args;
  }
}

}  // namespace
}  // namespace tamrel::host
