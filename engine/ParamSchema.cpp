// Parsing goes through std::from_chars so that a value is read the same way whatever the
// process's locale, and a trailing character is an error rather than silently dropped.
#include "engine/ParamSchema.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "boundedread.h"
#include "engine/EchoText.h"
#include "paramlisting.h"

namespace tamrel::host {
namespace {

using nlohmann::json;

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseDouble(const std::string& text, double& v) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  const char* first = t.data();
  if (*first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, t.data() + t.size(), v);
  return ec == std::errc() && ptr == t.data() + t.size() && std::isfinite(v);
}

bool ParseLong(const std::string& text, long long& v) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  const char* first = t.data();
  if (*first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, t.data() + t.size(), v);
  return ec == std::errc() && ptr == t.data() + t.size();
}

// A JSON value as a message shows it: control and non-ASCII characters escaped, cut when long.
std::string ShowJson(const json& value) {
  return OneLine(value.dump(-1, ' ', true, json::error_handler_t::replace), 80);
}

[[noreturn]] void Fail(const ParamEntry& p, const std::string& why) {
  throw ParamError("parameter \"" + p.name + "\" (" + ParamSchema::Describe(p) + "): " + why);
}

// Values outside the descriptor's range are refused rather than clamped: a clamped value would
// bake something other than what the user asked for without saying so.
void CheckRange(const ParamEntry& p, const PB2Value& v, const std::string& shown) {
  const ParamDef& d = *p.def;
  if (!d.has_range) return;
  bool inside = true;
  if (d.type == TYPE_FLOAT) inside = v.f >= d.range_low.f && v.f <= d.range_high.f;
  if (d.type == TYPE_INT) inside = v.i >= d.range_low.i && v.i <= d.range_high.i;
  if (!inside) Fail(p, shown + " is out of range");
}

PB2Value FromFloat(const ParamEntry& p, double d, const std::string& shown) {
  if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max()) {
    Fail(p, shown + " is not a finite float");
  }
  PB2Value v;
  v.f = static_cast<float>(d);
  CheckRange(p, v, shown);
  return v;
}

PB2Value FromInt(const ParamEntry& p, long long i, const std::string& shown) {
  if (i < std::numeric_limits<int>::min() || i > std::numeric_limits<int>::max()) {
    Fail(p, shown + " does not fit an int");
  }
  PB2Value v;
  v.i = static_cast<int>(i);
  CheckRange(p, v, shown);
  return v;
}

json ColorJson(const Color& c) {
  return json::array({c.r, c.g, c.b});
}

class AnimateScope {
 public:
  explicit AnimateScope(bool on) : on_(on) {
    if (on_) AnimateOn();
  }
  ~AnimateScope() {
    if (on_) AnimateOff();
  }
  AnimateScope(const AnimateScope&) = delete;
  AnimateScope& operator=(const AnimateScope&) = delete;

 private:
  bool on_;
};

// The tick of a key at frame, rounded to the nearest; false when frame is not finite or its
// tick falls outside the TimeValue range that keys may take (the range a scene file stores).
bool FrameToTicks(double frame, TimeValue& ticks) {
  if (!std::isfinite(frame)) return false;
  const double t = std::nearbyint(frame * static_cast<double>(kTicksPerFrame));
  if (!(t >= static_cast<double>(kMinKeyTime) && t <= static_cast<double>(kMaxKeyTime))) {
    return false;
  }
  ticks = static_cast<TimeValue>(t);
  return true;
}

std::string ShortestText(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  return std::string(text, end);
}

std::string KeyFrameRange() {
  return "frames from " + ShortestText(static_cast<double>(kMinKeyTime) / kTicksPerFrame) + " to " +
         ShortestText(static_cast<double>(kMaxKeyTime) / kTicksPerFrame);
}

}  // namespace

std::string Narrow(const MSTR& s) {
  std::string out;
  for (wchar_t c : s) out.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
  return out;
}

std::string Narrow(const MCHAR* s) {
  return s ? Narrow(MSTR(s)) : std::string();
}

ParamSchema::ParamSchema(ClassDesc& cd) {
  for (int b = 0; b < cd.NumParamBlockDescs(); ++b) {
    ParamBlockDesc2* desc = cd.GetParamBlockDesc(b);
    if (!desc) continue;
    for (const ParamDef& d : desc->paramdefs) params_.push_back({Narrow(d.int_name), desc, &d});
  }
}

