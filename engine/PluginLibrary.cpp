#include "engine/PluginLibrary.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

namespace tamrel::host {

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

}  // namespace tamrel::host
