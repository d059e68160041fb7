// Test-only plug-in classes for the SDK suites: an owner with the texture map's reference layout
// (both real block descriptors, seven map slots, an output object), a leaf map with one sub-map
// slot, and an output object. Each records the notifications it receives.
#pragma once

#include <array>
#include <vector>

#include "coords/MappingBlock.h"
#include "imtl.h"
#include "iparamb2.h"
#include "scenefile.h"
#include "texmap/ParamsBlock.h"

struct Note {
  RefMessage msg;
  ReferenceTarget* from;
  ParamID param;
};

inline constexpr Class_ID kTestOwnerClassID(0x11111111, 0x1);
inline constexpr Class_ID kTestMapClassID(0x22222222, 0x2);
inline constexpr Class_ID kTestOutputClassID(0x33333333, 0x3);

template <int N>
class RefSlots {
 protected:
  std::array<ReferenceTarget*, N> refs{};
};

// Records notifications; parameter ID when the sender is a block.
inline void Record(std::vector<Note>& notes, ReferenceTarget* from, RefMessage msg) {
  auto* pb = dynamic_cast<IParamBlock2*>(from);
  notes.push_back({msg, from, pb ? pb->LastNotifyParamID() : ParamID(-1)});
}

class TestOwner : public Texmap, public RefSlots<SCRATCHES_NUM_REFS> {
 public:
  explicit TestOwner(ClassDesc2* cd) : cd_(cd) { cd->MakeAutoParamBlocks(this); }

  Class_ID ClassID() override { return kTestOwnerClassID; }
  void GetClassName(MSTR& s, bool) const override { s = _M("TestOwner"); }
  int NumRefs() override { return SCRATCHES_NUM_REFS; }
  RefTargetHandle GetReference(int i) override { return refs[static_cast<std::size_t>(i)]; }
  IParamBlock2* Block(int ref) { return dynamic_cast<IParamBlock2*>(refs[static_cast<std::size_t>(ref)]); }

  RefResult NotifyRefChanged(const Interval&, RefTargetHandle h, PartID&, RefMessage m, BOOL) override {
    Record(notes, h, m);
    return REF_SUCCEED;
  }

  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new TestOwner(cd_);
    *static_cast<MtlBase*>(c) = *this;
    for (int i = 0; i < NumRefs(); ++i) c->ReplaceReference(i, remap.CloneRef(refs[static_cast<std::size_t>(i)]));
    BaseClone(this, c, remap);
    return c;
  }

  IOResult Save(ISave* isave) override {
    isave->BeginChunk(0x4000);
    const IOResult r = MtlBase::Save(isave);
    if (r != IO_OK) return r;
    isave->EndChunk();
    return IO_OK;
  }
  IOResult Load(ILoad* iload) override {
    IOResult r;
    while ((r = iload->OpenChunk()) == IO_OK) {
      const IOResult res = iload->CurChunkID() == 0x4000 ? MtlBase::Load(iload) : IO_OK;
      iload->CloseChunk();
      if (res != IO_OK) return res;
    }
    return r == IO_END ? IO_OK : IO_ERROR;
  }

  std::vector<Note> notes;

 protected:
  void SetReference(int i, RefTargetHandle t) override { refs[static_cast<std::size_t>(i)] = t; }

 private:
  ClassDesc2* cd_;
};

// A map with one sub-map slot, so maps can be chained (and chains tested for loops).
class TestMap : public Texmap, public RefSlots<1> {
 public:
  Class_ID ClassID() override { return kTestMapClassID; }
  void GetClassName(MSTR& s, bool) const override { s = _M("TestMap"); }
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int) override { return refs[0]; }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle h, PartID&, RefMessage m, BOOL) override {
    Record(notes, h, m);
    return REF_SUCCEED;
  }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new TestMap;
    *static_cast<MtlBase*>(c) = *this;
    c->ReplaceReference(0, remap.CloneRef(refs[0]));
    BaseClone(this, c, remap);
    return c;
  }
  IOResult Save(ISave* s) override { return MtlBase::Save(s); }
  IOResult Load(ILoad* l) override { return MtlBase::Load(l); }
  std::vector<Note> notes;

 protected:
  void SetReference(int, RefTargetHandle t) override { refs[0] = t; }
};

class TestOutput : public ReferenceTarget {
 public:
  Class_ID ClassID() override { return kTestOutputClassID; }
  SClass_ID SuperClassID() override { return TEXOUTPUT_CLASS_ID; }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new TestOutput;
    BaseClone(this, c, remap);
    return c;
  }
};

template <class T, SClass_ID S, const Class_ID& ID>
class TestClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override { return 0; }
  void* Create(BOOL) override { return static_cast<Animatable*>(Make()); }
  const MCHAR* ClassName() override { return _M("test class"); }
  SClass_ID SuperClassID() override { return S; }
  Class_ID ClassID() override { return ID; }
  const MCHAR* Category() override { return _M(""); }

 private:
  T* Make() {
    if constexpr (std::is_constructible_v<T, ClassDesc2*>)
      return new T(this);
    else
      return new T;
  }
};

using TestOwnerClassDesc = TestClassDesc<TestOwner, TEXMAP_CLASS_ID, kTestOwnerClassID>;
using TestMapClassDesc = TestClassDesc<TestMap, TEXMAP_CLASS_ID, kTestMapClassID>;
using TestOutputClassDesc = TestClassDesc<TestOutput, TEXOUTPUT_CLASS_ID, kTestOutputClassID>;

// The classes in the order the library builds them: class descriptor, "Mapping", "params".
struct TestClasses {
  TestOwnerClassDesc ownerDesc;
  XYZ_Desc mapping{&ownerDesc, MAPPING_REF, MAPPING_BLOCK_ID, 2, 0, 0, 0, APPENDROLL_CLOSED};
  ParamBlockDesc2 params = MakeParamsDesc(&ownerDesc);
  TestMapClassDesc mapDesc;
  TestOutputClassDesc outputDesc;
  ClassDirectory dir;

  TestClasses() {
    dir.AddClass(&ownerDesc);
    dir.AddClass(&mapDesc);
    dir.AddClass(&outputDesc);
  }
  TestOwner* NewOwner() { return static_cast<TestOwner*>(static_cast<Animatable*>(ownerDesc.Create(FALSE))); }
};
