// The model loader: conventions (v up, winding, transforms composed parent first), instancing and
// names, file tangents, and one refusal per kind of broken or hostile model. The models are
// written here, as glTF with base64 buffers or .glb containers, OBJ and PLY text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mesh/MeshLoad.h"

namespace {

using namespace tamrel::mesh;
using json = nlohmann::json;
namespace fs = std::filesystem;

std::string Base64(const std::string& bytes) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
  }
  if (bytes.size() - i == 1) {
    const unsigned v = (unsigned char)bytes[i] << 16;
    out += {k[v >> 18], k[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    const unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], '='};
  }
  return out;
}

// A glTF document and its one buffer, written as .gltf (data URI) or .glb (binary chunk).
struct Gltf {
  json doc = {{"asset", {{"version", "2.0"}}}, {"scene", 0}};
  std::string bin;

  int Accessor(const std::vector<float>& v, const char* type, int count) {
    return Add(std::string(reinterpret_cast<const char*>(v.data()), v.size() * 4), 5126, type, count);
  }
  int Indices(const std::vector<std::uint16_t>& v) {
    return Add(std::string(reinterpret_cast<const char*>(v.data()), v.size() * 2), 5123, "SCALAR", static_cast<int>(v.size()));
  }
  int Add(const std::string& raw, int componentType, const char* type, int count) {
    const std::size_t offset = bin.size();
    bin += raw;
    while (bin.size() % 4) bin += '\0';
    doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", offset}, {"byteLength", raw.size()}});
    doc["accessors"].push_back({{"bufferView", doc["bufferViews"].size() - 1}, {"componentType", componentType}, {"count", count}, {"type", type}});
    return static_cast<int>(doc["accessors"].size() - 1);
  }
  // A mesh of one primitive; returns its index.
  int Mesh(const std::string& name, json attributes, int indices) {
    doc["meshes"].push_back({{"name", name}, {"primitives", json::array({{{"attributes", attributes}, {"indices", indices}}})}});
    return static_cast<int>(doc["meshes"].size() - 1);
  }
  std::string Text() const {
    json d = doc;
    d["buffers"] = json::array({{{"byteLength", bin.size()}, {"uri", "data:application/octet-stream;base64," + Base64(bin)}}});
    return d.dump();
  }
  std::string Glb(bool withBin = true) const {
    json d = doc;
    d["buffers"] = json::array({{{"byteLength", bin.size()}}});
    std::string j = d.dump();
    while (j.size() % 4) j += ' ';
    std::string out = "glTF";
    auto u32 = [&](std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    u32(2);
    u32(static_cast<std::uint32_t>(12 + 8 + j.size() + (withBin ? 8 + bin.size() : 0)));
    u32(static_cast<std::uint32_t>(j.size()));
    u32(0x4E4F534A);
    out += j;
    if (withBin) {
      u32(static_cast<std::uint32_t>(bin.size()));
      u32(0x004E4942);
      out += bin;
    }
    return out;
  }
};

// The quad x in [0, 2], y in [0, 1] at z = 0, facing +z. Its glTF UVs put the image's top-left
// corner (glTF (0, 0)) at the top-left vertex (0, 1, 0), and a quarter point elsewhere.
const std::vector<float> kQuadPositions = {0, 0, 0, 2, 0, 0, 2, 1, 0, 0, 1, 0};
const std::vector<float> kQuadGltfUv = {0, 1, 1, 1, 1, 0.25f, 0, 0};

json QuadAttributes(Gltf& g, bool normals = true) {
  json a = {{"POSITION", g.Accessor(kQuadPositions, "VEC3", 4)}, {"TEXCOORD_0", g.Accessor(kQuadGltfUv, "VEC2", 4)}};
  if (normals) a["NORMAL"] = g.Accessor({0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1}, "VEC3", 4);
  return a;
}

Gltf QuadGltf() {
  Gltf g;
  const int idx = g.Indices({0, 1, 2, 0, 2, 3});
  g.Mesh("Quad", QuadAttributes(g), idx);
  g.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
  g.doc["scenes"] = json::array({{{"nodes", {0}}}});
  return g;
}

MeshModel FromText(const std::string& text, const std::string& ext, const LoadLimits& limits = {}) {
  return LoadMeshFromMemory(text.data(), text.size(), ext, limits);
}

// The message of the refusal, or a failure when the model loads.
std::string Refusal(const std::string& text, const std::string& ext, const LoadLimits& limits = {}) {
  try {
    FromText(text, ext, limits);
  } catch (const MeshError& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.find('\n'), std::string::npos) << m;
    EXPECT_EQ(m.rfind("in-memory ." + ext + " model: ", 0), 0u) << m;
    return m;
  }
  ADD_FAILURE() << "loaded";
  return "";
}

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/mesh_test_XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The vertex of a part at a position; fails when there is none.
std::size_t VertexAt(const MeshPart& p, float x, float y, float z) {
  for (std::size_t i = 0; i < p.positions.size(); ++i) {
    if (p.positions[i] == Point3(x, y, z)) return i;
  }
  ADD_FAILURE() << "no vertex at " << x << " " << y << " " << z;
  return 0;
}

const std::string kObjQuad =
    "o Plane\nv 0 0 0\nv 2 0 0\nv 2 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 0.75\nvt 0 1\nf 1/1 2/2 3/3 4/4\n";
const std::string kPlyHeader =
    "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
    "property float s\nproperty float t\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
const std::string kPlyQuad = kPlyHeader + "0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 0.75\n0 1 0 0 1\n4 0 1 2 3\n";

// Every triangle of a part is counter-clockwise seen from the side its normals face.
void ExpectCounterClockwise(const MeshPart& p) {
  for (std::size_t t = 0; t < p.indices.size(); t += 3) {
    const Point3 a = p.positions[p.indices[t]], b = p.positions[p.indices[t + 1]], c = p.positions[p.indices[t + 2]];
    const Point3 u = b - a, v = c - a;
    const Point3 n(u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x);
    const Point3 vn = p.normals[p.indices[t]];
    EXPECT_GT(n.x * vn.x + n.y * vn.y + n.z * vn.z, 0.0f) << "triangle " << t / 3;
  }
}

// ---------------------------------------------------------------------------------------------

