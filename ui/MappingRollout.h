// The rules of the "Mapping" rollout that follow the block: which controls are enabled for the
// map type and the size lock, and the offset and size spinners in scene units or plain numbers.
#pragma once

#include "iparamm2.h"

// Sets up anew the spinner of one float parameter of the rollout: limits -1000000 (0 without
// negatives) to 1000000, scale 0.1 with automatic scaling, and, with universe, the value in scene
// units. Nothing happens while the rollout has no window.
void SetupCoordSpinner(IParamMap2* map, TimeValue t, ParamID id, int editID, int spinID,
                       bool universe, bool allowNegative);

// Whether the offset and size spinners (those IsCoordSpinner names) show scene units under map
// type mapType, as RefreshRollout sets them up.
bool CoordSpinnersInSceneUnits(int mapType);
// Whether id is one of the "Mapping" block's parameters whose spinner RefreshRollout sets up
// anew for the map type: the three offsets and sizes and their six random amplitudes.
bool IsCoordSpinner(ParamID id);
