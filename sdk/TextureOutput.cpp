// The host's default texture-output stage: the identity, with the identity of a class so that
// scenes store and restore it with the map that owns it.
#include "plugapi.h"
#include "texout.h"

namespace {

class StdTexout : public TextureOutput {
 public:
  Class_ID ClassID() override { return STD_TEXOUT_CLASS_ID; }
  void GetClassName(MSTR& s, bool) const override { s = _M("StdTexout"); }

  AColor Filter(AColor c) override { return c; }
  float Filter(float f) override { return f; }
  Point3 Filter(Point3 p) override { return p; }
  void Update(TimeValue, Interval&) override {}
  void Reset() override {}
  ParamDlg* CreateParamDlg(void*, IMtlParams*) override { return nullptr; }

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
