// What the rollouts' dialog procedures put into their templates' controls themselves, because no
// descriptor can declare it: the items of the integer lists and the size lock's caption. The
// procedures fill their windows from these tables at WM_INITDIALOG, and the map answers hosts
// without windows from the same tables (IRolloutInfo), so the two cannot drift apart.
#pragma once

#include <span>

#include "iparamm2.h"
#include "strclass.h"

// A list control the procedure of template `dialog` fills: the string ids of its items, in the
// order they are added, so that an item's position is the value its parameter stores.
struct ProcedureList {
  int dialog, control;
  std::span<const int> strings;
};
// A button the procedure captions itself.
struct ProcedureCaption {
  int dialog, control;
  const MCHAR* text;
};

std::span<const ProcedureList> ProcedureLists();
std::span<const ProcedureCaption> ProcedureCaptions();
// The entry of the control, or null when the procedure leaves it alone.
const ProcedureList* FindProcedureList(int dialog, int control);
const ProcedureCaption* FindProcedureCaption(int dialog, int control);

#ifdef _WIN32
// At WM_INITDIALOG of template `dialog`: captions its buttons, then adds the items of its lists
// (list by list in table order), each text from the library's string table.
void FillProcedureControls(HWND hWnd, int dialog);
#endif
