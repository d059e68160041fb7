// The Windows plug-in on real Win32 (run under wine with a virtual display): the library's
// exports and string table, and the editor's two rollouts built from the compiled templates,
// driven through their controls as a user drives them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MaterialEditor.h"
#include "PluginModule.h"
#include "PngFile.h"
#include "custcont.h"
#include "iparamb2.h"
#include "maxapi.h"

namespace {

// Parameter IDs of the two blocks, as scene files store them.
constexpr BlockID kMappingBlock = 0, kParamsBlock = 1;
constexpr ParamID PB_SIZE = 0, PB_EROSION = 16, PB_EROSION_DELTA = 17, PB_TYPE = 19,
                  PB_USE_EROSION = 21, PB_BUMP_DELTA = 22, PB_USE_DISTORTION = 25,
                  PB_DISTORT_STR = 27;
constexpr ParamID XYZ_MAP = 0, XYZ_OFFSET_X = 2, XYZ_SIZE_Y = 6, XYZ_TILE_X = 11, XYZ_TILE_Y = 12,
                  XYZ_TILE_Z = 13, XYZ_SIZE_Y2 = 18, XYZ_SEED = 23, XYZ_LOCK = 26;

PluginModule* plugin = nullptr;
ClassDesc* desc = nullptr;

// ShellExecuteW as the plug-in calls it, captured instead of opening a browser.
struct ShellCall {
  HWND owner;
  std::wstring verb, file, params, dir;
  int show;
};
std::vector<ShellCall> shellCalls;

HINSTANCE WINAPI CaptureShellExecute(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR params,
                                     LPCWSTR dir, INT show) {
  auto s = [](LPCWSTR p) { return p ? std::wstring(p) : std::wstring(L"<null>"); };
  shellCalls.push_back({owner, s(verb), s(file), s(params), s(dir), show});
  return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(33));  // > 32: success
}

// Points the module's import of dll!func at replacement; false when the module lacks it.
bool PatchImport(HMODULE module, const char* dll, const char* func, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name;
       ++imp) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), dll) != 0) continue;
    auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    for (; names->u1.AddressOfData; ++names, ++thunk) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(byName->Name), func) != 0) continue;
      DWORD old = 0;
      VirtualProtect(&thunk->u1.Function, sizeof(thunk->u1.Function), PAGE_READWRITE, &old);
      thunk->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&thunk->u1.Function, sizeof(thunk->u1.Function), old, &old);
      return true;
    }
  }
  return false;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(0, p.find_last_of(L"\\/") + 1);
}

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(InitMaterialEditor(GetModuleHandleW(nullptr)));
    plugin = new PluginModule;
    ASSERT_TRUE(plugin->Load(ProgramFolder() + L"TamrelScratches.dlt"))
        << std::string(plugin->error().begin(), plugin->error().end());
    desc = plugin->LibClassDesc(0);
    ASSERT_NE(desc, nullptr);
    ASSERT_TRUE(PatchImport(plugin->module(), "shell32.dll", "ShellExecuteW",
                            reinterpret_cast<void*>(&CaptureShellExecute)));
  }
  void TearDown() override {
    delete plugin;
    plugin = nullptr;
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

std::wstring WindowText(HWND h) {
  wchar_t text[256] = {};
  GetWindowTextW(h, text, 256);
  return text;
}

std::vector<std::wstring> ListItems(HWND list) {
  std::vector<std::wstring> items;
  const auto n = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    wchar_t text[128] = {};
    SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
    items.emplace_back(text);
  }
  return items;
}

int Selection(HWND list) {
  return static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0));
}

