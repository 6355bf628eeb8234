// The link's peer check on real processes: children started from signed and
// unsigned bundles, scripts, replaced images, other users, ended processes.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Link/CallerVerdict.h"
#include "Platform/Linux/Signing/SealFiles.h"
#include "tests/platform/signing/SigningFixture.h"

namespace vorsel::linux_platform::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kStranger = 64999;  // a uid nobody on the machine uses

class CallerVerdictTest : public ::testing::Test {
  protected:
    CallerVerdictTest()
        : certificateAuthority("Vorsel test authority"),
          verdict(certificateAuthority.writeRoot(folder.path() + "/anchors.pem")),
          bundle(makeBundle(folder.path(), "Ordwyn.app")) {}

    void signGenuine(const std::string& givenBundle) {
        sign(givenBundle, certificateAuthority.issue({.team = kTeam, .teamMarker = true}),
             appEntitlements(kTeam));
    }
    std::string requirement() const { return GuardNames::appRequirement(kAppId, kTeam); }
    // Why `pid` of our uid is refused, or "" when it is genuine.
    std::string refusal(pid_t pid) const {
        std::string why;
        return verdict.genuine(::geteuid(), pid, requirement(), &why) ? "" : why;
    }

    // The signed bundle of the shapes program (CallerShapes.cpp), started in
    // `mode` and waited for until it has taken that shape; `ready` gets what
    // it wrote.
    std::unique_ptr<Child> shaped(const std::string& mode,
                                  const std::function<bool()>& beforeExec = {},
                                  std::string* ready = nullptr) {
        if (shapes.empty()) {
            shapes = makeBundle(folder.path(), "Shapes.app", VORSEL_CALLER_SHAPES);
            signGenuine(shapes);
        }
        const std::string readyFile = folder.path() + "/ready" + std::to_string(++hasStarted);
        auto child = std::make_unique<Child>(executableOf(shapes),
                                             std::vector<std::string>{mode, readyFile}, beforeExec);
        if (!child->started()) return child;
        for (int i = 0; i < 500 && !fs::exists(readyFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (ready) *ready = readFile(readyFile);
        return child;
    }

    TempFolder folder;
    TestAuthority certificateAuthority;
    CallerVerdict verdict;
    std::string bundle;
    std::string shapes;
    int hasStarted = 0;
};

// Where this process's C library comes from, to copy as a trojan.
std::string ownLibc() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find('/');
        if (at != std::string::npos && line.find("/libc.so.6") != std::string::npos)
            return line.substr(at);
    }
    return {};
}

// A preload list with `library`: behind the sanitizer runtime this test runs
// with, if any, which refuses to start a program where it does not come first.
std::string preloading(const std::string& library) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find('/');
        if (at != std::string::npos && line.find("/libasan.so") != std::string::npos)
            return line.substr(at) + " " + library;
    }
    return library;
}

std::string tracerOf(pid_t pid, const std::string& tid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + tid + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("TracerPid:", 0) == 0) return line.substr(10);
    return {};
}

TEST_F(CallerVerdictTest, TheRunningSignedAppIsGenuineAndNoOneElse) {
    Child unsigned_(executableOf(bundle), {"30"});
    ASSERT_TRUE(unsigned_.started());
    EXPECT_NE(refusal(unsigned_.pid()).find("not signed"), std::string::npos)
        << refusal(unsigned_.pid());

    signGenuine(bundle);
    Child app(executableOf(bundle), {"30"});
    ASSERT_TRUE(app.started());
    EXPECT_TRUE(verdict.genuine(::geteuid(), app.pid(), requirement())) << refusal(app.pid());
    // A caller that says it is another user is not ours, whatever it runs.
    EXPECT_FALSE(verdict.genuine(::geteuid() + 1, app.pid(), requirement()));
    EXPECT_FALSE(verdict.genuine(::geteuid(), app.pid(), "identifier \"x\" and ("));

    // The same program run from outside any bundle is not the app.
    const std::string loose = folder.path() + "/ordwyn";
    fs::copy_file(executableOf(bundle), loose);
    ::chmod(loose.c_str(), 0755);
    Child stray(loose, {"30"});
    ASSERT_TRUE(stray.started());
    EXPECT_NE(refusal(stray.pid()).find("not the executable of an app bundle"), std::string::npos)
        << refusal(stray.pid());

    // Another program of the same bundle is not its main executable.
    fs::copy_file(executableOf(bundle), bundle + "/Contents/Linux/helper");
    signGenuine(bundle);
    Child helper(bundle + "/Contents/Linux/helper", {"30"});
    ASSERT_TRUE(helper.started());
    EXPECT_NE(refusal(helper.pid()).find("not the bundle's main executable"), std::string::npos)
        << refusal(helper.pid());
}

