// The parameter block: values and keyframes by parameter, validity of animated values, change
// notification, cloning and the block's stored form.
#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

#include "ParamBlockStorage.h"
#include "chunkio.h"
#include "imtl.h"
#include "iparamb2.h"

namespace {

constexpr USHORT kHeaderChunk = 0x0100;
constexpr USHORT kParamChunk = 0x0110;

struct Key {
  TimeValue t;
  PB2Value v;
};

struct Track {
  PB2Value value;          // the value for all time while there are no keys
  std::vector<Key> keys;   // strictly ascending times
};

bool IsIntLike(ParamType2 t) { return t == TYPE_INT || t == TYPE_BOOL; }

bool Same(ParamType2 type, const PB2Value& a, const PB2Value& b) {
  switch (type) {
    case TYPE_FLOAT: return a.f == b.f;
    case TYPE_RGBA: return a.c == b.c;
    default: return a.i == b.i;
  }
}

float Lerp(float a, float b, double u) {
  return static_cast<float>(double(a) + (double(b) - double(a)) * u);
}

int ClampToInt(long long v) {
  return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

// A value is accepted if the user could have entered it: finite, within the declared range
// (values outside it are brought to the nearest end) and 0 or 1 for a switch. The same rule
// holds for values set through the block and values read from a scene file.
bool SanitizeValue(const ParamDef& d, PB2Value& v) {
  switch (d.type) {
    case TYPE_FLOAT:
      if (!std::isfinite(v.f)) return false;
      if (d.has_range) v.f = std::clamp(v.f, d.range_low.f, d.range_high.f);
      return true;
    case TYPE_RGBA:
      return std::isfinite(v.c.r) && std::isfinite(v.c.g) && std::isfinite(v.c.b);
    case TYPE_BOOL:
      v.i = v.i != 0;
      return true;
    default:
      if (d.has_range) v.i = std::clamp(v.i, d.range_low.i, d.range_high.i);
      return true;
  }
}

class ParamBlock2 final : public IParamBlock2 {
 public:
  ParamBlock2(ParamBlockDesc2* d, ReferenceMaker* owner) : desc_(d), owner_(owner) {
    tracks_.resize(d->paramdefs.size());
    for (std::size_t i = 0; i < d->paramdefs.size(); ++i) {
      const ParamDef& def = d->paramdefs[i];
      tracks_[i].value = def.def;
      if (def.IsReference() && !(def.flags & P_OWNERS_REF)) refParams_.push_back(static_cast<int>(i));
    }
    refs_.assign(refParams_.size(), nullptr);
  }

  Class_ID ClassID() override { return kParamBlock2ClassID; }
  SClass_ID SuperClassID() override { return PARAMETER_BLOCK2_CLASS_ID; }
  void GetClassName(MSTR& s, bool) const override { s = _M("ParamBlock2"); }

  BlockID ID() override { return desc_->ID; }
  ParamBlockDesc2* GetDesc() override { return desc_; }
  ReferenceMaker* GetOwner() override {
    // The owner given at creation counts only while it still references the block; a clone or a
    // loaded block belongs to whoever references it first.
    for (int i = 0; i < NumDependents(); ++i)
      if (GetDependent(i) == owner_) return owner_;
    owner_ = NumDependents() > 0 ? GetDependent(0) : nullptr;
    return owner_;
  }
  ParamID LastNotifyParamID() override { return lastNotify_; }
  int NumParams() override { return desc_->Count(); }

  int NumRefs() override { return static_cast<int>(refs_.size()); }
  RefTargetHandle GetReference(int i) override {
    return i >= 0 && i < NumRefs() ? refs_[static_cast<std::size_t>(i)] : nullptr;
  }

  BOOL GetValue(ParamID id, TimeValue t, float& v, Interval& ivalid, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || Def(i).type != TYPE_FLOAT) return FALSE;
    PB2Value val;
    ivalid &= Eval(i, t, val);
    v = val.f;
    return TRUE;
  }
  BOOL GetValue(ParamID id, TimeValue t, int& v, Interval& ivalid, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || !IsIntLike(Def(i).type)) return FALSE;
    PB2Value val;
    ivalid &= Eval(i, t, val);
    v = val.i;
    return TRUE;
  }
  BOOL GetValue(ParamID id, TimeValue t, Color& v, Interval& ivalid, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || Def(i).type != TYPE_RGBA) return FALSE;
    PB2Value val;
    ivalid &= Eval(i, t, val);
    v = val.c;
    return TRUE;
  }
  BOOL GetValue(ParamID id, TimeValue, Texmap*& v, Interval&, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || Def(i).type != TYPE_TEXMAP) return FALSE;
    v = dynamic_cast<Texmap*>(RefOf(i));
    return TRUE;
  }
  BOOL GetValue(ParamID id, TimeValue, ReferenceTarget*& v, Interval&, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || !Def(i).IsReference()) return FALSE;
    v = RefOf(i);
    return TRUE;
  }

  BOOL SetValue(ParamID id, TimeValue t, float v, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || Def(i).type != TYPE_FLOAT) return FALSE;
    PB2Value val;
    val.f = v;
    return Store(i, t, val);
  }
  BOOL SetValue(ParamID id, TimeValue t, int v, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || !IsIntLike(Def(i).type)) return FALSE;
    PB2Value val;
    val.i = v;
    return Store(i, t, val);
  }
  BOOL SetValue(ParamID id, TimeValue t, const Color& v, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || Def(i).type != TYPE_RGBA) return FALSE;
    PB2Value val;
    val.c = v;
    return Store(i, t, val);
  }
  BOOL SetValue(ParamID id, TimeValue t, Texmap* v, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || Def(i).type != TYPE_TEXMAP) return FALSE;
    return StoreRef(i, t, v);
  }
  BOOL SetValue(ParamID id, TimeValue t, ReferenceTarget* v, int tab) override {
    const int i = Index(id, tab);
    if (i < 0 || !Def(i).IsReference()) return FALSE;
    return StoreRef(i, t, v);
  }

  int NumKeys(ParamID id) override {
    const int i = Index(id, 0);
    return i < 0 ? 0 : static_cast<int>(tracks_[static_cast<std::size_t>(i)].keys.size());
  }
  TimeValue GetKeyTime(ParamID id, int key) override {
    const int i = Index(id, 0);
    if (i < 0 || key < 0 || key >= NumKeys(id)) return 0;
    return tracks_[static_cast<std::size_t>(i)].keys[static_cast<std::size_t>(key)].t;
  }

  RefTargetHandle Clone(RemapDir& remap) override {
    auto* pb = new ParamBlock2(desc_, nullptr);
    pb->tracks_ = tracks_;
    for (int k = 0; k < NumRefs(); ++k)
      pb->ReplaceReference(k, remap.CloneRef(refs_[static_cast<std::size_t>(k)]));
    BaseClone(this, pb, remap);
    return pb;
  }

  IOResult Save(ISave* isave) override;
  IOResult Load(ILoad* iload) override;

 protected:
  void SetReference(int i, RefTargetHandle t) override {
    if (i >= 0 && i < NumRefs()) refs_[static_cast<std::size_t>(i)] = t;
  }

 private:
  const ParamDef& Def(int i) const { return desc_->paramdefs[static_cast<std::size_t>(i)]; }

  int Index(ParamID id, int tab) const { return tab == 0 ? desc_->IDtoIndex(id) : -1; }

  ReferenceTarget* RefOf(int i) {
    const ParamDef& d = Def(i);
    if (d.flags & P_OWNERS_REF) {
      ReferenceMaker* owner = GetOwner();
      return owner && d.refno < owner->NumRefs() ? owner->GetReference(d.refno) : nullptr;
    }
    const auto k = std::find(refParams_.begin(), refParams_.end(), i) - refParams_.begin();
    return refs_[static_cast<std::size_t>(k)];
  }

  // The value of parameter i at t, and the span around t over which it holds.
  Interval Eval(int i, TimeValue t, PB2Value& out) const {
    const Track& tr = tracks_[static_cast<std::size_t>(i)];
    const ParamType2 type = Def(i).type;
    if (tr.keys.empty()) {
      out = tr.value;
      return FOREVER;
    }
    if (tr.keys.size() == 1) {
      out = tr.keys.front().v;
      return FOREVER;
    }
    if (t <= tr.keys.front().t) {
      out = tr.keys.front().v;
      return Interval(TIME_NegInfinity, tr.keys.front().t);
    }
    if (t >= tr.keys.back().t) {
      out = tr.keys.back().v;
      return Interval(tr.keys.back().t, TIME_PosInfinity);
    }
    auto next = std::upper_bound(tr.keys.begin(), tr.keys.end(), t,
                                 [](TimeValue tv, const Key& k) { return tv < k.t; });
    const Key& b = *next;
    const Key& a = *(next - 1);
    if (Same(type, a.v, b.v)) {
      out = a.v;
      return Interval(a.t, b.t);
    }
    if (type == TYPE_BOOL) {  // switches step from key to key
      out = a.v;
      return Interval(a.t, b.t - 1);
    }
    const double u = (double(t) - double(a.t)) / (double(b.t) - double(a.t));
    switch (type) {
      case TYPE_FLOAT:
        out.f = Lerp(a.v.f, b.v.f, u);
        break;
      case TYPE_RGBA:
        out.c = Color(Lerp(a.v.c.r, b.v.c.r, u), Lerp(a.v.c.g, b.v.c.g, u), Lerp(a.v.c.b, b.v.c.b, u));
        break;
      default:
        out.i = static_cast<int>(std::llround(double(a.v.i) + (double(b.v.i) - double(a.v.i)) * u));
        break;
    }
    return Interval(t, t);
  }

  // Values are kept by the rule a scene file's values are read with (SanitizeValue), so that a
  // block renders the same after a save and a load as before.
  BOOL Store(int i, TimeValue t, PB2Value v) {
    Track& tr = tracks_[static_cast<std::size_t>(i)];
    const ParamDef& d = Def(i);
    if (!SanitizeValue(d, v)) return FALSE;
    if (!(d.flags & P_ANIMATABLE) || (tr.keys.empty() && !Animating())) {
      tr.value = v;
    } else if (Animating()) {
      // The first key of a value keeps what it held before at frame 0, as the host's animate
      // mode does.
      if (tr.keys.empty() && t != 0 && !Same(d.type, tr.value, v)) tr.keys.push_back({0, tr.value});
      auto at = std::lower_bound(tr.keys.begin(), tr.keys.end(), t,
                                 [](const Key& k, TimeValue tv) { return k.t < tv; });
      if (at != tr.keys.end() && at->t == t)
        at->v = v;
      else
        tr.keys.insert(at, Key{t, v});
    } else {
      // Outside animate mode an animated value moves as a whole to pass through v at t.
      PB2Value cur;
      Eval(i, t, cur);
      std::vector<Key> moved = tr.keys;
      for (Key& k : moved) {
        switch (d.type) {
          case TYPE_FLOAT: k.v.f += v.f - cur.f; break;
          case TYPE_RGBA: k.v.c = k.v.c + (v.c - cur.c); break;
          case TYPE_BOOL: k.v.i = v.i; break;
          default: k.v.i = ClampToInt(static_cast<long long>(k.v.i) + v.i - cur.i); break;
        }
        // A key pushed past the range stops at its end, as a stored one would be read.
        if (!SanitizeValue(d, k.v)) return FALSE;
      }
      tr.keys = std::move(moved);
    }
    Notify(d.ID);
    return TRUE;
  }

  BOOL StoreRef(int i, TimeValue, ReferenceTarget* target) {
    const ParamDef& d = Def(i);
    // Refused before anything holds it: an owner would not know what to do with it.
    if (!d.Accepts(target)) return FALSE;
    if (d.flags & P_OWNERS_REF) {
      ReferenceMaker* owner = GetOwner();
      if (!owner || owner->ReplaceReference(d.refno, target) != REF_SUCCEED) return FALSE;
    } else {
      const auto k = std::find(refParams_.begin(), refParams_.end(), i) - refParams_.begin();
      if (ReplaceReference(static_cast<int>(k), target) != REF_SUCCEED) return FALSE;
    }
    Notify(d.ID);
    return TRUE;
  }

  void Notify(ParamID id) {
    const ParamID prev = lastNotify_;
    lastNotify_ = id;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
    lastNotify_ = prev;
  }

  IOResult LoadParam(ILoad* iload, std::set<ParamID>& seen);

  ParamBlockDesc2* desc_;
  ReferenceMaker* owner_;
  ParamID lastNotify_ = -1;
  std::vector<Track> tracks_;     // by definition index
  std::vector<int> refParams_;    // definition indices of references the block holds itself
  std::vector<RefTargetHandle> refs_;
};

