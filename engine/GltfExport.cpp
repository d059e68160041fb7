#include "engine/GltfExport.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <vector>

#include "atomicfile.h"
#include "engine/Host.h"
#include "engine/LowerCase.h"
#include "engine/MeshSource.h"
#include "engine/OutputFiles.h"

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// glTF's numbers for what the asset uses.
constexpr int kFloat = 5126, kUnsignedInt = 5125;
constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;
constexpr int kLinear = 9729, kLinearMipmapLinear = 9987, kRepeat = 10497;
constexpr std::uint32_t kGlbMagic = 0x46546C67, kChunkJson = 0x4E4F534A, kChunkBin = 0x004E4942;

// One primitive's vertices as the asset holds them.
struct Geometry {
  std::string name;
  std::vector<Point3> positions, normals;
  std::vector<mesh::Tangent> tangents;
  std::vector<Point2> uvs;  // glTF's: (0, 0) the image's top-left corner
  std::vector<std::uint32_t> indices;
};

bool SameTangent(const mesh::Tangent& a, const mesh::Tangent& b) {
  return std::memcmp(&a.t, &b.t, sizeof a.t) == 0 && std::memcmp(&a.w, &b.w, sizeof a.w) == 0;
}

// A part's triangles with the bake's corner tangents: each vertex once per distinct tangent its
// corners have, in the order the corners first reach it.
Geometry PartGeometry(const MeshBake& bake, std::size_t p) {
  const mesh::MeshPart& part = bake.model->parts[p];
  const std::vector<Point2>& uvs = part.uvSets[bake.uvSet];
  const std::vector<mesh::Tangent>& corners = bake.cornerTangents[p];
  Geometry g;
  g.name = part.name;
  // The written vertices of each of the part's vertices, by tangent.
  std::vector<std::vector<std::uint32_t>> written(part.positions.size());
  g.indices.reserve(part.indices.size());
  for (std::size_t c = 0; c < part.indices.size(); ++c) {
    const std::uint32_t v = part.indices[c];
    const mesh::Tangent& t = corners[c];
    std::uint32_t index = std::numeric_limits<std::uint32_t>::max();
    for (std::uint32_t w : written[v]) {
      if (SameTangent(g.tangents[w], t)) index = w;
    }
    if (index == std::numeric_limits<std::uint32_t>::max()) {
      index = static_cast<std::uint32_t>(g.positions.size());
      written[v].push_back(index);
      g.positions.push_back(part.positions[v]);
      g.normals.push_back(part.normals[v]);
      g.tangents.push_back(t);
      g.uvs.push_back(Point2(uvs[v].x, 1.0f - uvs[v].y));
    }
    g.indices.push_back(index);
  }
  return g;
}

// The plane of the view as the plane bake shows it: the image's top-left corner at (-w/2, h/2),
// the tangent +x, the bitangent +y (up the image), the normal toward the viewer.
Geometry PlaneGeometry(const View& view) {
  const float a = view.extent / 2.0f;
  const float b = static_cast<float>(view.height) * (view.extent / static_cast<float>(view.width)) /
                  2.0f;
  Geometry g;
  g.name = "plane";
  g.positions = {Point3(-a, -b, 0.0f), Point3(a, -b, 0.0f), Point3(a, b, 0.0f),
                 Point3(-a, b, 0.0f)};
  g.uvs = {Point2(0.0f, 1.0f), Point2(1.0f, 1.0f), Point2(1.0f, 0.0f), Point2(0.0f, 0.0f)};
  g.normals.assign(4, Point3(0.0f, 0.0f, 1.0f));
  g.tangents.assign(4, mesh::Tangent{Point3(1.0f, 0.0f, 0.0f), 1.0f});
  g.indices = {0, 1, 2, 0, 2, 3};
  return g;
}

// The buffer as it grows: every view starts on a multiple of 4 bytes.
class BufferBuilder {
 public:
  BufferBuilder(json& doc, std::string& bin) : doc_(doc), bin_(bin) {}

  int View(const void* data, std::size_t size, int target) {
    while (bin_.size() % 4 != 0) bin_.push_back('\0');
    json view = {{"buffer", 0}, {"byteOffset", bin_.size()}, {"byteLength", size}};
    if (target != 0) view["target"] = target;
    bin_.append(static_cast<const char*>(data), size);
    doc_["bufferViews"].push_back(view);
    return static_cast<int>(doc_["bufferViews"].size()) - 1;
  }

