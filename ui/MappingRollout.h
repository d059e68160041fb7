// The rules of the "Mapping" rollout that follow the block: which controls are enabled for the
// map type and the size lock, and the offset and size spinners in scene units or plain numbers.
#pragma once

#include "iparamm2.h"

// Sets up anew the spinner of one float parameter of the rollout: limits -1000000 (0 without
// negatives) to 1000000, scale 0.1 with automatic scaling, and, with universe, the value in scene
// units. Nothing happens while the rollout has no window.
void SetupCoordSpinner(IParamMap2* map, TimeValue t, ParamID id, int editID, int spinID,
                       bool universe, bool allowNegative);
