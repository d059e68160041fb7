// Ctrl-C and termination requests. A run ends with 130 after SIGINT and 143 after SIGTERM, as
// shells expect, in every phase: while loading, reading inputs or writing files the process ends
// at once (after removing any temporary file it was writing); while long work runs inside a
// GracefulInterrupt scope, the signal only raises a flag that the work polls, so that it can stop
// at its next check and say what it left undone. A second signal always ends the process at once.
#pragma once

#include <atomic>

namespace tamrel::host {

// Installs the handlers for SIGINT (unless the process started with it ignored, as background
// jobs do) and SIGTERM. Blocking reads are not restarted after them.
void InstallInterruptHandlers();

// Raised by the first signal; long work polls it.
const std::atomic<bool>& InterruptRequested();

// 128 + the number of the signal received, or 0 while none was.
int InterruptExitCode();

// While alive, a first signal only raises the flag.
class GracefulInterrupt {
 public:
  GracefulInterrupt();
  ~GracefulInterrupt();
  GracefulInterrupt(const GracefulInterrupt&) = delete;
  GracefulInterrupt& operator=(const GracefulInterrupt&) = delete;
};

}  // namespace tamrel::host