// One map with its editor open; the editor holds the map and releases it at the end.
class EditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    map = static_cast<Texmap*>(desc->Create(FALSE));
    ASSERT_NE(map, nullptr);
    params = map->GetParamBlockByID(kParamsBlock);
    mapping = map->GetParamBlockByID(kMappingBlock);
  }
  void TearDown() override { editor.Close(); }

  void Open() {
    ASSERT_TRUE(editor.Open(map));
    paramsDlg = editor.PageDialog(editor.FindPage(L"Parameters"));
    const int m = editor.FindPage(L"Mapping");
    ASSERT_GE(m, 0);
    mappingDlg = editor.PageDialog(m);
    editor.SetPageOpen(m, true);
    ASSERT_NE(paramsDlg, nullptr);
    ASSERT_NE(mappingDlg, nullptr);
  }
  // Lets the editor run what it posted (its update after a change).
  void Settle() { MaterialEditor::PumpMessages(); }

  HWND P(int id) { return GetDlgItem(paramsDlg, id); }
  HWND M(int id) { return GetDlgItem(mappingDlg, id); }
  void Type(HWND edit, const wchar_t* text) {
    SetWindowTextW(edit, text);
    SendMessageW(edit, WM_CHAR, VK_RETURN, 0);
  }
  void Click(HWND button) {
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  }
  void Pick(HWND dlg, int listID, int item) {
    SendMessageW(GetDlgItem(dlg, listID), CB_SETCURSEL, static_cast<WPARAM>(item), 0);
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(listID, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, listID)));
  }
  float Float(IParamBlock2* b, ParamID id) {
    return b->GetFloat(id, GetCOREInterface()->GetTime());
  }
  int Int(IParamBlock2* b, ParamID id) { return b->GetInt(id, GetCOREInterface()->GetTime()); }

  MaterialEditor editor;
  Texmap* map = nullptr;
  IParamBlock2* params = nullptr;
  IParamBlock2* mapping = nullptr;
  HWND paramsDlg = nullptr;
  HWND mappingDlg = nullptr;
};

}  // namespace

TEST(Library, ExportsAndStringTable) {
  for (const char* name : {"LibDescription", "LibNumberClasses", "LibClassDesc", "LibVersion",
                           "LibInitialize", "LibShutdown"}) {
    EXPECT_NE(GetProcAddress(plugin->module(), name), nullptr) << name;
  }
  EXPECT_STREQ(plugin->LibDescription(), L"Procedural Scratches texmap");
  EXPECT_EQ(plugin->LibNumberClasses(), 1);
  EXPECT_EQ(plugin->LibClassDesc(1), nullptr);
  EXPECT_EQ(plugin->LibVersion(), 0x6D604400u);
  EXPECT_STREQ(desc->ClassName(), L"TamrelScratches");
  EXPECT_EQ(desc->HInstance(), plugin->module());
}

TEST(Library, StringLoaderSharesOneBuffer) {
  // The string loader answers through the class descriptor; each call overwrites the buffer.
  const MCHAR* first = desc->GetRsrcString(9);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, L"Explicit Map Channel 2D");
  const MCHAR* second = desc->GetRsrcString(31);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, L"Stretch");
  EXPECT_STREQ(desc->GetRsrcString(10), L"Explicit map Channel Real World");
  EXPECT_STREQ(desc->GetRsrcString(56), L"Bump Delta");
  EXPECT_EQ(desc->GetRsrcString(57), nullptr);
  EXPECT_EQ(desc->GetRsrcString(0), nullptr);
}

namespace {

std::vector<unsigned char> ReadFile(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
    std::fclose(f);
  }
  return bytes;
}

std::uint32_t BE32(const std::vector<unsigned char>& b, size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

}  // namespace

TEST(PngFile, SmallPictureByteForByte) {
  const std::vector<unsigned char> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9,
                                          10, 20, 30, 40, 50, 60, 70, 80, 90};
  const std::wstring path = ProgramFolder() + L"png_small.png";
  ASSERT_TRUE(WritePng(path, rgb, 3, 2));
  const std::vector<unsigned char> b = ReadFile(path);
  ASSERT_EQ(b.size(), 88u);
  const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(std::memcmp(b.data(), signature, 8), 0);
  EXPECT_EQ(BE32(b, 8), 13u);
  EXPECT_EQ(std::memcmp(&b[12], "IHDR", 4), 0);
  EXPECT_EQ(BE32(b, 16), 3u);  // width
  EXPECT_EQ(BE32(b, 20), 2u);  // height
  EXPECT_EQ(b[24], 8);         // bits per channel
  EXPECT_EQ(b[25], 2);         // RGB
  EXPECT_EQ(BE32(b, 29), 0x1216F14Du);  // CRC of the header chunk
  EXPECT_EQ(BE32(b, 33), 31u);
  EXPECT_EQ(std::memcmp(&b[37], "IDAT", 4), 0);
  // zlib header, one final stored block of 20 bytes: each row led by filter 0.
  const std::vector<unsigned char> idat(b.begin() + 41, b.begin() + 41 + 31);
  const std::vector<unsigned char> want = {0x78, 0x01, 0x01, 20, 0, 0xEB, 0xFF, 0, 1, 2, 3, 4, 5,
                                           6, 7, 8, 9, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90,
                                           0x08, 0xED, 0x01, 0xF0};
  EXPECT_EQ(idat, want);
  EXPECT_EQ(std::memcmp(&b[76], "\0\0\0\0IEND\xAE\x42\x60\x82", 12), 0);
  // A picture that does not match its size is refused.
  EXPECT_FALSE(WritePng(path, rgb, 3, 3));
  EXPECT_FALSE(WritePng(path, {}, 0, 0));
}

