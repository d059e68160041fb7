// What the map tells hosts that build its rollouts without windows. Every answer comes from the
// tables and rules the Win32 rollouts run on, so a browser shows what the host application shows.
#include "coords/MappingBlock.h"
#include "texmap/TamrelScratches.h"
#include "ui/MappingRollout.h"
#include "ui/ProcedureControls.h"

std::vector<int> TamrelScratches::DialogListItems(int dialog, int control) {
  const ProcedureList* list = FindProcedureList(dialog, control);
  if (!list) return {};
  return std::vector<int>(list->strings.begin(), list->strings.end());
}

const MCHAR* TamrelScratches::DialogButtonCaption(int dialog, int control) {
  const ProcedureCaption* caption = FindProcedureCaption(dialog, control);
  return caption ? caption->text : nullptr;
}

BOOL TamrelScratches::IsUnitSpinner(BlockID block, ParamID id) {
  return block == MAPPING_BLOCK_ID && IsCoordSpinner(id);
}

BOOL TamrelScratches::InSceneUnits(BlockID block, ParamID id) {
  // The map type the last Update read is the one its RefreshRollout set the spinners up for.
  return IsUnitSpinner(block, id) && CoordSpinnersInSceneUnits(eval_->Values().coords.mapType);
}
