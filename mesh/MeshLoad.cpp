// Model loading: our own checks of the raw bytes (glTF JSON, OBJ lines, PLY header), the import
// library on what passes them, our checks of what it made, then the MeshModel built from it.
//
// The import library trusts its input further than a loader of files from the wild may: a glTF
// node chain a hundred thousand deep overflows its stack, shared children multiply into
// exponentially many nodes, and counts in a header are reserved before anything is read. So the
// prescans below refuse what it cannot survive before it sees the bytes, and bound every count by
// the limits, while what it reads is checked again (indices, finiteness) before its own
// post-processing runs on it.
#include "mesh/MeshLoad.h"

#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tamrel::mesh {
namespace {

using json = nlohmann::json;

enum class Format { Gltf, Obj, Ply };

// What the loader of one model knows about it while it works.
struct Context {
  std::string label;    // how messages name the model: the path as given, or "in-memory .ext model"
  std::string baseDir;  // where referenced files are found; empty for a model in memory
  LoadLimits limits;
};

// Text from a file, fit for a one-line message: control characters become spaces and long text
// is cut.
std::string Printable(std::string_view s, std::size_t max = 80) {
  std::string out;
  for (char c : s.substr(0, max)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
  if (s.size() > max) out += "...";
  return out;
}

[[noreturn]] void Fail(const Context& cx, const std::string& what) {
  throw MeshError(cx.label + ": " + what);
}

std::uint64_t SatAdd(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}
std::uint64_t SatMul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

std::string Lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

Format FormatOf(const Context& cx, const std::string& extension) {
  const std::string e = Lower(extension);
  if (e == "gltf" || e == "glb") return Format::Gltf;
  if (e == "obj") return Format::Obj;
  if (e == "ply") return Format::Ply;
  Fail(cx, "unknown model format \"" + Printable(extension, 16) + "\" (glb, gltf, obj and ply are read)");
}

// Reads a whole regular file of at most `maxBytes`, its size checked before anything is read.
// Returns false with `why` set when it cannot.
bool ReadBoundedFile(const std::string& path, std::uint64_t maxBytes, std::vector<std::uint8_t>& out,
                     std::string& why) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    why = std::string("cannot be opened (") + std::strerror(errno) + ")";
    return false;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "is not a regular file";
    return false;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > maxBytes) {
    why = "is " + std::to_string(size) + " bytes, over the bound of " + std::to_string(maxBytes);
    return false;
  }
  out.resize(static_cast<std::size_t>(size));
  if (size > 0 && std::fread(out.data(), 1, out.size(), f) != out.size()) {
    why = "could not be read to its end";
    return false;
  }
  return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || name.empty() || name[0] == '/') return name;
  return dir + "/" + name;
}

// ---------------------------------------------------------------------------------------------
// Files the import library opens: the model's own bytes under the name it is given, and the files
// the model refers to, read whole (each within the file bound) from the model's folder. A model in
// memory may open nothing else.

class BytesStream : public Assimp::IOStream {
 public:
  BytesStream(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t> owned = {})
      : owned_(std::move(owned)), data_(owned_.empty() ? data : owned_.data()), size_(owned_.empty() ? size : owned_.size()) {}
  size_t Read(void* buffer, size_t size, size_t count) override {
    if (size == 0 || count == 0 || pos_ >= size_) return 0;
    const std::size_t items = std::min(count, (size_ - pos_) / size);
    std::memcpy(buffer, data_ + pos_, items * size);
    pos_ += items * size;
    return items;
  }
  size_t Write(const void*, size_t, size_t) override { return 0; }
  aiReturn Seek(size_t offset, aiOrigin origin) override {
    std::size_t base = origin == aiOrigin_SET ? 0 : origin == aiOrigin_CUR ? pos_ : size_;
    if (offset > size_ || base > size_ - offset) return aiReturn_FAILURE;
    pos_ = base + offset;
    return aiReturn_SUCCESS;
  }
  size_t Tell() const override { return pos_; }
  size_t FileSize() const override { return size_; }
  void Flush() override {}