TEST(PngFile, LargePictureSpansStoredBlocks) {
  const int w = 200, h = 150;
  std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 7 + i / 600);
  const std::wstring path = ProgramFolder() + L"png_large.png";
  ASSERT_TRUE(WritePng(path, rgb, w, h));
  const std::vector<unsigned char> b = ReadFile(path);
  ASSERT_GT(b.size(), 45u);
  const size_t idatLen = BE32(b, 33);
  ASSERT_EQ(b.size(), 33 + 12 + idatLen + 12);
  // Undo the stored blocks and the row filters: the pixels come back.
  std::vector<unsigned char> raw;
  size_t at = 41 + 2;
  bool last = false;
  int blocks = 0;
  while (!last) {
    last = b[at] & 1;
    const size_t n = b[at + 1] | (b[at + 2] << 8);
    EXPECT_EQ(n ^ 0xFFFF, static_cast<size_t>(b[at + 3] | (b[at + 4] << 8)));
    EXPECT_TRUE(last || n == 65535);
    raw.insert(raw.end(), b.begin() + at + 5, b.begin() + at + 5 + n);
    at += 5 + n;
    ++blocks;
  }
  EXPECT_EQ(blocks, 2);  // 150 rows of 601 bytes
  ASSERT_EQ(raw.size(), static_cast<size_t>(h) * (1 + w * 3));
  std::vector<unsigned char> back;
  for (int y = 0; y < h; ++y) {
    EXPECT_EQ(raw[y * (1 + w * 3)], 0);
    back.insert(back.end(), raw.begin() + y * (1 + w * 3) + 1, raw.begin() + (y + 1) * (1 + w * 3));
  }
  EXPECT_EQ(back, rgb);
}

