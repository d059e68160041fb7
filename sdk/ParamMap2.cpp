// Headless parameter maps and the master parameter dialog.
#include <algorithm>
#include <map>
#include <memory>

#include "iparamm2.h"
#include "ref.h"

namespace {

class HeadlessParamMap : public IParamMap2 {
 public:
  HeadlessParamMap(IParamBlock2* block, ParamBlockDesc2* desc) : block_(block), desc_(desc) {}
  // Closing the rollout ends the dialog procedure attached to it, as the host does.
  ~HeadlessParamMap() override { SetUserDlgProc(nullptr); }

  IParamBlock2* GetParamBlock() override { return block_; }
  HWND GetHWnd() override { return nullptr; }
  void Enable(ParamID id, BOOL onOff, int) override { disabled_[id] = !onOff; }
  void Invalidate(ParamID id, int) override { ++invalidated_[id]; }
  // The procedure is the descriptor's (plug-ins attach it there); a new one ends the old one.
  void SetUserDlgProc(ParamMap2UserDlgProc* proc) override {
    ParamMap2UserDlgProc* old = desc_->GetUserDlgProc();
    if (old && old != proc) old->DeleteThis();
    desc_->SetUserDlgProc(proc);
  }
  ParamMap2UserDlgProc* GetUserDlgProc() override { return desc_->GetUserDlgProc(); }
  bool IsEnabled(ParamID id) const override {
    auto it = disabled_.find(id);
    return it == disabled_.end() || !it->second;
  }
  int InvalidateCount(ParamID id) const override {
    auto it = invalidated_.find(id);
    return it == invalidated_.end() ? 0 : it->second;
  }
  ParamBlockDesc2* Desc() const { return desc_; }

 private:
  IParamBlock2* block_;
  ParamBlockDesc2* desc_;
  std::map<ParamID, bool> disabled_;
  std::map<ParamID, int> invalidated_;
};

// The maps of open editors, by block. The editor runs on the host's user-interface thread only.
std::map<IParamBlock2*, HeadlessParamMap*>& OpenMaps() {
  static std::map<IParamBlock2*, HeadlessParamMap*> maps;
  return maps;
}

class AutoMParamDlg : public IAutoMParamDlg {
 public:
  explicit AutoMParamDlg(ReferenceTarget* thing) : thing_(thing) {}
  ~AutoMParamDlg() override {
    for (auto& map : maps_) OpenMaps().erase(map->GetParamBlock());
    for (ParamDlg* d : added_) d->DeleteThis();
  }

  void AddMap(IParamBlock2* block, ParamBlockDesc2* desc) {
    maps_.push_back(std::make_unique<HeadlessParamMap>(block, desc));
    OpenMaps()[block] = maps_.back().get();
  }

  Class_ID ClassID() override { return thing_ ? thing_->ClassID() : Class_ID(); }
  void SetThing(ReferenceTarget* m) override {
    thing_ = m;
    for (auto& map : maps_) {
      if (map->GetUserDlgProc()) map->GetUserDlgProc()->SetThing(m);
    }
  }
  ReferenceTarget* GetThing() override { return thing_; }
  void DeleteThis() override { delete this; }
  void AddDlg(ParamDlg* dlg) override {
    if (dlg) added_.push_back(dlg);
  }
  int NumDlgs() override { return static_cast<int>(added_.size()); }
  ParamDlg* GetDlg(int i) override {
    return i >= 0 && i < NumDlgs() ? added_[static_cast<std::size_t>(i)] : nullptr;
  }
  IParamMap2* GetMap(IParamBlock2* block) override {
    for (auto& map : maps_) {
      if (map->GetParamBlock() == block) return map.get();
    }
    return nullptr;
  }

 private:
  ReferenceTarget* thing_;
  std::vector<std::unique_ptr<HeadlessParamMap>> maps_;
  std::vector<ParamDlg*> added_;
};

}  // namespace

IParamMap2* GetParamMapOf(IParamBlock2* block) {
  auto it = OpenMaps().find(block);
  return it == OpenMaps().end() ? nullptr : it->second;
}

IAutoMParamDlg* CreateAutoParamDlgs(ClassDesc2* cd, HWND, IMtlParams*, ReferenceTarget* owner) {
  auto* dlg = new AutoMParamDlg(owner);
  for (int i = 0; i < cd->NumParamBlockDescs(); ++i) {
    ParamBlockDesc2* desc = cd->GetParamBlockDesc(i);
    if (!(desc->flags & P_AUTO_UI)) continue;
    IParamBlock2* block = owner ? owner->GetParamBlockByID(desc->ID) : nullptr;
    if (block) dlg->AddMap(block, desc);
  }
  return dlg;
}

void InvalidateParamUI(ParamBlockDesc2* pbd, ParamID id, int tabIndex) {
  for (auto& [block, map] : OpenMaps()) {
    if (map->Desc() == pbd) map->Invalidate(id, tabIndex);
  }
}

IParamMap2* IParamBlock2::GetMap(int mapID) { return mapID == 0 ? GetParamMapOf(this) : nullptr; }

IAutoMParamDlg* ClassDesc2::CreateParamDlgs(HWND hwMtlEdit, IMtlParams* imp,
                                            ReferenceTarget* owner) {
  return CreateAutoParamDlgs(this, hwMtlEdit, imp, owner);
}

void ClassDesc2::InvalidateUI(ParamBlockDesc2* pbd, ParamID id, int tabIndex) {
  InvalidateParamUI(pbd, id, tabIndex);
}