  // An accessor over a new view of floats, `components` a vertex; with its bounds when asked.
  int FloatAccessor(const std::vector<float>& values, int components, const char* type,
                    bool bounds) {
    const int view = View(values.data(), values.size() * sizeof(float), kArrayBuffer);
    const std::size_t count = values.size() / static_cast<std::size_t>(components);
    json accessor = {{"bufferView", view}, {"componentType", kFloat}, {"count", count},
                     {"type", type}};
    if (bounds && count > 0) {
      std::vector<float> lo(values.begin(), values.begin() + components), hi = lo;
      for (std::size_t i = 0; i < count; ++i) {
        for (int c = 0; c < components; ++c) {
          const float v = values[i * components + c];
          lo[c] = std::min(lo[c], v);
          hi[c] = std::max(hi[c], v);
        }
      }
      accessor["min"] = json::array();
      accessor["max"] = json::array();
      for (int c = 0; c < components; ++c) {
        accessor["min"].push_back(static_cast<double>(lo[c]));
        accessor["max"].push_back(static_cast<double>(hi[c]));
      }
    }
    return Accessor(accessor);
  }

  int IndexAccessor(const std::vector<std::uint32_t>& indices) {
    const int view = View(indices.data(), indices.size() * sizeof(std::uint32_t),
                          kElementArrayBuffer);
    return Accessor({{"bufferView", view},
                     {"componentType", kUnsignedInt},
                     {"count", indices.size()},
                     {"type", "SCALAR"}});
  }

 private:
  int Accessor(const json& accessor) {
    doc_["accessors"].push_back(accessor);
    return static_cast<int>(doc_["accessors"].size()) - 1;
  }

  json& doc_;
  std::string& bin_;
};

// The primitive's attributes and indices into the buffer; its mesh into the document.
void AddMesh(const Geometry& g, int material, BufferBuilder& buffer, json& doc) {
  std::vector<float> positions, normals, tangents, uvs;
  for (const Point3& p : g.positions) positions.insert(positions.end(), {p.x, p.y, p.z});
  for (const Point3& n : g.normals) normals.insert(normals.end(), {n.x, n.y, n.z});
  for (const mesh::Tangent& t : g.tangents) {
    tangents.insert(tangents.end(), {t.t.x, t.t.y, t.t.z, t.w < 0.0f ? -1.0f : 1.0f});
  }
  for (const Point2& uv : g.uvs) uvs.insert(uvs.end(), {uv.x, uv.y});
  json attributes = {{"POSITION", buffer.FloatAccessor(positions, 3, "VEC3", true)},
                     {"NORMAL", buffer.FloatAccessor(normals, 3, "VEC3", false)},
                     {"TANGENT", buffer.FloatAccessor(tangents, 4, "VEC4", false)},
                     {"TEXCOORD_0", buffer.FloatAccessor(uvs, 2, "VEC2", true)}};
  json primitive = {{"attributes", attributes},
                    {"indices", buffer.IndexAccessor(g.indices)},
                    {"material", material},
                    {"mode", 4}};
  json m = {{"primitives", json::array({primitive})}};
  if (!g.name.empty()) m["name"] = g.name;
  doc["meshes"].push_back(m);
}

// The node's matrix, column-major as glTF stores it; none for the identity.
json NodeMatrix(const mesh::Affine& a) {
  bool identity = true;
  json m = json::array();
  for (int col = 0; col < 4; ++col) {
    for (int row = 0; row < 4; ++row) {
      const double v = row < 3 ? a.m[row][col] : (col == 3 ? 1.0 : 0.0);
      identity = identity && v == (row == col ? 1.0 : 0.0);
      m.push_back(v);
    }
  }
  return identity ? json() : m;
}

json TextureInfo(int texture) { return {{"index", texture}}; }

