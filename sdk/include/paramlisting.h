// A plain-text view of a block descriptor: one row per parameter with its internal name, ID,
// type, default, range and display string id, in the order of the definitions. Everything comes
// from the descriptor; no block needs to exist.
#pragma once

#include <string>
#include <vector>

#include "iparamb2.h"

struct ParamListingRow {
  std::string internalName;
  ParamID id = -1;
  std::string type;          // "float", "int", "bool", "color", "texmap", "reftarg"
  std::string defaultValue;  // empty for references
  std::string range;         // "min .. max", empty when the parameter has none
  StringResID displayName = 0;
  bool animatable = false;
};

const char* ParamTypeName(ParamType2 type);
std::vector<ParamListingRow> ListParams(const ParamBlockDesc2& desc);
// Floats in their shortest exact single-precision form, so 0.8f reads "0.8".
std::string FormatParamValue(ParamType2 type, const PB2Value& v);
