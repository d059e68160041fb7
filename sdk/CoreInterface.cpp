// The core interface of the running host: one per process, shared by the host and its plug-ins.
#include <atomic>

#include "maxapi.h"

namespace {

class CoreInterface : public Interface {
 public:
  TimeValue GetTime() override { return time_.load(std::memory_order_relaxed); }
  void SetTime(TimeValue t) override { time_.store(t, std::memory_order_relaxed); }

 private:
  std::atomic<TimeValue> time_{0};
};

}  // namespace

Interface* GetCOREInterface() {
  static CoreInterface core;
  return &core;
}