 private:
  std::vector<std::uint8_t> owned_;
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr const char* kModelName = "tamrel-model";

class GuardedIO : public Assimp::IOSystem {
 public:
  GuardedIO(const std::uint8_t* data, std::size_t size, std::string baseDir, std::uint64_t maxBytes)
      : data_(data), size_(size), baseDir_(std::move(baseDir)), maxBytes_(maxBytes) {}
  bool Exists(const char* file) const override {
    if (IsModel(file)) return true;
    struct stat st {};
    return !baseDir_.empty() && stat(JoinPath(baseDir_, file).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  char getOsSeparator() const override { return '/'; }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    if (mode && (std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+'))) return nullptr;
    if (IsModel(file)) return new BytesStream(data_, size_);
    if (baseDir_.empty()) return nullptr;
    std::vector<std::uint8_t> bytes;
    std::string why;
    if (!ReadBoundedFile(JoinPath(baseDir_, file), maxBytes_, bytes, why)) return nullptr;
    if (bytes.empty()) return new BytesStream(nullptr, 0);
    return new BytesStream(nullptr, 0, std::move(bytes));
  }
  void Close(Assimp::IOStream* stream) override { delete stream; }

 private:
  static bool IsModel(const char* file) {
    return std::strncmp(file, kModelName, std::strlen(kModelName)) == 0 && std::strchr(file, '/') == nullptr;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::string baseDir_;
  std::uint64_t maxBytes_;
};

// ---------------------------------------------------------------------------------------------
// glTF: the JSON (from a .gltf, or a .glb's JSON chunk) checked for everything the import library
// would follow blindly: references in range, buffers present and long enough, accessors inside
// their views, and a node graph without cycles, within the depth bound, whose instances and
// triangles are within the limits.

struct GltfFacts {
  // The file's material index by name, for names the file gives one material only: the import
  // library keeps the materials the meshes use, in the order they are first used.
  std::unordered_map<std::string, int> materialByName;
  std::vector<bool> nodeNamed;  // per node: whether the file names it
};

constexpr std::uint32_t kGlbMagic = 0x46546C67;  // "glTF"
constexpr std::uint32_t kChunkJson = 0x4E4F534A;
constexpr std::uint32_t kChunkBin = 0x004E4942;
constexpr int kMaxJsonDepth = 64;

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A SAX pass that says whether a JSON text nests deeper than `most` levels: every value, key and
// container start counts at the depth of the containers open around it (the top level 0), as the
// DOM parser's callback reports its events, and the pass stops at the first one past the bound.
struct DepthBound {
  int most;
  int depth = 0;
  bool exceeded = false;

  bool At() {
    if (depth > most) exceeded = true;
    return !exceeded;
  }
  bool null() { return At(); }
  bool boolean(bool) { return At(); }
  bool number_integer(json::number_integer_t) { return At(); }
  bool number_unsigned(json::number_unsigned_t) { return At(); }
  bool number_float(json::number_float_t, const std::string&) { return At(); }
  bool string(std::string&) { return At(); }
  bool binary(json::binary_t&) { return At(); }
  bool key(std::string&) { return At(); }
  bool start_object(std::size_t) { return At() && (++depth, true); }
  bool start_array(std::size_t) { return At() && (++depth, true); }
  bool end_object() { return --depth, true; }
  bool end_array() { return --depth, true; }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }
};

class GltfScan {
 public:
  GltfScan(const Context& cx, const std::uint8_t* data, std::size_t size) : cx_(cx), data_(data), size_(size) {}

  GltfFacts Run() {
    std::string_view text;
    if (size_ >= 4 && ReadU32(data_) == kGlbMagic) {
      text = ReadContainer();
    } else {
      text = std::string_view(reinterpret_cast<const char*>(data_), size_);
    }
    Parse(text);
    if (!doc_.is_object()) Fail(cx_, "is not glTF: its JSON is not an object");
    CheckAsset();
    CheckBuffers();
    CheckViews();
    CheckAccessors();
    CheckMeshes();
    CheckNodes();
    GltfFacts facts;
    const json& materials = Array("materials");
    std::unordered_map<std::string, int> named;
    for (std::size_t i = 0; i < materials.size(); ++i) {
      auto name = materials[i].is_object() ? materials[i].find("name") : materials[i].end();
      if (name == materials[i].end() || !name->is_string()) continue;
      const auto [it, fresh] = named.emplace(name->get<std::string>(), static_cast<int>(i));
      if (!fresh) it->second = -1;
    }
    for (const auto& [name, index] : named) {
      if (index >= 0) facts.materialByName.emplace(name, index);
    }
    for (const json& n : Array("nodes")) facts.nodeNamed.push_back(n.is_object() && n.contains("name"));
    return facts;
  }

 private:
  // The .glb container: a 12-byte header, then chunks of 8-byte headers; the first is the JSON.
  std::string_view ReadContainer() {
    if (size_ < 20) Fail(cx_, "is not a valid .glb: " + std::to_string(size_) + " bytes is too short");
    const std::uint32_t version = ReadU32(data_ + 4), length = ReadU32(data_ + 8);
    if (version != 2) Fail(cx_, "is a .glb of version " + std::to_string(version) + "; version 2 is read");
    if (length > size_ || length < 20) {
      Fail(cx_, "is not a valid .glb: its header gives a length of " + std::to_string(length) + " bytes, but it has " +
                    std::to_string(size_));
    }
    std::string_view jsonText;
    std::size_t at = 12;
    for (int chunk = 0; at + 8 <= length; ++chunk) {
      const std::uint32_t chunkLength = ReadU32(data_ + at), type = ReadU32(data_ + at + 4);
      if (chunkLength > length - at - 8) {
        Fail(cx_, "is not a valid .glb: chunk " + std::to_string(chunk) + " runs past the end of the file");
      }
      if (chunk == 0) {
        if (type != kChunkJson) Fail(cx_, "is not a valid .glb: its first chunk is not JSON");
        jsonText = std::string_view(reinterpret_cast<const char*>(data_ + at + 8), chunkLength);
      } else if (type == kChunkBin && !hasBin_) {
        hasBin_ = true;
        binLength_ = chunkLength;
        binData_ = data_ + at + 8;
      }
      at += 8 + std::size_t{chunkLength};
    }
    if (jsonText.empty()) Fail(cx_, "is not a valid .glb: it has no JSON chunk");
    return jsonText;
  }

  void Parse(std::string_view text) {
    try {
      // Nesting is bounded: the import library parses the same text recursively. The bound is
      // checked by a pass of its own: the DOM parser's callback form is far slower on long
      // arrays (3.5 s for a glTF of 100,000 nodes, where the two passes take a few milliseconds).
      DepthBound bound{kMaxJsonDepth};
      json::sax_parse(text.begin(), text.end(), &bound);
      if (bound.exceeded) Fail(cx_, "is not usable glTF: its JSON nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      doc_ = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
      Fail(cx_, "is not glTF: its JSON does not parse (" + Printable(e.what()) + ")");
    }
  }

  const json& Array(const char* key) const {
    static const json empty = json::array();
    auto it = doc_.find(key);
    if (it == doc_.end()) return empty;
    if (!it->is_array()) Fail(cx_, std::string("is not valid glTF: \"") + key + "\" is not an array");
    return *it;
  }

  // A non-negative integer member; `fallback` when absent, or an error when there is none.
  std::uint64_t Uint(const json& obj, const char* key, const std::string& where, bool required = true,
                     std::uint64_t fallback = 0) const {
    auto it = obj.find(key);
    if (it == obj.end()) {
      if (required) Fail(cx_, "is not valid glTF: " + where + " has no \"" + key + "\"");
      return fallback;
    }
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    Fail(cx_, "is not valid glTF: " + where + " has a \"" + key + "\" that is not a non-negative integer");
  }

  std::size_t Ref(const json& obj, const char* key, const char* array, const std::string& where) const {
    const std::uint64_t i = Uint(obj, key, where);
    const std::size_t n = Array(array).size();
    if (i >= n) {
      Fail(cx_, where + " refers to " + std::string(array) + " " + std::to_string(i) + ", but the file has " +
                    std::to_string(n));
    }
    return static_cast<std::size_t>(i);
  }

  const json& Object(const json& v, const std::string& where) const {
    if (!v.is_object()) Fail(cx_, "is not valid glTF: " + where + " is not an object");
    return v;
  }

  void CheckAsset() {
    auto it = doc_.find("asset");
    if (it == doc_.end() || !it->is_object()) Fail(cx_, "is not valid glTF: it has no \"asset\"");
    auto v = it->find("version");
    if (v == it->end() || !v->is_string()) Fail(cx_, "is not valid glTF: its asset has no version");
    const std::string version = v->get<std::string>();
    if (version.rfind("2", 0) != 0) Fail(cx_, "is glTF version " + Printable(version, 16) + "; version 2 is read");
    for (const json& e : Array("extensionsRequired")) {
      if (e.is_string() && e.get<std::string>() == "KHR_draco_mesh_compression") {
        Fail(cx_, "holds Draco-compressed meshes, which this loader does not read");
      }
    }
  }

  void CheckBuffers() {
    const json& buffers = Array("buffers");
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      const std::string where = "buffer " + std::to_string(i);
      const json& b = Object(buffers[i], where);
      const std::uint64_t length = Uint(b, "byteLength", where);
      bufferLengths_.push_back(length);
      bufferData_.emplace_back();
      auto uri = b.find("uri");
      if (uri == b.end()) {
        if (i != 0 || !hasBin_) {
          Fail(cx_, where + " has no data: it names no file, and " +
                        (i == 0 ? std::string("the file has no binary chunk") : std::string("only buffer 0 may use the binary chunk")));
        }
        if (binLength_ < length) {
          Fail(cx_, where + " needs " + std::to_string(length) + " bytes, but the binary chunk has " + std::to_string(binLength_));
        }
        bufferData_.back().assign(binData_, binData_ + length);
        continue;
      }
      if (!uri->is_string()) Fail(cx_, "is not valid glTF: " + where + " has a uri that is not a string");
      const std::string u = uri->get<std::string>();
      if (u.rfind("data:", 0) == 0) {
        const std::size_t comma = u.find(',');
        if (comma == std::string::npos || u.substr(0, comma).find(";base64") == std::string::npos) {
          Fail(cx_, where + " has a data URI that is not base64");
        }
        std::size_t chars = u.size() - comma - 1;
        std::size_t pad = 0;
        while (pad < 2 && chars > pad && u[u.size() - 1 - pad] == '=') ++pad;
        const std::uint64_t decoded = chars / 4 * 3 + (chars % 4 ? chars % 4 - 1 : 0) - (chars % 4 ? 0 : pad);
        if (decoded < length) {
          Fail(cx_, where + " needs " + std::to_string(length) + " bytes, but its data URI holds " + std::to_string(decoded));
        }
        if (!DecodeBase64(std::string_view(u).substr(comma + 1), bufferData_.back())) {
          Fail(cx_, where + " has a data URI that is not valid base64");
        }
        continue;
      }
      if (cx_.baseDir.empty()) {
        Fail(cx_, where + " refers to the file \"" + Printable(u) + "\", which a model in memory cannot reach");
      }
      struct stat st {};
      const std::string path = JoinPath(cx_.baseDir, u);
      if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Fail(cx_, where + " refers to the file \"" + Printable(u) + "\", which does not exist");
      }
      if (static_cast<std::uint64_t>(st.st_size) < length) {
        Fail(cx_, where + " needs " + std::to_string(length) + " bytes, but \"" + Printable(u) + "\" has " +
                      std::to_string(st.st_size));
      }
      if (static_cast<std::uint64_t>(st.st_size) > cx_.limits.maxFileBytes) {
        Fail(cx_, where + " refers to \"" + Printable(u) + "\", which is over the bound of " +
                      std::to_string(cx_.limits.maxFileBytes) + " bytes");
      }
      std::string why;
      if (!ReadBoundedFile(path, cx_.limits.maxFileBytes, bufferData_.back(), why)) {
        Fail(cx_, where + " refers to the file \"" + Printable(u) + "\", which " + why);
      }
    }
  }

  void CheckViews() {
    const json& views = Array("bufferViews");
    for (std::size_t i = 0; i < views.size(); ++i) {
      const std::string where = "buffer view " + std::to_string(i);
      const json& v = Object(views[i], where);
      const std::size_t buffer = Ref(v, "buffer", "buffers", where);
      const std::uint64_t offset = Uint(v, "byteOffset", where, false);
      const std::uint64_t length = Uint(v, "byteLength", where);
      const std::uint64_t stride = Uint(v, "byteStride", where, false);
      if (SatAdd(offset, length) > bufferLengths_[buffer]) {
        Fail(cx_, where + " covers bytes " + std::to_string(offset) + " to " + std::to_string(SatAdd(offset, length)) +
                      " of buffer " + std::to_string(buffer) + ", which has " + std::to_string(bufferLengths_[buffer]));
      }
      if (v.contains("byteStride") && (stride < 4 || stride > 252)) {
        Fail(cx_, where + " has a byte stride of " + std::to_string(stride) + " (4 to 252 are valid)");
      }
      viewLengths_.push_back(length);
      viewBuffers_.push_back(buffer);
      viewOffsets_.push_back(offset);
      viewStrides_.push_back(stride);
    }
  }

  static std::uint64_t ComponentBytes(std::uint64_t type) {
    switch (type) {
      case 5120: case 5121: return 1;
      case 5122: case 5123: return 2;
      case 5125: case 5126: return 4;
      default: return 0;
    }
  }
  static std::uint64_t Components(const std::string& type) {
    static const std::unordered_map<std::string, std::uint64_t> n = {
        {"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4}, {"MAT2", 4}, {"MAT3", 9}, {"MAT4", 16}};
    auto it = n.find(type);
    return it == n.end() ? 0 : it->second;
  }

  // Whether `count` elements of `elementBytes`, `stride` apart from `offset`, fit in view `view`.
  void CheckFits(const std::string& where, std::size_t view, std::uint64_t offset, std::uint64_t count,
                 std::uint64_t elementBytes, std::uint64_t stride) const {
    if (count == 0) return;
    const std::uint64_t end = SatAdd(SatAdd(offset, SatMul(count - 1, stride)), elementBytes);
    if (end > viewLengths_[view]) {
      Fail(cx_, where + " needs " + (end == std::numeric_limits<std::uint64_t>::max() ? std::string("more") : std::to_string(end)) +
                    " bytes of buffer view " + std::to_string(view) + ", which has " + std::to_string(viewLengths_[view]));
    }
  }

  void CheckAccessors() {
    const json& accessors = Array("accessors");
    // An accessor with no view is zeros the import library allocates: bounded by what a model may hold.
    const std::uint64_t zeroCap = std::max<std::uint64_t>(cx_.limits.maxVertices, SatMul(3, cx_.limits.maxTriangles));
    for (std::size_t i = 0; i < accessors.size(); ++i) {
      const std::string where = "accessor " + std::to_string(i);
      const json& a = Object(accessors[i], where);
      const std::uint64_t componentType = Uint(a, "componentType", where);
      const std::uint64_t count = Uint(a, "count", where);
      auto type = a.find("type");
      const std::uint64_t bytes = ComponentBytes(componentType);
      const std::uint64_t components = (type != a.end() && type->is_string()) ? Components(type->get<std::string>()) : 0;
      if (bytes == 0 || components == 0) Fail(cx_, where + " has an unknown component type or element type");
      const std::uint64_t elementBytes = bytes * components;
      if (a.contains("bufferView")) {
        const std::size_t view = Ref(a, "bufferView", "bufferViews", where);
        const std::uint64_t stride = viewStrides_[view] ? viewStrides_[view] : elementBytes;
        CheckFits(where, view, Uint(a, "byteOffset", where, false), count, elementBytes, stride);
      } else if (count > zeroCap) {
        Fail(cx_, where + " has " + std::to_string(count) + " elements and no data, over the bound of " + std::to_string(zeroCap));
      }
      if (auto sparse = a.find("sparse"); sparse != a.end()) {
        const json& s = Object(*sparse, where + "'s sparse part");
        const std::uint64_t sparseCount = Uint(s, "count", where + "'s sparse part");
        if (sparseCount > count) Fail(cx_, where + " replaces " + std::to_string(sparseCount) + " of its " + std::to_string(count) + " elements");
        auto indices = s.find("indices");
        auto values = s.find("values");
        if (indices == s.end() || values == s.end()) Fail(cx_, "is not valid glTF: " + where + "'s sparse part lacks indices or values");
        const json& ind = Object(*indices, where + "'s sparse indices");
        const json& val = Object(*values, where + "'s sparse values");
        const std::uint64_t indexBytes = ComponentBytes(Uint(ind, "componentType", where + "'s sparse indices"));
        if (indexBytes == 0) Fail(cx_, where + "'s sparse indices have an unknown component type");
        const std::size_t iv = Ref(ind, "bufferView", "bufferViews", where + "'s sparse indices");
        CheckFits(where + "'s sparse indices", iv, Uint(ind, "byteOffset", where, false), sparseCount, indexBytes, indexBytes);
        const std::size_t vv = Ref(val, "bufferView", "bufferViews", where + "'s sparse values");
        CheckFits(where + "'s sparse values", vv, Uint(val, "byteOffset", where, false), sparseCount, elementBytes, elementBytes);
      }
      accessorCounts_.push_back(count);
      accessors_.push_back(&a);
    }
  }

  void CheckMeshes() {
    const json& meshes = Array("meshes");
    std::uint64_t vertices = 0;
    for (std::size_t m = 0; m < meshes.size(); ++m) {
      const std::string meshWhere = "mesh " + std::to_string(m);
      const json& mesh = Object(meshes[m], meshWhere);
      auto prims = mesh.find("primitives");
      if (prims == mesh.end() || !prims->is_array()) Fail(cx_, "is not valid glTF: " + meshWhere + " has no primitives");
      std::uint64_t triangles = 0;
      for (std::size_t p = 0; p < prims->size(); ++p) {
        const std::string where = meshWhere + " primitive " + std::to_string(p);
        const json& prim = Object((*prims)[p], where);
        if (auto ext = prim.find("extensions"); ext != prim.end() && ext->is_object() && ext->contains("KHR_draco_mesh_compression")) {
          Fail(cx_, "holds Draco-compressed meshes, which this loader does not read");
        }
        auto attrs = prim.find("attributes");
        if (attrs == prim.end() || !attrs->is_object()) Fail(cx_, "is not valid glTF: " + where + " has no attributes");
        std::uint64_t positions = 0;
        for (auto it = attrs->begin(); it != attrs->end(); ++it) {
          const std::size_t acc = Ref(*attrs, it.key().c_str(), "accessors", where + " attribute " + Printable(it.key(), 32));
          if (it.key() == "POSITION") positions = accessorCounts_[acc];
        }
        if (auto targets = prim.find("targets"); targets != prim.end()) {
          if (!targets->is_array()) Fail(cx_, "is not valid glTF: " + where + " has targets that are not an array");
          for (const json& t : *targets) {
            const json& target = Object(t, where + " morph target");
            for (auto it = target.begin(); it != target.end(); ++it) Ref(target, it.key().c_str(), "accessors", where + " morph target");
          }
        }
        for (auto it = attrs->begin(); it != attrs->end(); ++it) {
          const std::uint64_t count = accessorCounts_[it->get<std::size_t>()];
          if (count < positions) {
            Fail(cx_, where + " has " + std::to_string(count) + " elements of " + Printable(it.key(), 32) + " for " + std::to_string(positions) +
                          " positions");
          }
        }
        std::uint64_t corners = positions;
        if (prim.contains("indices")) {
          const std::size_t acc = Ref(prim, "indices", "accessors", where + " indices");
          corners = accessorCounts_[acc];
          CheckIndices(acc, positions, MeshName(mesh, m), Uint(prim, "mode", where, false, 4) == 4);
        }
        if (prim.contains("material")) Ref(prim, "material", "materials", where);
        const std::uint64_t mode = Uint(prim, "mode", where, false, 4);
        if (mode > 6) Fail(cx_, where + " has an unknown primitive mode " + std::to_string(mode));
        if (mode == 4) triangles = SatAdd(triangles, corners / 3);
        if ((mode == 5 || mode == 6) && corners > 2) triangles = SatAdd(triangles, corners - 2);
        vertices = SatAdd(vertices, positions);
      }
      meshTriangles_.push_back(triangles);
      meshPrimitives_.push_back(prims->size());
    }
    if (vertices > cx_.limits.maxVertices) {
      Fail(cx_, "has " + std::to_string(vertices) + " vertices, over the bound of " + std::to_string(cx_.limits.maxVertices));
    }
  }

  // The node graph, walked without recursion: no cycles, depth within the bound, and the instances
  // and triangles the scenes' roots place (a node shared by two parents is placed twice, as the
  // import library copies it) within the limits.
  void CheckNodes() {
    const json& nodes = Array("nodes");
    const std::size_t n = nodes.size();
    std::vector<std::vector<std::size_t>> children(n);
    std::vector<std::uint64_t> ownInstances(n, 0), ownTriangles(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::string where = "node " + std::to_string(i);
      const json& node = Object(nodes[i], where);
      if (node.contains("mesh")) {
        const std::size_t mesh = Ref(node, "mesh", "meshes", where);
        ownInstances[i] = meshPrimitives_[mesh];
        ownTriangles[i] = meshTriangles_[mesh];
      }
      if (auto kids = node.find("children"); kids != node.end()) {
        if (!kids->is_array()) Fail(cx_, "is not valid glTF: " + where + " has children that are not an array");
        for (const json& k : *kids) {
          if (!k.is_number_unsigned() || k.get<std::uint64_t>() >= n) {
            Fail(cx_, where + " has a child that is not one of the file's " + std::to_string(n) + " nodes");
          }
          children[i].push_back(static_cast<std::size_t>(k.get<std::uint64_t>()));
        }
      }
      for (const char* key : {"matrix", "translation", "rotation", "scale"}) {
        auto it = node.find(key);
        if (it == node.end()) continue;
        if (!it->is_array()) Fail(cx_, "is not valid glTF: " + where + "'s " + key + " is not an array");
        for (const json& x : *it) {
          if (!x.is_number() || !std::isfinite(x.get<double>())) Fail(cx_, where + " has a non-finite or non-numeric " + key);
        }
      }
    }
    // Post-order walk: state 0 unseen, 1 on the current path, 2 done.
    std::vector<std::uint8_t> state(n, 0);
    std::vector<std::uint64_t> depth(n, 0), instances(n, 0), triangles(n, 0);
    std::vector<std::pair<std::size_t, std::size_t>> stack;
    for (std::size_t start = 0; start < n; ++start) {
      if (state[start]) continue;
      stack.emplace_back(start, 0);
      state[start] = 1;
      while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next < children[node].size()) {
          const std::size_t child = children[node][next++];
          if (state[child] == 1) {
            Fail(cx_, "has a recursive node graph: node " + std::to_string(child) + " is its own ancestor");
          }
          if (state[child] == 0) {
            state[child] = 1;
            stack.emplace_back(child, 0);
          }
          continue;
        }
        std::uint64_t d = 0, inst = ownInstances[node], tri = ownTriangles[node];
        for (std::size_t c : children[node]) {
          d = std::max(d, depth[c]);
          inst = SatAdd(inst, instances[c]);
          tri = SatAdd(tri, triangles[c]);
        }
        depth[node] = d + 1;
        if (depth[node] > static_cast<std::uint64_t>(std::max(cx_.limits.maxNodeDepth, 0))) {
          Fail(cx_, "has a node tree deeper than the bound of " + std::to_string(cx_.limits.maxNodeDepth) + " levels");
        }
        instances[node] = inst;
        triangles[node] = tri;
        state[node] = 2;
        stack.pop_back();
      }
    }
    std::uint64_t totalInstances = 0, totalTriangles = 0;
    const json& scenes = Array("scenes");
    for (std::size_t s = 0; s < scenes.size(); ++s) {
      const std::string where = "scene " + std::to_string(s);
      const json& scene = Object(scenes[s], where);
      auto roots = scene.find("nodes");
      if (roots == scene.end()) continue;
      if (!roots->is_array()) Fail(cx_, "is not valid glTF: " + where + "'s nodes are not an array");
      for (const json& r : *roots) {
        if (!r.is_number_unsigned() || r.get<std::uint64_t>() >= n) {
          Fail(cx_, where + " has a root that is not one of the file's " + std::to_string(n) + " nodes");
        }
        totalInstances = SatAdd(totalInstances, instances[r.get<std::size_t>()]);
        totalTriangles = SatAdd(totalTriangles, triangles[r.get<std::size_t>()]);
      }
    }
    if (doc_.contains("scene")) Ref(doc_, "scene", "scenes", "the file's default scene");
    if (totalInstances > cx_.limits.maxInstances) {
      Fail(cx_, "places " + (totalInstances == std::numeric_limits<std::uint64_t>::max() ? std::string("too many") : std::to_string(totalInstances)) +
                    " mesh instances, over the bound of " + std::to_string(cx_.limits.maxInstances));
    }
    if (totalTriangles == 0) Fail(cx_, "has no triangles (only points, lines or nothing) in its scenes");
    if (totalTriangles > cx_.limits.maxTriangles) {
      Fail(cx_, "places " + (totalTriangles == std::numeric_limits<std::uint64_t>::max() ? std::string("too many") : std::to_string(totalTriangles)) +
                    " triangles, over the bound of " + std::to_string(cx_.limits.maxTriangles));
    }
  }

  static std::string MeshName(const json& mesh, std::size_t m) {
    auto name = mesh.find("name");
    if (name != mesh.end() && name->is_string()) return "mesh \"" + Printable(name->get<std::string>(), 48) + "\"";
    return "mesh " + std::to_string(m);
  }

  static bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    out.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
      int v;
      if (c >= 'A' && c <= 'Z') v = c - 'A';
      else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
      else if (c >= '0' && c <= '9') v = c - '0' + 52;
      else if (c == '+') v = 62;
      else if (c == '/') v = 63;
      else if (c == '=') break;
      else return false;
      acc = (acc << 6 | static_cast<std::uint32_t>(v)) & 0xFFFFFF;
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out.push_back(static_cast<std::uint8_t>(acc >> bits));
      }
    }
    return true;
  }

