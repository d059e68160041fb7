// The shared pieces of tamrel's commands.
#include "cli/Command.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "atomicfile.h"
#include "engine/ParamSchema.h"
#include "texout.h"

namespace tamrel::host {

namespace fs = std::filesystem;

void Fail(int code, const std::string& message) { throw Failure{code, message}; }

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

// A new map, kept alive by the scene that owns it.
Texmap* NewMap(ClassDesc& cd, Scene& scene) {
  auto* map = static_cast<Texmap*>(cd.Create(FALSE));
  if (!map) Fail(EXIT_PLUGIN, "the plug-in did not create a map");
  scene.AddRoot(map);
  return map;
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

// Replaces the file whole or not at all, as the images are.
void WriteTextFile(const std::string& path, const std::string& text, const char* what) {
  std::string error;
  if (!WriteFileAtomically(path, text, error)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

// Refuses before rendering an output that could not be written afterwards.
void CheckWritableFolder(const std::string& path, const char* what) {
  const fs::path p(path);
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": folder " +
                          dir.string() + " does not exist");
  }
  if (::access(dir.c_str(), W_OK) != 0) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": folder " +
                          dir.string() + " is not writable");
  }
  if (fs::is_directory(p, ec)) Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " +
                                                     path + ": it is a folder");
  // A name the file system cannot hold, or a folder that takes no new file, fails now rather
  // than after the render.
  const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  const std::size_t nameLength = p.filename().string().size();
  if (nameMax > 0 && nameLength > static_cast<std::size_t>(nameMax)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": its name is " +
                          std::to_string(nameLength) + " bytes long, more than the " +
                          std::to_string(nameMax) + " its folder allows");
  }
  AtomicFile trial;
  std::string error;
  if (!trial.Create(p, error)) {
    Fail(EXIT_OUTPUT, std::string("cannot write ") + what + " " + path + ": " + error);
  }
}

}  // namespace tamrel::host