const ParamEntry* ParamSchema::Find(const std::string& name) const {
  for (const ParamEntry& p : params_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

std::string ParamSchema::Describe(const ParamEntry& p) {
  std::string s =
      std::string(ParamTypeName(p.def->type)) + " in block \"" + Narrow(p.block->int_name) + "\"";
  switch (p.def->type) {
    case TYPE_BOOL:
      return s + ", 0 or 1";
    case TYPE_RGBA:
      return s + ", r,g,b";
    case TYPE_TEXMAP:
    case TYPE_REFTARG:
      return s;
    default:
      break;
  }
  if (p.def->has_range) {
    s += ", range " + FormatParamValue(p.def->type, p.def->range_low) + " .. " +
         FormatParamValue(p.def->type, p.def->range_high);
  } else {
    s += ", no range";
  }
  return s;
}

PB2Value ParamSchema::ParseValue(const ParamEntry& p, const std::string& text) {
  const std::string shown = Quote(text);
  switch (p.def->type) {
    case TYPE_FLOAT: {
      double d;
      if (!ParseDouble(text, d)) Fail(p, shown + " is not a number");
      return FromFloat(p, d, shown);
    }
    case TYPE_INT: {
      long long i;
      if (!ParseLong(text, i)) Fail(p, shown + " is not an integer");
      return FromInt(p, i, shown);
    }
    case TYPE_BOOL: {
      const std::string t = Trim(text);
      PB2Value v;
      if (t == "1" || t == "true" || t == "on") {
        v.i = 1;
      } else if (t == "0" || t == "false" || t == "off") {
        v.i = 0;
      } else {
        Fail(p, shown + " is not a bool (0, 1, true, false, on, off)");
      }
      return v;
    }
    case TYPE_RGBA: {
      double c[3];
      std::size_t start = 0;
      for (int k = 0; k < 3; ++k) {
        const std::size_t comma = text.find(',', start);
        const bool last = k == 2;
        if (last != (comma == std::string::npos)) Fail(p, shown + " is not a colour r,g,b");
        const std::string part = text.substr(start, last ? std::string::npos : comma - start);
        if (!ParseDouble(part, c[k]) || std::fabs(c[k]) > std::numeric_limits<float>::max()) {
          Fail(p, shown + " is not a colour r,g,b");
        }
        start = comma + 1;
      }
      PB2Value v;
      v.c = Color(static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]));
      return v;
    }
    default:
      Fail(p, "maps are not set from the command line; load them with --scene");
  }
}

PB2Value ParamSchema::JsonValue(const ParamEntry& p, const json& value) {
  const std::string shown = ShowJson(value);
  switch (p.def->type) {
    case TYPE_FLOAT:
      if (!value.is_number()) Fail(p, shown + " is not a number");
      return FromFloat(p, value.get<double>(), shown);
    case TYPE_INT:
      if (!value.is_number_integer()) Fail(p, shown + " is not an integer");
      if (value.is_number_unsigned() &&
          value.get<unsigned long long>() >
              static_cast<unsigned long long>(std::numeric_limits<int>::max())) {
        Fail(p, shown + " does not fit an int");
      }
      return FromInt(p, value.get<long long>(), shown);
    case TYPE_BOOL: {
      PB2Value v;
      if (value.is_boolean()) {
        v.i = value.get<bool>() ? 1 : 0;
      } else if (value.is_number_integer() && (value == 0 || value == 1)) {
        v.i = value.get<int>();
      } else {
        Fail(p, shown + " is not a bool");
      }
      return v;
    }
    case TYPE_RGBA: {
      if (!value.is_array() || value.size() != 3) Fail(p, shown + " is not a colour [r, g, b]");
      double c[3];
      for (int k = 0; k < 3; ++k) {
        if (!value[k].is_number()) Fail(p, shown + " is not a colour [r, g, b]");
        c[k] = value[k].get<double>();
        if (!std::isfinite(c[k]) || std::fabs(c[k]) > std::numeric_limits<float>::max()) {
          Fail(p, shown + " is not a colour [r, g, b]");
        }
      }
      PB2Value v;
      v.c = Color(static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]));
      return v;
    }
    default:
      Fail(p, "maps are not stored in presets; use a scene file");
  }
}

ParamAssignment ParamSchema::ParseAssignment(const std::string& text) const {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos) {
    throw ParamError("--set takes NAME=VALUE or NAME@FRAME=VALUE, not " + Quote(text));
  }
  std::string name = text.substr(0, eq);
  ParamAssignment a;
  if (const std::size_t at = name.find('@'); at != std::string::npos) {
    const std::string frameText = name.substr(at + 1);
    name = name.substr(0, at);
    double frame;
    TimeValue ticks;
    if (!ParseDouble(frameText, frame) || !FrameToTicks(frame, ticks)) {
      throw ParamError(Quote(frameText) + " in --set " + Quote(text) +
                       " is not a frame number (keys lie at " + KeyFrameRange() + ")");
    }
    a.frame = frame;
  }
  a.param = Find(name);
  if (!a.param) {
    throw ParamError("unknown parameter " + Quote(name, 64, '"') + " (see 'tamrel params')");
  }
  if (a.frame && !(a.param->def->flags & P_ANIMATABLE)) {
    Fail(*a.param, "is not animatable, so it takes no key at a frame");
  }
  a.value = ParseValue(*a.param, text.substr(eq + 1));
  return a;
}

