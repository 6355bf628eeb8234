// The agent under faults: killed at random moments in a Hardcore session, its
// bus gone, its data folder unusable. A Hardcore session survives every kill,
// the memory file is never seen partial, and enforcement goes on regardless.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "Robustness.h"
#include "TestApps.h"

using namespace vorsel::e2e;

namespace {

nlohmann::json parsed(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Reads the memory file over and over, the plain way the window does, and
// counts reads that are not one of the rules it may hold.
class MemoryFileWatch {
  public:
    MemoryFileWatch(std::string path, std::vector<nlohmann::json> allowed)
        : location(std::move(path)), allowed(std::move(allowed)), thread([this] { run(); }) {}
    ~MemoryFileWatch() {
        isDone = true;
        thread.join();
    }
    int reads() const { return readCount; }
    int odd() const { return oddReads; }
    std::string example() const {
        std::lock_guard lock(mutex);
        return exampleText;
    }

  private:
    void run() {
        while (!isDone) {
            const std::optional<std::string> content = readOnce(location);
            if (!content) continue;
            ++readCount;
            if (std::find(allowed.begin(), allowed.end(), parsed(*content)) == allowed.end()) {
                std::lock_guard lock(mutex);
                if (oddReads++ == 0) exampleText = *content;
            }
        }
    }
    std::string location;
    std::vector<nlohmann::json> allowed;
    std::atomic<bool> isDone{false};
    std::atomic<int> readCount{0}, oddReads{0};
    mutable std::mutex mutex;
    std::string exampleText;
    std::thread thread;
};

// Temporary files a killed write may leave next to the memory file.
int leftovers(const E2eWorld& world) {
    int count = 0;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(world.dataHome() + "/" + world.own(), error))
        count += entry.path().filename().string().starts_with(".");
    return count;
}

// Held() right after a kill. A call that reaches the bus while it still
// counts the dead agent as the name's owner goes to it and gets no reply;
// that race is the caller's to retry, as the app does. The call after it
// must find a (restarted) agent.
Outcome heldAfterKill(const E2eWorld& world, int& retries) {
    Outcome held = world.standin({"held"});
    if (held.out.find("org.freedesktop.DBus.Error.NoReply") != std::string::npos) {
        ++retries;
        held = world.standin({"held"});
    }
    return held;
}

}  // namespace

TEST(Faults, AnAgentKilledAtRandomMomentsIsRestartedByTheNextCallWithTheHardcoreSession) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const std::string first =
        sessionRules(world, {"--close", "com.example.first", "--minutes", "30", "--hardcore"});
    const std::string second =
        sessionRules(world, {"--close", "com.example.second", "--minutes", "40", "--hardcore"});
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    ASSERT_TRUE(writeText(world.root() + "/first.json", first));
    ASSERT_TRUE(writeText(world.root() + "/second.json", second));
    ASSERT_EQ(world.standin({"hold", world.root() + "/first.json"}).status, 0);
    ASSERT_GT(world.waitForAgent(5), 0);

    // Many rewrites in flight at each kill: alternate the two sessions.
    std::vector<std::string> rewrites;
    for (int i = 0; i < 100; ++i)
        rewrites.insert(rewrites.end(), {"hold", world.root() + "/first.json", "hold",
                                         world.root() + "/second.json"});

    MemoryFileWatch watch(world.memoryFile(), {parsed(first), parsed(second)});
    std::mt19937 random(7);
    int retries = 0;
    constexpr int kRounds = 12;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::size_t index = world.agentPids().size() - 1;
        const pid_t agent = world.waitForAgent(5, index);
        ASSERT_GT(agent, 0);
        auto caller = world.startStandin(rewrites);
        ASSERT_TRUE(caller);
        // Anywhere from before the first call arrives to the middle of the rewrites.
        pause(std::uniform_real_distribution<double>(0, 0.25)(random));
        ::kill(agent, SIGKILL);
        ASSERT_TRUE(waitUntil([agent] { return processGone(agent); }, 5));
        ASSERT_TRUE(caller->wait(60).has_value());

        // Calls of the killed caller may have started the next agent already;
        // either way the next call finds one, with one of the two sessions.
        const Outcome held = heldAfterKill(world, retries);
        ASSERT_EQ(held.status, 0) << held.err << world.agentLog();
        const auto now = parsed(held.out);
        EXPECT_TRUE(now == parsed(first) || now == parsed(second)) << held.out;
        EXPECT_EQ(parsed(readText(world.memoryFile())), now);

        // Some rounds kill the new agent again at once, while it restores.
        if (round % 3 == 2) {
            const pid_t fresh = world.waitForAgent(5, world.agentPids().size() - 1);
            ::kill(fresh, SIGKILL);
            ASSERT_TRUE(waitUntil([fresh] { return processGone(fresh); }, 5));
            const auto again = parsed(heldAfterKill(world, retries).out);
            EXPECT_EQ(again, now);
        }
    }
    EXPECT_GE(world.agentPids().size(), static_cast<std::size_t>(kRounds + 1));
    EXPECT_GT(watch.reads(), 0);
    EXPECT_EQ(watch.odd(), 0) << "a reader saw: " << watch.example().substr(0, 200);
    // A write cut short by the kill leaves at most its temporary file behind.
    std::printf("temporary files left by killed writes: %d; calls that raced a death: %d\n",
                leftovers(world), retries);
}