  // Every index of an index accessor below the primitive's vertex count: the import library drops
  // a face that breaks this without a word.
  void CheckIndices(std::size_t acc, std::uint64_t vertices, const std::string& mesh, bool triangles) const {
    const json& a = *accessors_[acc];
    const std::uint64_t type = a["componentType"].get<std::uint64_t>();
    if (type != 5121 && type != 5123 && type != 5125) Fail(cx_, mesh + " has indices of component type " + std::to_string(type));
    if (a.contains("sparse")) Fail(cx_, mesh + " has sparse indices, which this loader does not read");
    const std::uint64_t count = accessorCounts_[acc];
    if (!a.contains("bufferView")) {
      if (count > 0 && vertices == 0) Fail(cx_, mesh + " has indices but no vertices");
      return;  // all zeros
    }
    const std::size_t view = a["bufferView"].get<std::size_t>();
    const std::vector<std::uint8_t>& buffer = bufferData_[viewBuffers_[view]];
    const std::uint64_t bytes = ComponentBytes(type);
    const std::uint64_t stride = viewStrides_[view] ? viewStrides_[view] : bytes;
    const std::uint64_t start = viewOffsets_[view] + Uint(a, "byteOffset", "accessor", false);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at = start + i * stride;  // within the view and buffer, as checked
      if (at + bytes > buffer.size()) Fail(cx_, mesh + "'s indices lie past the end of their buffer");
      std::uint64_t v = buffer[at];
      if (bytes >= 2) v |= std::uint64_t{buffer[at + 1]} << 8;
      if (bytes == 4) v |= std::uint64_t{buffer[at + 2]} << 16 | std::uint64_t{buffer[at + 3]} << 24;
      if (v >= vertices) {
        Fail(cx_, (triangles ? "triangle " + std::to_string(i / 3) : "index " + std::to_string(i)) + " of " + mesh + " uses vertex " +
                      std::to_string(v) + ", but the mesh has " + std::to_string(vertices) + " vertices");
      }
    }
  }

  const Context& cx_;
  const std::uint8_t* data_;
  std::size_t size_;
  bool hasBin_ = false;
  std::uint64_t binLength_ = 0;
  const std::uint8_t* binData_ = nullptr;
  std::vector<std::vector<std::uint8_t>> bufferData_;
  std::vector<std::size_t> viewBuffers_;
  std::vector<std::uint64_t> viewOffsets_;
  std::vector<const json*> accessors_;
  json doc_;
  std::vector<std::uint64_t> bufferLengths_, viewLengths_, viewStrides_, accessorCounts_, meshTriangles_, meshPrimitives_;
};

