// The built agent quitting, killing, sparing and reopening real apps.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdio>
#include <set>
#include <thread>

#include "EnforcementFixture.h"

namespace vorsel::e2e {
namespace {

using testing::BundleSpec;

constexpr int kByTerm = 128 + SIGTERM;
constexpr int kByKill = 128 + SIGKILL;

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Processes running `program` right now.
std::set<pid_t> running(const std::string& program) {
    std::set<pid_t> found;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid > 0 && executableOf(pid) == program && !processGone(pid)) found.insert(pid);
        }
        ::closedir(proc);
    }
    return found;
}

TEST_F(EnforcementTest, AListedAppIsAskedToQuitOnTheFirstPass) {
    auto listed = startApp(bundle({"Listed", "test.listed"}));
    auto other = startApp(bundle({"Other", "test.other"}));
    session({"--close", "test.listed", "--minutes", "5"});
    // SIGTERM, not SIGKILL: it was the polite request of the first pass.
    EXPECT_EQ(listed->wait(5), kByTerm);
    pause(2.5);
    EXPECT_TRUE(other->running());
}

TEST_F(EnforcementTest, AnAppThatIgnoresTheRequestIsKilledAfterThreeSeconds) {
    std::string log = world.root() + "/stubborn.log";
    auto stubborn = startApp(bundle({"Stubborn", "test.stubborn"}), {"--ignore-term"},
                             {{"WAITER_TERM_LOG", log}});
    auto before = std::chrono::steady_clock::now();
    session({"--close", "test.stubborn", "--minutes", "5"});
    auto replied = std::chrono::steady_clock::now();
    EXPECT_EQ(stubborn->wait(15), kByKill);
    double sinceAsked = secondsSince(before);
    double sinceReply = secondsSince(replied);
    std::printf("killed %.2f s after the rules were handed over; asked at:\n%s", sinceAsked,
                readText(log).c_str());
    EXPECT_GE(termsIn(log), 1) << "it was never asked politely";
    EXPECT_GE(sinceAsked, 3.0);
    // The first pass at 3 s or later kills it; passes come every 2 s.
    EXPECT_LE(sinceReply, 3.0 + 2.0 + 2.0);
}

TEST_F(EnforcementTest, EveryAppButNothingSparesBrowsersProtectedAndBackgroundApps) {
    if (!mayCloseEverything())
        GTEST_SKIP() << "closes every app of its user: run as a throwaway vorsel-test user";
    std::string entry = installBrowserEntry("e2e-browser");
    std::string fixedLog = world.root() + "/fixed.log";
    std::string foundLog = world.root() + "/found.log";
    auto fixedBrowser = startApp(bundle({"Firefox", "org.mozilla.firefox"}), {"--ignore-term"},
                                 {{"WAITER_TERM_LOG", fixedLog}});
    auto foundBrowser =
        start({"/bin/sh", "-c",
               "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec " + waiter + " --ignore-term"},
              {{"GIO_LAUNCHED_DESKTOP_FILE", entry}, {"WAITER_TERM_LOG", foundLog}});
    ASSERT_TRUE(testing::waitForExec(foundBrowser->pid(), waiter));
    std::vector<std::unique_ptr<Process>> spared;
    for (const BundleSpec& spec :
         {BundleSpec{"Files", "org.gnome.Nautilus"}, BundleSpec{"Dev", "com.ordwyn.app.dev"},
          BundleSpec{"Tray", "test.tray", true, false},
          BundleSpec{"Daemon", "test.daemon", false, true}})
        spared.push_back(startApp(bundle(spec)));
    auto victim = startApp(bundle({"Victim", "test.victim"}));

    session({"--close-all", "--minutes", "5"});
    EXPECT_EQ(victim->wait(5), kByTerm);
    pause(6.5);  // three passes, well past the 3 seconds that lead to a kill
    EXPECT_TRUE(fixedBrowser->running());
    EXPECT_TRUE(foundBrowser->running());
    // Nothing could ask them (no quit action, no window): left running,
    // never signalled, and the log says why once.
    EXPECT_EQ(termsIn(fixedLog), 0) << "a browser was signalled";
    EXPECT_EQ(termsIn(foundLog), 0);
    EXPECT_EQ(world.logCount("left org.mozilla.firefox (pid"), 1) << world.agentLog();
    for (auto& process : spared) EXPECT_TRUE(process->running()) << process->pid();
}

