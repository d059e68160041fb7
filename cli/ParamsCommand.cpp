// tamrel params: every parameter of both blocks as the descriptors declare them, with the value a
// new map starts with, as a table or as JSON.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <vector>

#include "cli/Command.h"
#include "cli/Commands.h"
#include "engine/ParamSchema.h"
#include "paramlisting.h"

namespace tamrel::host {

using nlohmann::json;

int RunParams(const std::string& pluginPath, bool asJson) {
  Plugin plugin;
  LoadPlugin(pluginPath, plugin);
  const ParamSchema schema(*plugin.cd);
  Scene scene;
  Texmap* map = NewMap(*plugin.cd, scene);

  json list = json::array();
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"block", "name", "id", "type", "default", "new map", "range", "anim",
                  "display name"});
  for (const ParamEntry& p : schema.Params()) {
    const std::string def = FormatParamValue(p.def->type, p.def->def);
    std::string now;
    if (!p.def->IsReference()) {
      const TimeValue t = 0;
      PB2Value v;
      IParamBlock2* block = map->GetParamBlockByID(p.block->ID);
      Interval iv = FOREVER;
      if (p.def->type == TYPE_FLOAT) block->GetValue(p.def->ID, t, v.f, iv);
      if (p.def->type == TYPE_INT || p.def->type == TYPE_BOOL) block->GetValue(p.def->ID, t, v.i, iv);
      if (p.def->type == TYPE_RGBA) block->GetValue(p.def->ID, t, v.c, iv);
      now = FormatParamValue(p.def->type, v);
    }
    const std::string range =
        p.def->has_range ? FormatParamValue(p.def->type, p.def->range_low) + " .. " +
                               FormatParamValue(p.def->type, p.def->range_high)
                         : "";
    const bool anim = (p.def->flags & P_ANIMATABLE) != 0;
    const std::string display = DisplayName(*plugin.cd, p.def->local_name);
    rows.push_back({Narrow(p.block->int_name), p.name, std::to_string(p.def->ID),
                    ParamTypeName(p.def->type), def, now, range, anim ? "yes" : "no", display});
    list.push_back({{"block", Narrow(p.block->int_name)},
                    {"name", p.name},
                    {"id", p.def->ID},
                    {"type", ParamTypeName(p.def->type)},
                    {"default", def},
                    {"new_map", now},
                    {"range", range},
                    {"animatable", anim},
                    {"display_name", display}});
  }
  if (asJson) {
    std::cout << list.dump(2) << "\n";
    return EXIT_OK;
  }
  std::vector<std::size_t> width(rows[0].size(), 0);
  for (const auto& r : rows) {
    for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
  }
  for (const auto& r : rows) {
    std::string line;
    for (std::size_t c = 0; c < r.size(); ++c) {
      line += r[c];
      if (c + 1 < r.size()) line += std::string(width[c] - r[c].size() + 2, ' ');
    }
    std::cout << line << "\n";
  }
  return EXIT_OK;
}

}  // namespace tamrel::host
