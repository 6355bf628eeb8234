// The built agent with its wall clock set a day ahead during a Hardcore
// session (through the clock adapter's test hook, which moves nothing but
// the wall clock, as the user's date settings do).
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "EnforcementFixture.h"

namespace vorsel::e2e {
namespace {

constexpr int kByTerm = 128 + SIGTERM;
constexpr double kSession = 30;  // seconds: a restart under the sanitizers took 6

class ClockSetForward : public EnforcementTest {
  protected:
    ClockSetForward() : EnforcementTest(E2eWorld::Options{.shiftableClock = true}) {}

    // The rules held, as the stand-in prints them. A call that reaches the
    // bus while it still counts a killed agent as the owner gets no reply:
    // that race is the caller's to retry, as the app does.
    nlohmann::json held() {
        Outcome outcome = world.standin({"held"});
        if (outcome.out.find("org.freedesktop.DBus.Error.NoReply") != std::string::npos)
            outcome = world.standin({"held"});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return nlohmann::json::parse(outcome.out, nullptr, false);
    }
};

TEST_F(ClockSetForward, BlockedAppsAreQuitUntilTheRealEndAndARestartedAgentKeepsTheSession) {
    const std::string blocked = bundle({"Blocked", "test.blocked"});
    auto first = startApp(blocked);
    const auto before = std::chrono::steady_clock::now();
    session({"--close", "test.blocked", "--minutes", std::to_string(kSession / 60), "--hardcore"});
    const auto after = std::chrono::steady_clock::now();
    EXPECT_EQ(first->wait(5), kByTerm);

    ASSERT_TRUE(world.shiftAgentClock(86400));
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // two passes a day ahead
    auto second = startApp(blocked);
    EXPECT_EQ(second->wait(5), kByTerm) << "the session ended with the clock set forward";
    EXPECT_TRUE(std::filesystem::exists(world.memoryFile()));

    // Killed, then started again by the next call, still a day ahead.
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);
    ::kill(agent, SIGKILL);
    ASSERT_TRUE(waitUntil([agent] { return processGone(agent); }, 10));
    const nlohmann::json restored = held();
    EXPECT_EQ(world.agentPids().size(), 2u);
    EXPECT_TRUE(restored.contains("keepOpen")) << restored.dump() << "\n" << world.agentLog();
    auto third = startApp(blocked);
    EXPECT_EQ(third->wait(5), kByTerm) << "the restarted agent let the app be";
    std::printf("shifted, restarted and checked %.1f s into a %.0f s session\n",
                secondsSince(before), kSession);
    ASSERT_LT(secondsSince(before), kSession - 5) << "too slow to tell a real end from a jump";

    // The real end, not a day later: the session goes, the app is left alone.
    const double untilEnd = kSession + 1 - secondsSince(after);
    std::this_thread::sleep_for(std::chrono::duration<double>(untilEnd));
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(world.memoryFile()); }, 10))
        << world.agentLog();
    auto fourth = startApp(blocked);
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    EXPECT_TRUE(fourth->running()) << "quit after the session's end";
    EXPECT_FALSE(held().contains("keepOpen"));
}

}  // namespace
}  // namespace vorsel::e2e
