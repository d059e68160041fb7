// The plug-in's class descriptor and the library-wide objects built with it: the two block
// descriptors, the string loader and the module handle.
#pragma once

#include "iparamb2.h"
#include "strclass.h"

class TamrelScratchesClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override { return 1; }
  void* Create(BOOL loading = FALSE) override;
  const MCHAR* ClassName() override;
  const MCHAR* NonLocalizedClassName() override { return _M("TamrelScratches"); }
  const MCHAR* InternalName() override { return _M("TamrelScratches"); }
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }
  Class_ID ClassID() override;
  const MCHAR* Category() override { return TEXMAP_CAT_3D; }
  HINSTANCE HInstance() override;
  const MCHAR* GetRsrcString(int id) override;
};

// The library's one class descriptor and the descriptors of its two blocks.
TamrelScratchesClassDesc* GetTamrelScratchesDesc();
ParamBlockDesc2* GetMappingDesc();
ParamBlockDesc2* GetParamsDesc();

// Text id of the library's string table, in a buffer of 256 characters that the next call
// overwrites; null before the library entry point has run or for an id the table lacks.
const MCHAR* GetResString(int id);

// The module handle stored by the library entry point (null before it has run).
HINSTANCE GetModuleInstance();
void SetModuleInstance(HINSTANCE h);