TEST_F(EditorTest, RolloutsAreBuiltFromTheTemplates) {
  Open();
  // The blocks' rollouts in the order the descriptors registered, then the output stage's; the
  // "Mapping" and "Output" rollouts were added rolled up.
  ASSERT_EQ(editor.NumPages(), 3);
  EXPECT_EQ(editor.PageTitle(0), L"Mapping");
  EXPECT_EQ(editor.PageTitle(1), L"Parameters");
  EXPECT_EQ(editor.PageTitle(2), L"Output");
  EXPECT_TRUE(editor.IsPageOpen(1));
  EXPECT_FALSE(editor.IsPageOpen(2));
  EXPECT_FALSE(IsWindowVisible(editor.PageDialog(2)));
  // The map hands the Output rollout its output stage and no other dialog.
  EXPECT_FALSE(map->SetDlgThing(nullptr));
  // A few controls of each template, by id, class and text.
  wchar_t cls[64];
  GetClassNameW(P(1490), cls, 64);
  EXPECT_STREQ(cls, L"CustEdit");
  GetClassNameW(P(1496), cls, 64);
  EXPECT_STREQ(cls, L"SpinnerControl");
  GetClassNameW(P(1023), cls, 64);
  EXPECT_STREQ(cls, L"ColorSwatch");
  EXPECT_EQ(WindowText(P(1003)), L"Homepage");
  GetClassNameW(M(1023), cls, 64);
  EXPECT_STREQ(cls, L"CustButton");
  // Positions and sizes are the template's, in dialog units of the rollout's font (mapped
  // separately, as the dialog manager maps them).
  struct Placed {
    HWND dlg;
    int id;
    RECT du;  // x, y, width, height in dialog units
  };
  const Placed placed[] = {
      {paramsDlg, 1490, {44, 7, 35, 10}},     {paramsDlg, 1496, {80, 7, 7, 10}},
      {paramsDlg, 1003, {129, 210, 80, 10}},  {paramsDlg, 1023, {44, 87, 43, 10}},
      {mappingDlg, 1023, {117, 136, 13, 12}}, {mappingDlg, 1515, {70, 164, 35, 10}},
      {mappingDlg, 1012, {204, 87, 7, 10}}};
  for (const Placed& p : placed) {
    RECT want = p.du;
    MapDialogRect(p.dlg, &want);  // left, top: position; right, bottom: size
    RECT got;
    GetWindowRect(GetDlgItem(p.dlg, p.id), &got);
    MapWindowPoints(nullptr, p.dlg, reinterpret_cast<POINT*>(&got), 2);
    EXPECT_EQ(got.left, want.left) << p.id;
    EXPECT_EQ(got.top, want.top) << p.id;
    EXPECT_EQ(got.right - got.left, want.right) << p.id;
    EXPECT_EQ(got.bottom - got.top, want.bottom) << p.id;
  }
  // The rollout itself: 217 by 244 and 217 by 193 dialog units.
  RECT pr = {0, 0, 217, 244}, mr = {0, 0, 217, 193}, pc, mc;
  MapDialogRect(paramsDlg, &pr);
  MapDialogRect(mappingDlg, &mr);
  GetClientRect(paramsDlg, &pc);
  GetClientRect(mappingDlg, &mc);
  EXPECT_EQ(pc.right, pr.right);
  EXPECT_EQ(pc.bottom, pr.bottom);
  EXPECT_EQ(mc.right, mr.right);
  EXPECT_EQ(mc.bottom, mr.bottom);
}

TEST_F(EditorTest, TypeListShowsTheMapsType) {
  params->SetValue(PB_TYPE, 0, 0);
  Open();
  EXPECT_EQ(ListItems(P(1001)), (std::vector<std::wstring>{L"2D", L"3D"}));
  EXPECT_EQ(Selection(P(1001)), 0);
  editor.Close();

  map = static_cast<Texmap*>(desc->Create(FALSE));
  params = map->GetParamBlockByID(kParamsBlock);
  mapping = map->GetParamBlockByID(kMappingBlock);
  params->SetValue(PB_TYPE, 0, 1);
  Open();
  EXPECT_EQ(ListItems(P(1001)).size(), 2u);
  EXPECT_EQ(Selection(P(1001)), 1);
  // Picking in the list reaches the block.
  Pick(paramsDlg, 1001, 0);
  EXPECT_EQ(Int(params, PB_TYPE), 0);
}

TEST_F(EditorTest, MappingListsHoldTheirItemsAndSelectStoredValues) {
  mapping->SetValue(XYZ_MAP, 0, 3);
  mapping->SetValue(XYZ_TILE_X, 0, 1);
  mapping->SetValue(XYZ_TILE_Y, 0, 4);
  Open();
  EXPECT_EQ(ListItems(M(1001)), (std::vector<std::wstring>{
                                    L"Explicit Map Channel 2D", L"Explicit map Channel Real World",
                                    L"Object XYZ", L"World XYZ", L"Screen"}));
  const std::vector<std::wstring> tiling = {L"Continue", L"Stretch", L"Tile", L"Mirror", L"None"};
  for (int id : {1004, 1005, 1006}) EXPECT_EQ(ListItems(M(id)), tiling) << id;
  EXPECT_EQ(Selection(M(1001)), 3);
  EXPECT_EQ(Selection(M(1004)), 1);
  EXPECT_EQ(Selection(M(1005)), 4);
  EXPECT_EQ(Selection(M(1006)), 0);
}

