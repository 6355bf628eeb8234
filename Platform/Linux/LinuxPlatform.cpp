#include "Platform/Linux/LinuxPlatform.h"

#include <dlfcn.h>
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "Platform/Linux/Link/DBusLinkListener.h"
#include "Platform/Linux/Runtime/JournalLog.h"
#include "Platform/Linux/Runtime/QtRunLoop.h"
#include "Platform/Linux/Signing/SigningModule.h"
#include "Platform/Linux/Signing/SpareJudge.h"
#include "Platform/Linux/Windows/WindowsModules.h"
#include "Platform/Linux/Workspace/LinuxWorkspace.h"

namespace vorsel::linux_platform {

namespace {

// Once the loop is ending, the agent has ended as far as anyone can tell: a
// listener that gave up during start() must not be followed by the agent's
// "listening as" line.
class EndingLog final : public Log {
  public:
    EndingLog(std::unique_ptr<Log> log, const QtRunLoop& loop) : log(std::move(log)), loop(loop) {}
    void write(LogLevel level, std::string_view message) override {
        if (!loop.exiting()) log->write(level, message);
    }
    Log& inner() { return *log; }

  private:
    std::unique_ptr<Log> log;
    const QtRunLoop& loop;
};

}  // namespace

// A check hashes a whole bundle; a child still at it after this long is
// stuck, and the answer is no.
constexpr std::chrono::seconds kJudgeLimit{60};
// How long the spare judge waits for the first check before it ends unused.
constexpr std::chrono::seconds kSpareLife{30};

namespace {
struct Early {
    std::shared_ptr<const SigningModule> module;
    std::shared_ptr<SpareJudge> spare;
};
Early early;
}  // namespace

void prepareAgent() {
    if (early.module) return;
    early.module = std::make_shared<const SigningModule>(signingModulePath());
    // The first check (the caller that started us, or the kept app of a
    // restored session) comes within milliseconds: a spare child loads the
    // module meanwhile, on another core.
    if (kChildrenMayAllocate) early.spare = SpareJudge::start(early.module, kSpareLife);
}

AgentPorts makeAgentPorts(const Bundles& bundles, const std::string& own) {
    // An agent started by the bus may find its standard error closed under
    // it; a log line must then be lost, not end the process with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    // One malloc arena for every thread: the agent's few threads allocate
    // little, and each extra arena keeps its own pages resident for good.
    // Set before any thread of ours starts.
    ::mallopt(M_ARENA_MAX, 1);
    // Large blocks (a huge call a stranger sent, waiting for its verdict) are
    // mapped for themselves and go back to the system when freed. Left to
    // itself, glibc raises this threshold to the largest block freed so far,
    // and the next ones of that size stay resident in the heap after use.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // Calls waiting for a verdict hold descriptors (their proofs): allow as
    // many as the system lets us, rather than the 1024 kept for select().
    rlimit open{};
    if (::getrlimit(RLIMIT_NOFILE, &open) == 0 && open.rlim_cur < open.rlim_max) {
        open.rlim_cur = open.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &open);
    }
    const auto bundle = bundles.mainPath();
    const std::string anchors = bundle ? *bundle + "/Contents/Resources/anchors.pem" : "";

    auto runLoop = std::make_unique<QtRunLoop>();
    QtRunLoop* loop = runLoop.get();
    AgentPorts ports;
    auto log = std::make_unique<EndingLog>(std::make_unique<JournalLog>(own), *runLoop);
    Log& listenerLog = log->inner();
    ports.log = std::move(log);
    // OpenSSL and the signing code stay out of the agent: every check is
    // asked in a child that loads them.
    const std::string signingPath = signingModulePath();
    std::error_code missing;
    if (!std::filesystem::is_regular_file(signingPath, missing))
        ports.log->write(LogLevel::error,
                         "found no " + signingPath + ": no caller can be judged genuine");
    // Without it an app is never asked to close its windows: it is signalled
    // instead, and may lose what it has not saved.
    for (const std::string& module : windowsModules()) {
        if (!std::filesystem::is_regular_file(module, missing))
            ports.log->write(LogLevel::error, "found no " + module +
                                                  ": apps are signalled without being asked to "
                                                  "close their windows");
    }
    if (!early.module) prepareAgent();
    auto signing = std::move(early.module);
    auto spare = std::move(early.spare);
    ports.codeSigning = std::make_unique<ModuleCodeSigning>(signing, anchors, kJudgeLimit, spare);
    ports.workspace =
        std::make_unique<LinuxWorkspace>(*runLoop, LinuxWorkspace::Options{}, &listenerLog);
    ports.listener = std::make_unique<DBusLinkListener>(
        *runLoop, listenerLog, callerCheckInChild(signing, anchors, kJudgeLimit, spare));
    ports.runLoop = std::move(runLoop);
    ports.run = [loop] { return loop->run(); };
    return ports;
}

std::string appModulePath() {
    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (executable.parent_path() / "vorsel-app.so").string();
}

int runAppModule(int& argc, char** argv) {
    const std::string path = appModulePath();
    // Never unloaded: the app runs until the process ends.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "vorsel: cannot load the window: %s\n", ::dlerror());
        return 1;
    }
    using RunApp = int (*)(int*, char**);
    auto run = reinterpret_cast<RunApp>(::dlsym(module, "vorselRunApp"));
    if (!run) {
        std::fprintf(stderr, "vorsel: %s is not Vorsel's window module\n", path.c_str());
        return 1;
    }
    return run(&argc, argv);
}

}  // namespace vorsel::linux_platform
