#include "edit/EditLayout.h"

#include <algorithm>

#include "paramlisting.h"

namespace tamrel::host {
namespace {

using nlohmann::json;

// What the rollouts' dialog procedures add that no descriptor declares: the items of the integer
// lists (string ids, in the order whose positions are the stored values) and the lock button's
// caption. Keyed by dialog template and control id.
struct ListItems {
  int dialog, control;
  std::vector<int> strings;
};
const std::vector<ListItems>& DialogProcedureLists() {
  static const std::vector<ListItems> lists = {
      {101, 1001, {48, 33}},               // "type": "2D", "3D"
      {102, 1001, {9, 10, 11, 12, 13}},    // "xyz_map": the five map types
      {102, 1004, {14, 15, 16, 17, 18}},   // tiling X: Continue ... None
      {102, 1005, {14, 15, 16, 17, 18}},   // tiling Y
      {102, 1006, {14, 15, 16, 17, 18}},   // tiling Z
  };
  return lists;
}
struct Caption {
  int dialog, control;
  const char* text;
};
constexpr Caption kCaptions[] = {{102, 1023, "L"}};  // the size lock

// Offsets, sizes and their random amplitudes are shown in scene units for map types that work in
// scene space, and as plain numbers for the others; the page switches them with the map type.
bool IsCoordinateSpinner(const std::string& name) {
  static const char* names[] = {"xyz_offset_x",  "xyz_offset_y",  "xyz_offset_z",  "xyz_size_x",
                                "xyz_size_y",    "xyz_size_z",    "xyz_offset_x2", "xyz_offset_y2",
                                "xyz_offset_z2", "xyz_size_x2",   "xyz_size_y2",   "xyz_size_z2"};
  return std::find_if(std::begin(names), std::end(names),
                      [&](const char* n) { return name == n; }) != std::end(names);
}

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
              {"coordinate", IsCoordinateSpinner(p.name)}};
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
      for (const Caption& cap : kCaptions) {
        if (cap.dialog == dialog->id && cap.control == c.id) k["text"] = cap.text;
      }
      for (const ListItems& list : DialogProcedureLists()) {
        if (list.dialog != dialog->id || list.control != c.id) continue;
        json items = json::array();
        for (int s : list.strings) items.push_back(Text(cd, s));
        k["items"] = items;
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
