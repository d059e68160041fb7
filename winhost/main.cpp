// tamrel_editor: the Windows host's material editor for one new map of a plug-in library.
//
//   tamrel_editor [--plugin FILE] [--screenshots DIR]
//
// Loads the plug-in (TamrelScratches.dlt beside the program unless --plugin names another),
// creates a map of its first class and opens the editor. With --screenshots it rolls every
// rollout down, writes each as DIR/<title>.png and exits; otherwise it runs until closed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "MaterialEditor.h"
#include "PluginModule.h"
#include "PngFile.h"

namespace {

std::wstring BesideProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  return p.substr(0, p.find_last_of(L"\\/") + 1) + name;
}

int Fail(const std::wstring& message) {
  std::fwprintf(stderr, L"tamrel_editor: error: %ls\n", message.c_str());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring plugin = BesideProgram(L"TamrelScratches.dlt");
  std::wstring shots;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--plugin" && i + 1 < argc)
      plugin = argv[++i];
    else if (a == L"--screenshots" && i + 1 < argc)
      shots = argv[++i];
    else
      return Fail(L"unknown argument " + a + L" (use --plugin FILE, --screenshots DIR)");
  }

  if (!InitMaterialEditor(GetModuleHandleW(nullptr))) return Fail(L"cannot register windows");
  PluginModule lib;
  if (!lib.Load(plugin)) return Fail(lib.error());
  ClassDesc* cd = lib.LibNumberClasses() > 0 ? lib.LibClassDesc(0) : nullptr;
  auto* map = cd ? static_cast<Texmap*>(cd->Create(FALSE)) : nullptr;
  if (!map) return Fail(plugin + L" creates no map");

  MaterialEditor editor;
  if (!editor.Open(map)) return Fail(L"cannot open the editor (is there a display?)");
  editor.UpdateMap();

  if (!shots.empty()) {
    for (int i = 0; i < editor.NumPages(); ++i) editor.SetPageOpen(i, true);
    // No field has the keyboard, so none shows a caret or a selection.
    SetFocus(editor.hWnd());
    MaterialEditor::PumpMessages();
    for (int i = 0; i < editor.NumPages(); ++i) {
      int w = 0, h = 0;
      const std::vector<unsigned char> rgb = editor.CapturePage(i, w, h);
      const std::wstring file = shots + L"\\" + editor.PageTitle(i) + L".png";
      if (!WritePng(file, rgb, w, h)) return Fail(L"cannot write " + file);
      std::fwprintf(stdout, L"%ls\n", file.c_str());
    }
    return 0;
  }

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(GetActiveWindow(), &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return 0;
}
