// Scene storage: the object table written around each object's own chunks, and its all-or-
// nothing reading.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "ParamBlockStorage.h"
#include "atomicfile.h"
#include "boundedread.h"
#include "chunkio.h"
#include "iparamb2.h"
#include "imtl.h"
#include "scenefile.h"


namespace {

constexpr std::uint8_t kMagic[8] = {'T', 'M', 'R', 'L', 'S', 'C', 'N', 0x1A};
constexpr std::uint32_t kVersion = 1;
constexpr USHORT kSceneChunk = 0x0001;
constexpr USHORT kObjectChunk = 0x0010;
constexpr USHORT kClassChunk = 0x0011;
constexpr USHORT kRefsChunk = 0x0012;
constexpr USHORT kDataChunk = 0x0013;
constexpr USHORT kRootsChunk = 0x0020;

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

std::string ClassText(SClass_ID super, const Class_ID& id) {
  return "class (" + Hex(id.PartA()) + ", " + Hex(id.PartB()) + ") of super class " + Hex(super);
}

struct StoredObject {
  SClass_ID super = 0;
  Class_ID classID;
  bool hasClass = false, hasRefs = false, hasData = false;
  std::vector<std::int32_t> refs;
  std::span<const std::uint8_t> data;
};

// A maker that keeps every object of a load alive until the scene takes the roots; deleting it
// releases whatever nothing else references, which is also how a failed load cleans up.
class LoadHolder : public ReferenceMaker {
 public:
  explicit LoadHolder(std::size_t n) : objs_(n, nullptr) {}
  int NumRefs() override { return static_cast<int>(objs_.size()); }
  RefTargetHandle GetReference(int i) override { return objs_[static_cast<std::size_t>(i)]; }
  ReferenceTarget* Obj(std::size_t i) const { return objs_[i]; }

 protected:
  void SetReference(int i, RefTargetHandle t) override { objs_[static_cast<std::size_t>(i)] = t; }

 private:
  std::vector<ReferenceTarget*> objs_;
};

}  // namespace

// Befriended by ReferenceMaker: links references without the per-link loop search, which the
// loader replaces by one check of the whole file.
class SceneLoader {
 public:
  SceneLoader(std::span<const std::uint8_t> data, const ClassDirectory& classes, std::string& error)
      : data_(data), classes_(classes), error_(error) {}

  std::unique_ptr<Scene> Run();

 private:
  bool Fail(const std::string& what) {
    error_ = what;
    return false;
  }
  bool Parse();
  bool ParseObject(ChunkReader& r);
  bool ReadIndexList(ChunkReader& r, std::vector<std::int32_t>& out, const char* what);
  bool CheckGraph();
  bool CheckReference(std::size_t k, int slot, ReferenceTarget* owner, ReferenceTarget* target);

  std::span<const std::uint8_t> data_;
  const ClassDirectory& classes_;
  std::string& error_;
  std::vector<StoredObject> objects_;
  std::vector<std::int32_t> roots_;
  bool hasRoots_ = false;
};

bool SceneLoader::ReadIndexList(ChunkReader& r, std::vector<std::int32_t>& out, const char* what) {
  std::uint32_t n = 0;
  if (ReadU32(&r, n) != IO_OK) return Fail(std::string(what) + ": " + r.ErrorText());
  if (n > r.Remaining() / 4)
    return Fail(std::string(what) + " claims " + std::to_string(n) + " entries but holds " +
                std::to_string(r.Remaining() / 4));
  out.resize(n);
  for (auto& v : out) ReadI32(&r, v);
  return true;
}

bool SceneLoader::ParseObject(ChunkReader& r) {
  const std::string which = "object " + std::to_string(objects_.size());
  StoredObject o;
  IOResult res;
  while ((res = r.OpenChunk()) == IO_OK) {
    switch (r.CurChunkID()) {
      case kClassChunk: {
        std::uint32_t s, a, b;
        if (ReadU32(&r, s) != IO_OK || ReadU32(&r, a) != IO_OK || ReadU32(&r, b) != IO_OK)
          return Fail(which + ": class identity: " + r.ErrorText());
        o.super = s;
        o.classID = Class_ID(a, b);
        o.hasClass = true;
        break;
      }
      case kRefsChunk:
        if (!ReadIndexList(r, o.refs, (which + ": reference list").c_str())) return false;
        o.hasRefs = true;
        break;
      case kDataChunk:
        o.data = r.CurChunkBytes();
        o.hasData = true;
        break;
      default:
        break;  // written by a later version
    }
    r.CloseChunk();
  }
  if (res != IO_END) return Fail(which + ": " + r.ErrorText());
  if (!o.hasClass || !o.hasRefs || !o.hasData)
    return Fail(which + " lacks its " + (!o.hasClass ? "class identity" : !o.hasRefs ? "reference list" : "data"));
  objects_.push_back(std::move(o));
  return true;
}

