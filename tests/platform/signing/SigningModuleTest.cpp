// The agent's way to signatures: questions asked in forked children, and the
// built "vorsel-signing.so" loaded at run time, against the same signed
// bundles and processes the in-process checks see.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Signing/ForkedCheck.h"
#include "Platform/Linux/Signing/LinuxCodeSigning.h"
#include "Platform/Linux/Signing/SigningModule.h"
#include "Platform/Linux/Signing/SpareJudge.h"
#include "tests/platform/signing/SigningFixture.h"

namespace vorsel::linux_platform::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST(ForkedCheckTest, TheChildAnswersAndWhatItAllocatesEndsWithIt) {
    EXPECT_EQ(askInChild([] { return true; }, 5s), ChildAnswer::yes);
    EXPECT_EQ(askInChild([] { return false; }, 5s), ChildAnswer::no);
    EXPECT_EQ(askInChild([]() -> bool { throw std::runtime_error("no"); }, 5s), ChildAnswer::no);

    // The child's answer is computed in the child: it sees this process's
    // state as it was, and what it changes or allocates stays there.
    int seen = 1;
    const long before = residentKiB();
    constexpr std::size_t kBlock = 64u << 20;
    EXPECT_EQ(askInChild(
                  [&] {
                      seen = 2;
                      const long start = residentKiB();
                      auto* block = static_cast<volatile char*>(std::malloc(kBlock));
                      if (block == nullptr) return false;
                      for (std::size_t i = 0; i < kBlock; i += 4096) block[i] = 1;
                      // Resident in the child, for sure.
                      return residentKiB() - start > 60 * 1024;
                  },
                  5s),
              ChildAnswer::yes);
    EXPECT_EQ(seen, 1);
    EXPECT_LT(residentKiB() - before, 16 * 1024);
}

TEST(ForkedCheckTest, AChildThatEndsOrHangsWithoutAnsweringIsUnanswered) {
    EXPECT_EQ(askInChild([]() -> bool { ::_exit(3); }, 5s), ChildAnswer::unanswered);
    EXPECT_EQ(askInChild(
                  []() -> bool {
                      ::raise(SIGKILL);
                      return true;
                  },
                  5s),
              ChildAnswer::unanswered);

    // A child stuck past the limit is killed and reaped: no zombie is left.
    TempFolder folder;
    const std::string pidFile = folder.path() + "/child.pid";
    const auto start = SteadyClock::now();
    EXPECT_EQ(askInChild(
                  [&] {
                      std::ofstream(pidFile) << ::getpid() << std::endl;
                      ::sleep(30);
                      return true;
                  },
                  300ms),
              ChildAnswer::unanswered);
    EXPECT_LT(SteadyClock::now() - start, 5s);
    pid_t child = 0;
    ASSERT_TRUE(std::ifstream(pidFile) >> child);
    EXPECT_EQ(::kill(child, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ForkedCheckTest, TheChildHoldsNoneOfTheParentsDescriptors) {
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    EXPECT_EQ(askInChild(
                  [&] {
                      return ::fcntl(pipe[0], F_GETFD) == -1 && ::fcntl(pipe[1], F_GETFD) == -1 &&
                             ::fcntl(2, F_GETFD) != -1;
                  },
                  5s),
              ChildAnswer::yes);
    ::close(pipe[0]);
    ::close(pipe[1]);
}

TEST(ForkedCheckTest, ChildrenForkedWhileOtherThreadsAllocateAllAnswer) {
    if (!kChildrenMayAllocate) GTEST_SKIP() << "this allocator is not consistent across fork";
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 3; ++i)
        busy.emplace_back([&] {
            while (!stop) {
                std::vector<std::string> strings;
                for (int n = 0; n < 64; ++n) strings.emplace_back(std::string(100 + n, 'x'));
            }
        });
    int answered = 0;
    for (int i = 0; i < 150; ++i)
        answered += askInChild(
                        [] {
                            std::vector<std::string> strings(500, std::string(200, 'y'));
                            return strings.back().size() == 200;
                        },
                        5s) == ChildAnswer::yes;
    stop = true;
    for (auto& thread : busy) thread.join();
    EXPECT_EQ(answered, 150);
}

// Whether the signing module is mapped into this process: no check here
// loads it except where a test calls the module directly.
// Our children that have ended but were not reaped.
int zombieChildren() {
    int zombies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        const auto close = text.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long parent = 0;
        std::istringstream rest(text.substr(close + 1));
        if (rest >> state >> parent && state == 'Z' && parent == ::getpid()) ++zombies;
    }
    return zombies;
}