TEST_F(EditorTest, NewMapOpensWithLockPressedAndDefaults) {
  Open();
  ICustButton* lock = GetICustButton(M(1023));
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(lock->GetText(), L"L");
  EXPECT_EQ(lock->GetType(), CBT_CHECK);
  EXPECT_TRUE(lock->IsChecked());
  EXPECT_EQ(Selection(M(1001)), 2);                                // "Object XYZ"
  EXPECT_EQ(Selection(M(1004)), 0);                                // "Continue"
  EXPECT_EQ(IsDlgButtonChecked(mappingDlg, 1022), BST_CHECKED);    // by object
  EXPECT_EQ(IsDlgButtonChecked(mappingDlg, 1021), BST_UNCHECKED);  // by material
  // Releasing the lock reaches the block.
  Click(M(1023));
  EXPECT_FALSE(lock->IsChecked());
  EXPECT_EQ(Int(mapping, XYZ_LOCK), 0);
}

TEST_F(EditorTest, SwitchesGreyTheirControlsAtTheNextUpdate) {
  Open();
  editor.UpdateMap();
  const int distortion[] = {1494, 1500, 1031, 1032, 1037};
  const int erosion[] = {1502, 1503, 1506, 1507};
  for (int id : distortion) EXPECT_FALSE(IsWindowEnabled(P(id))) << id;
  for (int id : erosion) EXPECT_FALSE(IsWindowEnabled(P(id))) << id;
  for (int id : {1518, 1519, 1490, 1029, 1002, 1005}) EXPECT_TRUE(IsWindowEnabled(P(id))) << id;

  // Ticking "Use:" of distortion enables its controls once the editor has updated the map.
  SendMessageW(P(1002), BM_CLICK, 0, 0);
  EXPECT_EQ(Int(params, PB_USE_DISTORTION), 1);
  Settle();
  for (int id : distortion) EXPECT_TRUE(IsWindowEnabled(P(id))) << id;
  for (int id : erosion) EXPECT_FALSE(IsWindowEnabled(P(id))) << id;

  params->SetValue(PB_USE_EROSION, 0, 1);
  EXPECT_FALSE(IsWindowEnabled(P(1502)));  // not in the change itself...
  Settle();
  for (int id : erosion) EXPECT_TRUE(IsWindowEnabled(P(id))) << id;  // ...at the next update

  SendMessageW(P(1002), BM_CLICK, 0, 0);
  Settle();
  for (int id : distortion) EXPECT_FALSE(IsWindowEnabled(P(id))) << id;
  EXPECT_TRUE(IsWindowEnabled(P(1518)));
}

TEST_F(EditorTest, LockDisablesTheYAndZSizeAmplitudes) {
  Open();
  editor.UpdateMap();
  const int yz[] = {1511, 1512, 1513, 1514};
  for (int id : yz) EXPECT_FALSE(IsWindowEnabled(M(id))) << id;
  EXPECT_TRUE(IsWindowEnabled(M(1509)));
  Click(M(1023));
  Settle();
  for (int id : yz) EXPECT_TRUE(IsWindowEnabled(M(id))) << id;
  Click(M(1023));
  Settle();
  for (int id : yz) EXPECT_FALSE(IsWindowEnabled(M(id))) << id;
}

TEST_F(EditorTest, TilingListsOnlyUnderMapChannel2D) {
  Open();
  for (int type = 0; type < 5; ++type) {
    Pick(mappingDlg, 1001, type);
    EXPECT_EQ(Int(mapping, XYZ_MAP), type);
    Settle();
    for (int id : {1004, 1005, 1006}) EXPECT_EQ(IsWindowEnabled(M(id)) != 0, type == 0) << type;
    // Offsets and sizes: plain numbers for map channel 2D and screen, scene units otherwise.
    ISpinnerControl* spin = GetISpinner(M(1497));
    ASSERT_NE(spin, nullptr);
    const bool plain = type == 0 || type == 4;
    EXPECT_EQ(spin->GetEditType(), plain ? SPINNER_EDIT_FLOAT : SPINNER_EDIT_UNIVERSE) << type;
    EXPECT_EQ(WindowText(M(1494)), plain ? L"1.000" : L"1.00u") << type;
  }
}

