#include "Platform/Linux/Runtime/QtRunLoop.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <climits>
#include <cmath>

namespace vorsel::linux_platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Qt timers take int milliseconds; anything longer is clamped.
constexpr double kLongestInterval = INT_MAX / 1000.0;

std::chrono::nanoseconds toDuration(double seconds) {
    if (std::isnan(seconds) || seconds < 0) seconds = 0;
    seconds = std::min(seconds, kLongestInterval);
    return std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9));
}

// One scheduled timer. The QTimer is single-shot and re-armed after each
// firing against `next`, which advances by whole intervals from the first
// deadline: a late firing never shifts the later ones, and slots that were
// missed entirely are skipped rather than fired in a burst.
class QtTimer final : public Timer {
  public:
    QtTimer(double interval, double tolerance, bool repeats, std::function<void()> action,
            std::shared_ptr<std::atomic<bool>> stopped)
        : state(std::make_shared<State>()) {
        state->interval = toDuration(interval);
        state->repeats = repeats;
        state->action = std::move(action);
        state->stopped = std::move(stopped);
        state->timer = new QTimer;
        state->timer->setSingleShot(true);
        state->timer->setTimerType(tolerance > 0 ? Qt::CoarseTimer : Qt::PreciseTimer);
        state->next = SteadyClock::now() + state->interval;
        std::weak_ptr<State> weak = state;
        QObject::connect(state->timer, &QTimer::timeout, state->timer, [weak] {
            // Holding the state here keeps the action alive even when it
            // destroys its own handle.
            if (auto givenState = weak.lock()) fire(givenState);
        });
        arm(*state);
    }

    ~QtTimer() override {
        invalidate();
        // deleteLater: the handle may be destroyed from inside its own action.
        state->timer->deleteLater();
    }

    void invalidate() override {
        state->valid = false;
        state->timer->stop();
    }

    bool isValid() const override { return state->valid; }

  private:
    struct State {
        QTimer* timer = nullptr;
        std::chrono::nanoseconds interval{};
        bool repeats = false;
        bool valid = true;
        SteadyClock::time_point next;
        std::function<void()> action;
        std::shared_ptr<std::atomic<bool>> stopped;
    };

    static void arm(State& state) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(state.next - SteadyClock::now());
        state.timer->start(static_cast<int>(std::max<long long>(0, wait.count())));
    }

    static void fire(const std::shared_ptr<State>& state) {
        if (!state->valid || state->stopped->load()) return;
        if (state->repeats) {
            const auto now = SteadyClock::now();
            if (state->interval.count() == 0) {
                state->next = now;
            } else {
                state->next += state->interval;
                if (state->next <= now) {
                    const auto missed = (now - state->next) / state->interval + 1;
                    state->next += missed * state->interval;
                }
            }
            arm(*state);
        } else {
            state->valid = false;
        }
        state->action();
    }

    std::shared_ptr<State> state;
};

}  // namespace

QtRunLoop::QtRunLoop()
    : context(std::make_unique<QObject>()), stopped(std::make_shared<std::atomic<bool>>(false)) {}

QtRunLoop::~QtRunLoop() = default;

std::unique_ptr<Timer> QtRunLoop::schedule(double interval, double tolerance, bool repeats,
                                           std::function<void()> action) {
    return std::make_unique<QtTimer>(interval, tolerance, repeats, std::move(action), stopped);
}

void QtRunLoop::post(std::function<void()> work) {
    // Queued events to one receiver are delivered in the order they were
    // posted, whichever thread posted them.
    QMetaObject::invokeMethod(
        context.get(),
        [stopped = stopped, work = std::move(work)] {
            if (!stopped->load()) work();
        },
        Qt::QueuedConnection);
}

void QtRunLoop::exit(int givenStatus) {
    if (isExiting.exchange(true)) return;
    status = givenStatus;
    stopped->store(true);
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) return;
    // QCoreApplication::exit only ends loops that are already running, and
    // only from their own thread; the queued call also covers an exit asked
    // for before run() or from another thread. It goes to this loop's own
    // object, so it dies with the loop instead of ending a later one.
    if (QThread::currentThread() == application->thread()) QCoreApplication::exit(givenStatus);
    QMetaObject::invokeMethod(
        context.get(), [givenStatus] { QCoreApplication::exit(givenStatus); },
        Qt::QueuedConnection);
}

int QtRunLoop::run() {
    const int localStatus = QCoreApplication::exec();
    return isExiting ? status.load() : localStatus;
}

}  // namespace vorsel::linux_platform