bool SceneLoader::Parse() {
  if (data_.size() < sizeof kMagic + 4 || std::memcmp(data_.data(), kMagic, sizeof kMagic) != 0)
    return Fail("not a scene file (wrong magic)");
  ChunkReader head(data_.subspan(sizeof kMagic, 4));
  std::uint32_t version = 0;
  ReadU32(&head, version);
  if (version != kVersion) return Fail("unsupported scene file version " + std::to_string(version));

  ChunkReader r(data_.subspan(sizeof kMagic + 4));
  bool sawScene = false;
  IOResult res;
  while ((res = r.OpenChunk()) == IO_OK) {
    if (r.CurChunkID() == kSceneChunk) {
      if (sawScene) return Fail("the file holds two scenes");
      sawScene = true;
      while ((res = r.OpenChunk()) == IO_OK) {
        if (r.CurChunkID() == kObjectChunk) {
          if (objects_.size() >= static_cast<std::size_t>(kSceneMaxObjects))
            return Fail("more than " + std::to_string(kSceneMaxObjects) + " objects");
          if (!ParseObject(r)) return false;
        } else if (r.CurChunkID() == kRootsChunk) {
          if (hasRoots_) return Fail("the scene holds two root lists");
          if (!ReadIndexList(r, roots_, "root list")) return false;
          hasRoots_ = true;
        }
        r.CloseChunk();
      }
      if (res != IO_END) return Fail(r.ErrorText());
    }
    r.CloseChunk();
  }
  if (res != IO_END) return Fail(r.ErrorText());
  if (!sawScene) return Fail("the file holds no scene");
  if (!hasRoots_) return Fail("the scene has no root list");
  return true;
}

bool SceneLoader::CheckGraph() {
  const std::size_t n = objects_.size();
  for (std::size_t k = 0; k < n; ++k)
    for (std::int32_t t : objects_[k].refs)
      if (t < -1 || t >= static_cast<std::int64_t>(n))
        return Fail("object " + std::to_string(k) + " refers to object " + std::to_string(t) +
                    " but the file holds " + std::to_string(n));
  for (std::int32_t t : roots_)
    if (t < 0 || t >= static_cast<std::int64_t>(n))
      return Fail("root " + std::to_string(t) + " is not an object of the file");

  // Kahn's algorithm from the objects nobody references: what is left over lies on a loop. The
  // longest chain found on the way bounds the recursion of everything that later walks it.
  std::vector<int> indegree(n, 0), depth(n, 1);
  for (const StoredObject& o : objects_)
    for (std::int32_t t : o.refs)
      if (t >= 0) ++indegree[static_cast<std::size_t>(t)];
  std::vector<std::size_t> ready;
  for (std::size_t k = 0; k < n; ++k)
    if (indegree[k] == 0) ready.push_back(k);
  std::size_t done = 0;
  while (!ready.empty()) {
    const std::size_t k = ready.back();
    ready.pop_back();
    ++done;
    if (depth[k] > kSceneMaxReferenceDepth)
      return Fail("references nest deeper than " + std::to_string(kSceneMaxReferenceDepth) + " objects");
    for (std::int32_t t : objects_[k].refs) {
      if (t < 0) continue;
      const auto u = static_cast<std::size_t>(t);
      depth[u] = std::max(depth[u], depth[k] + 1);
      if (--indegree[u] == 0) ready.push_back(u);
    }
  }
  if (done != n) {
    for (std::size_t k = 0; k < n; ++k)
      if (indegree[k] > 0) return Fail("references form a loop through object " + std::to_string(k));
  }
  return true;
}

