// The current instant. The agent's logic never reads time any other way, so
// tests can drive it with a virtual clock. Any thread.
#pragma once

#include "Platform/Time.h"

namespace vorsel {

class Clock {
  public:
    virtual ~Clock() = default;

    // The current instant, as far as the platform can vouch for it: the wall
    // clock where nothing says otherwise, but an adapter may hold it to the
    // time that has really passed, since the user can set the wall clock.
    // Successive readings need not be monotonic.
    virtual TimePoint now() const = 0;
};

}  // namespace vorsel
