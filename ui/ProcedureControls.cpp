#include "ui/ProcedureControls.h"

#include <algorithm>

#include "custcont.h"
#include "resources/resource.h"
#include "texmap/ScratchesClassDesc.h"
#include "ui/TamrelScratchesDlgProc.h"
#include "ui/TamrelXYZDlgProc.h"

namespace {

// "type": 0 is 2D, 1 is 3D.
constexpr int kTypeItems[] = {IDS_TYPE_2D, IDS_TYPE_3D};
// "xyz_map": the values of XYZMapType.
constexpr int kMapTypeItems[] = {IDS_MAP_CHANNEL_2D, IDS_MAP_CHANNEL_REAL_WORLD, IDS_OBJECT_XYZ,
                                 IDS_WORLD_XYZ, IDS_SCREEN};
// "xyz_tile_x/y/z": the values of XYZTiling.
constexpr int kTilingItems[] = {IDS_TILE_CONTINUE, IDS_TILE_STRETCH, IDS_TILE_TILE,
                                IDS_TILE_MIRROR, IDS_TILE_NONE};

constexpr ProcedureList kLists[] = {
    {IDD_PARAMS, IDC_PARAMS_TYPE, kTypeItems},
    {IDD_MAPPING, IDC_XYZ_MAP, kMapTypeItems},
    {IDD_MAPPING, IDC_XYZ_TILE_X, kTilingItems},
    {IDD_MAPPING, IDC_XYZ_TILE_Y, kTilingItems},
    {IDD_MAPPING, IDC_XYZ_TILE_Z, kTilingItems},
};

// The lock's template caption is empty: the button is too narrow for a word.
constexpr ProcedureCaption kCaptions[] = {
    {IDD_MAPPING, IDC_XYZ_LOCK, _M("L")},
};

template <typename T>
const T* Find(std::span<const T> table, int dialog, int control) {
  const auto at = std::find_if(table.begin(), table.end(), [&](const T& e) {
    return e.dialog == dialog && e.control == control;
  });
  return at == table.end() ? nullptr : &*at;
}

}  // namespace

std::span<const ProcedureList> ProcedureLists() { return kLists; }
std::span<const ProcedureCaption> ProcedureCaptions() { return kCaptions; }

const ProcedureList* FindProcedureList(int dialog, int control) {
  return Find(ProcedureLists(), dialog, control);
}

const ProcedureCaption* FindProcedureCaption(int dialog, int control) {
  return Find(ProcedureCaptions(), dialog, control);
}

#ifdef _WIN32
void FillProcedureControls(HWND hWnd, int dialog) {
  for (const ProcedureCaption& c : kCaptions) {
    if (c.dialog != dialog) continue;
    if (ICustButton* button = GetICustButton(GetDlgItem(hWnd, c.control))) {
      button->SetText(c.text);
      ReleaseICustButton(button);
    }
  }
  for (const ProcedureList& l : kLists) {
    if (l.dialog != dialog) continue;
    HWND list = GetDlgItem(hWnd, l.control);
    for (int id : l.strings) {
      SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(GetResString(id)));
    }
  }
}
#endif
