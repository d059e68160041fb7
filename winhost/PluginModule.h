// A plug-in library loaded the way the host loads one: LoadLibrary, then the six exports.
#pragma once

#include <windows.h>

#include <string>

#include "plugapi.h"
#include "strclass.h"

class PluginModule {
 public:
  PluginModule() = default;
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;
  ~PluginModule();

  // Loads the library and finds its exports; false with error() set when it cannot.
  bool Load(const std::wstring& path);
  const std::wstring& error() const { return error_; }
  HMODULE module() const { return module_; }

  const MCHAR* (*LibDescription)() = nullptr;
  int (*LibNumberClasses)() = nullptr;
  ClassDesc* (*LibClassDesc)(int) = nullptr;
  ULONG (*LibVersion)() = nullptr;
  int (*LibInitialize)() = nullptr;
  int (*LibShutdown)() = nullptr;

 private:
  HMODULE module_ = nullptr;
  bool initialized_ = false;
  std::wstring error_;
};