int ValueSize(ParamType2 t) { return t == TYPE_RGBA ? 12 : 4; }

IOResult WriteValue(ISave* s, ParamType2 t, const PB2Value& v) {
  switch (t) {
    case TYPE_FLOAT: return WriteF32(s, v.f);
    case TYPE_RGBA:
      WriteF32(s, v.c.r);
      WriteF32(s, v.c.g);
      return WriteF32(s, v.c.b);
    default: return WriteI32(s, v.i);
  }
}

IOResult ReadValue(ILoad* l, ParamType2 t, PB2Value& v) {
  switch (t) {
    case TYPE_FLOAT: return ReadF32(l, v.f);
    case TYPE_RGBA:
      if (ReadF32(l, v.c.r) != IO_OK || ReadF32(l, v.c.g) != IO_OK) return IO_ERROR;
      return ReadF32(l, v.c.b);
    default: {
      std::int32_t i = 0;
      const IOResult r = ReadI32(l, i);
      v.i = i;
      return r;
    }
  }
}

IOResult ParamBlock2::Save(ISave* isave) {
  ClassDesc2* cd = desc_->cd;
  isave->BeginChunk(kHeaderChunk);
  WriteU32(isave, cd ? cd->SuperClassID() : 0);
  WriteU32(isave, cd ? cd->ClassID().PartA() : 0);
  WriteU32(isave, cd ? cd->ClassID().PartB() : 0);
  WriteI32(isave, desc_->ID);
  isave->EndChunk();
  for (std::size_t i = 0; i < tracks_.size(); ++i) {
    const ParamDef& d = desc_->paramdefs[i];
    if (d.IsReference()) continue;  // references are stored as references, by the host
    const Track& tr = tracks_[i];
    isave->BeginChunk(kParamChunk);
    WriteI32(isave, d.ID);
    WriteU8(isave, static_cast<std::uint8_t>(d.type));
    WriteValue(isave, d.type, tr.value);
    WriteU32(isave, static_cast<std::uint32_t>(tr.keys.size()));
    for (const Key& k : tr.keys) {
      WriteI32(isave, k.t);
      WriteValue(isave, d.type, k.v);
    }
    isave->EndChunk();
  }
  return IO_OK;
}

