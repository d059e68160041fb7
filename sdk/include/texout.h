// TextureOutput: the output stage every standard texture map passes its results through, and the
// host's default implementation of it.
//
// The host's default stage here is the identity: it has no output controls (level, offset,
// invert), so maps read the same with or without it. It is a full reference target all the same:
// cloned, saved and loaded with the map that owns it.
#pragma once

#include "acolor.h"
#include "imtl.h"
#include "point3.h"

class ClassDesc;
class ParamDlg;
class IMtlParams;

inline constexpr Class_ID STD_TEXOUT_CLASS_ID(0x1A2B0000, 0x00000C30);

class TextureOutput : public ReferenceTarget {
 public:
  SClass_ID SuperClassID() override { return TEXOUTPUT_CLASS_ID; }

  virtual AColor Filter(AColor c) = 0;
  virtual float Filter(float f) = 0;
  virtual Point3 Filter(Point3 p) = 0;
  virtual void Update(TimeValue t, Interval& valid) = 0;
  virtual void Reset() = 0;
  // The Output rollout of the editor; null where the host shows none.
  virtual ParamDlg* CreateParamDlg(void* hwMtlEdit, IMtlParams* imp) = 0;
};

// A new default output stage, owned by whoever references it.
TextureOutput* GetNewDefaultTextureOutput();
// The class descriptor of the default stage, for hosts that read it back from scene files.
ClassDesc* GetStdTexoutClassDesc();
