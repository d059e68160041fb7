// The host's default texture-output stage: the identity, with the identity of a class so that
// scenes store and restore it with the map that owns it.
#include "iparamm2.h"
#include "plugapi.h"
#include "texout.h"

namespace {

#ifdef _WIN32
// The "Output" rollout of the default stage: a note that it has nothing to set, built from the
// host library's own dialog template.
constexpr int kStdTexoutTemplate = 1;

HINSTANCE HostLibrary() {
  HMODULE m = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&HostLibrary), &m);
  return m;
}

INT_PTR CALLBACK StdTexoutProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

class StdTexoutDlg : public ParamDlg {
 public:
  StdTexoutDlg(IMtlParams* imp, HWND hDlg, ReferenceTarget* thing)
      : imp_(imp), hDlg_(hDlg), thing_(thing) {}
  Class_ID ClassID() override { return STD_TEXOUT_CLASS_ID; }
  void SetThing(ReferenceTarget* m) override { thing_ = m; }
  ReferenceTarget* GetThing() override { return thing_; }
  void DeleteThis() override {
    imp_->DeleteRollupPage(hDlg_);
    delete this;
  }

 private:
  IMtlParams* imp_;
  HWND hDlg_;
  ReferenceTarget* thing_;
};
#endif

class StdTexout : public TextureOutput {
 public:
  Class_ID ClassID() override { return STD_TEXOUT_CLASS_ID; }
  void GetClassName(MSTR& s, bool) const override { s = _M("StdTexout"); }

  AColor Filter(AColor c) override { return c; }
  float Filter(float f) override { return f; }
  Point3 Filter(Point3 p) override { return p; }
  void Update(TimeValue, Interval&) override {}
  void Reset() override {}
#ifdef _WIN32
  ParamDlg* CreateParamDlg(void*, IMtlParams* imp) override {
    HWND hDlg = imp ? imp->AddRollupPage(HostLibrary(), kStdTexoutTemplate, &StdTexoutProc,
                                         _M("Output"), 0, APPENDROLL_CLOSED)
                    : nullptr;
    return hDlg ? new StdTexoutDlg(imp, hDlg, this) : nullptr;
  }
#else
  // Editors without windows show no rollout for a stage with nothing to set.
  ParamDlg* CreateParamDlg(void*, IMtlParams*) override { return nullptr; }
#endif

  RefTargetHandle Clone(RemapDir& remap) override {
    auto* copy = new StdTexout;
    BaseClone(this, copy, remap);
    return copy;
  }
};

class StdTexoutClassDesc : public ClassDesc {
 public:
  int IsPublic() override { return 0; }
  void* Create(BOOL) override { return new StdTexout; }
  const MCHAR* ClassName() override { return _M("StdTexout"); }
  SClass_ID SuperClassID() override { return TEXOUTPUT_CLASS_ID; }
  Class_ID ClassID() override { return STD_TEXOUT_CLASS_ID; }
  const MCHAR* Category() override { return _M(""); }
};

}  // namespace

TextureOutput* GetNewDefaultTextureOutput() { return new StdTexout; }

ClassDesc* GetStdTexoutClassDesc() {
  static StdTexoutClassDesc desc;
  return &desc;
}