TEST_F(EditorTest, RecreatedSpinnersTakeTheCoordinateLimits) {
  Open();
  editor.UpdateMap();
  const int offsets[] = {1497, 1498, 1499};
  const int others[] = {1500, 1501, 1502, 1504, 1506, 1508, 1510, 1512, 1514};
  for (int id : offsets) {
    ISpinnerControl* s = GetISpinner(M(id));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->GetMin(), -1000000.0f) << id;
    EXPECT_EQ(s->GetMax(), 1000000.0f) << id;
    EXPECT_EQ(s->GetScale(), 0.1f);
    EXPECT_TRUE(s->GetAutoScale());
  }
  for (int id : others) {
    ISpinnerControl* s = GetISpinner(M(id));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->GetMin(), 0.0f) << id;
    EXPECT_EQ(s->GetMax(), 1000000.0f) << id;
  }
  // Beyond the limits, typed values stop at them.
  Type(M(1491), L"-2500000");
  EXPECT_EQ(Float(mapping, XYZ_OFFSET_X), -1000000.0f);
  Type(M(1491), L"-12.5");
  EXPECT_EQ(Float(mapping, XYZ_OFFSET_X), -12.5f);
  Type(M(1511), L"-3");
  EXPECT_EQ(Float(mapping, XYZ_SIZE_Y2), 0.0f);
  // The channel spinner keeps the block's range (0 .. 100), as the parameter map made it.
  ISpinnerControl* chan = GetISpinner(M(1003));
  ASSERT_NE(chan, nullptr);
  EXPECT_EQ(chan->GetMin(), 0.0f);
  EXPECT_EQ(chan->GetMax(), 100.0f);
}

TEST_F(EditorTest, ValuesMoveBothWays) {
  Open();
  // Control to block.
  Type(P(1490), L"7.25");
  EXPECT_EQ(Float(params, PB_SIZE), 7.25f);
  Type(M(1515), L"4242");
  EXPECT_EQ(Int(mapping, XYZ_SEED), 4242);
  Type(M(1495), L"3.5");
  EXPECT_EQ(Float(mapping, XYZ_SIZE_Y), 3.5f);
  // Text that is no number leaves the value as it was and shows it again.
  Type(P(1490), L"abc");
  EXPECT_EQ(Float(params, PB_SIZE), 7.25f);
  EXPECT_EQ(WindowText(P(1490)), L"7.250");
  // The upper arrow steps up, the lower one down, dragging upwards raises the value; the step
  // of an automatic spinner is a hundredth of the value, and at least a tenth of its scale.
  ISpinnerControl* bump = GetISpinner(P(1519));
  ASSERT_NE(bump, nullptr);
  RECT sr;
  GetClientRect(P(1519), &sr);
  const float before = Float(params, PB_BUMP_DELTA);
  ASSERT_EQ(before, 0.001f);
  SendMessageW(P(1519), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 1));
  SendMessageW(P(1519), WM_LBUTTONUP, 0, MAKELPARAM(2, 1));
  const float step = 0.1f * 0.1f;  // a tenth of the scale: 0.001 is too small for a hundredth
  EXPECT_EQ(Float(params, PB_BUMP_DELTA), 0.001f + step);
  EXPECT_EQ(bump->GetFVal(), 0.001f + step);
  SendMessageW(P(1519), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, sr.bottom - 1));
  SendMessageW(P(1519), WM_LBUTTONUP, 0, MAKELPARAM(2, sr.bottom - 1));
  EXPECT_EQ(Float(params, PB_BUMP_DELTA), (0.001f + step) - step);
  Type(P(1490), L"50");
  SendMessageW(P(1496), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 5));
  SendMessageW(P(1496), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(2, 2));  // 3 pixels up
  SendMessageW(P(1496), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  EXPECT_EQ(Float(params, PB_SIZE), 50.0f + 3.0f * (50.0f * 0.01f));
  Type(P(1490), L"7.25");

  // Block to control.
  params->SetValue(PB_DISTORT_STR, 0, 2.5f);
  EXPECT_EQ(WindowText(P(1494)), L"2.500");
  params->SetValue(PB_EROSION_DELTA, 0, 0.25f);
  EXPECT_EQ(WindowText(P(1506)), L"0.250");
  params->SetValue(PB_TYPE, 0, 0);
  EXPECT_EQ(Selection(P(1001)), 0);
  mapping->SetValue(XYZ_TILE_Z, 0, 3);
  EXPECT_EQ(Selection(M(1006)), 3);
  mapping->SetValue(XYZ_SEED, 0, 77);
  EXPECT_EQ(WindowText(M(1515)), L"77");
  params->SetValue(PB_USE_EROSION, 0, 1);
  EXPECT_EQ(IsDlgButtonChecked(paramsDlg, 1005), BST_CHECKED);
  params->SetValue(PB_EROSION, 0, 0.75f);
  EXPECT_EQ(WindowText(P(1502)), L"0.750");
}