// The material over textures 0 to 3 (colour, normal, orm, anisotropy).
json Material(const std::string& name) {
  json pbr = {{"baseColorTexture", TextureInfo(0)},
              {"metallicRoughnessTexture", TextureInfo(2)},
              {"metallicFactor", 1.0},
              {"roughnessFactor", 1.0}};
  json normal = TextureInfo(1);
  normal["scale"] = 1.0;
  json occlusion = TextureInfo(2);
  occlusion["strength"] = 1.0;
  return {{"name", name},
          {"pbrMetallicRoughness", pbr},
          {"normalTexture", normal},
          {"occlusionTexture", occlusion},
          {"extensions",
           {{"KHR_materials_anisotropy",
             {{"anisotropyStrength", 1.0}, {"anisotropyTexture", TextureInfo(3)}}}}}};
}

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The whole file, which must be a PNG.
std::string ReadPng(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in.good() && !in.eof()) Fail(EXIT_OUTPUT, "cannot read the image " + path + " for the glTF asset");
  std::string s = bytes.str();
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (s.size() < 8 || s.compare(0, 8, kSignature, 8) != 0) {
    Fail(EXIT_OUTPUT, "the image " + path + " for the glTF asset is not a PNG file");
  }
  return s;
}

}  // namespace

GltfAsset BuildGltf(const GltfScene& scene, const GltfImageRef (&images)[GLTF_IMAGES],
                    const std::string& generator, const std::string& binUri) {
  GltfAsset asset;
  json& doc = asset.doc;
  doc = {{"asset", {{"version", "2.0"}, {"generator", generator}}},
         {"extensionsUsed", json::array({"KHR_materials_anisotropy"})},
         {"scene", 0},
         {"scenes", json::array({{{"nodes", json::array()}}})},
         {"nodes", json::array()},
         {"meshes", json::array()},
         {"accessors", json::array()},
         {"bufferViews", json::array()},
         {"materials", json::array()},
         {"samplers", json::array({{{"magFilter", kLinear},
                                    {"minFilter", kLinearMipmapLinear},
                                    {"wrapS", kRepeat},
                                    {"wrapT", kRepeat}}})},
         {"textures", json::array()},
         {"images", json::array()}};
  BufferBuilder buffer(doc, asset.bin);
  json& rootNodes = doc["scenes"][0]["nodes"];
  if (scene.mesh) {
    const MeshBake& bake = *scene.mesh;
    const mesh::MeshModel& model = *bake.model;
    // Only the parts an instance shows become meshes, in the order of the parts.
    std::vector<int> meshOf(model.parts.size(), -1);
    for (const mesh::MeshInstance& i : model.instances) meshOf[i.part] = 0;
    // The file's materials keep their slots: every material the shown parts use is one of the
    // baked set's, under the file's name for it, in the order of first use; parts without one
    // share "scratches".
    std::map<int, int> materialOf;  // the asset's material for the file's (-1: none)
    const auto materialFor = [&](const mesh::MeshPart& part) {
      const auto [it, added] =
          materialOf.emplace(part.material, static_cast<int>(doc["materials"].size()));
      if (added) {
        std::string name = part.materialName;
        if (part.material < 0) {
          name = "scratches";
        } else if (name.empty()) {
          name = "material " + std::to_string(part.material);
        }
        doc["materials"].push_back(Material(name));
      }
      return it->second;
    };
    int meshes = 0;
    for (std::size_t p = 0; p < model.parts.size(); ++p) {
      if (meshOf[p] < 0) continue;
      meshOf[p] = meshes++;
      AddMesh(PartGeometry(bake, p), materialFor(model.parts[p]), buffer, doc);
    }
    for (const mesh::MeshInstance& i : model.instances) {
      json node = {{"name", i.name}, {"mesh", meshOf[i.part]}};
      if (json m = NodeMatrix(i.objectToWorld); !m.is_null()) node["matrix"] = m;
      rootNodes.push_back(doc["nodes"].size());
      doc["nodes"].push_back(node);
    }
  } else {
    doc["materials"].push_back(Material("scratches"));
    AddMesh(PlaneGeometry(scene.view), 0, buffer, doc);
    rootNodes.push_back(0);
    doc["nodes"].push_back({{"name", "plane"}, {"mesh", 0}});
  }
  for (int k = 0; k < GLTF_IMAGES; ++k) {
    const GltfImageRef& image = images[k];
    json entry = {{"mimeType", "image/png"}};
    if (!image.bytes.empty()) {
      entry["bufferView"] = buffer.View(image.bytes.data(), image.bytes.size(), 0);
    } else {
      entry["uri"] = image.uri;
    }
    doc["images"].push_back(entry);
    doc["textures"].push_back({{"sampler", 0}, {"source", k}});
  }
  while (asset.bin.size() % 4 != 0) asset.bin.push_back('\0');
  json buf = {{"byteLength", asset.bin.size()}};
  if (!binUri.empty()) buf["uri"] = binUri;
  doc["buffers"] = json::array({buf});
  return asset;
}