TEST_F(CallerVerdictTest, AScriptRunByAnInterpreterOutsideTheBundleIsRefused) {
    const std::string script = executableOf(bundle);
    writeFile(script, "#!/bin/sh\nsleep 30\n", 0755);
    signGenuine(bundle);
    Child app(script, {});
    ASSERT_TRUE(app.started());
    // /proc/<pid>/exe is the shell, which lies in no bundle.
    EXPECT_NE(refusal(app.pid()).find("not the executable of an app bundle"), std::string::npos)
        << refusal(app.pid());
}

TEST_F(CallerVerdictTest, AnImageReplacedAfterItStartedIsRefused) {
    signGenuine(bundle);
    Child app(executableOf(bundle), {"30"});
    ASSERT_TRUE(app.started());
    ASSERT_EQ(refusal(app.pid()), "");

    // A new build put in place and signed: the bundle is valid, but what runs
    // is the old image, whose file is gone.
    const std::string next = bundle + "/Contents/Linux/.next";
    fs::copy_file("/bin/true", next);
    fs::rename(next, executableOf(bundle));
    signGenuine(bundle);
    EXPECT_NE(refusal(app.pid()).find("deleted or replaced"), std::string::npos)
        << refusal(app.pid());
}

TEST_F(CallerVerdictTest, AnImageThatDiffersFromTheSealedExecutableIsRefused) {
    signGenuine(bundle);
    std::string why;
    UniqueFd real(::open(executableOf(bundle).c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(verdict.genuineImage(real.get(), executableOf(bundle), requirement(), &why)) << why;
    // Other bytes presented under the genuine path.
    UniqueFd other(::open("/bin/true", O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(verdict.genuineImage(other.get(), executableOf(bundle), requirement(), &why));
    EXPECT_EQ(why, "the caller's image does not match the sealed executable");
}

TEST_F(CallerVerdictTest, TheGenuineImageWithForeignCodeInjectedIsRefused) {
    signGenuine(bundle);
    // The loader would put this library into the genuine image (a missing one
    // is skipped with a warning, which is enough to show the variable is read).
    Child preloaded(executableOf(bundle), {"30"},
                    [] { return ::setenv("LD_PRELOAD", "/nonexistent/inject.so", 1) == 0; });
    ASSERT_TRUE(preloaded.started());
    EXPECT_EQ(refusal(preloaded.pid()), "the caller was started with LD_PRELOAD");
    Child audited(executableOf(bundle), {"30"},
                  [] { return ::setenv("LD_AUDIT", "/nonexistent/audit.so", 1) == 0; });
    ASSERT_TRUE(audited.started());
    EXPECT_EQ(refusal(audited.pid()), "the caller was started with LD_AUDIT");
    Child empty(executableOf(bundle), {"30"}, [] { return ::setenv("LD_PRELOAD", "", 1) == 0; });
    ASSERT_TRUE(empty.started());
    EXPECT_EQ(refusal(empty.pid()), "") << "an empty preload loads nothing";

    // Traced by us from its first instruction: whoever traces it controls it.
    Child traced(executableOf(bundle), {"30"},
                 [] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0; });
    ASSERT_TRUE(traced.started());
    EXPECT_EQ(refusal(traced.pid()), "the caller is being traced");
}

TEST_F(CallerVerdictTest, ForeignCodeInTheGenuineImageIsRefusedWhateverItsEnvironmentSays) {
    const auto plain = shaped("plain");
    ASSERT_TRUE(plain->started());
    EXPECT_EQ(refusal(plain->pid()), "");

    // A copy of a library the program loads, written by the user and put
    // first on the search path: the same bytes, but anyone could have
    // patched them.
    const std::string libc = ownLibc();
    ASSERT_FALSE(libc.empty());
    const std::string trojans = folder.path() + "/lib";
    fs::create_directories(trojans);
    const std::string trojan = trojans + "/libc.so.6";
    fs::copy_file(libc, trojan);
    const auto searched =
        shaped("plain", [&] { return ::setenv("LD_LIBRARY_PATH", trojans.c_str(), 1) == 0; });
    ASSERT_TRUE(searched->started());
    EXPECT_EQ(refusal(searched->pid()).rfind("the caller runs code from " + trojan + ", ", 0), 0u)
        << refusal(searched->pid());

    // The copy preloaded, the variable erased from the live environment by
    // the time anyone reads it.
    const std::string preload = preloading(trojan);
    const auto erased =
        shaped("erase", [&] { return ::setenv("LD_PRELOAD", preload.c_str(), 1) == 0; });
    ASSERT_TRUE(erased->started());
    EXPECT_EQ(readFile("/proc/" + std::to_string(erased->pid()) + "/environ").find("LD_PRELOAD"),
              std::string::npos);
    EXPECT_EQ(refusal(erased->pid()).rfind("the caller runs code from " + trojan + ", ", 0), 0u)
        << refusal(erased->pid());

    // Code written into memory of its own.
    const auto anonymous = shaped("anonymous");
    ASSERT_TRUE(anonymous->started());
    EXPECT_EQ(refusal(anonymous->pid()), "the caller runs code from anonymous memory");
}

TEST_F(CallerVerdictTest, ATracerOnAnyThreadAndAnotherNamespaceAreSeen) {
    std::string tid;
    const auto app = shaped("thread", {}, &tid);
    ASSERT_TRUE(app->started());
    ASSERT_FALSE(tid.empty());
    ASSERT_EQ(refusal(app->pid()), "");

    // Attached to the second thread only: the first one's status names no
    // tracer.
    const pid_t tracer = ::fork();
    if (tracer == 0) {
        if (::ptrace(PTRACE_SEIZE, std::stoi(tid), nullptr, nullptr) != 0) ::_exit(1);
        for (;;) ::pause();
    }
    ASSERT_GT(tracer, 0);
    for (int i = 0;
         i < 500 && tracerOf(app->pid(), tid).find_first_not_of(" \t0") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(tracerOf(app->pid(), std::to_string(app->pid())), "\t0");
    EXPECT_EQ(refusal(app->pid()), "the caller is being traced");
    ::kill(tracer, SIGKILL);
    ::waitpid(tracer, nullptr, 0);
    for (int i = 0; i < 500 && tracerOf(app->pid(), tid) != "\t0"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(refusal(app->pid()), "");

    // In a user namespace of its own, a process may speak for pids and paths
    // that mean something else here.
    const auto contained = shaped("plain", [] { return ::unshare(CLONE_NEWUSER) == 0; });
    if (!contained->started()) GTEST_SKIP() << "no user namespaces here";
    EXPECT_EQ(refusal(contained->pid()), "the caller runs in another namespace");
}

TEST_F(CallerVerdictTest, AProcessThatEndedIsRefused) {
    signGenuine(bundle);
    EXPECT_FALSE(verdict.genuine(::geteuid(), 0, requirement()));
    EXPECT_FALSE(verdict.genuine(::geteuid(), -1, requirement()));

    Child app(executableOf(bundle), {"0"});
    ASSERT_TRUE(app.started());
    // Exited but not reaped: a zombie has no image.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(app.pid()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_NE(refusal(app.pid()), "");
    const pid_t gone = app.pid();
    app.reap();
    EXPECT_NE(refusal(gone), "");
}

TEST_F(CallerVerdictTest, ACallerOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
    signGenuine(bundle);
    Child app(executableOf(bundle), {"30"}, [] {
        return ::setgroups(0, nullptr) == 0 && ::setresgid(kStranger, kStranger, kStranger) == 0 &&
               ::setresuid(kStranger, kStranger, kStranger) == 0;
    });
    ASSERT_TRUE(app.started()) << "the folder must be open to other users";
    // Whether the bus reports its real uid or our own, it is not ours.
    EXPECT_FALSE(verdict.genuine(kStranger, app.pid(), requirement()));
    std::string why;
    EXPECT_FALSE(verdict.genuine(::geteuid(), app.pid(), requirement(), &why));
    EXPECT_EQ(why, "the caller runs as another user");
}

}  // namespace
}  // namespace vorsel::linux_platform::testing
