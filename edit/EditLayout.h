// The browser editor's layout: the rollouts' dialog templates, read from the resource script when
// tamrel is built, joined with the block descriptors the plug-in reports. Each descriptor names
// its dialog template, its title string and, per parameter, the control ids bound to it; so the
// page shows every control where the template puts it, bound to the parameter the descriptor
// binds it to, typed and ranged as the descriptor declares.
#pragma once

#include <nlohmann/json.hpp>

#include <vector>

#include "tools/ResourceScript.h"
#include "engine/ParamSchema.h"

namespace tamrel::host {

// The page's layout: {"rollouts": [...], "params": {name: {...}}, "missing": [...]}. A rollout
// per descriptor with a dialog template (in the descriptors' order), each control with its
// position, text and, when bound, "param" and "role" (edit, spinner, checkbox, swatch, map,
// list, checkbutton). "missing" names templates the descriptors ask for and the script lacks.
// The items of lists, the captions the dialog procedures set and each parameter's "coordinate"
// flag (its spinner switches units) come from the plug-in's rollout interface (rolloutinfo.h).
nlohmann::json BuildEditLayout(const std::vector<DialogTemplate>& dialogs, const ParamSchema& schema,
                               ClassDesc& cd);

// The templates embedded at build time from the resource script.
const std::vector<DialogTemplate>& EmbeddedDialogTemplates();

}  // namespace tamrel::host
