// Helpers of the system tests: turning the Qt event loop until something
// happens. Main thread.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

namespace vorsel::testing {

// Serves events until `condition` holds or `seconds` pass; whether it held.
inline bool spinUntil(const std::function<bool()>& condition, double seconds = 10) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > seconds * 1000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Serves events for `seconds`.
inline void spinFor(double seconds) {
    spinUntil([] { return false; }, seconds);
}

}  // namespace vorsel::testing
