// Loads a plug-in library the way the host application does: through the platform loader and the
// six exported functions, never by linking against it.
#pragma once

#include <string>

#include "imtl.h"
#include "maxtypes.h"
#include "scenefile.h"
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

// A loaded plug-in and its texture-map class.
struct Plugin {
  PluginLibrary library;
  ClassDesc* cd = nullptr;
};

// Opens the library and finds its texture-map class; fails with EXIT_PLUGIN.
void LoadPlugin(const std::string& path, Plugin& plugin);
// "TamrelScratches from TamrelScratches.dlt (description, SDK 0x...)".
std::string PluginSummary(const Plugin& p);
// What baked images name as their maker: tamrel's version and the plug-in's summary.
std::string SoftwareTag(const Plugin& p);
// A new map, kept alive by the scene that owns it; fails with EXIT_PLUGIN.
Texmap* NewMap(ClassDesc& cd, Scene& scene);
// The classes a scene file may name: the plug-in's and the standard output stage.
ClassDirectory MakeClassDirectory(const Plugin& p);
// The display text of a string-table id ("" for 0).
std::string DisplayName(ClassDesc& cd, int id);

}  // namespace tamrel::host