bool moduleMappedHere() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("vorsel-signing.so") != std::string::npos) return true;
    return false;
}

class SigningModuleTest : public ::testing::Test {
  protected:
    SigningModuleTest()
        : certificateAuthority("Vorsel test authority"),
          anchors(certificateAuthority.writeRoot(folder.path() + "/anchors.pem")),
          bundle(makeBundle(folder.path(), "Ordwyn.app")),
          module(std::make_shared<const SigningModule>(VORSEL_SIGNING_MODULE)) {}

    void signGenuine() {
        sign(bundle, certificateAuthority.issue({.team = kTeam, .teamMarker = true}),
             appEntitlements(kTeam));
    }
    std::string requirement() const { return GuardNames::appRequirement(kAppId, kTeam); }

    TempFolder folder;
    TestAuthority certificateAuthority;
    std::string anchors;
    std::string bundle;
    std::shared_ptr<const SigningModule> module;
};

TEST_F(SigningModuleTest, TheModuleValidatesBundlesAsTheLinkedCodeDoes) {
    ModuleCodeSigning loaded(module, anchors, 30s);
    LinuxCodeSigning linked(anchors);
    EXPECT_FALSE(loaded.satisfies(bundle, requirement()));  // not signed yet
    signGenuine();
    EXPECT_TRUE(linked.satisfies(bundle, requirement()));
    EXPECT_TRUE(loaded.satisfies(bundle, requirement()));
    EXPECT_FALSE(loaded.satisfies(bundle, "identifier \"x\" and ("));
    EXPECT_FALSE(ModuleCodeSigning(module, folder.path() + "/none.pem", 30s)
                     .satisfies(bundle, requirement()));
    EXPECT_EQ(loaded.modificationDate(bundle + "/Contents/Info.plist"),
              linked.modificationDate(bundle + "/Contents/Info.plist"));

    writeFile(bundle + "/Contents/Resources/added", "not sealed");
    EXPECT_FALSE(linked.satisfies(bundle, requirement()));
    EXPECT_FALSE(loaded.satisfies(bundle, requirement()));
    // Each check ran in a child, where children may allocate.
    EXPECT_EQ(moduleMappedHere(), !kChildrenMayAllocate);
}

TEST_F(SigningModuleTest, CallersAreJudgedInAChildThatLoadsTheModule) {
    const auto check = callerCheckInChild(module, anchors, 30s);
    Child unsigned_(executableOf(bundle), {"30"});
    ASSERT_TRUE(unsigned_.started());
    EXPECT_FALSE(check(::geteuid(), unsigned_.pid(), requirement()));

    signGenuine();
    Child app(executableOf(bundle), {"30"});
    ASSERT_TRUE(app.started());
    EXPECT_TRUE(check(::geteuid(), app.pid(), requirement()));
    EXPECT_FALSE(check(::geteuid() + 1, app.pid(), requirement()));
    EXPECT_FALSE(check(::geteuid(), app.pid(), "identifier \"x\" and ("));
    EXPECT_EQ(moduleMappedHere(), !kChildrenMayAllocate);
}

