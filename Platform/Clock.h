// The wall clock. The agent's logic never reads time any other way, so tests
// can drive it with a virtual clock. Any thread.
#pragma once

#include "Platform/Time.h"

namespace vorsel {

class Clock {
  public:
    virtual ~Clock() = default;

    // The current instant.
    virtual TimePoint now() const = 0;
};

}  // namespace vorsel
