// A run loop on the virtual clock. Nothing runs by itself: drain() runs the
// posted work, advance() moves the clock and fires the timers that fall due on
// the way, in time order (ties in scheduling order), running posted work after
// each firing. A repeating timer keeps its cadence. exit() is recorded and,
// like a real process end, stops the loop: later work and timers never run.
//
// post() is thread-safe; everything else belongs to the test thread. A timer
// handle may be destroyed inside its own action.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/RunLoop.h"
#include "tests/fakes/FakeClock.h"

namespace vorsel::fakes {

class FakeRunLoop final : public RunLoop {
  public:
    explicit FakeRunLoop(FakeClock& clock) : clock(clock) {}

    std::unique_ptr<Timer> schedule(double interval, double tolerance, bool repeats,
                                    std::function<void()> action) override;
    void post(std::function<void()> work) override;
    void exit(int status) override;

    // Runs posted work in FIFO order, including work posted meanwhile.
    void drain();
    // Moves the clock `seconds` forward (see above).
    void advance(double seconds);
    void advanceTo(TimePoint instant);

    // A timer that has not been invalidated, as it was scheduled.
    struct TimerInfo {
        double interval;
        double tolerance;
        bool repeats;
        TimePoint fireAt;
    };
    std::vector<TimerInfo> liveTimers() const;
    std::size_t pendingWork() const;

    std::optional<int> exitStatus;
    std::optional<TimePoint> exitedAt;

    struct State {
        double interval;
        double tolerance;
        bool repeats;
        TimePoint fireAt;
        std::uint64_t order;
        std::function<void()> action;
        bool valid = true;
    };

  private:
    std::shared_ptr<State> nextDue(TimePoint limit) const;

    FakeClock& clock;
    std::vector<std::shared_ptr<State>> timers;
    std::uint64_t scheduled = 0;
    mutable std::mutex postedLock;
    std::deque<std::function<void()>> posted;
};

}  // namespace vorsel::fakes
