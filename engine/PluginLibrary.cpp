#include "engine/PluginLibrary.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/Host.h"
#include "engine/ParamSchema.h"
#include "texout.h"

namespace tamrel::host {

namespace fs = std::filesystem;

PluginLibrary::~PluginLibrary() {
  if (handle_) {
    shutdown_();
    dlclose(handle_);
  }
}

bool PluginLibrary::Open(const std::string& path) {
  path_ = path;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error_ = "cannot load plug-in " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  auto resolve = [&](const char* name, auto& fn) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
    if (!fn && error_.empty()) error_ = "plug-in " + path + " does not export " + name;
  };
  error_.clear();
  resolve("LibDescription", description_);
  resolve("LibNumberClasses", numberClasses_);
  resolve("LibClassDesc", classDesc_);
  resolve("LibVersion", version_);
  resolve("LibInitialize", initialize_);
  resolve("LibShutdown", shutdown_);
  if (!error_.empty()) {
    dlclose(handle);
    return false;
  }
  handle_ = handle;
  if (!initialize_()) {
    error_ = "plug-in " + path + " refused to initialise";
    dlclose(handle_);
    handle_ = nullptr;
    return false;
  }
  return true;
}

std::string DefaultPluginPath() {
  if (const char* env = std::getenv("TAMREL_PLUGIN"); env && *env) return env;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path dir = ec ? std::filesystem::path(".") : self.parent_path();
  return (dir / "TamrelScratches.dlt").string();
}

void LoadPlugin(const std::string& path, Plugin& plugin) {
  if (!plugin.library.Open(path)) Fail(EXIT_PLUGIN, plugin.library.error());
  for (int i = 0; i < plugin.library.NumberClasses(); ++i) {
    ClassDesc* cd = plugin.library.GetClassDesc(i);
    if (cd && cd->SuperClassID() == TEXMAP_CLASS_ID) {
      plugin.cd = cd;
      return;
    }
  }
  Fail(EXIT_PLUGIN, "plug-in " + path + " offers no texture map class");
}

std::string PluginSummary(const Plugin& p) {
  char version[16];
  std::snprintf(version, sizeof version, "0x%08X", static_cast<unsigned>(p.library.Version()));
  return Narrow(p.cd->NonLocalizedClassName()) + " from " +
         fs::path(p.library.path()).filename().string() + " (" +
         Narrow(p.library.Description()) + ", SDK " + version + ")";
}

Texmap* NewMap(ClassDesc& cd, Scene& scene) {
  auto* map = static_cast<Texmap*>(cd.Create(FALSE));
  if (!map) Fail(EXIT_PLUGIN, "the plug-in did not create a map");
  scene.AddRoot(map);
  return map;
}

std::string SoftwareTag(const Plugin& p) {
  return std::string("tamrel ") + kVersion + "; " + PluginSummary(p);
}

ClassDirectory MakeClassDirectory(const Plugin& p) {
  ClassDirectory dir;
  for (int i = 0; i < p.library.NumberClasses(); ++i) {
    if (ClassDesc* cd = p.library.GetClassDesc(i)) dir.AddClass(cd);
  }
  dir.AddClass(GetStdTexoutClassDesc());
  return dir;
}

std::string DisplayName(ClassDesc& cd, int id) {
  if (id == 0) return {};
  const MCHAR* text = cd.GetRsrcString(id);
  return text ? Narrow(text) : "#" + std::to_string(id);
}

}  // namespace tamrel::host