IOResult ParamBlock2::LoadParam(ILoad* iload, std::set<ParamID>& seen) {
  auto fail = [&](const std::string& what) {
    iload->ReportError(what);
    return IO_ERROR;
  };
  std::int32_t id = 0;
  std::uint8_t type = 0;
  if (ReadI32(iload, id) != IO_OK || ReadU8(iload, type) != IO_OK) return IO_ERROR;
  const std::string which = "parameter " + std::to_string(id) + " of block " + std::to_string(desc_->ID);
  if (id < SHRT_MIN || id > SHRT_MAX) return fail(which + ": ID out of range");
  const int i = desc_->IDtoIndex(static_cast<ParamID>(id));
  if (i < 0) return IO_OK;  // a parameter this version no longer has
  const ParamDef& d = Def(i);
  if (!seen.insert(d.ID).second) return fail(which + " is stored twice");
  if (d.IsReference()) return fail(which + " is a reference and holds no stored value");
  const auto stored = static_cast<ParamType2>(type);
  if (type != d.type && !(IsIntLike(d.type) && (type == TYPE_INT || type == TYPE_BOOL)))
    return fail(which + " is stored as type " + std::to_string(type) + " but declared as type " + std::to_string(d.type));
  Track tr;
  if (ReadValue(iload, stored, tr.value) != IO_OK) return IO_ERROR;
  if (!SanitizeValue(d, tr.value)) return fail(which + " holds a value that is not finite");
  std::uint32_t nkeys = 0;
  if (ReadU32(iload, nkeys) != IO_OK) return IO_ERROR;
  if (nkeys > 0 && !(d.flags & P_ANIMATABLE)) return fail(which + " is not animatable but has keys");
  const auto perKey = static_cast<std::uint64_t>(4 + ValueSize(d.type));
  if (nkeys * perKey > static_cast<std::uint64_t>(iload->CurChunkLength()))
    return fail(which + " claims " + std::to_string(nkeys) + " keys, more than its chunk can hold");
  tr.keys.reserve(nkeys);
  for (std::uint32_t k = 0; k < nkeys; ++k) {
    Key key{};
    std::int32_t t = 0;
    if (ReadI32(iload, t) != IO_OK || ReadValue(iload, stored, key.v) != IO_OK) return IO_ERROR;
    key.t = t;
    if (!SanitizeValue(d, key.v)) return fail(which + " has a key whose value is not finite");
    if (!tr.keys.empty() && key.t <= tr.keys.back().t) return fail(which + " has keys out of time order");
    tr.keys.push_back(key);
  }
  tracks_[static_cast<std::size_t>(i)] = std::move(tr);
  return IO_OK;
}