TEST(MeshConventions, GltfVRunsUpAfterLoad) {
  const MeshModel m = FromText(QuadGltf().Text(), "gltf");
  ASSERT_EQ(m.parts.size(), 1u);
  const MeshPart& p = m.parts[0];
  EXPECT_EQ(p.name, "Quad");
  ASSERT_EQ(p.uvSets.size(), 1u);
  // glTF (0, 0), the image's top-left corner, is (0, 1) with v running up.
  EXPECT_EQ(p.uvSets[0][VertexAt(p, 0, 1, 0)], Point2(0, 1));
  EXPECT_EQ(p.uvSets[0][VertexAt(p, 0, 0, 0)], Point2(0, 0));
  EXPECT_EQ(p.uvSets[0][VertexAt(p, 2, 0, 0)], Point2(1, 0));
  EXPECT_EQ(p.uvSets[0][VertexAt(p, 2, 1, 0)], Point2(1, 0.75f));
  EXPECT_EQ(p.TriangleCount(), 2u);
  EXPECT_EQ(p.positions.size(), 4u);
  EXPECT_EQ(p.normals[VertexAt(p, 2, 1, 0)], Point3(0.0f, 0.0f, 1.0f));
  ExpectCounterClockwise(p);
  EXPECT_TRUE(p.fileTangents.empty());
  EXPECT_EQ(p.material, -1);
  EXPECT_EQ(m.droppedTriangles, 0u);
  EXPECT_EQ(m.source, "");
  ASSERT_EQ(m.instances.size(), 1u);
  EXPECT_EQ(m.instances[0].name, "Q");
  EXPECT_EQ(m.CommonUvSets(), 1);
}

TEST(MeshConventions, GlbReadsTheBinaryChunk) {
  const MeshModel m = FromText(QuadGltf().Glb(), "glb");
  ASSERT_EQ(m.parts.size(), 1u);
  EXPECT_EQ(m.parts[0].uvSets[0][VertexAt(m.parts[0], 2, 1, 0)], Point2(1, 0.75f));
  EXPECT_EQ(m.TriangleCount(), 2u);
}

TEST(MeshConventions, ObjAndPlyKeepTheirBottomLeftUvs) {
  for (const auto& [text, ext] : {std::pair{kObjQuad, "obj"}, std::pair{kPlyQuad, "ply"}}) {
    SCOPED_TRACE(ext);
    const MeshModel m = FromText(text, ext);
    ASSERT_EQ(m.parts.size(), 1u);
    const MeshPart& p = m.parts[0];
    ASSERT_EQ(p.uvSets.size(), 1u);
    EXPECT_EQ(p.uvSets[0][VertexAt(p, 0, 0, 0)], Point2(0, 0));
    EXPECT_EQ(p.uvSets[0][VertexAt(p, 0, 1, 0)], Point2(0, 1));
    EXPECT_EQ(p.uvSets[0][VertexAt(p, 2, 1, 0)], Point2(1, 0.75f));
    EXPECT_EQ(p.TriangleCount(), 2u);
    // Neither file has normals: made smooth, which on a flat quad is its face normal.
    EXPECT_EQ(p.normals[VertexAt(p, 2, 0, 0)], Point3(0.0f, 0.0f, 1.0f));
    ExpectCounterClockwise(p);
    EXPECT_EQ(p.material, -1);
  }
  EXPECT_EQ(FromText(kObjQuad, "obj").instances[0].name, "Plane");
  // The PLY's one node has no name.
  EXPECT_EQ(FromText(kPlyQuad, "ply").instances[0].name, "node 0");
}

