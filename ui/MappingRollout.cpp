// XYZCoords::RefreshRollout and SetupCoordSpinner: the coordinate generator's update applies the
// "Mapping" rollout's rules whenever it re-reads the block, using the map type and lock it read.
// The unit rule and the spinner table are also what the map tells hosts without windows.
#include "ui/MappingRollout.h"

#include "coords/MappingBlock.h"
#include "coords/XYZCoords.h"
#include "custcont.h"

namespace {

constexpr float kCoordLimit = 1000000.0f;

// The twelve spinners re-created at every refresh, in order: parameter, edit, spinner, and
// whether negative values are allowed (only the offsets themselves).
struct CoordSpinner {
  ParamID id;
  int edit, spin;
  bool allowNegative;
};
constexpr CoordSpinner kCoordSpinners[] = {
    {XYZ_PB_OFFSET_X, 1491, 1497, true},   {XYZ_PB_OFFSET_Y, 1492, 1498, true},
    {XYZ_PB_OFFSET_Z, 1493, 1499, true},   {XYZ_PB_SIZE_X, 1494, 1500, false},
    {XYZ_PB_SIZE_Y, 1495, 1501, false},    {XYZ_PB_SIZE_Z, 1496, 1502, false},
    {XYZ_PB_OFFSET_X2, 1503, 1504, false}, {XYZ_PB_OFFSET_Y2, 1505, 1506, false},
    {XYZ_PB_OFFSET_Z2, 1507, 1508, false}, {XYZ_PB_SIZE_X2, 1509, 1510, false},
    {XYZ_PB_SIZE_Y2, 1511, 1512, false},   {XYZ_PB_SIZE_Z2, 1513, 1514, false},
};

}  // namespace

bool CoordSpinnersInSceneUnits(int mapType) {
  // Map channel 2D and screen coordinates are plain numbers; every other type (also any unknown
  // one) measures in scene units.
  return mapType != XYZ_MAP_CHANNEL_2D && mapType != XYZ_MAP_SCREEN;
}

bool CoordSpinnerFor(ParamID id, int mapType, CoordSpinnerSetup& setup) {
  for (const CoordSpinner& s : kCoordSpinners) {
    if (s.id != id) continue;
    setup.edit = s.edit;
    setup.spin = s.spin;
    setup.low = s.allowNegative ? -kCoordLimit : 0.0f;
    setup.high = kCoordLimit;
    setup.scale = 0.1f;
    setup.universe = CoordSpinnersInSceneUnits(mapType);
    return true;
  }
  return false;
}

bool IsCoordSpinner(ParamID id) {
  CoordSpinnerSetup unused;
  return CoordSpinnerFor(id, XYZ_MAP_OBJECT, unused);
}

void XYZCoords::RefreshRollout(IParamBlock2* block, TimeValue t) const {
  IParamMap2* map = block ? block->GetMap(0) : nullptr;
  if (!map) return;
  // One random size amount serves all three axes while the lock is pressed.
  map->Enable(XYZ_PB_SIZE_Y2, !lock);
  map->Enable(XYZ_PB_SIZE_Z2, !lock);
  // Tiling is offered for the 2D map channel only, although Real World coordinates tile too.
  const BOOL tiles = mapType == XYZ_MAP_CHANNEL_2D;
  map->Enable(XYZ_PB_TILE_X, tiles);
  map->Enable(XYZ_PB_TILE_Y, tiles);
  map->Enable(XYZ_PB_TILE_Z, tiles);
  for (const CoordSpinner& s : kCoordSpinners) {
    CoordSpinnerSetup setup;
    CoordSpinnerFor(s.id, mapType, setup);
    SetupCoordSpinner(map, t, s.id, setup);
  }
}

void SetupCoordSpinner(IParamMap2* map, TimeValue t, ParamID id, const CoordSpinnerSetup& setup) {
  HWND hWnd = map->GetHWnd();
  if (!hWnd) return;
  float value = 0.0f;
  Interval valid = FOREVER;
  map->GetParamBlock()->GetValue(id, t, value, valid);
  ISpinnerControl* spin =
      setup.universe ? SetupUniverseSpinner(hWnd, setup.spin, setup.edit, setup.low, setup.high,
                                            value, setup.scale)
                     : SetupFloatSpinner(hWnd, setup.spin, setup.edit, setup.low, setup.high,
                                         value, setup.scale);
  if (!spin) return;
  spin->SetAutoScale(TRUE);
  ReleaseISpinner(spin);
}
