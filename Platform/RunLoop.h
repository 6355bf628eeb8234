// The main thread's run loop: timers, work handed over from other threads, and
// the end of the process. Everything the agent owns lives on this loop.
//
// schedule() and the Timer handles are main-thread only; post() may be called
// from any thread.
#pragma once

#include <functional>
#include <memory>

namespace vorsel {

// A scheduled timer. Destroying the handle invalidates the timer, so an owner
// that goes away can never be called back by its own timers.
class Timer {
  public:
    virtual ~Timer() = default;

    // Stops the timer for good; its action is not run again. Idempotent.
    virtual void invalidate() = 0;

    // True until invalidate() or, for a one-shot timer, until it has fired.
    virtual bool isValid() const = 0;
};

class RunLoop {
  public:
    virtual ~RunLoop() = default;

    // Runs `action` on the main thread after `interval` seconds and, when
    // `repeats`, every `interval` seconds after that (the cadence is kept: a
    // late firing does not shift later ones). `tolerance` is how late the
    // loop may fire to coalesce wake-ups; 0 asks for no slack.
    virtual std::unique_ptr<Timer> schedule(double interval, double tolerance, bool repeats,
                                            std::function<void()> action) = 0;

    // Queues `work` to run on the main thread, after everything posted
    // before it (FIFO). Thread-safe.
    virtual void post(std::function<void()> work) = 0;

    // Ends the process with `status` once pending log output is flushed. A
    // real loop does not return from this; a test loop records the status and
    // returns, so callers must not rely on it not returning.
    virtual void exit(int status) = 0;
};

}  // namespace vorsel