TEST(Faults, LosingTheBusInAHardcoreSessionEndsTheAgentAndKeepsTheSession) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    const std::string rules =
        sessionRules(world, {"--close", "com.example.chat", "--minutes", "30", "--hardcore"});
    ASSERT_EQ(world.standin({"hold", "-"}, 60, {}, rules).status, 0);
    const pid_t agent = world.waitForAgent(5);
    ASSERT_GT(agent, 0);

    world.stopBus();
    EXPECT_TRUE(waitUntil([agent] { return processGone(agent); }, 10));
    EXPECT_TRUE(world.waitForLog(" Guard: error: lost the session bus: leaving\n", 1))
        << world.agentLog();
    // Leaving for a lost bus is not the end of the session: the next agent
    // (on the next bus) restores it from here.
    EXPECT_EQ(parsed(readText(world.memoryFile())), parsed(rules));
}

TEST(Faults, AnUnusableDataFolderStopsNeitherTheHandOverNorTheEnforcement) {
    E2eWorld world;
    ASSERT_TRUE(world.ready()) << world.problem();
    // A plain file where the data folder should be: no folder, no memory file,
    // whoever the test runs as.
    std::filesystem::create_directories(world.dataHome());
    ASSERT_TRUE(writeText(world.dataHome() + "/" + world.own(), "in the way"));

    const std::string apps = world.root() + "/apps";
    std::filesystem::create_directories(apps);
    const std::string blocked =
        vorsel::testing::makeBundle(apps, {"Blocked", "test.blocked"}, WAITER_PROGRAM);
    Environment environment = world.environment();
    auto app = Process::start({vorsel::testing::bundleProgram(blocked)}, environment);
    ASSERT_TRUE(app);
    ASSERT_TRUE(vorsel::testing::waitForExec(app->pid(), vorsel::testing::bundleProgram(blocked)));

    const std::string rules =
        sessionRules(world, {"--close", "test.blocked", "--minutes", "30", "--hardcore"});
    const Outcome held = world.standin({"hold", "-", "held"}, 60, {}, rules);
    ASSERT_EQ(held.status, 0) << held.err;
    const auto lines = linesOf(held.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(parsed(lines[0]), parsed(rules));
    EXPECT_EQ(parsed(lines[1]), parsed(rules));

    EXPECT_EQ(app->wait(10), 128 + SIGTERM) << "the blocked app was not quit";
    // A launch after the hand-over is caught too.
    auto later = Process::start({vorsel::testing::bundleProgram(blocked)}, environment);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->wait(10), 128 + SIGTERM);
    const pid_t agent = world.waitForAgent(5);
    EXPECT_FALSE(processGone(agent));
    EXPECT_EQ(readText(world.dataHome() + "/" + world.own()), "in the way");
}