// A reference the owner's parameter descriptors give a type to must hold that type: a block of
// the right descriptor in a block's slot, a texture map in a map's slot. Owners cast what they
// are given, so a file must not be able to hand them something else.
bool SceneLoader::CheckReference(std::size_t k, int slot, ReferenceTarget* owner,
                                 ReferenceTarget* target) {
  if (!target) return true;
  ClassDesc* cd = classes_.FindClass(owner->SuperClassID(), owner->ClassID());
  if (!cd) return true;
  const std::string where = "object " + std::to_string(k) + ", reference " + std::to_string(slot);
  for (int b = 0; b < cd->NumParamBlockDescs(); ++b) {
    ParamBlockDesc2* d = cd->GetParamBlockDesc(b);
    if (!d) continue;
    if ((d->flags & P_AUTO_CONSTRUCT) && d->ref_no == slot) {
      auto* pb = dynamic_cast<IParamBlock2*>(target);
      if (!pb || pb->GetDesc() != d)
        return Fail(where + " must hold parameter block " + std::to_string(d->ID));
    }
    for (const ParamDef& p : d->paramdefs)
      if (p.refno == slot && !p.Accepts(target))
        return Fail(where + (p.type == TYPE_TEXMAP ? std::string(" must hold a texture map")
                                                   : " must hold an object of super class " +
                                                         Hex(p.sclass_id)));
  }
  if (dynamic_cast<IParamBlock2*>(target)) {
    // A block may only sit in a slot its owner declares for it.
    bool declared = false;
    for (int b = 0; b < cd->NumParamBlockDescs(); ++b) {
      ParamBlockDesc2* d = cd->GetParamBlockDesc(b);
      declared |= d && (d->flags & P_AUTO_CONSTRUCT) && d->ref_no == slot;
    }
    if (!declared) return Fail(where + " holds a parameter block where its class declares none");
  }
  return true;
}

std::unique_ptr<Scene> SceneLoader::Run() {
  error_.clear();
  if (!Parse() || !CheckGraph()) return nullptr;
  const std::size_t n = objects_.size();
  auto holder = std::make_unique<LoadHolder>(n);

  for (std::size_t k = 0; k < n; ++k) {
    const StoredObject& o = objects_[k];
    const std::string which = "object " + std::to_string(k);
    ReferenceTarget* obj = nullptr;
    if (o.super == PARAMETER_BLOCK2_CLASS_ID && o.classID == kParamBlock2ClassID) {
      StoredBlockIdentity id;
      std::string why;
      if (!ReadStoredBlockIdentity(o.data, id, why)) return Fail(which + ": " + why), nullptr;
      ClassDesc* cd = classes_.FindClass(id.ownerSuper, id.ownerClass);
      ParamBlockDesc2* desc = cd ? cd->GetParamBlockDescByID(id.blockID) : nullptr;
      if (!desc)
        return Fail(which + ": parameter block " + std::to_string(id.blockID) + " of unknown " +
                    ClassText(id.ownerSuper, id.ownerClass)),
               nullptr;
      obj = CreateParameterBlock2(desc, nullptr);
    } else {
      ClassDesc* cd = classes_.FindClass(o.super, o.classID);
      if (!cd) return Fail(which + " is of unknown " + ClassText(o.super, o.classID)), nullptr;
      // Objects come back from Create as the root of the host's class tree, as in any plug-in.
      auto* anim = static_cast<Animatable*>(cd->Create(TRUE));
      obj = dynamic_cast<ReferenceTarget*>(anim);
      if (!obj) {
        if (anim) anim->DeleteThis();
        return Fail(which + ": the class descriptor did not create a reference target"), nullptr;
      }
      if (obj->SuperClassID() != o.super || !(obj->ClassID() == o.classID)) {
        obj->DeleteThis();
        return Fail(which + ": the class descriptor created an object of another class"), nullptr;
      }
    }
    holder->Link(static_cast<int>(k), obj, TRUE, false);
  }

  for (std::size_t k = 0; k < n; ++k) {
    ReferenceTarget* obj = holder->Obj(k);
    ChunkReader r(objects_[k].data);
    if (obj->Load(&r) != IO_OK) {
      MSTR cls;
      obj->GetClassName(cls, false);
      std::string name(cls.begin(), cls.end());
      for (char& c : name)
        if (c < 32 || c > 126) c = '?';
      return Fail("object " + std::to_string(k) + " (" + name + ") could not be read: " +
                  (r.ErrorText().empty() ? "its data is malformed" : r.ErrorText())),
             nullptr;
    }
  }

  // The loop check of ReplaceReference is left out: the whole file was checked above, and the
  // objects that Create made themselves are new and reference nothing loaded.
  for (std::size_t k = 0; k < n; ++k) {
    ReferenceTarget* obj = holder->Obj(k);
    const std::vector<std::int32_t>& refs = objects_[k].refs;
    for (std::size_t i = 0; i < refs.size(); ++i) {
      ReferenceTarget* target = refs[i] >= 0 ? holder->Obj(static_cast<std::size_t>(refs[i])) : nullptr;
      const int slot = static_cast<int>(i);
      if (slot >= obj->NumRefs()) {
        if (target)
          return Fail("object " + std::to_string(k) + " stores reference " + std::to_string(i) +
                      " but its class has " + std::to_string(obj->NumRefs())),
                 nullptr;
        continue;
      }
      if (!CheckReference(k, slot, obj, target)) return nullptr;
      obj->Link(slot, target, TRUE, false);
    }
  }

  auto scene = std::make_unique<Scene>();
  for (std::int32_t r : roots_) scene->AddRoot(holder->Obj(static_cast<std::size_t>(r)));
  return scene;
}

