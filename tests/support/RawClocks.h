// Raw clock readings that a test sets by hand, for the Linux clock adapter:
// a wall clock and a boot clock that can be moved against each other, and a
// boot id. Test code only; one thread at a time.
#pragma once

#include <optional>
#include <string>

#include "Platform/Linux/Runtime/LinuxClock.h"

namespace vorsel::testing {

struct RawClocks {
    TimePoint wall = 818000000.0;  // late 2026
    double sinceBoot = 5000.0;
    std::optional<std::string> bootId = "0b1e4c6a-5f1d-4f55-9d0e-3c2a1b0f9e11";

    // Time passing: both clocks move on.
    void pass(double seconds) {
        wall += seconds;
        sinceBoot += seconds;
    }

    // Readings that follow this object, which must outlive them.
    linux_platform::ClockReadings readings() {
        return {[this] { return wall; }, [this] { return sinceBoot; }, [this] { return bootId; }};
    }
};

}  // namespace vorsel::testing