IOResult ParamBlock2::Load(ILoad* iload) {
  std::set<ParamID> seen;
  bool header = false;
  IOResult res;
  while ((res = iload->OpenChunk()) == IO_OK) {
    switch (iload->CurChunkID()) {
      case kHeaderChunk: {
        std::uint32_t a, b, c;
        std::int32_t id;
        res = (ReadU32(iload, a) == IO_OK && ReadU32(iload, b) == IO_OK && ReadU32(iload, c) == IO_OK &&
               ReadI32(iload, id) == IO_OK) ? IO_OK : IO_ERROR;
        if (res == IO_OK && id != desc_->ID) {
          iload->ReportError("stored block " + std::to_string(id) + " read into block " + std::to_string(desc_->ID));
          res = IO_ERROR;
        }
        header = true;
        break;
      }
      case kParamChunk:
        res = LoadParam(iload, seen);
        break;
      default:
        break;
    }
    if (iload->CloseChunk() != IO_OK || res != IO_OK) return IO_ERROR;
  }
  if (res != IO_END) return IO_ERROR;
  if (!header) {
    iload->ReportError("parameter block without its header");
    return IO_ERROR;
  }
  return IO_OK;
}

}  // namespace

IParamBlock2* CreateParameterBlock2(ParamBlockDesc2* pdesc, ReferenceMaker* owner) {
  return pdesc ? new ParamBlock2(pdesc, owner) : nullptr;
}

