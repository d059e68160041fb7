// The rules of the "Mapping" rollout that follow the block: which controls are enabled for the
// map type and the size lock, and the offset and size spinners in scene units or plain numbers.
#pragma once

#include "iparamm2.h"

// How RefreshRollout sets up the spinner of one of the "Mapping" block's offsets and sizes or
// their random amplitudes: its edit and spinner controls, limits (-1000000, or 0 for a value
// that takes no negatives, to 1000000), scale 0.1 with automatic scaling, and whether it shows
// the value in scene units.
struct CoordSpinnerSetup {
  int edit = 0, spin = 0;
  float low = 0.0f, high = 0.0f, scale = 0.0f;
  bool universe = false;
};
// The set-up of parameter id's spinner under map type mapType; false (and setup untouched) for
// a parameter that is not one of them.
bool CoordSpinnerFor(ParamID id, int mapType, CoordSpinnerSetup& setup);

// Sets up anew the spinner of one float parameter of the rollout as setup says. Nothing happens
// while the rollout has no window.
void SetupCoordSpinner(IParamMap2* map, TimeValue t, ParamID id, const CoordSpinnerSetup& setup);

// Whether the offset and size spinners (those IsCoordSpinner names) show scene units under map
// type mapType, as RefreshRollout sets them up.
bool CoordSpinnersInSceneUnits(int mapType);
// Whether id is one of the "Mapping" block's parameters whose spinner RefreshRollout sets up
// anew for the map type: the three offsets and sizes and their six random amplitudes.
bool IsCoordSpinner(ParamID id);
