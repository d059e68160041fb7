// Loading a plug-in library through its exports.
#include "PluginModule.h"

namespace {

template <typename F>
bool Find(HMODULE m, const char* name, F& f) {
  f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  return f != nullptr;
}

}  // namespace

PluginModule::~PluginModule() {
  if (initialized_ && LibShutdown) LibShutdown();
  if (module_) FreeLibrary(module_);
}

bool PluginModule::Load(const std::wstring& path) {
  module_ = LoadLibraryW(path.c_str());
  if (!module_) {
    error_ = L"cannot load " + path + L" (error " + std::to_wstring(GetLastError()) + L")";
    return false;
  }
  const bool all =
      Find(module_, "LibDescription", LibDescription) &&
      Find(module_, "LibNumberClasses", LibNumberClasses) &&
      Find(module_, "LibClassDesc", LibClassDesc) && Find(module_, "LibVersion", LibVersion) &&
      Find(module_, "LibInitialize", LibInitialize) && Find(module_, "LibShutdown", LibShutdown);
  if (!all) {
    error_ = path + L" lacks one of the six plug-in exports";
    return false;
  }
  if (!LibInitialize()) {
    error_ = path + L": LibInitialize failed";
    return false;
  }
  initialized_ = true;
  return true;
}
