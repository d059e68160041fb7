// The resource-script reader behind the browser editor's layout and the native string table:
// every statement form a dialog template uses, continued lines, comments, symbolic ids, string
// tables, refusals with line numbers, and the project's own script read as the build reads it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/ResourceScript.h"

namespace tamrel::host {
namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(TAMREL_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const char* kScript = R"rc(
// A comment line, and a string table the dialog reader leaves alone.
#include "resource.h"
STRINGTABLE
BEGIN
    IDS_X "not a dialog"
    IDS_QUOTE     "Say ""hi"" \\ 50%"  // a comment after the text
END

IDD_FIRST DIALOGEX 0, 0, 120, 80
STYLE DS_SETFONT | WS_CHILD
FONT 9, "Tahoma", 0, 0, 0x1
BEGIN
    LTEXT           "Left:", IDC_STATIC, 1, 2, 30, 8
    RTEXT           "Right:",-1,3,4,31,9   /* a block comment */
    CTEXT           "Say ""hi""", IDC_LABEL, 5, 6, 32, 10, SS_NOPREFIX
    GROUPBOX        "Frame", IDC_STATIC, 2, 40, 100, 30
    EDITTEXT        IDC_EDIT, 10, 12, 40, 12,
                    ES_AUTOHSCROLL | WS_TABSTOP
    COMBOBOX        IDC_COMBO,60,12,50,60,CBS_DROPDOWNLIST|WS_VSCROLL
    CONTROL         "", 0x3E8, "SpinnerControl", 0x0, 51, 12, 7, 12
    CONTROL         "Check", IDC_CHECK, "Button", BS_AUTOCHECKBOX | NOT WS_VISIBLE, 10, 30, 40, 8
    CONTROL         "Box", -1, "Button", BS_GROUPBOX, 1, 1, 118, 78
    CONTROL         "Lbl", -1, "Static", SS_CENTER, 1, 50, 20, 8
    PUSHBUTTON      "Go", IDC_GO, 70, 30, 40, 14
    AUTOCHECKBOX    "Auto", 77, 70, 50, 40, 10
END

2 DIALOG DISCARDABLE 10, 20, 30, 40
BEGIN
END
)rc";

const std::map<std::string, int> kDefines = {{"IDD_FIRST", 101}, {"IDC_LABEL", 1001},
                                             {"IDC_EDIT", 1002},  {"IDC_COMBO", 1003},
                                             {"IDC_CHECK", 1004}, {"IDC_GO", 1005}};

TEST(DialogTemplate, ReadsEveryStatementForm) {
  const std::vector<DialogTemplate> d = ParseDialogTemplates(kScript, kDefines);
  ASSERT_EQ(d.size(), 2u);
  const DialogTemplate& t = d[0];
  EXPECT_EQ(t.id, 101);
  EXPECT_EQ(t.width, 120);
  EXPECT_EQ(t.height, 80);
  EXPECT_EQ(t.fontName, "Tahoma");
  EXPECT_EQ(t.fontSize, 9);
  ASSERT_EQ(t.controls.size(), 12u);

  const DialogControl& left = t.controls[0];
  EXPECT_EQ(left.id, -1);
  EXPECT_EQ(left.kind, ControlKind::LABEL);
  EXPECT_EQ(left.align, TextAlign::LEFT);
  EXPECT_EQ(left.text, "Left:");
  EXPECT_EQ(left.windowClass, "Static");
  EXPECT_EQ((std::array{left.x, left.y, left.width, left.height}), (std::array{1, 2, 30, 8}));

  EXPECT_EQ(t.controls[1].align, TextAlign::RIGHT);
  EXPECT_EQ((std::array{t.controls[1].x, t.controls[1].y, t.controls[1].width, t.controls[1].height}),
            (std::array{3, 4, 31, 9}));
  EXPECT_EQ(t.controls[2].text, "Say \"hi\"");
  EXPECT_EQ(t.controls[2].id, 1001);
  EXPECT_EQ(t.controls[2].align, TextAlign::CENTER);
  EXPECT_EQ(t.controls[3].kind, ControlKind::GROUP_BOX);

  // Continued on the next line: the style still belongs to the edit field.
  const DialogControl& edit = t.controls[4];
  EXPECT_EQ(edit.kind, ControlKind::EDIT);
  EXPECT_EQ(edit.id, 1002);
  EXPECT_EQ((std::array{edit.x, edit.y, edit.width, edit.height}), (std::array{10, 12, 40, 12}));
  EXPECT_EQ(edit.styles, (std::vector<std::string>{"ES_AUTOHSCROLL", "WS_TABSTOP"}));

  const DialogControl& combo = t.controls[5];
  EXPECT_EQ(combo.kind, ControlKind::COMBO_BOX);
  EXPECT_EQ(combo.height, 60);
  EXPECT_EQ(combo.styles, (std::vector<std::string>{"CBS_DROPDOWNLIST", "WS_VSCROLL"}));

  const DialogControl& spin = t.controls[6];
  EXPECT_EQ(spin.id, 1000);  // hexadecimal
  EXPECT_EQ(spin.kind, ControlKind::CUSTOM);
  EXPECT_EQ(spin.windowClass, "SpinnerControl");

  const DialogControl& check = t.controls[7];
  EXPECT_EQ(check.kind, ControlKind::CHECKBOX);
  EXPECT_TRUE(check.HasStyle("NOT WS_VISIBLE"));
  EXPECT_FALSE(check.HasStyle("WS_VISIBLE"));
  EXPECT_EQ(t.controls[8].kind, ControlKind::GROUP_BOX);
  EXPECT_EQ(t.controls[9].kind, ControlKind::LABEL);
  EXPECT_EQ(t.controls[9].align, TextAlign::CENTER);
  EXPECT_EQ(t.controls[10].kind, ControlKind::PUSH_BUTTON);
  EXPECT_EQ(t.controls[10].id, 1005);
  EXPECT_EQ(t.controls[11].kind, ControlKind::CHECKBOX);
  EXPECT_EQ(t.Find(1004), &t.controls[7]);
  EXPECT_EQ(t.Find(4242), nullptr);

  // Load options before the rectangle, and an empty body.
  EXPECT_EQ(d[1].id, 2);
  EXPECT_EQ((std::array{d[1].x, d[1].y, d[1].width, d[1].height}), (std::array{10, 20, 30, 40}));
  EXPECT_TRUE(d[1].controls.empty());
}

TEST(DialogTemplate, RefusesWhatItCannotReadNamingTheLine) {
  auto error = [](const std::string& script) -> std::string {
    try {
      ParseDialogTemplates(script, kDefines);
    } catch (const ResourceScriptError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error("1 DIALOGEX 0, 0, 10, 10\nBEGIN\n  LTEXT \"a\", IDC_UNKNOWN, 1, 2, 3, 4\nEND\n"),
            "resource script line 3: 'IDC_UNKNOWN' is neither a number nor a #define of the "
            "resource header");
  EXPECT_EQ(error("1 DIALOGEX 0, 0, 10, 10\nBEGIN\n  CONTROL \"a\", 5, \"Button\", 0, 1, 2\nEND\n"),
            "resource script line 3: CONTROL takes at least 8 arguments, not 6");
  EXPECT_EQ(error("1 DIALOGEX 0, 0, 10, 10\nBEGIN\n  LTEXT \"a\", 5, 1, 2, 3, 4\n"),
            "resource script line 2: dialog 1 is not closed by END");
  EXPECT_EQ(error("1 DIALOGEX 0, 0, 10\nBEGIN\nEND\n"),
            "resource script line 1: a dialog needs x, y, width and height");
  EXPECT_EQ(error("1 DIALOGEX 0, 0, 10, 10\nBEGIN\n  WIDGET 1, 2\nEND\n"),
            "resource script line 3: 'WIDGET' is not a control statement");
  EXPECT_EQ(error("1 DIALOGEX 0, 0, 10, 10\nBEGIN\n  LTEXT \"a\", 99999999999, 1, 2, 3, 4\nEND\n"),
            "resource script line 3: '99999999999' is too large");
}

TEST(DialogTemplate, HeaderDefinesOnlyNumbers) {
  const auto d = ParseResourceDefines(
      "#pragma once\n#define IDD_A 101\n#define  IDS_B\t0x10\n#define C D\n// #define E 5\n");
  EXPECT_EQ(d, (std::map<std::string, int>{{"IDD_A", 101}, {"IDS_B", 16}}));
}

TEST(DialogTemplate, JsonRoundTripKeepsEveryField) {
  const std::vector<DialogTemplate> d = ParseDialogTemplates(kScript, kDefines);
  const nlohmann::json j = DialogTemplatesToJson(d);
  const std::vector<DialogTemplate> back = DialogTemplatesFromJson(j);
  ASSERT_EQ(back.size(), d.size());
  EXPECT_EQ(DialogTemplatesToJson(back), j);
  EXPECT_EQ(back[0].controls[7].styles, d[0].controls[7].styles);
  EXPECT_EQ(back[0].controls[1].align, TextAlign::RIGHT);
  EXPECT_EQ(back[0].controls[6].kind, ControlKind::CUSTOM);
}

// The project's script, as the build embeds it for the editor: the rollouts' sizes, fonts and
// the controls at the positions the rollouts are designed with.
TEST(DialogTemplate, ReadsTheProjectsResourceScript) {
  const auto defines = ParseResourceDefines(ReadSource("resources/resource.h"));
  const auto dialogs = ParseDialogTemplates(ReadSource("resources/TamrelScratches.rc"), defines);
  ASSERT_EQ(dialogs.size(), 2u);
  const DialogTemplate& params = dialogs[0];
  const DialogTemplate& mapping = dialogs[1];
  EXPECT_EQ(params.id, 101);
  EXPECT_EQ((std::array{params.width, params.height}), (std::array{217, 244}));
  EXPECT_EQ(params.fontName, "MS Sans Serif");
  EXPECT_EQ(params.fontSize, 8);
  EXPECT_EQ(params.controls.size(), 60u);
  EXPECT_EQ(mapping.id, 102);
  EXPECT_EQ((std::array{mapping.width, mapping.height}), (std::array{217, 193}));

  auto at = [](const DialogTemplate& t, int id) {
    const DialogControl* c = t.Find(id);
    EXPECT_NE(c, nullptr) << id;
    return c ? std::array{c->x, c->y, c->width, c->height} : std::array{0, 0, 0, 0};
  };
  EXPECT_EQ(at(params, 1490), (std::array{44, 7, 35, 10}));   // "size" value
  EXPECT_EQ(at(params, 1496), (std::array{80, 7, 7, 10}));    // "size" spinner
  EXPECT_EQ(at(params, 1001), (std::array{164, 27, 46, 30})); // "type" list
  EXPECT_EQ(at(params, 1003), (std::array{129, 210, 80, 10}));  // "Homepage"
  EXPECT_EQ(at(mapping, 1023), (std::array{117, 136, 13, 12}));  // the lock
  EXPECT_EQ(at(mapping, 1004), (std::array{117, 56, 52, 80}));    // tiling X
  EXPECT_EQ(params.Find(1003)->text, "Homepage");
  EXPECT_EQ(params.Find(1005)->kind, ControlKind::CHECKBOX);
  EXPECT_EQ(params.Find(1023)->windowClass, "ColorSwatch");
  EXPECT_EQ(params.controls.front().text, "Size:");
  EXPECT_EQ(params.controls.front().align, TextAlign::RIGHT);
  EXPECT_EQ(params.controls[57].text, "TamrelScratches | Version 1.1.4");
  EXPECT_EQ(params.controls[57].align, TextAlign::LEFT);
  int groups = 0;
  for (const DialogControl& c : params.controls) groups += c.kind == ControlKind::GROUP_BOX;
  EXPECT_EQ(groups, 3);  // Colors, Erosion, Distortion
  // Text beyond ASCII is kept as the script's UTF-8.
  bool angle = false;
  for (const DialogControl& c : mapping.controls) angle |= c.text == "Angle\xC2\xB0";
  EXPECT_TRUE(angle);
}

TEST(StringTable, ReadsEntriesOfTheTableOnlyWithTheirIdsAndTextsAsWritten) {
  const auto entries =
      ParseStringTable(kScript, {{"IDS_X", 7}, {"IDS_QUOTE", 40000}, {"IDD_FIRST", 101}});
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "IDS_X");
  EXPECT_EQ(entries[0].id, 7);
  EXPECT_EQ(entries[0].literal, "not a dialog");
  EXPECT_EQ(entries[1].id, 40000);
  // Escapes and doubled quotes are the script's own; the comment after the text is not part of it.
  EXPECT_EQ(entries[1].literal, "Say \"\"hi\"\" \\\\ 50%");
}

TEST(StringTable, RefusesWhatItCannotReadNamingTheLine) {
  const auto refusal = [](const std::string& script, const std::map<std::string, int>& defines) {
    try {
      ParseStringTable(script, defines);
    } catch (const ResourceScriptError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refusal("STRINGTABLE\nBEGIN\n  IDS_A \"a\"\nEND\n", {}),
            "resource script line 3: IDS_A has no #define in the resource header");
  EXPECT_EQ(refusal("STRINGTABLE\n  IDS_A \"a\"\nEND\n", {{"IDS_A", 1}}),
            "resource script line 2: STRINGTABLE needs BEGIN");
  EXPECT_EQ(refusal("STRINGTABLE\nBEGIN\n  IDS_A a\nEND\n", {{"IDS_A", 1}}),
            "resource script line 3: a string-table line is IDS_NAME \"text\"");
  EXPECT_EQ(refusal("1 DIALOG 0, 0, 1, 1\nBEGIN\nEND\n", {}),
            "the resource script has no STRINGTABLE entries");
  EXPECT_EQ(refusal("STRINGTABLE\n{\n  IDS_A \"a\"\n}\n", {{"IDS_A", 1}}), "accepted");
}

TEST(StringTable, ReadsTheProjectsResourceScript) {
  const auto defines = ParseResourceDefines(ReadSource("resources/resource.h"));
  const auto entries = ParseStringTable(ReadSource("resources/TamrelScratches.rc"), defines);
  ASSERT_EQ(entries.size(), 56u);
  EXPECT_EQ(entries.front().name, "IDS_LIBDESCRIPTION");
  EXPECT_EQ(entries.front().id, defines.at("IDS_LIBDESCRIPTION"));
  EXPECT_EQ(entries.front().literal, "Procedural Scratches texmap");
  for (const auto& e : entries) EXPECT_EQ(e.id, defines.at(e.name)) << e.name;
}

}  // namespace
}  // namespace tamrel::host
