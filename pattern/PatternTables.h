// Read-only tables shared by the pattern kernels.
#pragma once

#include <cstdint>

namespace tamrel {

extern const std::uint8_t kPermutation[512];  // the reference permutation, stored twice
extern const std::uint8_t kFeatureCount[256];  // feature points per cube, by seed >> 24
extern const float kLevelAngles[7];            // degrees of strand levels 2..8

}  // namespace tamrel
