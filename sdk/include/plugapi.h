// Class descriptors: how the host learns what a plug-in class is called and how to create one.
#pragma once

#include "maxtypes.h"
#include "strclass.h"

class ParamBlockDesc2;

#define TEXMAP_CAT_3D _M("3D Maps")
#define TEXMAP_CAT_2D _M("2D Maps")

class ClassDesc {
 public:
  ClassDesc() = default;
  ClassDesc(const ClassDesc&) = delete;
  ClassDesc& operator=(const ClassDesc&) = delete;
  virtual ~ClassDesc() = default;

  virtual int IsPublic() = 0;
  // A new object of the class, allocated with the plug-in's heap; loading is TRUE when the host
  // is about to read the object from a scene file.
  virtual void* Create(BOOL loading = FALSE) = 0;
  virtual const MCHAR* ClassName() = 0;
  virtual const MCHAR* NonLocalizedClassName() { return ClassName(); }
  virtual SClass_ID SuperClassID() = 0;
  virtual Class_ID ClassID() = 0;
  virtual const MCHAR* Category() = 0;
  virtual const MCHAR* InternalName() { return nullptr; }
  virtual HINSTANCE HInstance() { return nullptr; }
  // Answers 0x7FFFFFFF: every rollout keeps its own open or closed state.
  virtual int InitialRollupPageState() { return 0x7FFFFFFF; }
  // The text of a string id from the plug-in's own string table; null where it has none. Hosts
  // read display names of parameters and rollouts through it.
  virtual const MCHAR* GetRsrcString(int) { return nullptr; }

  virtual int NumParamBlockDescs() { return 0; }
  virtual ParamBlockDesc2* GetParamBlockDesc(int) { return nullptr; }
  virtual ParamBlockDesc2* GetParamBlockDescByID(BlockID) { return nullptr; }
  virtual ParamBlockDesc2* GetParamBlockDescByName(const MCHAR*) { return nullptr; }
};