// ---------------------------------------------------------------------------------------------
// OBJ: one pass over the lines counts what the import library will make, and checks every
// face's references, which it would otherwise turn into a dropped UV set or a silent mistake.

void ScanObj(const Context& cx, const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::array<std::uint64_t, 3> defined{};  // v, vt, vn so far
  std::array<std::uint64_t, 3> maxRef{};   // largest positive reference of each kind
  std::array<std::uint64_t, 3> maxRefLine{};
  std::uint64_t corners = 0, triangles = 0, groups = 1, line = 0;
  static const char* const kKind[3] = {"vertex", "texture coordinate", "normal"};
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view l = text.substr(at, end - at);
    at = end + 1;
    ++line;
    while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
    auto starts = [&](std::string_view word) {
      return l.size() > word.size() && l.substr(0, word.size()) == word && (l[word.size()] == ' ' || l[word.size()] == '\t');
    };
    if (starts("v")) { ++defined[0]; continue; }
    if (starts("vt")) { ++defined[1]; continue; }
    if (starts("vn")) { ++defined[2]; continue; }
    if (starts("o") || starts("g") || starts("usemtl")) { ++groups; continue; }
    const bool face = starts("f");
    if (!face && !starts("l") && !starts("p")) continue;
    std::uint64_t k = 0;
    std::size_t i = 1;
    while (i < l.size()) {
      while (i < l.size() && (l[i] == ' ' || l[i] == '\t' || l[i] == '\r')) ++i;
      if (i >= l.size() || l[i] == '#') break;
      std::size_t tokEnd = i;
      while (tokEnd < l.size() && l[tokEnd] != ' ' && l[tokEnd] != '\t' && l[tokEnd] != '\r') ++tokEnd;
      std::string_view tok = l.substr(i, tokEnd - i);
      i = tokEnd;
      ++k;
      for (int kind = 0; kind < 3 && !tok.empty(); ++kind) {
        const std::size_t slash = tok.find('/');
        const std::string_view part = tok.substr(0, slash);
        tok = slash == std::string_view::npos ? std::string_view() : tok.substr(slash + 1);
        if (part.empty()) continue;
        long long ref = 0;
        const auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), ref);
        if (ec != std::errc() || ptr != part.data() + part.size() || ref == 0) {
          Fail(cx, "line " + std::to_string(line) + " refers to " + kKind[kind] + " \"" + Printable(part, 24) + "\", which is not a valid index");
        }
        if (ref < 0) {
          // Relative: -1 is the last one defined before the line.
          if (static_cast<unsigned long long>(-(ref + 1)) >= defined[kind]) {
            Fail(cx, "line " + std::to_string(line) + " refers to " + kKind[kind] + " " + std::to_string(ref) + ", but only " +
                         std::to_string(defined[kind]) + " come before it");
          }
        } else if (static_cast<std::uint64_t>(ref) > maxRef[kind]) {
          maxRef[kind] = static_cast<std::uint64_t>(ref);
          maxRefLine[kind] = line;
        }
      }
    }
    corners = SatAdd(corners, k);
    if (face && k >= 3) triangles = SatAdd(triangles, k - 2);
  }
  for (int kind = 0; kind < 3; ++kind) {
    if (maxRef[kind] > defined[kind]) {
      Fail(cx, "line " + std::to_string(maxRefLine[kind]) + " uses " + kKind[kind] + " " + std::to_string(maxRef[kind]) + ", but the file has " +
                   std::to_string(defined[kind]));
    }
  }
  if (corners > cx.limits.maxVertices) {
    Fail(cx, "has " + std::to_string(corners) + " face corners, over the bound of " + std::to_string(cx.limits.maxVertices) + " vertices");
  }
  if (triangles == 0) Fail(cx, "has no triangles (only points, lines or nothing)");
  if (triangles > cx.limits.maxTriangles) {
    Fail(cx, "has " + std::to_string(triangles) + " triangles, over the bound of " + std::to_string(cx.limits.maxTriangles));
  }
  if (groups > cx.limits.maxInstances) {
    Fail(cx, "has " + std::to_string(groups) + " objects and groups, over the bound of " + std::to_string(cx.limits.maxInstances) + " instances");
  }
}

