// What the scene loader needs to know of a stored parameter block before it can create one: the
// owner class and block ID that find the block's descriptor.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "maxtypes.h"

inline constexpr Class_ID kParamBlock2ClassID(0x4B2A0B77, 0x2C3E0A10);

struct StoredBlockIdentity {
  SClass_ID ownerSuper = 0;
  Class_ID ownerClass;
  BlockID blockID = -1;
};

// Reads the identity from the data a block's Save wrote; false with a message when it is absent
// or malformed.
bool ReadStoredBlockIdentity(std::span<const std::uint8_t> data, StoredBlockIdentity& id,
                             std::string& error);
