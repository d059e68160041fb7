// The rollout interface a texture map may offer through GetInterface(I_ROLLOUTINFO), for hosts
// that build the map's rollouts without Win32 (a browser editor, a test). The block descriptors
// declare the controls and bind them to parameters; this answers what the map's dialog procedures
// and rollout rules add that no descriptor declares: the items the procedures put into list
// controls, the captions they give buttons, and which spinners show scene units.
#pragma once

#include <vector>

#include "maxtypes.h"
#include "strclass.h"

inline constexpr ULONG I_ROLLOUTINFO = 0x5452D105;

class IRolloutInfo {
 public:
  // The string-table ids of the items the dialog procedure of dialog template `dialog` adds to
  // its list control `control`, in the order it adds them: an item's position is the value the
  // bound parameter stores. Empty when the procedure adds none to that control.
  virtual std::vector<int> DialogListItems(int dialog, int control) = 0;
  // The caption the dialog procedure of template `dialog` gives its button `control`; null when
  // the procedure leaves the button as the template captions it. Owned by the map.
  virtual const MCHAR* DialogButtonCaption(int dialog, int control) = 0;
  // Whether the spinner of parameter `id` of block `block` switches between scene units and plain
  // numbers with the map's other values.
  virtual BOOL IsUnitSpinner(BlockID block, ParamID id) = 0;
  // Whether that spinner shows scene units with the values the map read at its last Update;
  // FALSE for every spinner that does not switch.
  virtual BOOL InSceneUnits(BlockID block, ParamID id) = 0;

 protected:
  ~IRolloutInfo() = default;
};
