// A reader for the parts of the resource-script language the build uses: dialog templates (the
// header, DIALOG or DIALOGEX with its STYLE, FONT and CAPTION lines, and the control statements
// between BEGIN and END, including statements continued over several lines) and the string table
// (IDS_NAME "text" lines between STRINGTABLE's BEGIN and END). Comments and preprocessor lines
// are skipped; everything else in the script (icons, versions) is left alone.
#include "tools/ResourceScript.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <sstream>

namespace tamrel::host {
namespace {

struct Line {
  int number;
  std::string text;
};

// Drops comments (outside string literals) and preprocessor lines; keeps line numbers.
std::vector<Line> CleanLines(const std::string& script) {
  std::vector<Line> lines;
  std::string current;
  bool inString = false, inBlockComment = false;
  int number = 1, startNumber = 1;
  auto flush = [&] {
    std::string t = current;
    const auto b = t.find_first_not_of(" \t\r");
    t = b == std::string::npos ? "" : t.substr(b, t.find_last_not_of(" \t\r") - b + 1);
    if (!t.empty() && t[0] != '#') lines.push_back({startNumber, t});
    current.clear();
  };
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    const char next = i + 1 < script.size() ? script[i + 1] : '\0';
    if (c == '\n') {
      inString = false;  // string literals do not span lines
      flush();
      startNumber = ++number;
      continue;
    }
    if (inBlockComment) {
      if (c == '*' && next == '/') {
        inBlockComment = false;
        ++i;
      }
      continue;
    }
    if (!inString && c == '/' && next == '/') {
      while (i + 1 < script.size() && script[i + 1] != '\n') ++i;
      continue;
    }
    if (!inString && c == '/' && next == '*') {
      inBlockComment = true;
      ++i;
      continue;
    }
    if (c == '"') inString = !inString;
    current.push_back(c);
  }
  flush();
  return lines;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string FirstWord(const std::string& s) {
  std::size_t e = 0;
  while (e < s.size() && (std::isalnum(static_cast<unsigned char>(s[e])) || s[e] == '_')) ++e;
  return s.substr(0, e);
}

// Splits "a, "b, c", d | e" at the commas outside string literals.
std::vector<std::string> SplitArgs(const std::string& s) {
  std::vector<std::string> args;
  std::string current;
  bool inString = false;
  for (char c : s) {
    if (c == '"') inString = !inString;
    if (c == ',' && !inString) {
      args.push_back(Trim(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!Trim(current).empty() || !args.empty()) args.push_back(Trim(current));
  return args;
}

const std::set<std::string>& ControlStatements() {
  static const std::set<std::string> names = {
      "LTEXT",       "RTEXT",        "CTEXT",       "GROUPBOX",        "PUSHBUTTON",
      "DEFPUSHBUTTON", "PUSHBOX",    "CHECKBOX",    "AUTOCHECKBOX",    "RADIOBUTTON",
      "AUTORADIOBUTTON", "STATE3",   "AUTO3STATE",  "EDITTEXT",        "COMBOBOX",
      "LISTBOX",     "SCROLLBAR",    "CONTROL",     "ICON"};
  return names;
}

class Parser {
 public:
  Parser(const std::map<std::string, int>& defines) : defines_(defines) {}

  [[noreturn]] void Fail(int line, const std::string& why) const {
    throw ResourceScriptError("resource script line " + std::to_string(line) + ": " + why);
  }

  int Int(const std::string& token, int line) const {
    std::string t = Trim(token);
    if (t.empty()) Fail(line, "a number is missing");
    bool negative = false;
    if (t[0] == '-') {
      negative = true;
      t = Trim(t.substr(1));
    }
    long long v = 0;
    const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    const char* first = t.data() + (hex ? 2 : 0);
    const char* last = t.data() + t.size();
    auto [ptr, ec] = std::from_chars(first, last, v, hex ? 16 : 10);
    if (ec == std::errc() && ptr == last && first != last) {
      if (v > 0x7fffffffLL) Fail(line, "'" + token + "' is too large");
      return static_cast<int>(negative ? -v : v);
    }
    if (auto it = defines_.find(t); it != defines_.end()) return negative ? -it->second : it->second;
    if (t == "IDC_STATIC") return negative ? 1 : -1;
    Fail(line, "'" + token + "' is neither a number nor a #define of the resource header");
  }

  static std::string Text(const std::string& token) {
    const std::string t = Trim(token);
    if (t.size() < 2 || t.front() != '"' || t.back() != '"') return t;
    std::string out;
    for (std::size_t i = 1; i + 1 < t.size(); ++i) {
      out.push_back(t[i]);
      if (t[i] == '"' && t[i + 1] == '"') ++i;  // "" is a quote inside a literal
    }
    return out;
  }

  static std::vector<std::string> Styles(const std::string& token) {
    std::vector<std::string> flags;
    std::istringstream in(token);
    std::string word;
    bool negate = false;
    while (in >> word) {
      if (word == "|") continue;
      if (word == "NOT") {
        negate = true;
        continue;
      }
      // Flags written "A|B" without spaces.
      std::size_t start = 0;
      while (start <= word.size()) {
        const std::size_t bar = word.find('|', start);
        const std::string flag = word.substr(start, bar == std::string::npos ? bar : bar - start);
        if (!flag.empty()) flags.push_back(negate ? "NOT " + flag : flag);
        negate = false;
        if (bar == std::string::npos) break;
        start = bar + 1;
      }
    }
    return flags;
  }

  DialogControl Control(const std::string& statement, const std::vector<std::string>& a,
                        int line) const {
    DialogControl c;
    c.statement = statement;
    auto need = [&](std::size_t n) {
      if (a.size() < n) {
        Fail(line, statement + " takes at least " + std::to_string(n) + " arguments, not " +
                       std::to_string(a.size()));
      }
    };
    auto place = [&](std::size_t first) {
      c.x = Int(a[first], line);
      c.y = Int(a[first + 1], line);
      c.width = Int(a[first + 2], line);
      c.height = Int(a[first + 3], line);
    };
    if (statement == "CONTROL") {
      // CONTROL text, id, class, style, x, y, width, height [, extended style]
      need(8);
      c.text = Text(a[0]);
      c.id = Int(a[1], line);
      c.windowClass = Text(a[2]);
      c.styles = Styles(a[3]);
      place(4);
    } else if (statement == "EDITTEXT" || statement == "COMBOBOX" || statement == "LISTBOX" ||
               statement == "SCROLLBAR") {
      // STATEMENT id, x, y, width, height [, style [, extended style]]
      need(5);
      c.id = Int(a[0], line);
      place(1);
      if (a.size() > 5) c.styles = Styles(a[5]);
      c.windowClass = statement == "EDITTEXT"   ? "Edit"
                      : statement == "COMBOBOX" ? "ComboBox"
                      : statement == "LISTBOX"  ? "ListBox"
                                                : "ScrollBar";
    } else {
      // STATEMENT text, id, x, y, width, height [, style [, extended style]]
      need(6);
      c.text = Text(a[0]);
      c.id = Int(a[1], line);
      place(2);
      if (a.size() > 6) c.styles = Styles(a[6]);
      const bool isStatic = statement == "LTEXT" || statement == "RTEXT" || statement == "CTEXT" ||
                            statement == "ICON";
      c.windowClass = isStatic ? "Static" : "Button";
    }
    Classify(c);
    return c;
  }

  static std::string Upper(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
  }

  static void Classify(DialogControl& c) {
    const std::string cls = Upper(c.windowClass);
    const std::string& s = c.statement;
    if (s == "LTEXT" || s == "RTEXT" || s == "CTEXT") {
      c.kind = ControlKind::LABEL;
      c.align = s == "RTEXT" ? TextAlign::RIGHT : s == "CTEXT" ? TextAlign::CENTER : TextAlign::LEFT;
    } else if (s == "GROUPBOX") {
      c.kind = ControlKind::GROUP_BOX;
    } else if (s == "CHECKBOX" || s == "AUTOCHECKBOX" || s == "STATE3" || s == "AUTO3STATE") {
      c.kind = ControlKind::CHECKBOX;
    } else if (s == "PUSHBUTTON" || s == "DEFPUSHBUTTON" || s == "PUSHBOX") {
      c.kind = ControlKind::PUSH_BUTTON;
    } else if (s == "EDITTEXT") {
      c.kind = ControlKind::EDIT;
    } else if (s == "COMBOBOX") {
      c.kind = ControlKind::COMBO_BOX;
    } else if (s == "CONTROL") {
      if (cls == "STATIC") {
        c.kind = ControlKind::LABEL;
        c.align = c.HasStyle("SS_RIGHT")    ? TextAlign::RIGHT
                  : c.HasStyle("SS_CENTER") ? TextAlign::CENTER
                                            : TextAlign::LEFT;
      } else if (cls == "BUTTON") {
        if (c.HasStyle("BS_GROUPBOX")) {
          c.kind = ControlKind::GROUP_BOX;
        } else if (c.HasStyle("BS_AUTOCHECKBOX") || c.HasStyle("BS_CHECKBOX") ||
                   c.HasStyle("BS_AUTO3STATE") || c.HasStyle("BS_3STATE")) {
          c.kind = ControlKind::CHECKBOX;
        } else {
          c.kind = ControlKind::PUSH_BUTTON;
        }
      } else if (cls == "EDIT") {
        c.kind = ControlKind::EDIT;
      } else if (cls == "COMBOBOX") {
        c.kind = ControlKind::COMBO_BOX;
      } else {
        c.kind = ControlKind::CUSTOM;
      }
    }
    if (c.kind == ControlKind::LABEL && s != "CONTROL") {
      // An explicit SS_ style overrides the statement's alignment.
      if (c.HasStyle("SS_RIGHT")) c.align = TextAlign::RIGHT;
      if (c.HasStyle("SS_CENTER")) c.align = TextAlign::CENTER;
    }
  }

  std::vector<DialogTemplate> Run(const std::vector<Line>& lines) const {
    std::vector<DialogTemplate> dialogs;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& text = lines[i].text;
      const std::string name = FirstWord(text);
      std::string rest = Trim(text.substr(name.size()));
      const std::string keyword = FirstWord(rest);
      if (name.empty() || (keyword != "DIALOGEX" && keyword != "DIALOG")) continue;
      DialogTemplate d;
      d.id = Int(name, lines[i].number);
      rest = Trim(rest.substr(keyword.size()));
      // Load and memory options (DISCARDABLE, MOVEABLE...) may precede the rectangle.
      while (!rest.empty() && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        rest = Trim(rest.substr(FirstWord(rest).size()));
      }
      const std::vector<std::string> rect = SplitArgs(rest);
      if (rect.size() < 4) Fail(lines[i].number, "a dialog needs x, y, width and height");
      d.x = Int(rect[0], lines[i].number);
      d.y = Int(rect[1], lines[i].number);
      d.width = Int(rect[2], lines[i].number);
      d.height = Int(rect[3], lines[i].number);
      // Header statements up to BEGIN.
      for (++i; i < lines.size(); ++i) {
        const std::string& h = lines[i].text;
        const std::string word = FirstWord(h);
        if (word == "BEGIN" || h == "{") break;
        if (word == "FONT") {
          const std::vector<std::string> a = SplitArgs(Trim(h.substr(4)));
          if (a.size() < 2) Fail(lines[i].number, "FONT takes a size and a name");
          d.fontSize = Int(a[0], lines[i].number);
          d.fontName = Text(a[1]);
        }
      }
      if (i >= lines.size()) Fail(lines.back().number, "dialog " + name + " has no BEGIN");
      const int beginLine = lines[i].number;
      // Control statements up to END; a line that starts with no statement continues the last.
      std::string statement;
      std::string args;
      int statementLine = 0;
      auto finish = [&] {
        if (!statement.empty()) {
          d.controls.push_back(Control(statement, SplitArgs(args), statementLine));
        }
        statement.clear();
        args.clear();
      };
      bool closed = false;
      for (++i; i < lines.size(); ++i) {
        const std::string& s = lines[i].text;
        const std::string word = FirstWord(s);
        if (word == "END" || s == "}") {
          finish();
          closed = true;
          break;
        }
        if (ControlStatements().count(word)) {
          finish();
          statement = word;
          args = Trim(s.substr(word.size()));
          statementLine = lines[i].number;
        } else if (!statement.empty()) {
          args += " " + s;
        } else {
          Fail(lines[i].number, "'" + word + "' is not a control statement");
        }
      }
      if (!closed) Fail(beginLine, "dialog " + name + " is not closed by END");
      dialogs.push_back(std::move(d));
    }
    return dialogs;
  }

 private:
  const std::map<std::string, int>& defines_;
};

const char* AlignName(TextAlign a) {
  return a == TextAlign::RIGHT ? "right" : a == TextAlign::CENTER ? "center" : "left";
}

TextAlign AlignFromName(const std::string& s) {
  return s == "right" ? TextAlign::RIGHT : s == "center" ? TextAlign::CENTER : TextAlign::LEFT;
}

ControlKind KindFromName(const std::string& s) {
  for (ControlKind k : {ControlKind::LABEL, ControlKind::GROUP_BOX, ControlKind::CHECKBOX,
                        ControlKind::PUSH_BUTTON, ControlKind::EDIT, ControlKind::COMBO_BOX,
                        ControlKind::CUSTOM}) {
    if (s == ControlKindName(k)) return k;
  }
  return ControlKind::OTHER;
}

}  // namespace

nlohmann::json DialogTemplatesToJson(const std::vector<DialogTemplate>& dialogs) {
  nlohmann::json out = nlohmann::json::array();
  for (const DialogTemplate& d : dialogs) {
    nlohmann::json controls = nlohmann::json::array();
    for (const DialogControl& c : d.controls) {
      controls.push_back({{"id", c.id},
                          {"statement", c.statement},
                          {"class", c.windowClass},
                          {"kind", ControlKindName(c.kind)},
                          {"align", AlignName(c.align)},
                          {"text", c.text},
                          {"x", c.x},
                          {"y", c.y},
                          {"width", c.width},
                          {"height", c.height},
                          {"styles", c.styles}});
    }
    out.push_back({{"id", d.id},
                   {"x", d.x},
                   {"y", d.y},
                   {"width", d.width},
                   {"height", d.height},
                   {"font", d.fontName},
                   {"fontSize", d.fontSize},
                   {"controls", controls}});
  }
  return out;
}

std::vector<DialogTemplate> DialogTemplatesFromJson(const nlohmann::json& dialogs) {
  std::vector<DialogTemplate> out;
  for (const nlohmann::json& j : dialogs) {
    DialogTemplate d;
    d.id = j.at("id");
    d.x = j.at("x");
    d.y = j.at("y");
    d.width = j.at("width");
    d.height = j.at("height");
    d.fontName = j.at("font");
    d.fontSize = j.at("fontSize");
    for (const nlohmann::json& k : j.at("controls")) {
      DialogControl c;
      c.id = k.at("id");
      c.statement = k.at("statement");
      c.windowClass = k.at("class");
      c.kind = KindFromName(k.at("kind"));
      c.align = AlignFromName(k.at("align"));
      c.text = k.at("text");
      c.x = k.at("x");
      c.y = k.at("y");
      c.width = k.at("width");
      c.height = k.at("height");
      c.styles = k.at("styles").get<std::vector<std::string>>();
      d.controls.push_back(std::move(c));
    }
    out.push_back(std::move(d));
  }
  return out;
}

bool DialogControl::HasStyle(const std::string& flag) const {
  return std::find(styles.begin(), styles.end(), flag) != styles.end();
}

const DialogControl* DialogTemplate::Find(int controlId) const {
  for (const DialogControl& c : controls) {
    if (c.id == controlId) return &c;
  }
  return nullptr;
}

std::map<std::string, int> ParseResourceDefines(const std::string& headerText) {
  std::map<std::string, int> defines;
  std::istringstream in(headerText);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string hash, name, value;
    if (!(words >> hash >> name >> value) || hash != "#define") continue;
    int v = 0;
    const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const char* first = value.data() + (hex ? 2 : 0);
    auto [ptr, ec] = std::from_chars(first, value.data() + value.size(), v, hex ? 16 : 10);
    if (ec == std::errc() && ptr == value.data() + value.size()) defines[name] = v;
  }
  return defines;
}

std::vector<DialogTemplate> ParseDialogTemplates(const std::string& scriptText,
                                                 const std::map<std::string, int>& defines) {
  return Parser(defines).Run(CleanLines(scriptText));
}

std::vector<StringTableEntryText> ParseStringTable(const std::string& scriptText,
                                                   const std::map<std::string, int>& defines) {
  std::vector<StringTableEntryText> entries;
  bool inside = false, open = false;
  for (const Line& line : CleanLines(scriptText)) {
    const std::string word = FirstWord(line.text);
    if (!inside) {
      inside = word == "STRINGTABLE";
      open = false;
      continue;
    }
    if (!open) {
      if (word != "BEGIN" && line.text != "{") {
        throw ResourceScriptError("resource script line " + std::to_string(line.number) +
                                  ": STRINGTABLE needs BEGIN");
      }
      open = true;
      continue;
    }
    if (word == "END" || line.text == "}") {
      inside = false;
      continue;
    }
    const std::size_t quote = line.text.find('"');
    const std::string name = Trim(line.text.substr(0, quote));
    if (name.rfind("IDS_", 0) != 0 || quote == std::string::npos || line.text.back() != '"' ||
        line.text.size() - quote < 2) {
      throw ResourceScriptError("resource script line " + std::to_string(line.number) +
                                ": a string-table line is IDS_NAME \"text\"");
    }
    const auto id = defines.find(name);
    if (id == defines.end()) {
      throw ResourceScriptError("resource script line " + std::to_string(line.number) + ": " +
                                name + " has no #define in the resource header");
    }
    entries.push_back({name, id->second, line.text.substr(quote + 1, line.text.size() - quote - 2)});
  }
  if (entries.empty()) throw ResourceScriptError("the resource script has no STRINGTABLE entries");
  return entries;
}

const char* ControlKindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::LABEL: return "label";
    case ControlKind::GROUP_BOX: return "group";
    case ControlKind::CHECKBOX: return "checkbox";
    case ControlKind::PUSH_BUTTON: return "button";
    case ControlKind::EDIT: return "edit";
    case ControlKind::COMBO_BOX: return "combo";
    case ControlKind::CUSTOM: return "custom";
    case ControlKind::OTHER: break;
  }
  return "other";
}

}  // namespace tamrel::host

namespace tamrel::host {

const char* TextAlignName(TextAlign align) { return AlignName(align); }

}  // namespace tamrel::host
