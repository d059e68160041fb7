#include "engine/ImageEncoder.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#ifdef TAMREL_IMAGES_BUILT_IN
extern "C" tamrel::host::ImageEncoder* TamrelNewImageEncoder();
#endif

namespace tamrel::host {
namespace {

namespace fs = std::filesystem;

// The module once loaded, for the rest of the process (it is never closed: encoders may live
// until exit).
struct Module {
  NewImageEncoderFunction create = nullptr;
  std::string error;
};

const Module& LoadModule() {
  static const Module module = [] {
    Module m;
#ifdef TAMREL_IMAGES_BUILT_IN
    m.create = &TamrelNewImageEncoder;
#else
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("TAMREL_IMAGE_MODULE"); env && *env) {
      candidates.push_back(env);
    } else {
      std::error_code ec;
      const fs::path self = fs::read_symlink("/proc/self/exe", ec);
      if (!ec) candidates.push_back((self.parent_path() / "tamrel_images.so").string());
#ifdef TAMREL_IMAGE_MODULE_PATH
      candidates.push_back(TAMREL_IMAGE_MODULE_PATH);
#endif
    }
    std::string tried;
    for (const std::string& path : candidates) {
      std::error_code ec;
      if (!fs::exists(path, ec)) {
        tried += (tried.empty() ? "" : ", ") + path;
        continue;
      }
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        const char* why = ::dlerror();
        m.error = "cannot load the image module " + path + ": " + (why ? why : "unknown error");
        return m;
      }
      m.create = reinterpret_cast<NewImageEncoderFunction>(::dlsym(handle, kNewImageEncoderSymbol));
      if (!m.create) m.error = "the image module " + path + " exports no encoder";
      return m;
    }
    m.error = "the image module tamrel_images.so is missing (looked for " + tried + ")";
#endif
    return m;
  }();
  return module;
}

}  // namespace

std::unique_ptr<ImageEncoder> NewImageEncoder(std::string& error) {
  const Module& m = LoadModule();
  if (!m.create) {
    error = m.error;
    return nullptr;
  }
  return std::unique_ptr<ImageEncoder>(m.create());
}

}  // namespace tamrel::host
