// The reference graph: linking, loop refusal, lifetime, notification and cloning.
#include <algorithm>
#include <unordered_set>

#include "ref.h"

void Animatable::GetClassName(MSTR& s, bool) const { s.clear(); }
MSTR Animatable::SubAnimName(int, bool) { return MSTR(); }

namespace {
void RemoveOne(std::vector<ReferenceMaker*>& v, ReferenceMaker* m) {
  auto it = std::find(v.begin(), v.end(), m);
  if (it != v.end()) v.erase(it);
}
}  // namespace

ReferenceMaker::~ReferenceMaker() {
  for (std::size_t i = 0; i < held_.size(); ++i) {
    ReferenceTarget* old = held_[i];
    if (!old) continue;
    held_[i] = nullptr;
    RemoveOne(old->dependents_, this);
    old->RefDeleted(this);
    old->MaybeAutoDelete();
  }
}

RefResult ReferenceMaker::ReplaceReference(int which, RefTargetHandle newtarg, BOOL delOld) {
  return Link(which, newtarg, delOld, true);
}

RefResult ReferenceMaker::Link(int which, RefTargetHandle newtarg, BOOL delOld, bool checkLoop) {
  if (which < 0 || which >= NumRefs()) return REF_FAIL;
  const auto slot = static_cast<std::size_t>(which);
  ReferenceTarget* old = slot < held_.size() ? held_[slot] : nullptr;
  if (old == newtarg) return REF_SUCCEED;
  if (newtarg && checkLoop && newtarg->DependsOn(AsRefTarget())) return REF_FAIL;

  if (held_.size() <= slot) held_.resize(slot + 1, nullptr);
  held_[slot] = newtarg;
  if (newtarg) newtarg->dependents_.push_back(this);
  SetReference(which, newtarg);
  if (newtarg) newtarg->RefAdded(this);
  if (old) {
    RemoveOne(old->dependents_, this);
    old->RefDeleted(this);
    if (delOld) old->MaybeAutoDelete();
  }
  return REF_SUCCEED;
}

RefResult ReferenceMaker::DeleteAllRefsFromMe() {
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (held_[i]) Link(static_cast<int>(i), nullptr, TRUE, false);
  }
  return REF_SUCCEED;
}

bool ReferenceMaker::DependsOn(const ReferenceTarget* target) const {
  if (!target) return false;
  // Iterative walk: reference chains can be long, and a recursive walk would bound them by the
  // stack instead of by memory.
  std::vector<const ReferenceMaker*> todo{this};
  std::unordered_set<const ReferenceMaker*> seen;
  while (!todo.empty()) {
    const ReferenceMaker* m = todo.back();
    todo.pop_back();
    if (m == target) return true;
    if (!seen.insert(m).second) continue;
    for (const ReferenceTarget* t : m->held_)
      if (t) todo.push_back(t);
  }
  return false;
}

RefResult ReferenceMaker::NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage,
                                           BOOL) {
  return REF_SUCCEED;
}

ReferenceTarget::~ReferenceTarget() {
  // Normally empty: targets die when their last dependent lets go. A target deleted outright
  // must not leave dangling references behind.
  while (!dependents_.empty()) {
    ReferenceMaker* d = dependents_.back();
    for (std::size_t i = 0; i < d->held_.size(); ++i) {
      if (d->held_[i] == this) {
        d->held_[i] = nullptr;
        d->SetReference(static_cast<int>(i), nullptr);
      }
    }
    std::erase(dependents_, d);
    PartID part = PART_ALL;
    d->NotifyRefChanged(FOREVER, this, part, REFMSG_TARGET_DELETED, FALSE);
  }
}

RefTargetHandle ReferenceTarget::Clone(RemapDir&) { return nullptr; }

void ReferenceTarget::BaseClone(ReferenceTarget* from, ReferenceTarget* to, RemapDir& remap) {
  if (from && to && !remap.FindMapping(from)) remap.AddEntry(from, to);
}

namespace {
thread_local std::uint64_t notifyRounds = 0;
}

RefResult ReferenceTarget::NotifyDependents(const Interval& changeInt, PartID partID,
                                            RefMessage message, BOOL propagate) {
  const std::uint64_t round = ++notifyRounds;
  // An explicit iteration over (target, part) pairs keeps deep dependency chains off the stack.
  struct Pending {
    ReferenceTarget* target;
    PartID part;
  };
  std::vector<Pending> todo{{this, partID}};
  while (!todo.empty()) {
    Pending p = todo.back();
    todo.pop_back();
    if (p.target->propagatedIn_ == round) continue;
    p.target->propagatedIn_ = round;
    std::vector<ReferenceMaker*> deps;
    for (ReferenceMaker* d : p.target->dependents_)
      if (std::find(deps.begin(), deps.end(), d) == deps.end()) deps.push_back(d);
    for (ReferenceMaker* d : deps) {
      PartID part = p.part;
      const RefResult r = d->NotifyRefChanged(changeInt, p.target, part, message, propagate);
      if (propagate && r != REF_STOP) {
        if (ReferenceTarget* t = d->AsRefTarget()) todo.push_back({t, part});
      }
    }
  }
  return REF_SUCCEED;
}

void ReferenceTarget::MaybeAutoDelete() {
  if (dependents_.empty()) DeleteThis();
}

RefTargetHandle RemapDir::CloneRef(RefTargetHandle oldTarg) {
  if (!oldTarg) return nullptr;
  if (RefTargetHandle done = FindMapping(oldTarg)) return done;
  RefTargetHandle copy = oldTarg->Clone(*this);
  if (copy && !FindMapping(oldTarg)) AddEntry(oldTarg, copy);
  return copy;
}

RefTargetHandle RemapDir::FindMapping(RefTargetHandle from) const {
  auto it = map_.find(from);
  return it == map_.end() ? nullptr : it->second;
}

void RemapDir::AddEntry(RefTargetHandle hfrom, RefTargetHandle hto) { map_[hfrom] = hto; }

RefTargetHandle CloneRefHierarchy(RefTargetHandle target) {
  RemapDir remap;
  return remap.CloneRef(target);
}