// ---------------------------------------------------------------------------------------------
// PLY: the header's element counts, which the import library reserves before reading, checked
// against the limits and, for a binary file, against the bytes that hold them; then the body
// walked element by element, every list's length against what follows it.

// A binary list's length, `n` bytes read as its declared type: a whole number from 0, or none.
std::optional<std::uint64_t> PlyBinaryCount(const std::uint8_t* at, std::size_t n,
                                            const std::string& type, bool bigEndian) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < n; ++i)
    bits |= std::uint64_t{at[bigEndian ? n - 1 - i : i]} << (8 * i);
  double value = 0;
  if (n == 8) {  // double, the one type of eight bytes
    std::memcpy(&value, &bits, 8);
  } else if (type == "float" || type == "float32") {
    const auto b32 = static_cast<std::uint32_t>(bits);
    float f;
    std::memcpy(&f, &b32, 4);
    value = f;
  } else if (type[0] == 'u') {
    return bits;
  } else {
    const unsigned shift = static_cast<unsigned>(64 - 8 * n);
    value = static_cast<double>(static_cast<std::int64_t>(bits << shift) >> shift);
  }
  if (!(value >= 0 && value < 18446744073709551616.0) || value != std::floor(value))
    return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

void ScanPly(const Context& cx, const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.substr(0, 4) != "ply\n" && text.substr(0, 5) != "ply\r\n") Fail(cx, "is not a PLY file: it does not start with a ply line");
  // The header ends at a line "end_header" of its own: the import library hangs on one that runs
  // straight into the body.
  std::size_t headerEnd = std::string_view::npos, bodyStart = size;
  for (std::size_t at = 0; at < size;) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) break;
    std::string_view l = text.substr(at, end - at);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l == "end_header") {
      headerEnd = at;
      bodyStart = end + 1;
      break;
    }
    at = end + 1;
  }
  if (headerEnd == std::string_view::npos) Fail(cx, "is not a PLY file: its header has no end_header line");
  const std::uint64_t body = size - bodyStart;
  bool binary = false, bigEndian = false;
  struct Property {
    bool list;
    std::string countType, type;
  };
  struct Element {
    std::string name;
    std::uint64_t count;
    std::vector<Property> properties;
  };
  std::vector<Element> elements;
  static const std::unordered_map<std::string, std::uint64_t> kTypeBytes = {
      {"char", 1}, {"uchar", 1}, {"int8", 1}, {"uint8", 1}, {"short", 2}, {"ushort", 2}, {"int16", 2}, {"uint16", 2},
      {"int", 4}, {"uint", 4}, {"int32", 4}, {"uint32", 4}, {"float", 4}, {"float32", 4}, {"double", 8}, {"float64", 8}};
  auto typeBytes = [&](const std::string& t) {
    auto it = kTypeBytes.find(Lower(t));
    return it == kTypeBytes.end() ? std::uint64_t{1} : it->second;
  };
  const auto known = [&](const std::string& t) { return kTypeBytes.count(t) > 0; };
  int lines = 0, formats = 0;
  std::size_t at = 0;
  while (at < headerEnd) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos || end > headerEnd) end = headerEnd;
    std::string line(text.substr(at, end - at));
    at = end + 1;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
      std::size_t j = i;
      while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) ++j;
      if (j > i) words.push_back(line.substr(i, j - i));
      i = j;
    }
    if (words.empty()) continue;
    static const std::set<std::string> kKeywords = {"ply", "format", "element", "property", "comment", "obj_info"};
    if (!kKeywords.count(words[0])) Fail(cx, "has a header line \"" + Printable(line, 32) + "\" that is not PLY");
    // The import library trusts the header's shape: a second element of one name, a property of
    // no known type or a line of the wrong length corrupt its memory. Each is refused here.
    const auto malformed = [&] { Fail(cx, "has a malformed header line \"" + Printable(line, 32) + "\""); };
    if (words[0] == "ply") {
      if (lines++ > 0 || words.size() != 1) malformed();
      continue;
    }
    ++lines;
    if (words[0] == "comment" || words[0] == "obj_info") continue;
    if (words[0] == "format") {
      static const std::set<std::string> kFormats = {"ascii", "binary_little_endian", "binary_big_endian"};
      if (formats++ > 0 || !elements.empty() || words.size() != 3 || !kFormats.count(words[1]) || words[2] != "1.0") {
        malformed();
      }
      binary = words[1] != "ascii";
      bigEndian = words[1] == "binary_big_endian";
    } else if (words[0] == "element") {
      if (formats == 0 || words.size() != 3) malformed();
      for (const Element& e : elements) {
        if (e.name == words[1]) Fail(cx, "declares element \"" + Printable(words[1], 24) + "\" twice");
      }
      std::uint64_t count = 0;
      const auto [ptr, ec] = std::from_chars(words[2].data(), words[2].data() + words[2].size(), count);
      if (ec != std::errc() || ptr != words[2].data() + words[2].size()) {
        Fail(cx, "declares element \"" + Printable(words[1], 24) + "\" with a count that is not a number");
      }
      elements.push_back({words[1], count, {}});
    } else {  // property
      const bool list = words.size() == 5 && words[1] == "list";
      if (elements.empty() || !(list || words.size() == 3) || !known(words[1 + list]) ||
          (list && !known(words[3]))) {
        malformed();
      }
      elements.back().properties.push_back(
          {list, list ? words[2] : std::string(), words[list ? 3 : 1]});
    }
  }
  if (formats == 0) Fail(cx, "is not a PLY file: its header has no format line");
  std::uint64_t need = 0;
  for (const Element& e : elements) {
    const bool vertex = e.name == "vertex";
    const std::uint64_t cap = vertex ? cx.limits.maxVertices : e.name == "face" ? cx.limits.maxTriangles
                                                                                 : std::max(cx.limits.maxVertices, cx.limits.maxTriangles);
    if (e.count > cap) {
      Fail(cx, "declares " + std::to_string(e.count) + " " + Printable(e.name, 24) + " elements, over the bound of " + std::to_string(cap));
    }
    // Every element takes at least one byte of text, or in binary its scalars' bytes and its
    // lists' lengths'.
    std::uint64_t least = 0;
    for (const Property& p : e.properties) least += typeBytes(p.list ? p.countType : p.type);
    need = SatAdd(need, SatMul(e.count, binary ? least : 1));
  }
  if (need > body) {
    Fail(cx, "declares elements that need at least " + std::to_string(need) + " bytes, but only " + std::to_string(body) + " follow its header");
  }
  // The import library believes a list's count: it reserves that many values before it reads
  // one. Every count is checked here against what follows it.
  const std::uint64_t headerLines = static_cast<std::uint64_t>(
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bodyStart), '\n'));
  if (binary) {
    std::size_t p = bodyStart;
    for (const Element& e : elements) {
      for (std::uint64_t i = 0; i < e.count; ++i) {
        const auto where = [&] { return Printable(e.name, 24) + " element " + std::to_string(i); };
        for (const Property& prop : e.properties) {
          const std::uint64_t itemBytes = typeBytes(prop.type);
          std::uint64_t items = 1;
          if (prop.list) {
            const std::uint64_t countBytes = typeBytes(prop.countType);
            if (size - p < countBytes) Fail(cx, "ends inside its " + where());
            const std::optional<std::uint64_t> n =
                PlyBinaryCount(data + p, countBytes, prop.countType, bigEndian);
            if (!n) Fail(cx, "gives its " + where() + " a list length that is not a whole number");
            p += countBytes;
            items = *n;
          }
          if ((size - p) / itemBytes < items) {
            Fail(cx, prop.list
                         ? "gives its " + where() + " a list of " + std::to_string(items) +
                               " values, but only " + std::to_string(size - p) + " bytes follow"
                         : "ends inside its " + where());
          }
          p += static_cast<std::size_t>(items * itemBytes);
        }
      }
    }
    return;
  }
  // A text body: every byte text, every word a number, and a line to each element. The import
  // library reads an element a line, takes \r, \f and \0 for line ends, and where the lines
  // run out reads the last one again; it leaks what it has read when it meets a word that is
  // not a number.
  std::uint64_t line = headerLines;
  std::size_t element = 0;
  std::uint64_t instance = 0;
  while (element < elements.size() && instance == elements[element].count) ++element;
  std::vector<std::string_view> words;
  for (std::size_t from = bodyStart; from < size;) {
    ++line;
    std::size_t end = text.find('\n', from);
    if (end == std::string_view::npos) end = size;
    std::string_view l = text.substr(from, end - from);
    from = end + 1;
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    words.clear();
    for (std::size_t i = 0; i < l.size();) {
      const unsigned char c = static_cast<unsigned char>(l[i]);
      if (c == ' ' || c == '\t') {
        ++i;
        continue;
      }
      if (c < 0x20 || c > 0x7e) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", c);
        Fail(cx, "line " + std::to_string(line) + " holds the byte " + hex + ", which is not text");
      }
      std::size_t j = i;
      while (j < l.size() && l[j] != ' ' && l[j] != '\t' &&
             static_cast<unsigned char>(l[j]) >= 0x20 && static_cast<unsigned char>(l[j]) <= 0x7e)
        ++j;
      const std::string_view word = l.substr(i, j - i);
      i = j;
      std::string_view w = word;
      if (w[0] == '-' || w[0] == '+') w.remove_prefix(1);
      const bool digit = !w.empty() && w[0] >= '0' && w[0] <= '9';
      const bool point = w.size() > 1 && w[0] == '.' && w[1] >= '0' && w[1] <= '9';
      const bool special = w.size() >= 3 && (Lower(std::string(w.substr(0, 3))) == "nan" ||
                                             Lower(std::string(w.substr(0, 3))) == "inf");
      if (!digit && !point && !special) {
        Fail(cx, "line " + std::to_string(line) + " holds \"" + Printable(word, 24) +
                     "\", which is not a number");
      }
      words.push_back(word);
    }
    if (element == elements.size()) continue;
    const Element& e = elements[element];
    std::size_t k = 0;
    for (const Property& prop : e.properties) {
      if (k == words.size()) {
        Fail(cx, "line " + std::to_string(line) + " holds " + std::to_string(words.size()) +
                     " numbers, too few for its " + Printable(e.name, 24) + " element");
      }
      if (!prop.list) {
        ++k;
        continue;
      }
      const std::string_view count = words[k++];
      std::uint64_t n = 0;
      const auto [ptr, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
      if (ec != std::errc() || ptr != count.data() + count.size()) {
        Fail(cx, "line " + std::to_string(line) + " gives a list length \"" + Printable(count, 24) +
                     "\", which is not a whole number");
      }
      if (n > words.size() - k) {
        Fail(cx, "line " + std::to_string(line) + " gives a list of " + std::to_string(n) +
                     " values, but holds " + std::to_string(words.size() - k) + " after it");
      }
      k += static_cast<std::size_t>(n);
    }
    ++instance;
    while (element < elements.size() && instance == elements[element].count) {
      ++element;
      instance = 0;
    }
  }
  if (element < elements.size()) {
    Fail(cx, "ends after " + std::to_string(instance) + " of the " +
                 std::to_string(elements[element].count) + " " +
                 Printable(elements[element].name, 24) + " elements its header declares");
  }
}

