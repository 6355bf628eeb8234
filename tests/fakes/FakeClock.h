// A virtual wall clock that only moves when a test (or FakeRunLoop) moves it.
// Counts its readings, so a test can tell how often a step looked at the time.
// Single-threaded: tests drive it from the test thread.
#pragma once

#include "Platform/Clock.h"

namespace vorsel::fakes {

// An instant in late 2026, far from the distant past and from any overflow.
inline constexpr TimePoint kFakeStart = 818000000.0;

class FakeClock final : public Clock {
  public:
    explicit FakeClock(TimePoint start = kFakeStart) : current(start) {}

    TimePoint now() const override {
        ++reads;
        return current;
    }

    // Moves the clock to `instant` (backwards too, for tests that need it).
    void set(TimePoint instant) { current = instant; }
    // The current instant without counting a reading.
    TimePoint peek() const { return current; }

    // How many times now() has been called.
    mutable int reads = 0;

  private:
    TimePoint current;
};

}  // namespace vorsel::fakes