TEST_F(EditorTest, LeavingAFieldUntouchedKeepsTheFullValue) {
  mapping->SetValue(XYZ_OFFSET_X, 0, 0.123f);
  Open();
  editor.UpdateMap();
  // Scene units show two decimals; reading the shown text back would round the value.
  EXPECT_EQ(WindowText(M(1491)), L"0.12u");
  SendMessageW(M(1491), WM_KILLFOCUS, 0, 0);
  SendMessageW(M(1491), WM_CHAR, VK_RETURN, 0);
  EXPECT_EQ(Float(mapping, XYZ_OFFSET_X), 0.123f);
  // Typed text is taken, unit mark or not.
  Type(M(1491), L"0.12");
  EXPECT_EQ(Float(mapping, XYZ_OFFSET_X), 0.12f);
  Type(M(1492), L"-4.5u");
  EXPECT_EQ(Float(mapping, XYZ_OFFSET_X + 1), -4.5f);
  EXPECT_EQ(WindowText(M(1492)), L"-4.50u");
}

TEST_F(EditorTest, HomepageButtonOpensTheDocumentation) {
  Open();
  shellCalls.clear();
  Click(P(1003));
  ASSERT_EQ(shellCalls.size(), 1u);
  EXPECT_EQ(shellCalls[0].owner, nullptr);
  EXPECT_EQ(shellCalls[0].verb, L"<null>");
  EXPECT_EQ(shellCalls[0].file, L"https://tamrel.example/scratches/docs/");
  EXPECT_EQ(shellCalls[0].params, L"<null>");
  EXPECT_EQ(shellCalls[0].dir, L"<null>");
  EXPECT_EQ(shellCalls[0].show, SW_SHOW);
  // Any notification from the button opens it; commands of other controls do not.
  SendMessageW(paramsDlg, WM_COMMAND, MAKEWPARAM(1003, BN_DOUBLECLICKED), 0);
  EXPECT_EQ(shellCalls.size(), 2u);
  Click(P(1040));
  SendMessageW(P(1041), BM_CLICK, 0, 0);
  SendMessageW(mappingDlg, WM_COMMAND, MAKEWPARAM(1003, BN_CLICKED), 0);
  EXPECT_EQ(shellCalls.size(), 2u);
}

TEST_F(EditorTest, ShowingTheRolloutReselectsTheLists) {
  mapping->SetValue(XYZ_TILE_Y, 0, 2);
  Open();
  const int page = editor.FindPage(L"Mapping");
  // Selections that drifted from the block (nothing told the lists) ...
  SendMessageW(M(1001), CB_SETCURSEL, 4, 0);
  SendMessageW(M(1005), CB_SETCURSEL, 0, 0);
  SendMessageW(P(1001), CB_SETCURSEL, 0, 0);
  editor.SetPageOpen(page, false);
  editor.SetPageOpen(page, true);
  // ... are read again from the block when the rollout shows.
  EXPECT_EQ(Selection(M(1001)), 2);
  EXPECT_EQ(Selection(M(1005)), 2);
  const int p = editor.FindPage(L"Parameters");
  editor.SetPageOpen(p, false);
  editor.SetPageOpen(p, true);
  EXPECT_EQ(Selection(P(1001)), 1);
}

TEST_F(EditorTest, CapturesShowTheRollouts) {
  Open();
  editor.UpdateMap();
  SetFocus(editor.hWnd());
  Settle();
  for (const wchar_t* title : {L"Parameters", L"Mapping"}) {
    int w = 0, h = 0;
    const std::vector<unsigned char> rgb = editor.CapturePage(editor.FindPage(title), w, h);
    ASSERT_GT(w, 300);
    ASSERT_GT(h, 300);
    // The picture shows the rollout: many distinct colours rather than one cleared rectangle.
    int changes = 0;
    for (size_t k = 3; k < rgb.size(); k += 3) changes += rgb[k] != rgb[k - 3];
    EXPECT_GT(changes, 1000) << "blank capture";
  }
}
