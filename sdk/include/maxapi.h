// The host's core interface, as far as plug-ins use it: the scene's current time.
#pragma once

#include "maxtypes.h"

class Interface {
 public:
  virtual ~Interface() = default;
  virtual TimeValue GetTime() = 0;
  virtual void SetTime(TimeValue t) = 0;
};

// The one core interface of the running host.
Interface* GetCOREInterface();
