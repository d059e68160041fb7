// What every layer of tamrel shares: its version, the exit codes that tell kinds of failure apart,
// and the failure that carries one. The commands end with the code; the editor answers with the
// HTTP status that fits it.
#pragma once

#include <string>

namespace tamrel::host {

inline constexpr const char* kVersion = "1.0.0";

// Exit codes, distinct per kind of failure so that scripts can tell them apart.
enum Exit : int {
  EXIT_OK = 0,
  EXIT_RENDER = 1,   // the render itself failed
  EXIT_USAGE = 2,    // bad option or parameter
  EXIT_INPUT = 3,    // a preset or scene cannot be read
  EXIT_OUTPUT = 4,   // an image, preset or scene cannot be written
  EXIT_PLUGIN = 5,   // the plug-in cannot be loaded or has no texture map
  EXIT_LISTEN = 6,   // the editor cannot listen on its address and port (in use)
  // Interrupted runs end with 128 + the signal: 130 for SIGINT, 143 for SIGTERM.
};

struct Failure {
  int code;
  std::string message;
};

[[noreturn]] inline void Fail(int code, const std::string& message) {
  throw Failure{code, message};
}

}  // namespace tamrel::host