// ---------------------------------------------------------------------------------------------
// The imported scene, before post-processing: every index in range, every number finite, and the
// counts within the limits, so that nothing after this reads out of range or computes on NaNs.

bool Finite(const aiVector3D& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

std::string MeshLabel(const aiMesh& m, unsigned i) {
  return m.mName.length ? "mesh \"" + Printable(m.mName.C_Str(), 48) + "\"" : "mesh " + std::to_string(i);
}

std::string Vec(const aiVector3D& v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "(%g, %g, %g)", double(v.x), double(v.y), double(v.z));
  return buf;
}

void CheckRawScene(const Context& cx, const aiScene& scene) {
  if (!scene.mRootNode || scene.mNumMeshes == 0 || !scene.mMeshes) Fail(cx, "has no triangles: the file holds no meshes");
  std::uint64_t vertices = 0;
  std::vector<std::uint64_t> meshTriangles(scene.mNumMeshes, 0);
  for (unsigned mi = 0; mi < scene.mNumMeshes; ++mi) {
    const aiMesh* m = scene.mMeshes[mi];
    if (!m) Fail(cx, "mesh " + std::to_string(mi) + " is missing");
    const std::string name = MeshLabel(*m, mi);
    vertices = SatAdd(vertices, m->mNumVertices);
    if (vertices > cx.limits.maxVertices) {
      Fail(cx, "has more than " + std::to_string(cx.limits.maxVertices) + " vertices, the bound");
    }
    if (m->mNumVertices && !m->mVertices) Fail(cx, name + " has no positions");
    if (m->mNumFaces && !m->mFaces) Fail(cx, name + " has no faces");
    for (unsigned f = 0; f < m->mNumFaces; ++f) {
      const aiFace& face = m->mFaces[f];
      if (face.mNumIndices && !face.mIndices) Fail(cx, "face " + std::to_string(f) + " of " + name + " has no indices");
      for (unsigned k = 0; k < face.mNumIndices; ++k) {
        if (face.mIndices[k] >= m->mNumVertices) {
          Fail(cx, "face " + std::to_string(f) + " of " + name + " uses vertex " + std::to_string(face.mIndices[k]) + ", but the mesh has " +
                       std::to_string(m->mNumVertices) + " vertices");
        }
      }
      if (face.mNumIndices >= 3) meshTriangles[mi] += face.mNumIndices - 2;
    }
    for (unsigned v = 0; v < m->mNumVertices; ++v) {
      auto bad = [&](const char* what, const aiVector3D& x) {
        Fail(cx, "vertex " + std::to_string(v) + " of " + name + " has a non-finite " + what + " " + Vec(x));
      };
      if (!Finite(m->mVertices[v])) bad("position", m->mVertices[v]);
      if (m->mNormals && !Finite(m->mNormals[v])) bad("normal", m->mNormals[v]);
      if (m->mTangents && !Finite(m->mTangents[v])) bad("tangent", m->mTangents[v]);
      if (m->mBitangents && !Finite(m->mBitangents[v])) bad("bitangent", m->mBitangents[v]);
      for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++c) {
        if (m->mTextureCoords[c] && !Finite(m->mTextureCoords[c][v])) bad("texture coordinate", m->mTextureCoords[c][v]);
      }
    }
  }
  // Nodes: transforms finite, mesh references in range, depth and instances within the bounds.
  std::uint64_t instances = 0, triangles = 0;
  std::vector<std::pair<const aiNode*, int>> stack = {{scene.mRootNode, 1}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (!node) Fail(cx, "has a missing node");
    if (depth > cx.limits.maxNodeDepth) Fail(cx, "has a node tree deeper than the bound of " + std::to_string(cx.limits.maxNodeDepth) + " levels");
    const aiMatrix4x4& t = node->mTransformation;
    for (const float x : {t.a1, t.a2, t.a3, t.a4, t.b1, t.b2, t.b3, t.b4, t.c1, t.c2, t.c3, t.c4, t.d1, t.d2, t.d3, t.d4}) {
      if (!std::isfinite(x)) Fail(cx, "node \"" + Printable(node->mName.C_Str(), 48) + "\" has a non-finite transform");
    }
    for (unsigned i = 0; i < node->mNumMeshes; ++i) {
      if (!node->mMeshes || node->mMeshes[i] >= scene.mNumMeshes) {
        Fail(cx, "node \"" + Printable(node->mName.C_Str(), 48) + "\" refers to a mesh the file does not have");
      }
      triangles = SatAdd(triangles, meshTriangles[node->mMeshes[i]]);
    }
    instances = SatAdd(instances, node->mNumMeshes);
    if (instances > cx.limits.maxInstances) {
      Fail(cx, "places more than " + std::to_string(cx.limits.maxInstances) + " mesh instances, the bound");
    }
    if (node->mNumChildren && !node->mChildren) Fail(cx, "has a missing node");
    for (unsigned i = node->mNumChildren; i-- > 0;) stack.emplace_back(node->mChildren[i], depth + 1);
  }
  if (triangles == 0) Fail(cx, "has no triangles (only points, lines or nothing)");
  if (triangles > cx.limits.maxTriangles) {
    Fail(cx, "places " + std::to_string(triangles) + " triangles, over the bound of " + std::to_string(cx.limits.maxTriangles));
  }
}

