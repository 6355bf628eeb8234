// The Clock port on Linux: the real-time clock, moved to the 2001 reference.
#pragma once

#include <time.h>

#include "Platform/Clock.h"

namespace vorsel::linux_platform {

class LinuxClock final : public Clock {
  public:
    TimePoint now() const override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<double>(ts.tv_sec) - kReferenceSinceUnixEpoch +
               static_cast<double>(ts.tv_nsec) / 1e9;
    }
};

}  // namespace vorsel::linux_platform
