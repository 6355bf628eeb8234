// The RunLoop port on the Qt event loop of the process's QCoreApplication.
//
// Timers are single-shot QTimers re-armed against a fixed schedule, so a
// repeating timer keeps its cadence however late one firing runs; a timer
// with a tolerance is coarse (Qt may move it by a few percent to coalesce
// wake-ups), one without is precise. post() queues work onto the loop's
// thread in the order it was posted, from any thread. exit() ends run() with
// the given status; from then on no timer or posted work runs any more, so
// the process ends "at once" as far as the agent's logic can tell.
//
// Construct, schedule and run on the main thread, after the QCoreApplication
// exists. post() and exit() may be called from any thread.
#pragma once

#include <atomic>
#include <memory>

#include "Platform/RunLoop.h"

class QObject;

namespace vorsel::linux_platform {

class QtRunLoop final : public RunLoop {
  public:
    QtRunLoop();
    ~QtRunLoop() override;

    QtRunLoop(const QtRunLoop&) = delete;
    QtRunLoop& operator=(const QtRunLoop&) = delete;

    // `interval` and `tolerance` are seconds; a negative or non-finite
    // interval counts as 0, an interval past about 24 days as 24 days.
    std::unique_ptr<Timer> schedule(double interval, double tolerance, bool repeats,
                                    std::function<void()> action) override;
    void post(std::function<void()> work) override;
    // Ends run() with `status` once the work now running returns. Works also
    // before run() was entered: run() then returns at once.
    void exit(int status) override;

    // Runs the event loop until exit() (returning its status) or until the
    // application quits by other means (returning the loop's own status).
    int run();

    // Whether exit() was called.
    bool exiting() const { return isExiting.load(); }

  private:
    std::unique_ptr<QObject> context;  // receives posted work on the main thread
    std::shared_ptr<std::atomic<bool>> stopped;
    std::atomic<bool> isExiting{false};
    std::atomic<int> status{0};
};

}  // namespace vorsel::linux_platform
