// The resource script read once for everything built from it: its dialog templates (the controls
// of a rollout with their ids, window classes, texts, styles and positions in dialog units, as
// the native editor builds them; the browser editor lays its page out from these, so a control
// that moves in the script moves there) and its string table (the native build's texts).
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamrel::host {

// How a control behaves, whatever statement declared it (LTEXT, CONTROL "Button" with
// BS_AUTOCHECKBOX, COMBOBOX, a custom class...).
enum class ControlKind {
  LABEL,        // static text
  GROUP_BOX,    // a frame with a caption
  CHECKBOX,     // an automatic check box
  PUSH_BUTTON,  // a plain button
  EDIT,         // a plain edit field
  COMBO_BOX,    // a drop-down list
  CUSTOM,       // a host custom control (CustEdit, SpinnerControl, ColorSwatch, CustButton)
  OTHER,
};

enum class TextAlign { LEFT, RIGHT, CENTER };

struct DialogControl {
  int id = -1;
  std::string statement;  // the resource statement: LTEXT, CONTROL, COMBOBOX, ...
  std::string windowClass;  // "Static", "Button", "ComboBox", "Edit", or a custom class name
  ControlKind kind = ControlKind::OTHER;
  TextAlign align = TextAlign::LEFT;
  std::string text;
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<std::string> styles;  // style flags as written (BS_AUTOCHECKBOX, WS_TABSTOP, ...)

  bool HasStyle(const std::string& flag) const;
};

struct DialogTemplate {
  int id = 0;
  int x = 0, y = 0, width = 0, height = 0;
  std::string fontName;
  int fontSize = 0;
  std::vector<DialogControl> controls;

  // The first control with this id (ids of -1 are shared by static texts); null when absent.
  const DialogControl* Find(int controlId) const;
};

// A script that does not parse, with the line where it went wrong.
class ResourceScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "#define NAME number" lines of a resource header; other lines are ignored.
std::map<std::string, int> ParseResourceDefines(const std::string& headerText);

// Every DIALOG and DIALOGEX template of the script, in the order they appear. Symbolic ids are
// looked up in defines; IDC_STATIC is -1 unless defined. Throws ResourceScriptError.
std::vector<DialogTemplate> ParseDialogTemplates(const std::string& scriptText,
                                                 const std::map<std::string, int>& defines);

// One entry of the script's STRINGTABLE: its symbol, id and text as the script spells it between
// the quotes (escapes kept, a doubled quote standing for one).
struct StringTableEntryText {
  std::string name;
  int id = 0;
  std::string literal;
};

// Every IDS_ entry between STRINGTABLE's BEGIN and END, in script order; each symbol must have a
// #define in defines. Throws ResourceScriptError, also for a script without entries.
std::vector<StringTableEntryText> ParseStringTable(const std::string& scriptText,
                                                   const std::map<std::string, int>& defines);

const char* ControlKindName(ControlKind kind);
const char* TextAlignName(TextAlign align);

// Templates as JSON ({"id", "x", "y", "width", "height", "font", "fontSize", "controls": [...]}),
// the form in which the build embeds them, and back.
nlohmann::json DialogTemplatesToJson(const std::vector<DialogTemplate>& dialogs);
std::vector<DialogTemplate> DialogTemplatesFromJson(const nlohmann::json& dialogs);


}  // namespace tamrel::host
