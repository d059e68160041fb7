// The "Mapping" parameter block: identities of its parameters and XYZ_Desc, the descriptor that
// declares them.
//
// The library holds one XYZ_Desc, constructed after the class descriptor it registers with;
// defining both in one translation unit, class descriptor first, fixes that order:
//   static TamrelScratchesClassDesc scratchesDesc;
//   static XYZ_Desc xyzDesc(&scratchesDesc, MAPPING_REF, MAPPING_BLOCK_ID, XYZ_MAP_OBJECT,
//                           XYZ_TILE_CONTINUE, XYZ_TILE_CONTINUE, XYZ_TILE_CONTINUE,
//                           APPENDROLL_CLOSED);
#pragma once

#include "iparamb2.h"

inline constexpr BlockID MAPPING_BLOCK_ID = 0;
inline constexpr int MAPPING_REF = 0;  // the block's reference number in its owner

// Parameter IDs: the identity under which scene files store the values.
enum XYZParamID : ParamID {
  XYZ_PB_MAP = 0,
  XYZ_PB_CHAN = 1,
  XYZ_PB_OFFSET_X = 2,
  XYZ_PB_OFFSET_Y = 3,
  XYZ_PB_OFFSET_Z = 4,
  XYZ_PB_SIZE_X = 5,
  XYZ_PB_SIZE_Y = 6,
  XYZ_PB_SIZE_Z = 7,
  XYZ_PB_ANGLE_X = 8,
  XYZ_PB_ANGLE_Y = 9,
  XYZ_PB_ANGLE_Z = 10,
  XYZ_PB_TILE_X = 11,
  XYZ_PB_TILE_Y = 12,
  XYZ_PB_TILE_Z = 13,
  XYZ_PB_OFFSET_X2 = 14,
  XYZ_PB_OFFSET_Y2 = 15,
  XYZ_PB_OFFSET_Z2 = 16,
  XYZ_PB_SIZE_X2 = 17,
  XYZ_PB_SIZE_Y2 = 18,
  XYZ_PB_SIZE_Z2 = 19,
  XYZ_PB_ANGLE_X2 = 20,
  XYZ_PB_ANGLE_Y2 = 21,
  XYZ_PB_ANGLE_Z2 = 22,
  XYZ_PB_SEED = 23,
  XYZ_PB_RAND_BY_MAT = 24,
  XYZ_PB_RAND_BY_OBJ = 25,
  XYZ_PB_LOCK = 26,
};

class XYZ_Desc : public ParamBlockDesc2 {
 public:
  // defMapType and the three tiling defaults become the defaults of "xyz_map" and
  // "xyz_tile_x/y/z"; rollupFlags decide whether the "Mapping" rollout opens rolled up.
  XYZ_Desc(ClassDesc2* cd, int refNum, int blockID, int defMapType, int defTileX, int defTileY,
           int defTileZ, int rollupFlags);
  ~XYZ_Desc() override;
};