TEST(MeshConventions, FileMaterialIndexKept) {
  Gltf g;
  const int idx = g.Indices({0, 1, 2, 0, 2, 3});
  g.Mesh("A", QuadAttributes(g), idx);
  g.doc["meshes"][0]["primitives"][0]["material"] = 1;
  g.doc["materials"] = json::array({{{"name", "red"}}, {{"name", "blue"}}});
  g.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
  g.doc["scenes"] = json::array({{{"nodes", {0}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  EXPECT_EQ(m.parts[0].material, 1);
  EXPECT_EQ(m.parts[0].materialName, "blue");
}

TEST(MeshTransforms, ParentComposedBeforeChild) {
  Gltf g = QuadGltf();
  const double h = std::sqrt(0.5);
  // Parent: translate (1, 2, 3) * rotate 90 degrees about z * scale (2, 3, 4); child: translate (5, 0, 0).
  g.doc["nodes"] = json::array({{{"name", "P"}, {"children", {1}}, {"translation", {1, 2, 3}}, {"rotation", {0, 0, h, h}}, {"scale", {2, 3, 4}}},
                                {{"name", "C"}, {"mesh", 0}, {"translation", {5, 0, 0}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  ASSERT_EQ(m.instances.size(), 1u);
  EXPECT_EQ(m.instances[0].name, "C");
  const double expect[3][4] = {{0, -3, 0, 1}, {2, 0, 0, 12}, {0, 0, 4, 3}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(m.instances[0].objectToWorld.m[r][c], expect[r][c], 1e-5) << r << "," << c;
  }
}

TEST(MeshTransforms, ThreeLevelsComposeInDouble) {
  Gltf g = QuadGltf();
  // Scales of 1e20 and 1e-20 on the way down cancel exactly in double but not in a float product.
  g.doc["nodes"] = json::array({{{"name", "A"}, {"children", {1}}, {"scale", {1e20, 1, 1}}},
                                {{"name", "B"}, {"children", {2}}, {"scale", {1e-20, 1, 1}}, {"translation", {0, 7, 0}}},
                                {{"name", "C"}, {"mesh", 0}, {"translation", {3, 0, 0}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  ASSERT_EQ(m.instances.size(), 1u);
  const Affine& w = m.instances[0].objectToWorld;
  EXPECT_NEAR(w.m[0][0], 1.0, 1e-6);
  EXPECT_NEAR(w.m[0][3], 3.0, 1e-6);
  EXPECT_EQ(w.m[1][3], 7.0);
  EXPECT_EQ(w.m[1][1], 1.0);
}

TEST(MeshInstances, SharedMeshIsOnePartPlacedTwiceUnderUniqueNames) {
  Gltf g = QuadGltf();
  g.doc["nodes"] = json::array({{{"name", "R"}, {"children", {1, 2, 3}}},
                                {{"name", "Q"}, {"mesh", 0}, {"translation", {5, 0, 0}}},
                                {{"name", "Q"}, {"mesh", 0}},
                                {{"name", "Q #2"}, {"mesh", 0}, {"translation", {0, 9, 0}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  ASSERT_EQ(m.parts.size(), 1u);
  ASSERT_EQ(m.instances.size(), 3u);
  EXPECT_EQ(m.instances[0].name, "Q");
  EXPECT_EQ(m.instances[0].objectToWorld.m[0][3], 5.0);
  EXPECT_EQ(m.instances[1].name, "Q #2");
  EXPECT_EQ(m.instances[1].objectToWorld.m[0][3], 0.0);
  // The file's own "Q #2" comes third, and is taken: it gets a number of its own.
  EXPECT_EQ(m.instances[2].name, "Q #2 #2");
  EXPECT_EQ(m.instances[2].objectToWorld.m[1][3], 9.0);
  for (const MeshInstance& i : m.instances) EXPECT_EQ(i.part, 0u);
  EXPECT_EQ(m.TriangleCount(), 6u);
}

TEST(MeshInstances, NamelessNodesNamedByIndex) {
  Gltf g = QuadGltf();
  g.doc["nodes"] = json::array({{{"mesh", 0}}, {{"mesh", 0}, {"name", "named"}}, {{"mesh", 0}}});
  g.doc["scenes"] = json::array({{{"nodes", {2, 1, 0}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  ASSERT_EQ(m.instances.size(), 3u);
  EXPECT_EQ(m.instances[0].name, "node 2");
  EXPECT_EQ(m.instances[1].name, "named");
  EXPECT_EQ(m.instances[2].name, "node 0");
}

TEST(MeshAttributes, FileTangentHandednessRecovered) {
  Gltf g;
  const int idx = g.Indices({0, 1, 2, 0, 2, 3});
  json a = QuadAttributes(g);
  a["TANGENT"] = g.Accessor({1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1}, "VEC4", 4);
  g.Mesh("Plain", a, idx);
  json b = QuadAttributes(g);
  // The mirrored copy: its u runs the other way, and its bitangent is flipped.
  b["TANGENT"] = g.Accessor({-1, 0, 0, -1, -1, 0, 0, -1, -1, 0, 0, -1, -1, 0, 0, -1}, "VEC4", 4);
  g.Mesh("Mirrored", b, idx);
  g.doc["nodes"] = json::array({{{"name", "A"}, {"mesh", 0}}, {{"name", "B"}, {"mesh", 1}}});
  g.doc["scenes"] = json::array({{{"nodes", {0, 1}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  ASSERT_EQ(m.parts.size(), 2u);
  ASSERT_EQ(m.parts[0].fileTangents.size(), m.parts[0].positions.size());
  ASSERT_EQ(m.parts[1].fileTangents.size(), m.parts[1].positions.size());
  for (const Tangent& t : m.parts[0].fileTangents) {
    EXPECT_EQ(t.t, Point3(1.0f, 0.0f, 0.0f));
    EXPECT_EQ(t.w, 1.0f);
  }
  for (const Tangent& t : m.parts[1].fileTangents) {
    EXPECT_EQ(t.t, Point3(-1.0f, 0.0f, 0.0f));
    EXPECT_EQ(t.w, -1.0f);
  }
}

TEST(MeshAttributes, UvSetsKeepTheFileOrder) {
  Gltf g;
  const int idx = g.Indices({0, 1, 2, 0, 2, 3});
  json a = QuadAttributes(g);
  a["TEXCOORD_1"] = g.Accessor({0.5f, 0.25f, 0.75f, 0.25f, 0.75f, 0.5f, 0.5f, 0.5f}, "VEC2", 4);
  g.Mesh("Two", a, idx);
  g.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
  g.doc["scenes"] = json::array({{{"nodes", {0}}}});
  const MeshModel m = FromText(g.Text(), "gltf");
  const MeshPart& p = m.parts[0];
  ASSERT_EQ(p.uvSets.size(), 2u);
  const std::size_t v = VertexAt(p, 2, 0, 0);
  EXPECT_EQ(p.uvSets[0][v], Point2(1, 0));
  EXPECT_EQ(p.uvSets[1][v], Point2(0.75f, 0.75f));
  EXPECT_EQ(m.CommonUvSets(), 2);
}

TEST(MeshAttributes, MissingNormalsMadeSmoothAndUnit) {
  // A roof: two faces meeting at the ridge y = 1, tilted 45 degrees either way.
  const std::string obj =
      "v 0 0 0\nv 0 0 1\nv 1 1 0\nv 1 1 1\nv 2 0 0\nv 2 0 1\nvt 0 0\n"
      "f 1/1 2/1 4/1 3/1\nf 3/1 4/1 6/1 5/1\n";
  const MeshModel m = FromText(obj, "obj");
  const MeshPart& p = m.parts[0];
  ASSERT_EQ(p.normals.size(), p.positions.size());
  for (const Point3& n : p.normals) EXPECT_NEAR(n.Length(), 1.0f, 1e-6f);
  // On the ridge the two face normals (-1, 1, 0)/sqrt2 and (1, 1, 0)/sqrt2 average to +y.
  const Point3 ridge = p.normals[VertexAt(p, 1, 1, 0)];
  EXPECT_NEAR(ridge.x, 0.0f, 1e-6f);
  EXPECT_NEAR(ridge.y, 1.0f, 1e-6f);
  const Point3 eave = p.normals[VertexAt(p, 0, 0, 1)];
  EXPECT_NEAR(eave.x, -std::sqrt(0.5f), 1e-6f);
  EXPECT_NEAR(eave.y, std::sqrt(0.5f), 1e-6f);
  ExpectCounterClockwise(p);
}

TEST(MeshAttributes, DegenerateTrianglesDroppedAndCounted) {
  // The quad, then a triangle repeating a vertex and one of three points on a line.
  const std::string obj = kObjQuad + "v 3 0 0\nv 4 0 0\nv 5 0 0\nf 1/1 1/1 2/2\nf 5/1 6/1 7/1\n";
  const MeshModel m = FromText(obj, "obj");
  EXPECT_EQ(m.droppedTriangles, 2u);
  ASSERT_EQ(m.parts.size(), 1u);
  EXPECT_EQ(m.parts[0].TriangleCount(), 2u);
  for (std::uint32_t i : m.parts[0].indices) EXPECT_LT(i, m.parts[0].positions.size());
}

TEST(MeshFiles, GltfBufferFileBesideTheModel) {
  TempDir dir;
  Gltf g = QuadGltf();
  json d = g.doc;
  d["buffers"] = json::array({{{"byteLength", g.bin.size()}, {"uri", "quad.bin"}}});
  dir.Write("quad.bin", g.bin);
  const std::string path = dir.Write("quad.gltf", d.dump());
  const MeshModel m = LoadMesh(path);
  EXPECT_EQ(m.source, path);
  EXPECT_EQ(m.parts[0].uvSets[0][VertexAt(m.parts[0], 0, 1, 0)], Point2(0, 1));
  // The extension's case does not matter.
  EXPECT_EQ(LoadMesh(dir.Write("Q.OBJ", kObjQuad)).TriangleCount(), 2u);
}

TEST(MeshFiles, NothingPrinted) {
  // Capture what the process writes to its standard streams across good and bad loads.
  std::fflush(stdout);
  std::fflush(stderr);
  char name[] = "/tmp/mesh_test_out_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const int out = dup(1), err = dup(2);
  dup2(fd, 1);
  dup2(fd, 2);
  FromText(QuadGltf().Text(), "gltf");
  FromText(kObjQuad, "obj");
  FromText(kPlyQuad, "ply");
  for (const auto& [text, ext] : {std::pair<std::string, std::string>{"garbage", "glb"}, {"v 1 2\nf 1 2 3 4\n", "obj"}, {"ply\nend_header\n\x01", "ply"}}) {
    try {
      FromText(text, ext);
    } catch (const MeshError&) {
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(out, 1);
  dup2(err, 2);
  close(out);
  close(err);
  struct stat st {};
  fstat(fd, &st);
  close(fd);
  std::remove(name);
  EXPECT_EQ(st.st_size, 0);
}

// ---------------------------------------------------------------------------------------------
// Refusals: one per kind of bad model, each with its key words.

TEST(MeshRefusal, MissingOrUnreadableFile) {
  TempDir dir;
  const std::string missing = dir.path() + "/none.glb";
  try {
    LoadMesh(missing);
    FAIL() << "loaded";
  } catch (const MeshError& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot be opened (No such file or directory)");
  }
  fs::create_directory(dir.path() + "/folder.obj");
  EXPECT_THROW(
      try { LoadMesh(dir.path() + "/folder.obj"); } catch (const MeshError& e) {
        EXPECT_NE(std::string(e.what()).find("folder.obj: is not a regular file"), std::string::npos) << e.what();
        throw;
      },
      MeshError);
}

TEST(MeshRefusal, UnknownFormat) {
  { const std::string msg_ = Refusal(kObjQuad, "xyz"); EXPECT_NE(msg_.find("unknown model format \"xyz\""), std::string::npos) << msg_; }
  TempDir dir;
  const std::string p = dir.Write("model", kObjQuad);
  try {
    LoadMesh(p);
    FAIL() << "loaded";
  } catch (const MeshError& e) {
    EXPECT_EQ(std::string(e.what()), p + ": unknown model format \"\" (glb, gltf, obj and ply are read)");
  }
}

TEST(MeshRefusal, FileOverTheSizeBoundIsNotRead) {
  TempDir dir;
  // A sparse file one byte over the default bound: refused by its size, before any of it is read.
  const std::string p = dir.Write("big.obj", "");
  ASSERT_EQ(truncate(p.c_str(), (off_t{1} << 30) + 1), 0);
  try {
    LoadMesh(p);
    FAIL() << "loaded";
  } catch (const MeshError& e) {
    EXPECT_EQ(std::string(e.what()), p + ": is 1073741825 bytes, over the bound of 1073741824");
  }
  LoadLimits small;
  small.maxFileBytes = kObjQuad.size();
  EXPECT_EQ(LoadMesh(dir.Write("q.obj", kObjQuad), small).TriangleCount(), 2u);
  small.maxFileBytes = kObjQuad.size() - 1;
  { const std::string msg_ = Refusal(kObjQuad, "obj", small); EXPECT_NE(msg_.find("over the bound of " + std::to_string(kObjQuad.size() - 1)), std::string::npos) << msg_; }
}

TEST(MeshRefusal, IndicesOutOfRange) {
  Gltf g;
  const int idx = g.Indices({0, 1, 2, 0, 2, 9});
  g.Mesh("Body", QuadAttributes(g), idx);
  g.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
  g.doc["scenes"] = json::array({{{"nodes", {0}}}});
  const std::string gltf = Refusal(g.Text(), "gltf");
  EXPECT_NE(gltf.find("triangle 1 of mesh \"Body\" uses vertex 9, but the mesh has 4 vertices"), std::string::npos) << gltf;
  const std::string glb = Refusal(g.Glb(), "glb");
  EXPECT_NE(glb.find("triangle 1 of mesh \"Body\" uses vertex 9, but the mesh has 4 vertices"), std::string::npos) << glb;
  // Another attribute shorter than the positions.
  Gltf shortUv;
  const int i2 = shortUv.Indices({0, 1, 2});
  shortUv.Mesh("Body", {{"POSITION", shortUv.Accessor(kQuadPositions, "VEC3", 4)}, {"TEXCOORD_0", shortUv.Accessor({0, 0, 1, 0, 1, 1}, "VEC2", 3)}}, i2);
  shortUv.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
  shortUv.doc["scenes"] = json::array({{{"nodes", {0}}}});
  { const std::string msg_ = Refusal(shortUv.Text(), "gltf"); EXPECT_NE(msg_.find("has 3 elements of TEXCOORD_0 for 4 positions"), std::string::npos) << msg_; }
  const std::string ply = Refusal(kPlyHeader + "0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 1\n0 1 0 0 1\n3 0 1 7\n", "ply");
  EXPECT_NE(ply.find("face 0 of mesh 0 uses vertex 7, but the mesh has 4 vertices"), std::string::npos) << ply;
  { const std::string msg_ = Refusal(kObjQuad + "f 1/1 2/2 9/3\n", "obj"); EXPECT_NE(msg_.find("line 11 uses vertex 9, but the file has 4"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal(kObjQuad + "f 1/1 2/2 3/7\n", "obj"); EXPECT_NE(msg_.find("uses texture coordinate 7, but the file has 4"), std::string::npos) << msg_; }
  EXPECT_NE(Refusal("v 0 0 0\nvt 0 0\nf -1/1 -2/1 1/1\nv 1 0 0\n", "obj").find("line 3 refers to vertex -2, but only 1 come before it"),
            std::string::npos);
  { const std::string msg_ = Refusal(kObjQuad + "f 1/1 0/2 3/3\n", "obj"); EXPECT_NE(msg_.find("\"0\", which is not a valid index"), std::string::npos) << msg_; }
}

TEST(MeshRefusal, NonFiniteNumbers) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  auto quadWith = [](std::vector<float> pos, std::vector<float> nor, std::vector<float> uv) {
    Gltf g;
    const int idx = g.Indices({0, 1, 2, 0, 2, 3});
    g.Mesh("Body", {{"POSITION", g.Accessor(pos, "VEC3", 4)}, {"NORMAL", g.Accessor(nor, "VEC3", 4)}, {"TEXCOORD_0", g.Accessor(uv, "VEC2", 4)}}, idx);
    g.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
    g.doc["scenes"] = json::array({{{"nodes", {0}}}});
    return g.Text();
  };
  const std::vector<float> n = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
  std::vector<float> pos = kQuadPositions;
  pos[7] = nan;
  EXPECT_NE(Refusal(quadWith(pos, n, kQuadGltfUv), "gltf").find("vertex 2 of mesh \"Body\" has a non-finite position (2, nan, 0)"),
            std::string::npos);
  std::vector<float> nor = n;
  nor[3] = inf;
  EXPECT_NE(Refusal(quadWith(kQuadPositions, nor, kQuadGltfUv), "gltf").find("vertex 1 of mesh \"Body\" has a non-finite normal"),
            std::string::npos);
  std::vector<float> uv = kQuadGltfUv;
  uv[6] = -inf;
  EXPECT_NE(Refusal(quadWith(kQuadPositions, n, uv), "gltf").find("vertex 3 of mesh \"Body\" has a non-finite texture coordinate"),
            std::string::npos);
  { const std::string msg_ = Refusal("v 0 0 0\nv 1e999 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/1 3/1\n", "obj"); EXPECT_NE(msg_.find("non-finite position (inf, 0, 0)"), std::string::npos) << msg_; }
  // Node transforms: a number JSON cannot hold, a rotation whose matrix overflows float, and
  // finite scales whose product over ten levels overflows even double.
  Gltf g = QuadGltf();
  g.doc["nodes"][0]["translation"] = {0, 1, 2};
  std::string text = g.Text();
  text.replace(text.find("[0,1,2]"), 7, "[0,1e999,2]");
  { const std::string msg_ = Refusal(text, "gltf"); EXPECT_NE(msg_.find("its JSON does not parse"), std::string::npos) << msg_; }
  g.doc["nodes"][0].erase("translation");
  g.doc["nodes"][0]["rotation"] = {1e20, 0, 0, 1};
  { const std::string msg_ = Refusal(g.Text(), "gltf"); EXPECT_NE(msg_.find("node \"Q\" has a non-finite transform"), std::string::npos) << msg_; }
  g.doc["nodes"][0]["rotation"] = {0, 0, 0, 1};
  EXPECT_EQ(FromText(g.Text(), "gltf").instances.size(), 1u);
  Gltf tall = QuadGltf();
  tall.doc["nodes"] = json::array();
  for (int i = 0; i < 9; ++i) tall.doc["nodes"].push_back({{"name", "s" + std::to_string(i)}, {"children", {i + 1}}, {"scale", {1e38, 1, 1}}});
  tall.doc["nodes"].push_back({{"name", "leaf"}, {"mesh", 0}});
  { const std::string msg_ = Refusal(tall.Text(), "gltf"); EXPECT_NE(msg_.find("node \"s8\" has a world transform that is not finite"), std::string::npos) << msg_; }
}

TEST(MeshRefusal, MissingBuffers) {
  Gltf g = QuadGltf();
  json d = g.doc;
  d["buffers"] = json::array({{{"byteLength", g.bin.size()}, {"uri", "nowhere.bin"}}});
  EXPECT_NE(Refusal(d.dump(), "gltf").find("buffer 0 refers to the file \"nowhere.bin\", which a model in memory cannot reach"),
            std::string::npos);
  TempDir dir;
  const std::string p = dir.Write("m.gltf", d.dump());
  try {
    LoadMesh(p);
    FAIL() << "loaded";
  } catch (const MeshError& e) {
    EXPECT_EQ(std::string(e.what()), p + ": buffer 0 refers to the file \"nowhere.bin\", which does not exist");
  }
  dir.Write("nowhere.bin", g.bin.substr(0, 10));
  EXPECT_THROW(
      try { LoadMesh(p); } catch (const MeshError& e) {
        EXPECT_NE(std::string(e.what()).find("buffer 0 needs " + std::to_string(g.bin.size()) + " bytes, but \"nowhere.bin\" has 10"),
                  std::string::npos) << e.what();
        throw;
      },
      MeshError);
  EXPECT_NE(Refusal(g.Glb(false), "glb").find("buffer 0 has no data: it names no file, and the file has no binary chunk"),
            std::string::npos);
  d["buffers"][0]["uri"] = "data:application/octet-stream;base64,AAAA";
  { const std::string msg_ = Refusal(d.dump(), "gltf"); EXPECT_NE(msg_.find("its data URI holds 3"), std::string::npos) << msg_; }
  // Two or three characters past the last whole group hold one or two bytes, with padding or
  // without.
  const struct {
    const char* data;
    int bytes;
  } endings[] = {{"AAAAAA", 4}, {"AAAAAAA", 5}, {"AAAAAA==", 4}, {"AAAAAAA=", 5}};
  for (const auto& e : endings) {
    d["buffers"][0]["uri"] = std::string("data:application/octet-stream;base64,") + e.data;
    const std::string msg = Refusal(d.dump(), "gltf");
    const std::string tail = "but its data URI holds " + std::to_string(e.bytes);
    ASSERT_GT(msg.size(), tail.size()) << msg;
    EXPECT_EQ(msg.substr(msg.size() - tail.size()), tail) << msg;
  }
}

TEST(MeshRefusal, NoUvSet) {
  { const std::string msg_ = Refusal("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", "obj"); EXPECT_NE(msg_.find("has no UV set"), std::string::npos) << msg_; }
  Gltf g;
  const int idx = g.Indices({0, 1, 2});
  g.Mesh("Bare", {{"POSITION", g.Accessor(kQuadPositions, "VEC3", 4)}}, idx);
  g.doc["nodes"] = json::array({{{"name", "Q"}, {"mesh", 0}}});
  g.doc["scenes"] = json::array({{{"nodes", {0}}}});
  { const std::string msg_ = Refusal(g.Text(), "gltf"); EXPECT_NE(msg_.find("has no UV set"), std::string::npos) << msg_; }
}

TEST(MeshRefusal, NoTriangles) {
  { const std::string msg_ = Refusal("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nl 1 2\np 3\n", "obj"); EXPECT_NE(msg_.find("has no triangles"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal("", "glb"); EXPECT_NE(msg_.find("has no triangles: the file is empty"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal("# nothing\n", "obj"); EXPECT_NE(msg_.find("has no triangles"), std::string::npos) << msg_; }
  EXPECT_NE(Refusal("v 0 0 0\nv 1 0 0\nv 2 0 0\nvt 0 0\nf 1/1 2/1 3/1\nf 1/1 1/1 2/1\n", "obj")
                .find("has no triangles: all 2 of them are degenerate"),
            std::string::npos);
  Gltf g = QuadGltf();
  g.doc["meshes"][0]["primitives"][0]["mode"] = 1;  // lines
  { const std::string msg_ = Refusal(g.Text(), "gltf"); EXPECT_NE(msg_.find("has no triangles"), std::string::npos) << msg_; }
}

TEST(MeshRefusal, CountsOverTheBounds) {
  LoadLimits l;
  l.maxTriangles = 1;
  { const std::string msg_ = Refusal(QuadGltf().Text(), "gltf", l); EXPECT_NE(msg_.find("places 2 triangles, over the bound of 1"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal(kObjQuad, "obj", l); EXPECT_NE(msg_.find("has 2 triangles, over the bound of 1"), std::string::npos) << msg_; }
  EXPECT_NE(Refusal(kPlyQuad, "ply", LoadLimits{.maxVertices = 3}).find("declares 4 vertex elements, over the bound of 3"),
            std::string::npos);
  { const std::string msg_ = Refusal(QuadGltf().Text(), "gltf", LoadLimits{.maxVertices = 3}); EXPECT_NE(msg_.find("has 4 vertices, over the bound of 3"), std::string::npos) << msg_; }
  EXPECT_EQ(FromText(QuadGltf().Text(), "gltf", LoadLimits{.maxTriangles = 2, .maxVertices = 4, .maxInstances = 1}).TriangleCount(), 2u);
  Gltf two = QuadGltf();
  two.doc["nodes"] = json::array({{{"name", "A"}, {"mesh", 0}}, {{"name", "B"}, {"mesh", 0}}});
  two.doc["scenes"] = json::array({{{"nodes", {0, 1}}}});
  { const std::string msg_ = Refusal(two.Text(), "gltf", LoadLimits{.maxInstances = 1}); EXPECT_NE(msg_.find("places 2 mesh instances, over the bound of 1"), std::string::npos) << msg_; }
  // Instances the limits allow, triangles over all of them that they do not.
  { const std::string msg_ = Refusal(two.Text(), "gltf", LoadLimits{.maxTriangles = 3}); EXPECT_NE(msg_.find("places 4 triangles, over the bound of 3"), std::string::npos) << msg_; }

  // An accessor claiming four billion elements of a 48-byte view.
  Gltf g = QuadGltf();
  g.doc["accessors"][0]["count"] = 4000000000u;
  { const std::string msg_ = Refusal(g.Text(), "gltf"); EXPECT_NE(msg_.find("accessor 0 needs 8000000000 bytes of buffer view 0, which has 12"), std::string::npos) << msg_; }
  g.doc["accessors"][0].erase("bufferView");
  { const std::string msg_ = Refusal(g.Text(), "gltf"); EXPECT_NE(msg_.find("accessor 0 has 4000000000 elements and no data"), std::string::npos) << msg_; }
  // Shared children doubling at each of 40 levels: 2^39 placements of one mesh.
  Gltf dag = QuadGltf();
  dag.doc["nodes"] = json::array();
  for (int i = 0; i < 39; ++i) dag.doc["nodes"].push_back({{"name", "d"}, {"children", {i + 1, i + 1}}});
  dag.doc["nodes"].push_back({{"name", "leaf"}, {"mesh", 0}});
  { const std::string msg_ = Refusal(dag.Text(), "gltf"); EXPECT_NE(msg_.find("places 549755813888 mesh instances, over the bound of 100000"), std::string::npos) << msg_; }
  // A binary PLY whose header claims more than its bytes hold.
  const std::string ply =
      "ply\nformat binary_little_endian 1.0\nelement vertex 3000\nproperty float x\nproperty float y\nproperty float z\n"
      "end_header\n" + std::string(36, '\0');
  { const std::string msg_ = Refusal(ply, "ply"); EXPECT_NE(msg_.find("need at least 36000 bytes, but only 36 follow its header"), std::string::npos) << msg_; }
  EXPECT_NE(Refusal("ply\nformat ascii 1.0\nelement vertex 4000000000\nproperty float x\nend_header\n", "ply").find("over the bound"),
            std::string::npos);
}

// The quad as a binary PLY: x y z s t as floats, the face's list length as `countType` (uchar,
// short, float or double) and its indices as ints, in either byte order.
std::string BinaryPlyQuad(bool bigEndian, const std::string& countType, double count,
                          int indices = 4) {
  std::string out = std::string("ply\nformat binary_") + (bigEndian ? "big" : "little") +
                    "_endian 1.0\nelement vertex 4\n"
                    "property float x\nproperty float y\nproperty float z\nproperty float "
                    "s\nproperty float t\nelement face 1\n"
                    "property list " +
                    countType + " int vertex_indices\nend_header\n";
  const auto put = [&](const void* v, std::size_t n) {
    const char* b = static_cast<const char*>(v);
    for (std::size_t i = 0; i < n; ++i) out += b[bigEndian ? n - 1 - i : i];
  };
  const float vertices[4][5] = {
      {0, 0, 0, 0, 0}, {2, 0, 0, 1, 0}, {2, 1, 0, 1, 0.75f}, {0, 1, 0, 0, 1}};
  for (const auto& v : vertices)
    for (float f : v) put(&f, 4);
  if (countType == "uchar") {
    const auto c = static_cast<std::uint8_t>(count);
    put(&c, 1);
  } else if (countType == "short") {
    const auto c = static_cast<std::int16_t>(count);
    put(&c, 2);
  } else if (countType == "float") {
    const auto c = static_cast<float>(count);
    put(&c, 4);
  } else {
    put(&count, 8);
  }
  for (std::int32_t i = 0; i < indices; ++i) put(&i, 4);
  return out;
}

TEST(MeshRefusal, PlyBodiesThatBreakTheirHeadersPromises) {
  // The import library reserves a list's length before it reads a value, and where a text body's
  // lines run out it reads the last one again: a body that says more than it holds is refused
  // before it can ask for gigabytes.
  const auto withBody = [](const std::string& body) { return kPlyHeader + body; };
  const std::string vertices = "0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 0.75\n0 1 0 0 1\n";
  const std::pair<std::string, std::string> bodies[] = {
      {vertices + "99999999 0 1 2\n",
       "line 16 gives a list of 99999999 values, but holds 3 after it"},
      {vertices + "5 0 1 2 3\n", "line 16 gives a list of 5 values, but holds 4 after it"},
      {vertices + "-1 0 1 2\n", "line 16 gives a list length \"-1\", which is not a whole number"},
      {vertices + "4.0 0 1 2 3\n",
       "line 16 gives a list length \"4.0\", which is not a whole number"},
      {vertices + "\n", "line 16 holds 0 numbers, too few for its face element"},
      {vertices, "ends after 0 of the 1 face elements its header declares"},
      {"0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 0.75\n0 9999999999999\n",
       "line 15 holds 2 numbers, too few for its vertex element"},
      {"0 0 0 0 0\n2 0 0 1 0\n", "ends after 2 of the 4 vertex elements its header declares"},
      {"0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 0.75\n0 1 0 0 1\f99999999 1 2\n4 0 1 2 3\n",
       "line 15 holds the byte 0x0c, which is not text"},
      {"0 0 0 0 0\n2 0 0 1 0\n2 1 0\r1 0.75\n0 1 0 0 1\n4 0 1 2 3\n",
       "line 14 holds the byte 0x0d, which is not text"},
      {vertices + std::string("4 0 1 2 3\n\0", 12),
       "line 17 holds the byte 0x00, which is not text"},
  };
  for (const auto& [body, why] : bodies) {
    const std::string msg = Refusal(withBody(body), "ply");
    EXPECT_NE(msg.find(why), std::string::npos) << why << ": " << msg;
  }
  // A list's values are its own: the word after them is the next property's.
  std::string extra = kPlyQuad;
  extra.replace(extra.find("end_header"), 10,
                "element extra 1\nproperty list uchar int a\nproperty float b\nend_header");
  {
    const std::string msg = Refusal(extra + "2 1 2\n", "ply");
    EXPECT_NE(msg.find("line 20 holds 3 numbers, too few for its extra element"), std::string::npos)
        << msg;
  }
  EXPECT_EQ(FromText(extra + "2 1 2 0.5\n", "ply").TriangleCount(), 2u);
  // What the checks let through reads as before: a list of exactly its length, words after it,
  // Windows line ends and tabs, and lines after the last element.
  for (const std::string& body :
       {vertices + "4 0 1 2 3 7\n",
        std::string("0 0 0 0 0\r\n2\t0 0 1 0\r\n2 1 0 1 0.75\r\n0 1 0 0 1\r\n4 0 1 2 3\r\n"),
        vertices + "4 0 1 2 3\n\n1 2\n"}) {
    EXPECT_EQ(FromText(withBody(body), "ply").TriangleCount(), 2u) << body;
  }

  // Binary bodies in both byte orders, the list length of four types.
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    for (const char* type : {"uchar", "short", "float", "double"}) {
      SCOPED_TRACE(type);
      const MeshModel m = FromText(BinaryPlyQuad(big, type, 4), "ply");
      ASSERT_EQ(m.parts.size(), 1u);
      EXPECT_EQ(m.parts[0].TriangleCount(), 2u);
      EXPECT_EQ(m.parts[0].uvSets[0][VertexAt(m.parts[0], 2, 1, 0)], Point2(1, 0.75f));
    }
    {
      const std::string msg = Refusal(BinaryPlyQuad(big, "uchar", 5), "ply");
      EXPECT_NE(msg.find("gives its face element 0 a list of 5 values, but only 16 bytes follow"),
                std::string::npos)
          << msg;
    }
    {
      const std::string msg = Refusal(BinaryPlyQuad(big, "short", 30000), "ply");
      EXPECT_NE(msg.find("a list of 30000 values, but only 16 bytes follow"), std::string::npos)
          << msg;
    }
    {
      const std::string msg = Refusal(BinaryPlyQuad(big, "double", 4e18), "ply");
      EXPECT_NE(msg.find("a list of 4000000000000000000 values"), std::string::npos) << msg;
    }
    for (const double bad : {-1.0, 3.5, std::nan("")}) {
      const std::string msg = Refusal(BinaryPlyQuad(big, bad < 0 ? "short" : "float", bad), "ply");
      EXPECT_NE(msg.find("gives its face element 0 a list length that is not a whole number"),
                std::string::npos)
          << bad << ": " << msg;
    }
    {
      const std::string msg = Refusal(BinaryPlyQuad(big, "uchar", 4, 3), "ply");
      EXPECT_NE(msg.find("a list of 4 values, but only 12 bytes follow"), std::string::npos) << msg;
    }
    // A second face whose length the file ends before.
    std::string two = BinaryPlyQuad(big, "uchar", 4);
    two.replace(two.find("element face 1"), 14, "element face 2");
    {
      const std::string msg = Refusal(two, "ply");
      EXPECT_NE(msg.find("ends inside its face element 1"), std::string::npos) << msg;
    }
  }
}

TEST(MeshRefusal, RecursiveNodeGraphs) {
  Gltf self = QuadGltf();
  self.doc["nodes"] = json::array({{{"name", "A"}, {"mesh", 0}, {"children", {0}}}});
  { const std::string msg_ = Refusal(self.Text(), "gltf"); EXPECT_NE(msg_.find("has a recursive node graph: node 0 is its own ancestor"), std::string::npos) << msg_; }
  Gltf cycle = QuadGltf();
  cycle.doc["nodes"] = json::array({{{"name", "A"}, {"children", {1}}}, {{"name", "B"}, {"children", {2}}}, {{"name", "C"}, {"mesh", 0}, {"children", {1}}}});
  { const std::string msg_ = Refusal(cycle.Glb(), "glb"); EXPECT_NE(msg_.find("has a recursive node graph: node 1 is its own ancestor"), std::string::npos) << msg_; }
  // A chain 100,000 deep (the import library would recurse through it) and one just over a small bound.
  Gltf deep = QuadGltf();
  deep.doc["nodes"] = json::array();
  for (int i = 0; i < 99999; ++i) deep.doc["nodes"].push_back({{"children", {i + 1}}});
  deep.doc["nodes"].push_back({{"mesh", 0}});
  { const std::string msg_ = Refusal(deep.Text(), "gltf"); EXPECT_NE(msg_.find("has a node tree deeper than the bound of 256 levels"), std::string::npos) << msg_; }
  Gltf three = QuadGltf();
  three.doc["nodes"] = json::array({{{"children", {1}}}, {{"children", {2}}}, {{"mesh", 0}}});
  { const std::string msg_ = Refusal(three.Text(), "gltf", LoadLimits{.maxNodeDepth = 2}); EXPECT_NE(msg_.find("deeper than the bound of 2 levels"), std::string::npos) << msg_; }
  EXPECT_EQ(FromText(three.Text(), "gltf", LoadLimits{.maxNodeDepth = 3}).instances.size(), 1u);
}

TEST(MeshRefusal, MalformedContainersAndJson) {
  std::string glb = QuadGltf().Glb();
  std::string cut = glb.substr(0, glb.size() - 8);
  const std::uint32_t len = static_cast<std::uint32_t>(cut.size());
  std::memcpy(&cut[8], &len, 4);
  { const std::string msg_ = Refusal(cut, "glb"); EXPECT_NE(msg_.find("chunk 1 runs past the end of the file"), std::string::npos) << msg_; }
  std::string longer = glb;
  const std::uint32_t big = static_cast<std::uint32_t>(glb.size() + 1);
  std::memcpy(&longer[8], &big, 4);
  { const std::string msg_ = Refusal(longer, "glb"); EXPECT_NE(msg_.find("its header gives a length of " + std::to_string(glb.size() + 1)), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal(std::string(70, '[') + std::string(70, ']'), "gltf"); EXPECT_NE(msg_.find("nests deeper than 64 levels"), std::string::npos) << msg_; }
  // The bound exactly: a value inside 65 containers is past it, one inside 64 is not.
  { const std::string msg_ = Refusal(std::string(65, '[') + "1" + std::string(65, ']'), "gltf"); EXPECT_NE(msg_.find("nests deeper than 64 levels"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal(std::string(64, '[') + "1" + std::string(64, ']'), "gltf"); EXPECT_EQ(msg_.find("nests deeper"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal("{\"asset\": {\"version\": \"1.0\"}}", "gltf"); EXPECT_NE(msg_.find("is glTF version 1.0; version 2 is read"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal("{\"asset\": ", "gltf"); EXPECT_NE(msg_.find("its JSON does not parse"), std::string::npos) << msg_; }
  { const std::string msg_ = Refusal(kPlyHeader + "0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 1\n0 1 0 p 1\n4 0 1 2 3\n", "ply");
    EXPECT_NE(msg_.find("line 15 holds \"p\", which is not a number"), std::string::npos) << msg_; }
  EXPECT_EQ(FromText(kPlyHeader + "0 0 0 0 0\n2 0 0 1 0\n2 1 0 1 1\n-0 1 0 .0 +1\n4 0 1 2 3\n", "ply").TriangleCount(), 2u);
  // A header whose last line runs into the body, and one with a line that is not PLY.
  std::string runOn = kPlyQuad;
  runOn.replace(runOn.find("end_header\n"), 11, "end_header ");
  { const std::string msg_ = Refusal(runOn, "ply"); EXPECT_NE(msg_.find("its header has no end_header line"), std::string::npos) << msg_; }
  std::string stray = kPlyQuad;
  stray.replace(stray.find("property float s"), 8, "propertx");
  { const std::string msg_ = Refusal(stray, "ply"); EXPECT_NE(msg_.find("has a header line \"propertx float s\" that is not PLY"), std::string::npos) << msg_; }
  // Headers of the right words in a shape the import library does not expect, each of which has
  // corrupted its memory: refused by their line, the quad itself read as ever.
  const std::pair<std::string, std::string> shapes[] = {
      {"property float s", "property floatoat s"},
      {"property float s", "property float"},
      {"property float s", "property float s t"},
      {"property float s", "property FLOAT s"},
      {"property list uchar int vertex_indices", "property list uchar vertex_indices"},
      {"property list uchar int vertex_indices", "property list uchar intt vertex_indices"},
      {"property list uchar int vertex_indices", "property lvertex_indices"},
      {"format ascii 1.0", "format ascii AAAA"},
      {"format ascii 1.0", "format ascii"},
      {"format ascii 1.0", "format text 1.0"},
      {"element face 1", "element face 1 2"},
      {"ply\n", "ply\nply\n"},
  };
  for (const auto& [from, to] : shapes) {
    std::string bad = kPlyQuad;
    bad.replace(bad.find(from), from.size(), to);
    const std::string why = Refusal(bad, "ply");
    const std::string shown = to == "ply\nply\n" ? "ply" : to;
    EXPECT_NE(why.find("has a malformed header line \"" + shown.substr(0, 32)), std::string::npos) << to << ": " << why;
  }
  std::string twice = kPlyQuad;
  twice.replace(twice.find("element face 1"), 14, "element vertex 1");
  { const std::string msg_ = Refusal(twice, "ply"); EXPECT_NE(msg_.find("declares element \"vertex\" twice"), std::string::npos) << msg_; }
  std::string early = kPlyQuad;
  early.replace(early.find("format ascii 1.0\n"), 17, "");
  early.replace(early.find("element face 1\n"), 15, "element face 1\nformat ascii 1.0\n");
  { const std::string msg_ = Refusal(early, "ply"); EXPECT_NE(msg_.find("has a malformed header line \"element vertex 4\""), std::string::npos) << msg_; }
  std::string none = kPlyQuad;
  none.replace(none.find("element vertex 4\n"), 17, "comment no format\n");
  none.replace(none.find("format ascii 1.0\n"), 17, "");
  { const std::string msg_ = Refusal(none, "ply"); EXPECT_NE(msg_.find("malformed header line \"property float x\""), std::string::npos) << msg_; }
  Gltf g = QuadGltf();
  g.doc["nodes"][0]["mesh"] = 3;
  { const std::string msg_ = Refusal(g.Text(), "gltf"); EXPECT_NE(msg_.find("node 0 refers to meshes 3, but the file has 1"), std::string::npos) << msg_; }
}

}  // namespace
