// The handler uses only async-signal-safe calls: atomics, unlink (through
// RemovePendingTempFiles), write and _exit.
#include "engine/Interrupt.h"

#include <csignal>

#include "atomicfile.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tamrel::host {
namespace {

std::atomic<bool> gRequested{false};
std::atomic<int> gSignal{0};
std::atomic<int> gGraceful{0};

[[noreturn]] void EndNow(int sig) {
  RemovePendingTempFiles();
#ifndef _WIN32
  static const char kMessage[] = "\ntamrel: error: interrupted\n";
  [[maybe_unused]] const auto n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(128 + sig);
#else
  std::_Exit(128 + sig);
#endif
}

// Two signals may be handled at once on two threads: the signal is recorded before the flag, so
// whichever handler sees the other's flag finds the first signal's number already there.
extern "C" void OnInterrupt(int sig) {
  int none = 0;
  gSignal.compare_exchange_strong(none, sig);
  const bool second = gRequested.exchange(true);
  if (second || gGraceful.load() == 0) EndNow(gSignal.load());
}

}  // namespace

void InstallInterruptHandlers() {
#ifndef _WIN32
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a read waiting on a slow input returns
  // A shell starts background jobs with SIGINT ignored, so that Ctrl-C reaches only the job in
  // the foreground; that choice is kept.
  struct sigaction before {};
  sigaction(SIGINT, nullptr, &before);
  if (before.sa_handler != SIG_IGN) sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#else
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
#endif
}

const std::atomic<bool>& InterruptRequested() {
  return gRequested;
}

int InterruptExitCode() {
  const int sig = gSignal.load();
  return sig == 0 ? 0 : 128 + sig;
}

GracefulInterrupt::GracefulInterrupt() {
  gGraceful.fetch_add(1);
}

// A signal that arrived while the scope was open stays in InterruptRequested, which the work's
// caller checks once the scope is closed.
GracefulInterrupt::~GracefulInterrupt() {
  gGraceful.fetch_sub(1);
}

}  // namespace tamrel::host