TEST_F(SigningModuleTest, AMissingModuleRefusesEverythingAndSaysWhy) {
    auto missing = std::make_shared<const SigningModule>(folder.path() + "/vorsel-signing.so");
    signGenuine();
    ModuleCodeSigning signing(missing, anchors, 30s);
    EXPECT_FALSE(signing.satisfies(bundle, requirement()));            // in a child
    EXPECT_FALSE(missing->satisfies(anchors, bundle, requirement()));  // here
    EXPECT_NE(missing->problem(), "");
    EXPECT_NE(signing.modificationDate(bundle + "/Contents/Info.plist"), std::nullopt);

    Child app(executableOf(bundle), {"30"});
    ASSERT_TRUE(app.started());
    EXPECT_FALSE(callerCheckInChild(missing, anchors, 30s)(::geteuid(), app.pid(), requirement()));

    // A library that is not the module is no module either.
    auto foreign = std::make_shared<const SigningModule>("libc.so.6");
    EXPECT_FALSE(foreign->satisfies(anchors, bundle, requirement()));
    EXPECT_NE(foreign->problem().find("not Vorsel's signing module"), std::string::npos);
}

TEST_F(SigningModuleTest, ASpareJudgesTheFirstQuestionOnlyAndThenFreshChildrenDo) {
    if (!kChildrenMayAllocate) GTEST_SKIP() << "this allocator is not consistent across fork";
    signGenuine();
    Child app(executableOf(bundle), {"30"});
    ASSERT_TRUE(app.started());

    auto spare = SpareJudge::start(module, 30s);
    ASSERT_NE(spare, nullptr);
    EXPECT_TRUE(spare->waiting());
    // A text with a NUL is no path: left to a fresh child, the spare unused.
    EXPECT_EQ(spare->satisfies(anchors, bundle + std::string(1, '\0') + "x", requirement(), 30s),
              ChildAnswer::notStarted);
    EXPECT_TRUE(spare->waiting());

    const auto check = callerCheckInChild(module, anchors, 30s, spare);
    EXPECT_TRUE(check(::geteuid(), app.pid(), requirement()));
    EXPECT_FALSE(spare->waiting()) << "the first question went to the spare";
    // Its end was not waited for with the answer, but it ends by itself and
    // is reaped later.
    const auto deadline = SteadyClock::now() + 10s;
    while (!spare->gone() && SteadyClock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(spare->gone());
    EXPECT_EQ(zombieChildren(), 0);
    EXPECT_EQ(spare->callerGenuine(anchors, ::geteuid(), app.pid(), requirement(), 30s),
              ChildAnswer::notStarted);
    // Later questions, right or wrong, are answered by fresh children.
    EXPECT_TRUE(check(::geteuid(), app.pid(), requirement()));
    EXPECT_FALSE(check(::geteuid(), app.pid(), "identifier \"x\" and ("));

    auto other = SpareJudge::start(module, 30s);
    ASSERT_NE(other, nullptr);
    ModuleCodeSigning signing(module, anchors, 30s, other);
    writeFile(bundle + "/Contents/Resources/added", "not sealed");
    EXPECT_FALSE(signing.satisfies(bundle, requirement()));
    EXPECT_FALSE(other->waiting());
    EXPECT_FALSE(moduleMappedHere()) << "the spare loaded the module, not we";
}

TEST_F(SigningModuleTest, ASpareNobodyAsksEndsByItself) {
    if (!kChildrenMayAllocate) GTEST_SKIP() << "this allocator is not consistent across fork";
    auto spare = SpareJudge::start(module, 300ms);
    ASSERT_NE(spare, nullptr);
    const auto deadline = SteadyClock::now() + 10s;
    while (spare->waiting() && SteadyClock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(spare->waiting());
    EXPECT_EQ(spare->satisfies(anchors, bundle, requirement(), 30s), ChildAnswer::notStarted);
    // One let go before its time ends with it, without waiting out its life.
    auto dropped = SpareJudge::start(module, 1h);
    ASSERT_NE(dropped, nullptr);
    const auto before = SteadyClock::now();
    dropped.reset();
    EXPECT_LT(SteadyClock::now() - before, 5s);
}

}  // namespace
}  // namespace vorsel::linux_platform::testing
