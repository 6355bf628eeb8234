// The Qt run loop: posted work in order on the main thread, timers that keep
// their cadence and can be dropped from inside themselves, and exit.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Linux/Runtime/QtRunLoop.h"
#include "tests/platform/system/SystemTesting.h"

using vorsel::Timer;
using vorsel::linux_platform::QtRunLoop;
using vorsel::testing::spinFor;
using vorsel::testing::spinUntil;
using Clock = std::chrono::steady_clock;

TEST(QtRunLoop, PostedWorkRunsOnTheMainThreadInTheOrderEachThreadPostedIt) {
    QtRunLoop loop;
    constexpr int kThreads = 4, kEach = 500;
    std::map<int, std::vector<int>> seen;  // poster -> sequence numbers, as run
    int ran = 0;
    bool offMain = false;
    auto record = [&](int poster, int number) {
        return [&, poster, number] {
            offMain |= QThread::currentThread() != QCoreApplication::instance()->thread();
            seen[poster].push_back(number);
            ++ran;
        };
    };
    std::vector<std::thread> posters;
    for (int t = 1; t <= kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) loop.post(record(t, i));
        });
    for (int i = 0; i < kEach; ++i) loop.post(record(0, i));
    for (auto& poster : posters) poster.join();

    ASSERT_TRUE(spinUntil([&] { return ran == (kThreads + 1) * kEach; }));
    EXPECT_FALSE(offMain);
    for (const auto& [poster, numbers] : seen) {
        std::vector<int> expected(kEach);
        for (int i = 0; i < kEach; ++i) expected[i] = i;
        EXPECT_EQ(numbers, expected) << "poster " << poster;
    }
}

TEST(QtRunLoop, OneShotTimersFireOnceUnlessInvalidatedOrDropped) {
    QtRunLoop loop;
    int once = 0, cancelled = 0, dropped = 0;
    auto fired = loop.schedule(0.02, 0, false, [&] { ++once; });
    auto invalidated = loop.schedule(0.02, 0, false, [&] { ++cancelled; });
    auto handle = loop.schedule(0.02, 0.01, false, [&] { ++dropped; });
    EXPECT_TRUE(fired->isValid());
    invalidated->invalidate();
    invalidated->invalidate();  // idempotent
    EXPECT_FALSE(invalidated->isValid());
    handle.reset();  // dropping the handle stops the timer too

    spinFor(0.2);
    EXPECT_EQ(once, 1);
    EXPECT_FALSE(fired->isValid());
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(dropped, 0);
}

TEST(QtRunLoop, ATimerMayDropItsOwnHandleFromItsAction) {
    QtRunLoop loop;
    std::unique_ptr<Timer> sweep;
    int runs = 0;
    std::string kept = "the action's own state";
    sweep = loop.schedule(0.01, 0, true, [&, kept] {
        ++runs;
        sweep.reset();  // as the agent does when the rules run out mid-pass
        EXPECT_EQ(kept, "the action's own state");  // still alive here
    });
    spinFor(0.15);
    EXPECT_EQ(runs, 1);
}

TEST(QtRunLoop, ARepeatingTimerKeepsItsCadenceWhenItsActionRunsLong) {
    QtRunLoop loop;
    const auto start = Clock::now();
    std::vector<double> firings;
    // 100 ms interval, 60 ms of work each time: a timer re-armed after the
    // work would drift by 0.6 s over ten firings; one on a schedule doesn't.
    auto timer = loop.schedule(0.1, 0, true, [&] {
        firings.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    });
    ASSERT_TRUE(spinUntil([&] { return firings.size() >= 10; }, 5));
    timer->invalidate();
    for (size_t i = 0; i < firings.size(); ++i)
        EXPECT_GE(firings[i], 0.1 * (i + 1) - 0.002) << "firing " << i << " came early";
    EXPECT_LT(firings[9], 1.35) << "the cadence drifted";
}

TEST(QtRunLoop, ExitEndsRunWithItsStatusAndNothingRunsAfterIt) {
    {
        QtRunLoop early;
        early.exit(3);  // before the loop even runs
        EXPECT_EQ(early.run(), 3);
    }
    QtRunLoop loop;
    bool after = false, timer = false;
    auto late = loop.schedule(0.05, 0, false, [&] { timer = true; });
    loop.post([&] {
        loop.exit(7);
        loop.exit(9);  // the first status stands
    });
    loop.post([&] { after = true; });
    EXPECT_EQ(loop.run(), 7);
    EXPECT_TRUE(loop.exiting());
    spinFor(0.1);
    EXPECT_FALSE(after);
    EXPECT_FALSE(timer);
}

TEST(QtRunLoop, ExitMayComeFromAnotherThread) {
    QtRunLoop loop;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.exit(4);
    });
    EXPECT_EQ(loop.run(), 4);
    other.join();
}

TEST(QtRunLoop, ALoopThatEndsByItselfReportsTheApplicationsStatus) {
    QtRunLoop loop;
    QTimer::singleShot(10, [] { QCoreApplication::exit(0); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_FALSE(loop.exiting());
}

TEST(QtRunLoop, NonsenseIntervalsNeitherCrashNorHang) {
    QtRunLoop loop;
    int nan = 0, negative = 0;
    auto a = loop.schedule(std::numeric_limits<double>::quiet_NaN(), -1, false, [&] { ++nan; });
    auto b = loop.schedule(-5, 0, false, [&] { ++negative; });
    auto c = loop.schedule(std::numeric_limits<double>::infinity(), 0, true, [] {});
    spinFor(0.05);
    EXPECT_EQ(nan, 1);
    EXPECT_EQ(negative, 1);
    EXPECT_TRUE(c->isValid());
}
