// Parameter maps and the master parameter dialog: what every build does. The rollout windows and
// the binding of their controls are in win/ParamMapWindow.cpp.
#include <algorithm>
#include <map>
#include <memory>

#include "ParamMapImpl.h"
#include "ref.h"

namespace {

// The maps of open editors, by block. The editor runs on the host's user-interface thread only.
std::map<IParamBlock2*, ParamMap*>& OpenMaps() {
  static std::map<IParamBlock2*, ParamMap*> maps;
  return maps;
}

class AutoMParamDlg : public IAutoMParamDlg {
 public:
  AutoMParamDlg(ReferenceTarget* thing, IMtlParams* imp) : thing_(thing), imp_(imp) {}
  ~AutoMParamDlg() override {
    for (auto& map : maps_) {
      OpenMaps().erase(map->GetParamBlock());
#ifdef _WIN32
      if (imp_ && map->hRollup) imp_->DeleteRollupPage(map->hRollup);
#endif
    }
    for (ParamDlg* d : added_) d->DeleteThis();
  }

  ParamMap* AddMap(IParamBlock2* block, ParamBlockDesc2* desc) {
    maps_.push_back(std::make_unique<ParamMap>(block, desc));
    OpenMaps()[block] = maps_.back().get();
    return maps_.back().get();
  }

  Class_ID ClassID() override {
    return thing_ ? thing_->ClassID() : Class_ID();
  }
  void SetThing(ReferenceTarget* m) override {
    thing_ = m;
    for (auto& map : maps_) {
      if (map->GetUserDlgProc()) map->GetUserDlgProc()->SetThing(m);
    }
  }
  ReferenceTarget* GetThing() override {
    return thing_;
  }
  void DeleteThis() override {
    delete this;
  }
  void AddDlg(ParamDlg* dlg) override {
    if (dlg) added_.push_back(dlg);
  }
  int NumDlgs() override {
    return static_cast<int>(added_.size());
  }
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
  IMtlParams* imp_;
  std::vector<std::unique_ptr<ParamMap>> maps_;
  std::vector<ParamDlg*> added_;
};

}  // namespace

ParamMap::~ParamMap() {
  SetUserDlgProc(nullptr);
}

void ParamMap::Enable(ParamID id, BOOL onOff, int) {
  disabled_[id] = !onOff;
#ifdef _WIN32
  if (const ParamDef* def = hWnd_ ? desc_->FindParamDef(id) : nullptr) {
    EnableControls(*def, onOff != 0);
  }
#endif
}

void ParamMap::Invalidate(ParamID id, int) {
  ++invalidated_[id];
#ifdef _WIN32
  if (!hWnd_) return;
  for (const ParamDef& def : desc_->paramdefs) {
    if (def.has_ui && (id == -1 || def.ID == id)) ShowValue(def);
  }
#endif
}

void ParamMap::SetUserDlgProc(ParamMap2UserDlgProc* proc) {
  ParamMap2UserDlgProc* old = desc_->dlgProc;
  if (old == proc) return;
  desc_->dlgProc = proc;
  if (old) old->DeleteThis();
#ifdef _WIN32
  // A procedure attached to an open rollout starts as if the rollout had just been built.
  if (proc && hWnd_) CallUserProc(WM_INITDIALOG, 0, 0);
#endif
}

bool ParamMap::IsEnabled(ParamID id) const {
  auto it = disabled_.find(id);
  return it == disabled_.end() || !it->second;
}

int ParamMap::InvalidateCount(ParamID id) const {
  auto it = invalidated_.find(id);
  return it == invalidated_.end() ? 0 : it->second;
}

void ParamBlockDesc2::SetUserDlgProc(ParamMap2UserDlgProc* proc) {
  for (auto& [block, map] : OpenMaps()) {
    if (map->Desc() == this) {
      map->SetUserDlgProc(proc);
      return;
    }
  }
  dlgProc = proc;
}

IParamMap2* GetParamMapOf(IParamBlock2* block) {
  auto it = OpenMaps().find(block);
  return it == OpenMaps().end() ? nullptr : it->second;
}

IAutoMParamDlg* CreateAutoParamDlgs(ClassDesc2* cd, HWND, IMtlParams* imp, ReferenceTarget* owner) {
  auto* dlg = new AutoMParamDlg(owner, imp);
  for (int i = 0; i < cd->NumParamBlockDescs(); ++i) {
    ParamBlockDesc2* desc = cd->GetParamBlockDesc(i);
    if (!(desc->flags & P_AUTO_UI)) continue;
    IParamBlock2* block = owner ? owner->GetParamBlockByID(desc->ID) : nullptr;
    if (!block) continue;
    [[maybe_unused]] ParamMap* map = dlg->AddMap(block, desc);
#ifdef _WIN32
    if (imp) {
      map->hRollup =
          imp->AddRollupPage(cd->HInstance(), desc->dlg_template, &ParamMap::RolloutProc,
                             cd->GetRsrcString(desc->title), reinterpret_cast<LPARAM>(map),
                             static_cast<DWORD>(desc->rollup_flags));
    }
#endif
  }
  return dlg;
}

void InvalidateParamUI(ParamBlockDesc2* pbd, ParamID id, int tabIndex) {
  for (auto& [block, map] : OpenMaps()) {
    if (map->Desc() == pbd) map->Invalidate(id, tabIndex);
  }
}

IParamMap2* IParamBlock2::GetMap(int mapID) {
  return mapID == 0 ? GetParamMapOf(this) : nullptr;
}

IAutoMParamDlg* ClassDesc2::CreateParamDlgs(HWND hwMtlEdit, IMtlParams* imp,
                                            ReferenceTarget* owner) {
  return CreateAutoParamDlgs(this, hwMtlEdit, imp, owner);
}

void ClassDesc2::InvalidateUI(ParamBlockDesc2* pbd, ParamID id, int tabIndex) {
  InvalidateParamUI(pbd, id, tabIndex);
}