TEST_F(EnforcementTest, ANewlyLaunchedAppIsQuitByTheLaunchNoticeNotTheNextSweep) {
    // A listed app that ignores SIGTERM gets it again on every pass until it
    // is killed 3 s or more after the first: the agent's pulse, for a while.
    std::string pulse = world.root() + "/pulse.log";
    auto pacer =
        startApp(bundle({"Pacer", "test.pacer"}), {"--ignore-term"}, {{"WAITER_TERM_LOG", pulse}});
    std::string late = bundle({"Late", "test.late"});
    session({"--close", "test.late", "--close", "test.pacer", "--minutes", "5"});
    pause(1.5);  // let the stand-in's own exit and its notice pass settle
    int seen = termsIn(pulse);
    ASSERT_TRUE(waitUntil([&] { return termsIn(pulse) > seen; }, 5, 0.01));
    // Right after a timer pass the next one is about 2 s away.
    auto launched = std::chrono::steady_clock::now();
    auto app = startApp(late);
    EXPECT_EQ(app->wait(10), kByTerm);
    double after = secondsSince(launched);
    std::printf("a new app was quit %.2f s after its launch\n", after);
    EXPECT_LT(after, 1.5) << "quit by a sweep, not by its launch notice";
}

TEST_F(EnforcementTest, TheKeptAppIsReopenedAndOutlivesTheAgent) {
    session({"--hardcore", "--minutes", "5"});
    std::set<pid_t> first;
    ASSERT_TRUE(waitUntil([&] { return !(first = running(world.ordwynExecutable())).empty(); }, 10))
        << world.agentLog();
    for (pid_t pid : first) ::kill(pid, SIGKILL);  // the agent opened these for this test
    std::set<pid_t> second;
    ASSERT_TRUE(waitUntil(
        [&] {
            second = running(world.ordwynExecutable());
            for (pid_t pid : first) second.erase(pid);
            return !second.empty();
        },
        15))
        << world.agentLog();
    EXPECT_GE(world.logCount("the app was quit during a Hardcore session: opening it again"), 2);

    std::vector<pid_t> agents = world.agentPids();
    ASSERT_FALSE(agents.empty());
    world.stopBus();  // the agent leaves when its bus goes
    ASSERT_TRUE(waitUntil([&] { return processGone(agents.back()); }, 10));
    pause(0.5);
    for (pid_t pid : second) EXPECT_FALSE(processGone(pid)) << "the kept app died with the agent";
}

TEST_F(EnforcementTest, ARecycledPidIsNeverTakenForTheAppThatHadIt) {
    auto doomed = startApp(bundle({"Doomed", "test.doomed"}));
    std::string bystander = testing::bundleProgram(bundle({"Bystander", "test.bystander"}));
    pid_t pid = doomed->pid();
    session({"--close", "test.doomed", "--minutes", "5"});
    ASSERT_EQ(doomed->wait(5), kByTerm);  // seen, identified, quit, reaped

    auto successor = testing::childAtPid(pid, bystander);
    if (!successor) GTEST_SKIP() << "pid " << pid << " did not come round again";
    ASSERT_TRUE(testing::waitForExec(pid, bystander));
    pause(5);  // two timer passes and more than the 3 seconds before a kill
    EXPECT_FALSE(successor->ended()) << "the agent signalled a recycled pid";
}

}  // namespace
}  // namespace vorsel::e2e