bool ReadStoredBlockIdentity(std::span<const std::uint8_t> data, StoredBlockIdentity& id,
                             std::string& error) {
  ChunkReader r(data);
  IOResult res;
  while ((res = r.OpenChunk()) == IO_OK) {
    if (r.CurChunkID() == kHeaderChunk) {
      std::uint32_t a, b, c;
      std::int32_t bid;
      if (ReadU32(&r, a) != IO_OK || ReadU32(&r, b) != IO_OK || ReadU32(&r, c) != IO_OK ||
          ReadI32(&r, bid) != IO_OK) {
        error = "parameter block header: " + r.ErrorText();
        return false;
      }
      if (bid < SHRT_MIN || bid > SHRT_MAX) {
        error = "parameter block header: block ID out of range";
        return false;
      }
      id.ownerSuper = a;
      id.ownerClass = Class_ID(b, c);
      id.blockID = static_cast<BlockID>(bid);
      return true;
    }
    r.CloseChunk();
  }
  error = res == IO_END ? "parameter block without its header" : "parameter block: " + r.ErrorText();
  return false;
}

float IParamBlock2::GetFloat(ParamID id, TimeValue t) {
  float v = 0.0f;
  Interval iv = FOREVER;
  GetValue(id, t, v, iv);
  return v;
}
int IParamBlock2::GetInt(ParamID id, TimeValue t) {
  int v = 0;
  Interval iv = FOREVER;
  GetValue(id, t, v, iv);
  return v;
}
Color IParamBlock2::GetColor(ParamID id, TimeValue t) {
  Color v;
  Interval iv = FOREVER;
  GetValue(id, t, v, iv);
  return v;
}
Texmap* IParamBlock2::GetTexmap(ParamID id, TimeValue t) {
  Texmap* v = nullptr;
  Interval iv = FOREVER;
  GetValue(id, t, v, iv);
  return v;
}
ReferenceTarget* IParamBlock2::GetReferenceTarget(ParamID id, TimeValue t) {
  ReferenceTarget* v = nullptr;
  Interval iv = FOREVER;
  GetValue(id, t, v, iv);
  return v;
}