void ParamSchema::Apply(Texmap& map, const ParamAssignment& a) {
  const ParamEntry& p = *a.param;
  IParamBlock2* block = map.GetParamBlockByID(p.block->ID);
  if (!block) Fail(p, "the map has no block \"" + Narrow(p.block->int_name) + "\"");
  TimeValue t = 0;
  if (a.frame && !FrameToTicks(*a.frame, t)) Fail(p, "a key frame lies in " + KeyFrameRange());
  AnimateScope animate(a.frame.has_value());
  BOOL ok = FALSE;
  switch (p.def->type) {
    case TYPE_FLOAT:
      ok = block->SetValue(p.def->ID, t, a.value.f);
      break;
    case TYPE_INT:
    case TYPE_BOOL:
      ok = block->SetValue(p.def->ID, t, a.value.i);
      break;
    case TYPE_RGBA:
      ok = block->SetValue(p.def->ID, t, a.value.c);
      break;
    default:
      break;
  }
  if (!ok) Fail(p, "the map's block refused the value");
}

json ParamSchema::ValueJson(Texmap& map, const ParamEntry& p, TimeValue t) {
  IParamBlock2* block = map.GetParamBlockByID(p.block->ID);
  if (!block) return nullptr;
  Interval iv = FOREVER;
  switch (p.def->type) {
    case TYPE_FLOAT: {
      float f = 0.0f;
      block->GetValue(p.def->ID, t, f, iv);
      return f;
    }
    case TYPE_INT: {
      int i = 0;
      block->GetValue(p.def->ID, t, i, iv);
      return i;
    }
    case TYPE_BOOL: {
      int i = 0;
      block->GetValue(p.def->ID, t, i, iv);
      return i != 0;
    }
    case TYPE_RGBA: {
      Color c;
      block->GetValue(p.def->ID, t, c, iv);
      return ColorJson(c);
    }
    default:
      return nullptr;
  }
}

json ParamSchema::ToJson(Texmap& map) const {
  json out = json::object();
  for (const ParamEntry& p : params_) {
    if (p.def->IsReference()) continue;
    IParamBlock2* block = map.GetParamBlockByID(p.block->ID);
    const int keys = block ? block->NumKeys(p.def->ID) : 0;
    if (keys == 0) {
      out[p.name] = ValueJson(map, p, 0);
      continue;
    }
    json list = json::array();
    for (int k = 0; k < keys; ++k) {
      const TimeValue t = block->GetKeyTime(p.def->ID, k);
      list.push_back({static_cast<double>(t) / kTicksPerFrame, ValueJson(map, p, t)});
    }
    out[p.name] = {{"keys", list}};
  }
  return out;
}

void ParamSchema::FromJson(Texmap& map, const json& preset) const {
  if (!preset.is_object()) throw ParamError("a preset is a JSON object of parameter names");
  for (const auto& [name, value] : preset.items()) {
    const ParamEntry* p = Find(name);
    if (!p) throw ParamError("unknown parameter " + Quote(name, 64, '"'));
    ParamAssignment a;
    a.param = p;
    if (!value.is_object()) {
      a.value = JsonValue(*p, value);
      Apply(map, a);
      continue;
    }
    if (!(p->def->flags & P_ANIMATABLE)) Fail(*p, "is not animatable, so it takes no keys");
    const auto keys = value.find("keys");
    if (value.size() != 1 || keys == value.end() || !keys->is_array() || keys->empty()) {
      Fail(*p, "an animated value is {\"keys\": [[frame, value], ...]}");
    }
    for (const json& key : *keys) {
      TimeValue ticks;
      if (!key.is_array() || key.size() != 2 || !key[0].is_number()) {
        Fail(*p, "a key is [frame, value], not " + ShowJson(key));
      }
      if (!FrameToTicks(key[0].get<double>(), ticks)) {
        Fail(*p, "the key frame " + ShowJson(key[0]) + " is outside " + KeyFrameRange());
      }
      a.frame = key[0].get<double>();
      a.value = JsonValue(*p, key[1]);
      Apply(map, a);
    }
  }
}

json ReadPresetFile(const std::string& path) {
  // Presets are small JSON files; anything larger or nested deeper is not one.
  constexpr std::size_t kMaxPresetBytes = std::size_t{16} << 20;
  constexpr int kMaxPresetDepth = 32;
  std::string text, why;
  if (!ReadRegularFile(path, kMaxPresetBytes, text, why)) {
    throw ParamError("cannot read preset " + path + ": " + why);
  }
  // A deep value is refused while it is parsed, before it can reach anything that walks it
  // recursively.
  struct TooDeep {};
  const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxPresetDepth) throw TooDeep{};
    return true;
  };
  try {
    return json::parse(text, limitDepth);
  } catch (const TooDeep&) {
    throw ParamError("preset " + path + " nests values deeper than " +
                     std::to_string(kMaxPresetDepth) + " levels");
  } catch (const json::exception& e) {
    throw ParamError("preset " + path + " is not valid JSON: " + e.what());
  }
}

}  // namespace tamrel::host
