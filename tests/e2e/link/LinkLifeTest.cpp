// The agent's life on a real bus: started by activation on the first call,
// leaving 20 s after the last one when nothing holds, started again by the
// next, gone with its bus, and giving up when its name is taken.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/e2e/support/E2eWorld.h"

using namespace vorsel::e2e;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kNone = "{\"closing\":\"nothing\",\"closingEnds\":-63114076800}";

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(LinkLife, TheFirstCallStartsTheBuiltAgentWhichAnswersAllThreeMessages) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    EXPECT_TRUE(world.agentPids().empty());

    const Outcome first = world.standin({"version", "held", "hold", "-"}, 60, {}, "not rules");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, std::string("1\n") + kNone + "\nnull\n");

    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);
    EXPECT_EQ(executableOf(agent), world.vorselExecutable());
    EXPECT_TRUE(world.waitForLog(
        world.own() + " Guard: listening as " + world.team() + "." + world.app() + ".guard\n", 5))
        << world.agentLog();
    EXPECT_EQ(world.logCount(" Guard: error: rules it couldn't read were handed over\n"), 1);

    // The running agent serves later callers itself: no second start.
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
    EXPECT_EQ(world.agentPids().size(), 1u);

    // Where this kernel lets any process of the user trace another, the
    // agent said so once, at start.
    std::ifstream yama("/proc/sys/kernel/yama/ptrace_scope");
    const bool present = static_cast<bool>(yama);
    int scope = -1;
    const bool anyMayTrace = !present || (yama >> scope && scope == 0);
    const std::string said =
        std::string(present ? " Guard: ptrace_scope is 0:" : " Guard: yama is absent:") +
        " any process of this user may trace the app and speak for it\n";
    EXPECT_EQ(world.logCount(said), anyMayTrace ? 1 : 0) << world.agentLog();
}

TEST(LinkLife, AnIdleAgentLeaves20SecondsAfterTheLastCallAndStrangersDoNotKeepItUp) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const std::string unsigned_ = world.copyOrdwyn("Unsigned.app", nullptr);
    const Authority stranger = world.otherAuthority("stranger");
    ASSERT_TRUE(stranger.made);
    const std::string foreign = world.copyOrdwyn("Foreign.app", &stranger);
    ASSERT_FALSE(unsigned_.empty());
    ASSERT_FALSE(foreign.empty());

    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    const auto lastCall = Clock::now();
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);

    // Callers that are not the genuine app are refused and do not count as
    // calls: neither the unsigned copy nor one signed by another authority.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const Outcome bare = world.standin({"version", "held"}, 60, unsigned_);
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.out,
              "{\"error\":\"org.freedesktop.DBus.Error.AccessDenied\"}\n"
              "{\"error\":\"org.freedesktop.DBus.Error.AccessDenied\"}\n");
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const Outcome other = world.standin({"session", "--close", "com.example.chat"}, 60, foreign);
    EXPECT_EQ(other.out, "{\"error\":\"org.freedesktop.DBus.Error.AccessDenied\"}\n");

    // Still there before its 20 s are up...
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, 15 - since(lastCall))));
    EXPECT_FALSE(processGone(agent)) << "left after " << since(lastCall) << " s";
    // ...and gone soon after, not 20 s after the last stranger.
    EXPECT_TRUE(waitUntil([agent] { return processGone(agent); }, 26 - since(lastCall)))
        << "still there " << since(lastCall) << " s after the last call";
    EXPECT_EQ(world.logCount("nothing to hold: leaving until the app calls\n"), 1);
    // (Besides the line on who may trace the app, on kernels that let anyone.)
    EXPECT_EQ(world.logCount(" Guard: ") - world.logCount(" may trace the app and speak for it\n"),
              2)
        << "refused calls must not log:\n"
        << world.agentLog();

    // The next call starts it again.
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
    const pid_t again = world.waitForAgent(5, 1);
    EXPECT_GT(again, 0);
    EXPECT_NE(again, agent);
    EXPECT_EQ(world.logCount(" Guard: listening as "), 2);
}

TEST(LinkLife, TheAgentEndsWithItsBus) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);

    world.stopBus();
    EXPECT_TRUE(waitUntil([agent] { return processGone(agent); }, 10));
    EXPECT_TRUE(world.waitForLog(" Guard: error: lost the session bus: leaving\n", 1))
        << world.agentLog();
}

TEST(LinkLife, ASecondAgentGivesUpWhenTheNameIsTaken) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    ASSERT_EQ(world.standin({"version"}).out, "1\n");
    // A session long over: an agent that restored rules would remove it.
    const std::string stale = R"({"closing":"nothing","closingEnds":0,"keepOpen":{"bundleID":")" +
                              world.app() + R"(","path":")" + world.ordwyn() + R"(","until":1}})";
    ASSERT_TRUE(writeText(world.memoryFile(), stale));

    const std::string errors = world.root() + "/second.err";
    auto second = world.startAgent(errors);
    ASSERT_TRUE(second);
    const auto status = second->wait(20);
    ASSERT_TRUE(status.has_value()) << "the second agent kept running";
    EXPECT_NE(*status, 0);
    const std::string said = readText(errors);
    EXPECT_NE(said.find(world.own() + " Guard: error: another process owns " + world.busName() +
                        ": leaving\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("listening as"), std::string::npos) << said;
    EXPECT_EQ(readText(world.memoryFile()), stale) << "the second agent touched the memory file";

    // The first one is untouched.
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
    EXPECT_EQ(world.agentPids().size(), 1u);
}

TEST(LinkLife, AnAgentWhoseStandardErrorWentAwayKeepsServing) {
    E2eWorld world(E2eWorld::Options{.activation = false});
    ASSERT_TRUE(world.ready()) << world.problem();
    // Its log goes into a pipe whose reader then leaves.
    const std::string fifo = world.root() + "/stderr";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    auto agent = world.startAgent(fifo);
    ASSERT_TRUE(agent);
    ASSERT_TRUE(waitUntil([&] { return world.standin({"version"}).out == "1\n"; }, 10));
    ::close(reader);

    // Refused input makes it log; the line is lost, the agent is not.
    EXPECT_EQ(world.standin({"hold", "-", "version"}, 60, {}, "not rules").out, "null\n1\n");
    EXPECT_TRUE(agent->running());
    EXPECT_EQ(world.standin({"version"}).out, "1\n");
}
