// Loads a plug-in library the way the host application does: through the platform loader and the
// six exported functions, never by linking against it.
#pragma once

#include <string>

#include "maxtypes.h"
#include "strclass.h"

class ClassDesc;

namespace tamrel::host {

class PluginLibrary {
 public:
  PluginLibrary() = default;
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
  ~PluginLibrary();

  // Opens the library and resolves its exports; on failure returns false and error() says why.
  bool Open(const std::string& path);
  bool IsOpen() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  const MCHAR* Description() const { return description_(); }
  int NumberClasses() const { return numberClasses_(); }
  ClassDesc* GetClassDesc(int i) const { return classDesc_(i); }
  ULONG Version() const { return version_(); }
  int Initialize() const { return initialize_(); }
  int Shutdown() const { return shutdown_(); }

 private:
  void* handle_ = nullptr;
  std::string path_, error_;
  const MCHAR* (*description_)() = nullptr;
  int (*numberClasses_)() = nullptr;
  ClassDesc* (*classDesc_)(int) = nullptr;
  ULONG (*version_)() = nullptr;
  int (*initialize_)() = nullptr;
  int (*shutdown_)() = nullptr;
};

// The plug-in library built beside the host executable, or $TAMREL_PLUGIN when set.
std::string DefaultPluginPath();

}  // namespace tamrel::host
