// The library as the host sees it: the static objects built at load (class descriptor first,
// then the "Mapping" and "params" descriptors, which register with it in that order), the entry
// point, the string loader and the six exported functions.
#include <cstring>

#include "coords/MappingBlock.h"
#include "coords/XYZCoords.h"
#include "resources/resource.h"
#include "texmap/ScratchesClassDesc.h"
#include "texmap/StringTable.h"
#include "texmap/TamrelScratches.h"

#ifdef _WIN32
#define TAMREL_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define TAMREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The host SDK version the library is built against.
inline constexpr ULONG VERSION_3DSMAX = 0x6D604400;

namespace {

// One translation unit fixes the construction order; destruction runs in reverse at unload.
TamrelScratchesClassDesc scratchesDesc;
XYZ_Desc xyzDesc(&scratchesDesc, MAPPING_REF, MAPPING_BLOCK_ID, XYZ_MAP_OBJECT, XYZ_TILE_CONTINUE,
                 XYZ_TILE_CONTINUE, XYZ_TILE_CONTINUE, APPENDROLL_CLOSED);
ParamBlockDesc2 paramsDesc = MakeParamsDesc(&scratchesDesc);

HINSTANCE hInstance = nullptr;

}  // namespace

TamrelScratchesClassDesc* GetTamrelScratchesDesc() { return &scratchesDesc; }
ParamBlockDesc2* GetMappingDesc() { return &xyzDesc; }
ParamBlockDesc2* GetParamsDesc() { return &paramsDesc; }
HINSTANCE GetModuleInstance() { return hInstance; }
void SetModuleInstance(HINSTANCE h) { hInstance = h; }

void* TamrelScratchesClassDesc::Create(BOOL) { return new TamrelScratches(); }
const MCHAR* TamrelScratchesClassDesc::ClassName() { return GetResString(IDS_CLASS_NAME); }
Class_ID TamrelScratchesClassDesc::ClassID() { return TAMREL_SCRATCHES_CLASS_ID; }
HINSTANCE TamrelScratchesClassDesc::HInstance() { return hInstance; }
const MCHAR* TamrelScratchesClassDesc::GetRsrcString(int id) { return GetResString(id); }

#ifndef _WIN32
const MCHAR* FindStringTableText(int id) {
  for (int i = 0; i < kStringTableSize; ++i) {
    if (kStringTable[i].id == id) return kStringTable[i].text;
  }
  return nullptr;
}
#endif

const MCHAR* GetResString(int id) {
  static MCHAR buf[256];
  if (!hInstance) return nullptr;
#ifdef _WIN32
  const int copied = LoadStringW(hInstance, static_cast<UINT>(id), buf, 256);
#else
  // As the platform loader does: copy at most 255 characters and terminate.
  const MCHAR* text = FindStringTableText(id);
  int copied = 0;
  if (text) {
    while (copied < 255 && text[copied]) {
      buf[copied] = text[copied];
      ++copied;
    }
    buf[copied] = 0;
  }
#endif
  return copied > 0 ? buf : nullptr;
}

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE hinstDLL, ULONG fdwReason, LPVOID) {
  if (fdwReason == DLL_PROCESS_ATTACH) {
    hInstance = hinstDLL;
    DisableThreadLibraryCalls(hInstance);
  }
  return TRUE;
}
#else
// The platform loader's equivalent of process attach: runs after the static objects above.
__attribute__((constructor)) static void LibraryEntry() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&LibraryEntry), &info) && info.dli_fbase) {
    hInstance = static_cast<HINSTANCE>(info.dli_fbase);
  }
}
#endif

TAMREL_EXPORT const MCHAR* LibDescription() { return GetResString(IDS_LIBDESCRIPTION); }
TAMREL_EXPORT int LibNumberClasses() { return 1; }
TAMREL_EXPORT ClassDesc* LibClassDesc(int i) { return i == 0 ? &scratchesDesc : nullptr; }
TAMREL_EXPORT ULONG LibVersion() { return VERSION_3DSMAX; }
TAMREL_EXPORT int LibInitialize() { return TRUE; }
TAMREL_EXPORT int LibShutdown() { return TRUE; }