// ---------------------------------------------------------------------------------------------
// The post-processed scene into our record.

// The file's material index, or -1 where the import library stood in a default material.
int MaterialOf(const aiScene& scene, const aiMesh& mesh, Format format, const GltfFacts& gltf) {
  const unsigned index = mesh.mMaterialIndex;
  if (index >= scene.mNumMaterials || format == Format::Ply) return -1;
  aiString name;
  if (format == Format::Gltf) {
    if (!scene.mMaterials[index] || scene.mMaterials[index]->Get(AI_MATKEY_NAME, name) != AI_SUCCESS) return -1;
    auto it = gltf.materialByName.find(name.C_Str());
    return it == gltf.materialByName.end() ? -1 : it->second;
  }
  if (scene.mMaterials[index] && scene.mMaterials[index]->Get(AI_MATKEY_NAME, name) == AI_SUCCESS &&
      std::strcmp(name.C_Str(), AI_DEFAULT_MATERIAL_NAME) == 0) {
    return -1;
  }
  return static_cast<int>(index);
}

// One part from a triangle mesh; false when no triangle is left once the degenerate are dropped.
bool BuildPart(const aiScene& scene, const aiMesh& m, Format format, const GltfFacts& gltf, MeshPart& part,
               std::size_t& dropped) {
  const unsigned nv = m.mNumVertices;
  part.name = m.mName.C_Str();
  part.indices.reserve(std::size_t{m.mNumFaces} * 3);
  for (unsigned f = 0; f < m.mNumFaces; ++f) {
    const aiFace& face = m.mFaces[f];
    if (face.mNumIndices != 3) continue;
    const unsigned a = face.mIndices[0], b = face.mIndices[1], c = face.mIndices[2];
    if (a >= nv || b >= nv || c >= nv) continue;  // checked before post-processing; kept as a guard
    const aiVector3D &pa = m.mVertices[a], &pb = m.mVertices[b], &pc = m.mVertices[c];
    const double ux = double(pb.x) - pa.x, uy = double(pb.y) - pa.y, uz = double(pb.z) - pa.z;
    const double vx = double(pc.x) - pa.x, vy = double(pc.y) - pa.y, vz = double(pc.z) - pa.z;
    const double cx = uy * vz - uz * vy, cy = uz * vx - ux * vz, cz = ux * vy - uy * vx;
    if (a == b || b == c || a == c || (cx == 0 && cy == 0 && cz == 0)) {
      ++dropped;
      continue;
    }
    part.indices.insert(part.indices.end(), {a, b, c});
  }
  if (part.indices.empty()) return false;
  part.positions.resize(nv);
  for (unsigned v = 0; v < nv; ++v) part.positions[v] = Point3(m.mVertices[v].x, m.mVertices[v].y, m.mVertices[v].z);
  // Normals made unit; one the file gives as zero takes the area-weighted normal of its triangles.
  std::vector<std::array<double, 3>> n(nv, {0, 0, 0});
  if (m.mNormals) {
    for (unsigned v = 0; v < nv; ++v) n[v] = {m.mNormals[v].x, m.mNormals[v].y, m.mNormals[v].z};
  }
  std::vector<std::array<double, 3>> faceSum(nv, {0, 0, 0});
  for (std::size_t t = 0; t < part.indices.size(); t += 3) {
    const Point3 &pa = part.positions[part.indices[t]], &pb = part.positions[part.indices[t + 1]], &pc = part.positions[part.indices[t + 2]];
    const double ux = double(pb.x) - pa.x, uy = double(pb.y) - pa.y, uz = double(pb.z) - pa.z;
    const double vx = double(pc.x) - pa.x, vy = double(pc.y) - pa.y, vz = double(pc.z) - pa.z;
    const std::array<double, 3> fn = {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) faceSum[part.indices[t + k]][j] += fn[j];
  }
  part.normals.resize(nv);
  for (unsigned v = 0; v < nv; ++v) {
    std::array<double, 3> x = n[v];
    double len = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    if (!(len > 0) || !std::isfinite(len)) {
      x = faceSum[v];
      // Scaled first: the sum of products of large coordinates may overflow when squared.
      const double big = std::max({std::fabs(x[0]), std::fabs(x[1]), std::fabs(x[2])});
      if (big > 0 && std::isfinite(big)) x = {x[0] / big, x[1] / big, x[2] / big};
      len = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
    }
    part.normals[v] = (len > 0 && std::isfinite(len)) ? Point3(x[0] / len, x[1] / len, x[2] / len) : Point3(0.0f, 0.0f, 1.0f);
  }
  for (unsigned c = 0; c < AI_MAX_NUMBER_OF_TEXTURECOORDS && m.mTextureCoords[c]; ++c) {
    std::vector<Point2>& uv = part.uvSets.emplace_back(nv);
    for (unsigned v = 0; v < nv; ++v) uv[v] = Point2(m.mTextureCoords[c][v].x, m.mTextureCoords[c][v].y);
  }
  // The import library stores a file's tangent w as the bitangent cross(n, t) * w.
  if (m.mTangents && m.mBitangents && m.mNormals) {
    part.fileTangents.resize(nv);
    for (unsigned v = 0; v < nv; ++v) {
      const aiVector3D &t = m.mTangents[v], &b = m.mBitangents[v], &nn = m.mNormals[v];
      const double cx = double(nn.y) * t.z - double(nn.z) * t.y, cy = double(nn.z) * t.x - double(nn.x) * t.z,
                   cz = double(nn.x) * t.y - double(nn.y) * t.x;
      part.fileTangents[v].t = Point3(t.x, t.y, t.z);
      part.fileTangents[v].w = cx * b.x + cy * b.y + cz * b.z < 0 ? -1.0f : 1.0f;
    }
  }
  part.material = MaterialOf(scene, m, format, gltf);
  if (part.material >= 0) {
    aiString name;
    const aiMaterial* material = scene.mMaterials[m.mMaterialIndex];
    if (material && material->Get(AI_MATKEY_NAME, name) == AI_SUCCESS) part.materialName = name.C_Str();
  }
  return true;
}

