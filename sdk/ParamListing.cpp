// Rows of the parameter listing, formatted from the descriptor's definitions.
#include <charconv>

#include "paramlisting.h"

const char* ParamTypeName(ParamType2 type) {
  switch (type) {
    case TYPE_FLOAT: return "float";
    case TYPE_INT: return "int";
    case TYPE_RGBA: return "color";
    case TYPE_BOOL: return "bool";
    case TYPE_TEXMAP: return "texmap";
    case TYPE_REFTARG: return "reftarg";
  }
  return "unknown";
}

namespace {
std::string Float(float f) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}
}  // namespace

std::string FormatParamValue(ParamType2 type, const PB2Value& v) {
  switch (type) {
    case TYPE_FLOAT: return Float(v.f);
    case TYPE_INT:
    case TYPE_BOOL: return std::to_string(v.i);
    case TYPE_RGBA: return "(" + Float(v.c.r) + ", " + Float(v.c.g) + ", " + Float(v.c.b) + ")";
    default: return std::string();
  }
}

std::vector<ParamListingRow> ListParams(const ParamBlockDesc2& desc) {
  std::vector<ParamListingRow> rows;
  for (const ParamDef& d : desc.paramdefs) {
    ParamListingRow r;
    for (wchar_t c : d.int_name) r.internalName.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
    r.id = d.ID;
    r.type = ParamTypeName(d.type);
    r.defaultValue = FormatParamValue(d.type, d.def);
    if (d.has_range) r.range = FormatParamValue(d.type, d.range_low) + " .. " + FormatParamValue(d.type, d.range_high);
    r.displayName = d.local_name;
    r.animatable = (d.flags & P_ANIMATABLE) != 0;
    rows.push_back(std::move(r));
  }
  return rows;
}
