// tamrel info: what the plug-in reports through its exports, class by class.
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "cli/Commands.h"
#include "engine/ParamSchema.h"

namespace tamrel::host {
namespace {

std::string Hex(unsigned long v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%08lX", v);
  return buf;
}

}  // namespace

int RunInfo(const std::string& pluginPath) {
  Plugin plugin;
  LoadPlugin(pluginPath, plugin);
  const PluginLibrary& lib = plugin.library;
  std::cout << "library:        " << lib.path() << "\n"
            << "description:    " << Narrow(lib.Description()) << "\n"
            << "SDK version:    " << Hex(lib.Version()) << "\n"
            << "classes:        " << lib.NumberClasses() << "\n";
  for (int i = 0; i < lib.NumberClasses(); ++i) {
    ClassDesc* cd = lib.GetClassDesc(i);
    if (!cd) continue;
    const Class_ID id = cd->ClassID();
    std::cout << "class " << i << ":\n"
              << "  name:         " << Narrow(cd->ClassName()) << "\n"
              << "  internal:     " << Narrow(cd->InternalName()) << "\n"
              << "  non-localised " << Narrow(cd->NonLocalizedClassName()) << "\n"
              << "  category:     " << Narrow(cd->Category()) << "\n"
              << "  super class:  " << Hex(cd->SuperClassID()) << "\n"
              << "  class ID:     (" << Hex(id.PartA()) << ", " << Hex(id.PartB()) << ")\n"
              << "  public:       " << (cd->IsPublic() ? "yes" : "no") << "\n";
    for (int b = 0; b < cd->NumParamBlockDescs(); ++b) {
      ParamBlockDesc2* d = cd->GetParamBlockDesc(b);
      if (!d) continue;
      std::cout << "  block " << d->ID << ":      \"" << Narrow(d->int_name) << "\", "
                << d->Count() << " parameters, rollout \"" << DisplayName(*cd, d->title)
                << "\"\n";
    }
  }
  return EXIT_OK;
}

}  // namespace tamrel::host