// Names of instances: the node's, unique within the model; a nameless node is "node N" in
// depth-first order (a glTF node the file leaves nameless, "node I" by its index in the file).
std::string NodeName(const aiNode& node, std::size_t order, Format format, const GltfFacts& gltf) {
  const std::string name = node.mName.C_Str();
  if (format == Format::Gltf && name.rfind("nodes[", 0) == 0 && name.size() > 7 && name.back() == ']') {
    std::size_t index = 0;
    const auto [ptr, ec] = std::from_chars(name.data() + 6, name.data() + name.size() - 1, index);
    if (ec == std::errc() && ptr == name.data() + name.size() - 1 && index < gltf.nodeNamed.size() && !gltf.nodeNamed[index]) {
      return "node " + std::to_string(index);
    }
  }
  if (name.empty() || name.rfind(kModelName, 0) == 0) return "node " + std::to_string(order);
  return name;
}

MeshModel BuildModel(const Context& cx, const aiScene& scene, Format format, const GltfFacts& gltf) {
  MeshModel model;
  std::vector<long long> partOf(scene.mNumMeshes, -1);
  std::uint64_t vertices = 0;
  for (unsigned mi = 0; mi < scene.mNumMeshes; ++mi) {
    const aiMesh* m = scene.mMeshes[mi];
    if (!m || !(m->mPrimitiveTypes & aiPrimitiveType_TRIANGLE) || !m->mVertices) continue;
    vertices = SatAdd(vertices, m->mNumVertices);
    if (vertices > cx.limits.maxVertices) {
      Fail(cx, "has more than " + std::to_string(cx.limits.maxVertices) + " vertices, the bound");
    }
    MeshPart part;
    if (!BuildPart(scene, *m, format, gltf, part, model.droppedTriangles)) continue;
    partOf[mi] = static_cast<long long>(model.parts.size());
    model.parts.push_back(std::move(part));
  }
  // Depth first from the root, children in order; world = parent * local, in double.
  struct Item { const aiNode* node; Affine world; };
  std::vector<Item> stack = {{scene.mRootNode, Affine{}}};
  std::unordered_map<std::string, int> seen;
  std::set<std::string> used;
  std::size_t order = 0;
  while (!stack.empty()) {
    Item item = stack.back();
    stack.pop_back();
    const aiMatrix4x4& t = item.node->mTransformation;
    const double local[3][4] = {{t.a1, t.a2, t.a3, t.a4}, {t.b1, t.b2, t.b3, t.b4}, {t.c1, t.c2, t.c3, t.c4}};
    Affine world;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) {
        double s = c == 3 ? item.world.m[r][3] : 0.0;
        for (int k = 0; k < 3; ++k) s += item.world.m[r][k] * local[k][c];
        world.m[r][c] = s;
      }
    }
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) {
        if (!std::isfinite(world.m[r][c])) {
          Fail(cx, "node \"" + Printable(item.node->mName.C_Str(), 48) + "\" has a world transform that is not finite");
        }
      }
    }
    const std::string base = NodeName(*item.node, order++, format, gltf);
    for (unsigned i = 0; i < item.node->mNumMeshes; ++i) {
      if (item.node->mMeshes[i] >= scene.mNumMeshes) continue;
      const long long part = partOf[item.node->mMeshes[i]];
      if (part < 0) continue;
      // Repeats of a name are numbered from 2, past any the file itself uses.
      int& repeats = seen[base];
      std::string name = base;
      while (used.count(name)) name = base + " #" + std::to_string(++repeats + 1);
      used.insert(name);
      model.instances.push_back({name, static_cast<std::size_t>(part), world});
    }
    for (unsigned i = item.node->mNumChildren; i-- > 0;) {
      if (item.node->mChildren[i]) stack.push_back({item.node->mChildren[i], world});
    }
  }
  if (model.instances.empty()) {
    Fail(cx, model.droppedTriangles ? "has no triangles: all " + std::to_string(model.droppedTriangles) + " of them are degenerate"
                                    : std::string("has no triangles (only points, lines or nothing)"));
  }
  if (model.CommonUvSets() == 0) {
    bool any = false;
    for (const MeshInstance& i : model.instances) any = any || !model.parts[i.part].uvSets.empty();
    if (!any) Fail(cx, "has no UV set: its meshes have no texture coordinates");
  }
  if (model.TriangleCount() > cx.limits.maxTriangles) {
    Fail(cx, "places " + std::to_string(model.TriangleCount()) + " triangles, over the bound of " + std::to_string(cx.limits.maxTriangles));
  }
  return model;
}

MeshModel Load(const Context& cx, const std::uint8_t* data, std::size_t size, Format format, const std::string& ext) {
  if (size > cx.limits.maxFileBytes) {
    Fail(cx, "is " + std::to_string(size) + " bytes, over the bound of " + std::to_string(cx.limits.maxFileBytes));
  }
  if (size == 0) Fail(cx, "has no triangles: the file is empty");
  GltfFacts gltf;
  switch (format) {
    case Format::Gltf: gltf = GltfScan(cx, data, size).Run(); break;
    case Format::Obj: ScanObj(cx, data, size); break;
    case Format::Ply: ScanPly(cx, data, size); break;
  }
  Assimp::Importer importer;
  importer.SetIOHandler(new GuardedIO(data, size, cx.baseDir, cx.limits.maxFileBytes));
  importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
  importer.SetPropertyBool(AI_CONFIG_IMPORT_NO_SKELETON_MESHES, true);
  const std::string name = std::string(kModelName) + "." + Lower(ext);
  const aiScene* raw = nullptr;
  try {
    raw = importer.ReadFile(name, 0);
  } catch (const std::exception& e) {
    Fail(cx, "could not be read: " + Printable(e.what(), 160));
  }
  if (!raw) Fail(cx, "could not be read: " + Printable(importer.GetErrorString(), 160));
  CheckRawScene(cx, *raw);
  const aiScene* scene = nullptr;
  try {
    scene = importer.ApplyPostProcessing(aiProcess_ValidateDataStructure | aiProcess_Triangulate | aiProcess_JoinIdenticalVertices |
                                         aiProcess_GenSmoothNormals | aiProcess_SortByPType);
  } catch (const std::exception& e) {
    Fail(cx, "could not be read: " + Printable(e.what(), 160));
  }
  if (!scene) Fail(cx, "could not be read: " + Printable(importer.GetErrorString(), 160));
  return BuildModel(cx, *scene, format, gltf);
}

std::string ExtensionOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot + 1);
}

}  // namespace

MeshModel LoadMesh(const std::string& path, const LoadLimits& limits) {
  Context cx{path, "", limits};
  const std::string ext = ExtensionOf(path);
  const Format format = FormatOf(cx, ext);
  const std::size_t slash = path.find_last_of('/');
  cx.baseDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::vector<std::uint8_t> bytes;
  std::string why;
  if (!ReadBoundedFile(path, limits.maxFileBytes, bytes, why)) Fail(cx, why);
  MeshModel model = Load(cx, bytes.data(), bytes.size(), format, ext);
  model.source = path;
  return model;
}

MeshModel LoadMeshFromMemory(const void* data, std::size_t size, const std::string& extension, const LoadLimits& limits) {
  const Context cx{"in-memory ." + Printable(extension, 16) + " model", "", limits};
  const Format format = FormatOf(cx, extension);
  if (!data && size) Fail(cx, "has no bytes");
  return Load(cx, static_cast<const std::uint8_t*>(data), size, format, extension);
}

}  // namespace tamrel::mesh
