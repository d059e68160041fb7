// The map's parameters as the command line, presets and listings see them: found by internal
// name in whichever block declares them, parsed and range-checked against the descriptors the
// plug-in's class descriptor reports, and read back as JSON. Nothing here knows a parameter by
// itself; a new parameter in the plug-in shows up everywhere without a change to the host.
#pragma once

#include <nlohmann/json.hpp>

#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "imtl.h"
#include "iparamb2.h"

namespace tamrel::host {

// The host's animation timing: 30 frames a second on the SDK's 4800 ticks a second.
inline constexpr int kFramesPerSecond = 30;
inline constexpr TimeValue kTicksPerFrame = TIME_TICKSPERSEC / kFramesPerSecond;
// Keys may lie at any tick a TimeValue holds, as in scene files; presets and --set take the frames
// of exactly those ticks, so that every scene's keys can be written as a preset and read back.
inline constexpr TimeValue kMinKeyTime = std::numeric_limits<TimeValue>::min();
inline constexpr TimeValue kMaxKeyTime = std::numeric_limits<TimeValue>::max();

// A parameter the user named wrongly or gave a value it cannot take.
class ParamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ParamEntry {
  std::string name;        // internal name
  ParamBlockDesc2* block;  // the descriptor that declares it
  const ParamDef* def;
};

// One value for one parameter, optionally as a key at a frame.
struct ParamAssignment {
  const ParamEntry* param = nullptr;
  std::optional<double> frame;  // set: a key at this frame
  PB2Value value;
};

class ParamSchema {
 public:
  // Collects the parameters of every block descriptor the class descriptor reports.
  explicit ParamSchema(ClassDesc& cd);

  const std::vector<ParamEntry>& Params() const { return params_; }
  // Null for a name no block declares.
  const ParamEntry* Find(const std::string& name) const;

  // "size", "float", "0 .. 1000000" and the like, for messages and listings.
  static std::string Describe(const ParamEntry& p);

  // Parses "NAME=VALUE" or "NAME@FRAME=VALUE"; throws ParamError naming the parameter, its type
  // and its range when anything is wrong.
  ParamAssignment ParseAssignment(const std::string& text) const;
  // Parses a textual value for p: floats and ints in C syntax, bools as 0/1/true/false/on/off,
  // colours as "r,g,b".
  static PB2Value ParseValue(const ParamEntry& p, const std::string& text);
  static PB2Value JsonValue(const ParamEntry& p, const nlohmann::json& value);

  // Stores the assignment in map's block; a frame sets a key. Throws ParamError when the block
  // refuses it.
  static void Apply(Texmap& map, const ParamAssignment& a);

  // Every plain (non-reference) parameter of map: a value, or {"keys": [[frame, value], ...]} for
  // an animated one. Keys are internal names.
  nlohmann::json ToJson(Texmap& map) const;
  // Applies a preset written by ToJson (or by hand, any subset of the names). Throws ParamError.
  void FromJson(Texmap& map, const nlohmann::json& preset) const;

  // The value of p in map's block at time t, in the form ToJson writes.
  static nlohmann::json ValueJson(Texmap& map, const ParamEntry& p, TimeValue t);

 private:
  std::vector<ParamEntry> params_;
};

// Reads and parses a preset file without trusting it: only a regular file of at most 16 MiB,
// nested at most 32 levels deep. Throws ParamError with a message naming the file as given.
nlohmann::json ReadPresetFile(const std::string& path);

std::string Narrow(const MSTR& s);
std::string Narrow(const MCHAR* s);

}  // namespace tamrel::host
