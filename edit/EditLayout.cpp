#include "edit/EditLayout.h"

#include <algorithm>

#include "paramlisting.h"
#include "rolloutinfo.h"
#include "scenefile.h"

namespace tamrel::host {
namespace {

using nlohmann::json;

std::string Text(ClassDesc& cd, int id) {
  if (id <= 0) return {};
  return Narrow(cd.GetRsrcString(id));
}

json ValueJson(const ParamDef& d, const PB2Value& v) {
  switch (d.type) {
    case TYPE_FLOAT: return v.f;
    case TYPE_INT: return v.i;
    case TYPE_BOOL: return v.i != 0;
    case TYPE_RGBA: return json::array({v.c.r, v.c.g, v.c.b});
    default: return nullptr;
  }
}

const char* RoleOf(const ParamDef& d, std::size_t index) {
  switch (d.ctrl_type) {
    case TYPE_SPINNER: return index == 0 ? "edit" : "spinner";
    case TYPE_SINGLECHEKBOX: return "checkbox";
    case TYPE_COLORSWATCH: return "swatch";
    case TYPE_CHECKBUTTON: return "checkbutton";
    case TYPE_TEXMAPBUTTON: return "map";
    case TYPE_INTLISTBOX: return "list";
  }
  return "other";
}

}  // namespace

json BuildEditLayout(const std::vector<DialogTemplate>& dialogs, const ParamSchema& schema,
                     ClassDesc& cd) {
  // What the descriptors cannot declare (list items, captions set by the dialog procedures, the
  // spinners that switch units) the plug-in tells through its rollout interface; a new map of
  // the class answers for every map of it. A map without the interface gets none of them.
  Scene keeper;
  auto* map = static_cast<ReferenceTarget*>(cd.Create(FALSE));
  keeper.AddRoot(map);
  auto* info = map ? static_cast<IRolloutInfo*>(map->GetInterface(I_ROLLOUTINFO)) : nullptr;

  json params = json::object();
  for (const ParamEntry& p : schema.Params()) {
    const ParamDef& d = *p.def;
    json j = {{"block", Narrow(p.block->int_name)},
              {"id", d.ID},
              {"type", ParamTypeName(d.type)},
              {"display", Text(cd, d.local_name)},
              {"animatable", (d.flags & P_ANIMATABLE) != 0},
              {"default", ValueJson(d, d.def)},
              {"range", d.has_range ? json::array({ValueJson(d, d.range_low), ValueJson(d, d.range_high)})
                                    : json(nullptr)},
              {"integer", d.type == TYPE_INT || (d.has_ui && d.ctrl_type == TYPE_SPINNER &&
                                                  d.spin_type == EDITTYPE_INT)},
              {"coordinate", info && info->IsUnitSpinner(p.block->ID, d.ID)}};
    params[p.name] = j;
  }

  json rollouts = json::array(), missing = json::array();
  for (int b = 0; b < cd.NumParamBlockDescs(); ++b) {
    ParamBlockDesc2* desc = cd.GetParamBlockDesc(b);
    if (!desc || !(desc->flags & P_AUTO_UI) || desc->dlg_template == 0) continue;
    const auto dialog = std::find_if(dialogs.begin(), dialogs.end(), [&](const DialogTemplate& t) {
      return t.id == desc->dlg_template;
    });
    if (dialog == dialogs.end()) {
      missing.push_back({{"dialog", desc->dlg_template},
                         {"title", Text(cd, desc->title)},
                         {"block", Narrow(desc->int_name)}});
      continue;
    }
    json controls = json::array();
    for (const DialogControl& c : dialog->controls) {
      json k = {{"id", c.id},           {"kind", ControlKindName(c.kind)},
                {"class", c.windowClass}, {"align", TextAlignName(c.align)},
                {"text", c.text},       {"x", c.x},
                {"y", c.y},             {"width", c.width},
                {"height", c.height}};
      if (info) {
        if (const MCHAR* caption = info->DialogButtonCaption(dialog->id, c.id)) {
          k["text"] = Narrow(caption);
        }
        const std::vector<int> strings = info->DialogListItems(dialog->id, c.id);
        if (!strings.empty()) {
          json items = json::array();
          for (int s : strings) items.push_back(Text(cd, s));
          k["items"] = items;
        }
      }
      // A control belongs to the parameter whose p_ui list names its id.
      for (const ParamDef& d : desc->paramdefs) {
        const auto at = std::find(d.ctrl_IDs.begin(), d.ctrl_IDs.end(), c.id);
        if (!d.has_ui || c.id < 0 || at == d.ctrl_IDs.end()) continue;
        k["param"] = Narrow(d.int_name);
        k["role"] = RoleOf(d, static_cast<std::size_t>(at - d.ctrl_IDs.begin()));
        break;
      }
      controls.push_back(k);
    }
    rollouts.push_back({{"dialog", dialog->id},
                        {"title", Text(cd, desc->title)},
                        {"block", Narrow(desc->int_name)},
                        {"closed", (desc->rollup_flags & APPENDROLL_CLOSED) != 0},
                        {"width", dialog->width},
                        {"height", dialog->height},
                        {"font", dialog->fontName},
                        {"fontSize", dialog->fontSize},
                        {"controls", controls}});
  }
  // The editor shows the rollouts in the order of their templates: "Parameters", then "Mapping".
  std::stable_sort(rollouts.begin(), rollouts.end(),
                   [](const json& a, const json& b) { return a["dialog"] < b["dialog"]; });
  return {{"rollouts", rollouts}, {"params", params}, {"missing", missing},
          {"product", Narrow(cd.ClassName())}};
}

}  // namespace tamrel::host

#include "edit/EditorAssets.h"

namespace tamrel::host {

const std::vector<DialogTemplate>& EmbeddedDialogTemplates() {
  static const std::vector<DialogTemplate> dialogs =
      DialogTemplatesFromJson(nlohmann::json::parse(EmbeddedDialogTemplatesJson()));
  return dialogs;
}

}  // namespace tamrel::host
