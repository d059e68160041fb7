// What the commands of tamrel share: exit codes, failures that carry them, the loaded plug-in and
// the maps it creates, and files written beside their target and renamed into place.
#pragma once

#include <atomic>
#include <string>

#include "engine/PluginLibrary.h"
#include "imtl.h"
#include "scenefile.h"

namespace tamrel::host {

inline constexpr const char* kVersion = "1.0.0";

// Exit codes, distinct per kind of failure so that scripts can tell them apart.
enum Exit : int {
  EXIT_OK = 0,
  EXIT_RENDER = 1,      // the render itself failed
  EXIT_USAGE = 2,       // bad option or parameter
  EXIT_INPUT = 3,       // a preset or scene cannot be read
  EXIT_OUTPUT = 4,      // an image, preset or scene cannot be written
  EXIT_PLUGIN = 5,      // the plug-in cannot be loaded or has no texture map
  // Interrupted runs end with 128 + the signal: 130 for SIGINT, 143 for SIGTERM.
};

struct Failure {
  int code;
  std::string message;
};

[[noreturn]] void Fail(int code, const std::string& message);

struct Plugin {
  PluginLibrary library;
  ClassDesc* cd = nullptr;
};

// Opens the library and finds its texture-map class; fails with EXIT_PLUGIN.
void LoadPlugin(const std::string& path, Plugin& plugin);
// "TamrelScratches from TamrelScratches.dlt (description, SDK 0x...)".
std::string PluginSummary(const Plugin& p);
// A new map, kept alive by the scene that owns it.
Texmap* NewMap(ClassDesc& cd, Scene& scene);
// The classes a scene file may name: the plug-in's and the standard output stage.
ClassDirectory MakeClassDirectory(const Plugin& p);
// The display text of a string-table id ("" for 0).
std::string DisplayName(ClassDesc& cd, int id);

// Replaces the file whole or not at all, as the images are.
void WriteTextFile(const std::string& path, const std::string& text, const char* what);
// Refuses before any work an output that could not be written afterwards.
void CheckWritableFolder(const std::string& path, const char* what);

}  // namespace tamrel::host
