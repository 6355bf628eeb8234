#include "tests/fakes/FakeRunLoop.h"

#include <algorithm>
#include <utility>

namespace vorsel::fakes {

namespace {

class FakeTimer final : public Timer {
  public:
    explicit FakeTimer(std::shared_ptr<FakeRunLoop::State> state) : state(std::move(state)) {}
    ~FakeTimer() override { invalidate(); }

    void invalidate() override { state->valid = false; }
    bool isValid() const override { return state->valid; }

  private:
    std::shared_ptr<FakeRunLoop::State> state;
};

}  // namespace

std::unique_ptr<Timer> FakeRunLoop::schedule(double interval, double tolerance, bool repeats,
                                             std::function<void()> action) {
    auto state = std::make_shared<State>(State{
        interval, tolerance, repeats, clock.peek() + interval, scheduled++, std::move(action)});
    timers.push_back(state);
    return std::make_unique<FakeTimer>(std::move(state));
}

void FakeRunLoop::post(std::function<void()> work) {
    std::lock_guard lock(postedLock);
    posted.push_back(std::move(work));
}

void FakeRunLoop::exit(int status) {
    if (exitStatus) return;
    exitStatus = status;
    exitedAt = clock.peek();
}

void FakeRunLoop::drain() {
    while (!exitStatus) {
        std::function<void()> work;
        {
            std::lock_guard lock(postedLock);
            if (posted.empty()) return;
            work = std::move(posted.front());
            posted.pop_front();
        }
        work();
    }
}

std::shared_ptr<FakeRunLoop::State> FakeRunLoop::nextDue(TimePoint limit) const {
    std::shared_ptr<State> due;
    for (const auto& timer : timers) {
        if (!timer->valid || timer->fireAt > limit) continue;
        if (!due || timer->fireAt < due->fireAt ||
            (timer->fireAt == due->fireAt && timer->order < due->order))
            due = timer;
    }
    return due;
}

void FakeRunLoop::advance(double seconds) { advanceTo(clock.peek() + seconds); }

void FakeRunLoop::advanceTo(TimePoint instant) {
    drain();
    while (!exitStatus) {
        const std::shared_ptr<State> due = nextDue(instant);
        if (!due) break;
        clock.set(std::max(clock.peek(), due->fireAt));
        // A repeating timer that cannot advance fires once, so a test never
        // spins here.
        if (due->repeats && due->interval > 0)
            due->fireAt += due->interval;
        else
            due->valid = false;
        const std::function<void()> action = due->action;
        action();
        drain();
    }
    std::erase_if(timers, [](const auto& timer) { return !timer->valid; });
    clock.set(std::max(clock.peek(), instant));
}

std::vector<FakeRunLoop::TimerInfo> FakeRunLoop::liveTimers() const {
    std::vector<TimerInfo> live;
    for (const auto& timer : timers)
        if (timer->valid)
            live.push_back({timer->interval, timer->tolerance, timer->repeats, timer->fireAt});
    return live;
}

std::size_t FakeRunLoop::pendingWork() const {
    std::lock_guard lock(postedLock);
    return posted.size();
}

}  // namespace vorsel::fakes
