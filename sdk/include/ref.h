// The host's reference system: objects that refer to one another by numbered references.
//
// A ReferenceMaker holds numbered references to ReferenceTargets; each target knows its
// dependents, so a change can be announced to everything built on it (REFMSG_CHANGE), a clone can
// follow the references (RemapDir shares a target cloned twice), and a target that loses its last
// dependent through ReplaceReference or DeleteReference deletes itself. References never form a
// loop: a map cannot become its own sub-map, directly or through others, because everything that
// walks the references (rendering, notification, cloning, saving) would never return.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "interval.h"
#include "ioapi.h"
#include "maxtypes.h"
#include "strclass.h"

class ReferenceMaker;
class ReferenceTarget;
class IParamBlock2;
class RemapDir;
using RefMakerHandle = ReferenceMaker*;
using RefTargetHandle = ReferenceTarget*;

enum RefResult { REF_FAIL = 0, REF_SUCCEED = 1, REF_DONTCARE = 2, REF_STOP = 3, REF_INVALID = 4 };

using RefMessage = unsigned int;
inline constexpr RefMessage REFMSG_CHANGE = 0x50;
// Sent to a dependent whose target is being destroyed while still referenced; the dependent's
// reference has already been cleared when it arrives.
inline constexpr RefMessage REFMSG_TARGET_DELETED = 0x10;

using PartID = ULONG;
inline constexpr PartID PART_ALL = 0xFFFFFFFF;

class Animatable {
 public:
  Animatable() = default;
  Animatable(const Animatable&) = delete;
  Animatable& operator=(const Animatable&) = delete;
  virtual ~Animatable() = default;

  // Objects of the host live on the heap and are released through here, never by the caller's
  // delete, so that a plug-in can use its own allocator.
  virtual void DeleteThis() { delete this; }
  virtual void GetClassName(MSTR& s, bool localized = true) const;
  virtual Class_ID ClassID() { return Class_ID(0, 0); }
  virtual SClass_ID SuperClassID() { return 0; }

  virtual int NumSubs() { return 0; }
  virtual Animatable* SubAnim(int) { return nullptr; }
  virtual MSTR SubAnimName(int, bool localized = true);
  virtual int SubNumToRefNum(int) { return -1; }

  virtual int NumParamBlocks() { return 0; }
  virtual IParamBlock2* GetParamBlock(int) { return nullptr; }
  virtual IParamBlock2* GetParamBlockByID(BlockID) { return nullptr; }

  // An interface the object offers beyond its class's, by an id its publisher defines; null when
  // the object has none of that id.
  virtual void* GetInterface(ULONG) { return nullptr; }
};

class ReferenceMaker : public Animatable {
 public:
  // Drops every reference still held; targets left without dependents are deleted in turn.
  ~ReferenceMaker() override;

  virtual int NumRefs() { return 0; }
  virtual RefTargetHandle GetReference(int) { return nullptr; }

  // Makes reference `which` point at newtarg (null clears it). Fails, changing nothing, when
  // `which` is outside 0 .. NumRefs()-1 or when newtarg already depends on this maker (the
  // reference would close a loop). With delOld the previous target is deleted if this was its
  // last dependent.
  RefResult ReplaceReference(int which, RefTargetHandle newtarg, BOOL delOld = TRUE);
  RefResult DeleteReference(int which) { return ReplaceReference(which, nullptr, TRUE); }
  RefResult DeleteAllRefsFromMe();

  // True when `target` is this maker or reachable from it through references.
  bool DependsOn(const ReferenceTarget* target) const;

  virtual RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle hTarget,
                                     PartID& partID, RefMessage message, BOOL propagate);

  virtual IOResult Save(ISave*) { return IO_OK; }
  virtual IOResult Load(ILoad*) { return IO_OK; }

  virtual BOOL IsRefTarget() { return FALSE; }
  // This maker seen as a target, or null for a pure maker (a scene, a holder).
  virtual ReferenceTarget* AsRefTarget() { return nullptr; }

 protected:
  // Stores the target of reference i; called by ReplaceReference with i already checked.
  virtual void SetReference(int, RefTargetHandle) {}

 private:
  friend class ReferenceTarget;
  friend class SceneLoader;
  RefResult Link(int which, RefTargetHandle newtarg, BOOL delOld, bool checkLoop);
  // The targets held, by reference number, as the reference system saw them set. Kept here so
  // the base destructor can release them without calling the derived class.
  std::vector<ReferenceTarget*> held_;
};

class ReferenceTarget : public ReferenceMaker {
 public:
  // Clears the references that dependents still hold on this target and tells them.
  ~ReferenceTarget() override;

  BOOL IsRefTarget() override { return TRUE; }
  ReferenceTarget* AsRefTarget() override { return this; }

  // A copy of this target whose references are cloned through remap; null when the class cannot
  // be cloned.
  virtual RefTargetHandle Clone(RemapDir& remap);
  // Registers `to` as the clone of `from`, so later CloneRef calls for `from` share it.
  virtual void BaseClone(ReferenceTarget* from, ReferenceTarget* to, RemapDir& remap);

  // Sends message to every dependent's NotifyRefChanged. A dependent that is itself a target and
  // answers anything but REF_STOP passes the message on to its own dependents when propagate is
  // set; each target passes one message on once, so a graph with many shared targets costs
  // one delivery per reference rather than one per path.
  RefResult NotifyDependents(const Interval& changeInt, PartID partID, RefMessage message,
                             BOOL propagate = TRUE);

  // Called after a maker has made a reference to this target, and after one was dropped.
  virtual void RefAdded(RefMakerHandle) {}
  virtual void RefDeleted(RefMakerHandle) {}

  // Number of references held on this target (a maker referencing it twice counts twice).
  int NumDependents() const { return static_cast<int>(dependents_.size()); }
  ReferenceMaker* GetDependent(int i) const { return dependents_[i]; }

  // Deletes the target when nothing references it any more.
  void MaybeAutoDelete();

 private:
  friend class ReferenceMaker;
  std::vector<ReferenceMaker*> dependents_;
  std::uint64_t propagatedIn_ = 0;  // notification round in which this target last passed one on
};

// The record of a clone operation: which target became which copy.
class RemapDir {
 public:
  // The clone of oldTarg: made on first request, the same object on every later one.
  RefTargetHandle CloneRef(RefTargetHandle oldTarg);
  RefTargetHandle FindMapping(RefTargetHandle from) const;
  void AddEntry(RefTargetHandle hfrom, RefTargetHandle hto);

 private:
  std::map<RefTargetHandle, RefTargetHandle> map_;
};

// Clones target together with everything it references.
RefTargetHandle CloneRefHierarchy(RefTargetHandle target);