std::string GltfText(const GltfAsset& asset) {
  return asset.doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string GlbBytes(const GltfAsset& asset) {
  std::string text = GltfText(asset);
  while (text.size() % 4 != 0) text.push_back(' ');
  std::string bin = asset.bin;
  while (bin.size() % 4 != 0) bin.push_back('\0');
  const std::uint64_t total = 12 + 8 + static_cast<std::uint64_t>(text.size()) +
                              (bin.empty() ? 0 : 8 + static_cast<std::uint64_t>(bin.size()));
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    Fail(EXIT_OUTPUT, "the glTF asset would take " + std::to_string(total) +
                          " bytes, more than a .glb holds (4 GiB); write a .gltf or bake a "
                          "smaller size");
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(total));
  PutU32(out, kGlbMagic);
  PutU32(out, 2);
  PutU32(out, static_cast<std::uint32_t>(total));
  PutU32(out, static_cast<std::uint32_t>(text.size()));
  PutU32(out, kChunkJson);
  out += text;
  if (!bin.empty()) {
    PutU32(out, static_cast<std::uint32_t>(bin.size()));
    PutU32(out, kChunkBin);
    out += bin;
  }
  return out;
}

bool IsGlbPath(const std::string& path) {
  const std::string ext = LowerAscii(fs::path(path).extension().string());
  if (ext == ".glb") return true;
  if (ext == ".gltf") return false;
  Fail(EXIT_USAGE, "--gltf writes a .glb or a .gltf file, not " + path);
}

std::string GltfBufferPath(const std::string& gltfPath) {
  return fs::path(gltfPath).replace_extension(".bin").string();
}

std::string RelativeUri(const std::string& from, const std::string& path) {
  const fs::path base = fs::absolute(fs::path(from)).lexically_normal();
  const fs::path target = fs::absolute(fs::path(path)).lexically_normal();
  const std::string rel = target.lexically_relative(base).generic_string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri;
  for (unsigned char c : rel) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      uri.push_back(static_cast<char>(c));
    } else {
      uri += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return uri;
}

json WriteGltf(const std::string& path, const GltfScene& scene,
               const std::string (&imagePaths)[GLTF_IMAGES], const std::string& generator) {
  const bool glb = IsGlbPath(path);
  const fs::path folder = fs::path(path).has_parent_path() ? fs::path(path).parent_path()
                                                           : fs::path(".");
  GltfImageRef images[GLTF_IMAGES];
  json imageList = json::array();
  for (int k = 0; k < GLTF_IMAGES; ++k) {
    const std::string bytes = ReadPng(imagePaths[k]);
    if (glb) {
      images[k].bytes = bytes;
    } else {
      images[k].uri = RelativeUri(folder.string(), imagePaths[k]);
    }
    imageList.push_back(ShownPath(imagePaths[k]));
  }
  const std::string binPath = glb ? std::string() : GltfBufferPath(path);
  const GltfAsset asset =
      BuildGltf(scene, images, generator,
                glb ? std::string() : RelativeUri(folder.string(), binPath));
  std::string error;
  if (glb) {
    if (!WriteFileAtomically(path, GlbBytes(asset), error)) {
      Fail(EXIT_OUTPUT, "cannot write the glTF asset " + path + ": " + error);
    }
  } else {
    // The buffer before the document that refers to it.
    if (!WriteFileAtomically(binPath, asset.bin, error)) {
      Fail(EXIT_OUTPUT, "cannot write the glTF buffer " + binPath + ": " + error);
    }
    WriteTextFile(path, GltfText(asset) + "\n", "glTF asset");
  }
  std::size_t vertices = 0, triangles = 0;
  for (const json& m : asset.doc["meshes"]) {
    const json& prim = m["primitives"][0];
    vertices += asset.doc["accessors"][prim["attributes"]["POSITION"].get<int>()]["count"]
                    .get<std::size_t>();
    triangles +=
        asset.doc["accessors"][prim["indices"].get<int>()]["count"].get<std::size_t>() / 3;
  }
  json report = {{"path", ShownPath(path)},
                 {"format", glb ? "glb" : "gltf"},
                 {"images", imageList},
                 {"nodes", asset.doc["nodes"].size()},
                 {"meshes", asset.doc["meshes"].size()},
                 {"vertices", vertices},
                 {"triangles", triangles}};
  if (!glb) report["buffer"] = ShownPath(binPath);
  return report;
}

}  // namespace tamrel::host
