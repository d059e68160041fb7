// The "params" parameter block of the texture map: parameter IDs, the map's reference numbers and
// the factory of its descriptor.
//
// The library keeps one such descriptor as a static object, defined after the class descriptor
// and the "Mapping" descriptor in the same translation unit so that they are built in that order:
//   static ParamBlockDesc2 paramsDesc = MakeParamsDesc(&scratchesDesc);
// The factory's result is built directly in the static (no copy), so the address registered with
// the class descriptor is the static's own.
#pragma once

#include "iparamb2.h"

inline constexpr BlockID PARAMS_BLOCK_ID = 1;

// References (and sub-anims) of the texture map, one numbering for both.
enum ScratchesRef : int {
  SCRATCHES_REF_COORDS = 0,  // the "Mapping" block
  SCRATCHES_REF_PARAMS = 1,  // the "params" block
  SCRATCHES_REF_COLOR1_MAP = 2,
  SCRATCHES_REF_COLOR2_MAP = 3,
  SCRATCHES_REF_SIZE_MAP = 4,
  SCRATCHES_REF_SPREAD_MAP = 5,
  SCRATCHES_REF_STRETCH_MAP = 6,
  SCRATCHES_REF_DISTORT_MAP = 7,
  SCRATCHES_REF_DISTORT_STR_MAP = 8,
  SCRATCHES_REF_OUTPUT = 9,
  SCRATCHES_NUM_REFS = 10,
};

// Sub-texmap slots: reference number minus 2.
inline constexpr int SCRATCHES_NUM_SUBTEX = 7;

// Parameter IDs: the identity under which scene files store the values.
enum ScratchesParamID : ParamID {
  PB_SIZE = 0,
  PB_THRESHOLD_LOW = 1,
  PB_THRESHOLD_HIGH = 2,
  PB_SIZE_MAP = 3,
  PB_SIZE_MAP_ENABLED = 4,
  PB_COLOR1 = 5,
  PB_COLOR2 = 6,
  PB_COLOR1_MAP = 7,
  PB_COLOR2_MAP = 8,
  PB_COL1_MAP_ENABLED = 9,
  PB_COL2_MAP_ENABLED = 10,
  PB_SPREAD_MAP = 11,
  PB_STRETCH_MAP = 12,
  PB_SPREAD_MAP_ENABLED = 13,
  PB_STRETCH_MAP_ENABLED = 14,
  PB_STRETCH = 15,
  PB_EROSION = 16,
  PB_EROSION_DELTA = 17,
  PB_SPREAD = 18,
  PB_TYPE = 19,
  PB_LEVELS = 20,
  PB_USE_EROSION = 21,
  PB_BUMP_DELTA = 22,
  PB_DISTORT_MAP = 23,
  PB_DISTORT_STR_MAP = 24,
  PB_USE_DISTORTION = 25,
  PB_DSTR_MAP_ENABLED = 26,
  PB_DISTORT_STR = 27,
  PB_OUTPUT = 28,
};

// The "params" descriptor, registered with cd (which may be null for a free-standing one).
ParamBlockDesc2 MakeParamsDesc(ClassDesc2* cd);