void ClassDirectory::AddClass(ClassDesc* cd) {
  if (cd && !FindClass(cd->SuperClassID(), cd->ClassID())) classes_.push_back(cd);
}

ClassDesc* ClassDirectory::FindClass(SClass_ID super, const Class_ID& id) const {
  for (ClassDesc* cd : classes_)
    if (cd->SuperClassID() == super && cd->ClassID() == id) return cd;
  return nullptr;
}

bool Scene::AddRoot(ReferenceTarget* target) {
  if (!target) return false;
  roots_.push_back(nullptr);
  return ReplaceReference(NumRefs() - 1, target) == REF_SUCCEED;
}

ReferenceTarget* Scene::GetRoot(int i) const {
  return i >= 0 && i < NumRoots() ? roots_[static_cast<std::size_t>(i)] : nullptr;
}

void Scene::SetReference(int i, RefTargetHandle t) {
  if (i >= 0 && i < NumRoots()) roots_[static_cast<std::size_t>(i)] = t;
}

bool SaveSceneToBytes(Scene& scene, std::vector<std::uint8_t>& out, std::string& error) {
  // Objects are numbered in the order a walk from the roots first meets them.
  std::vector<ReferenceTarget*> objs;
  std::unordered_map<ReferenceTarget*, std::int32_t> index;
  auto visit = [&](ReferenceTarget* t) {
    if (t && index.emplace(t, static_cast<std::int32_t>(objs.size())).second) objs.push_back(t);
  };
  for (int i = 0; i < scene.NumRoots(); ++i) visit(scene.GetRoot(i));
  for (std::size_t k = 0; k < objs.size(); ++k)
    for (int i = 0; i < objs[k]->NumRefs(); ++i) visit(objs[k]->GetReference(i));

  ChunkWriter w;
  w.Write(kMagic, sizeof kMagic, nullptr);
  WriteU32(&w, kVersion);
  w.BeginChunk(kSceneChunk);
  for (std::size_t k = 0; k < objs.size(); ++k) {
    ReferenceTarget* o = objs[k];
    w.BeginChunk(kObjectChunk);
    w.BeginChunk(kClassChunk);
    WriteU32(&w, o->SuperClassID());
    WriteU32(&w, o->ClassID().PartA());
    WriteU32(&w, o->ClassID().PartB());
    w.EndChunk();
    w.BeginChunk(kRefsChunk);
    WriteU32(&w, static_cast<std::uint32_t>(o->NumRefs()));
    for (int i = 0; i < o->NumRefs(); ++i) {
      ReferenceTarget* t = o->GetReference(i);
      WriteI32(&w, t ? index.at(t) : -1);
    }
    w.EndChunk();
    w.BeginChunk(kDataChunk);
    const int depth = w.CurChunkDepth();
    if (o->Save(&w) != IO_OK) {
      error = "object " + std::to_string(k) + " failed to save";
      return false;
    }
    if (w.CurChunkDepth() != depth) {
      error = "object " + std::to_string(k) + " left its chunks unbalanced";
      return false;
    }
    w.EndChunk();
    w.EndChunk();
  }
  w.BeginChunk(kRootsChunk);
  WriteU32(&w, static_cast<std::uint32_t>(scene.NumRoots()));
  for (int i = 0; i < scene.NumRoots(); ++i) WriteI32(&w, index.at(scene.GetRoot(i)));
  w.EndChunk();
  w.EndChunk();
  if (!w.Ok()) {
    error = w.ErrorText();
    return false;
  }
  out = w.Bytes();
  return true;
}

bool SaveScene(Scene& scene, const std::filesystem::path& file, std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!SaveSceneToBytes(scene, bytes, error)) return false;
  std::string why;
  if (!WriteFileAtomically(
          file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), why)) {
    error = "cannot write " + file.string() + ": " + why;
    return false;
  }
  return true;
}

std::unique_ptr<Scene> LoadSceneFromBytes(std::span<const std::uint8_t> data,
                                          const ClassDirectory& classes, std::string& error) {
  return SceneLoader(data, classes, error).Run();
}

std::unique_ptr<Scene> LoadScene(const std::filesystem::path& file, const ClassDirectory& classes,
                                 std::string& error) {
  std::string bytes, why;
  if (!ReadRegularFile(file, kSceneMaxFileBytes, bytes, why)) {
    error = "cannot read " + file.string() + ": " + why;
    return nullptr;
  }
  return LoadSceneFromBytes(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), classes, error);
}
