#include "Platform/Linux/Workspace/LinuxWorkspace.h"

#include <unistd.h>

#include <algorithm>

#include "Platform/Linux/Workspace/DesktopEntries.h"
#include "Platform/Linux/Workspace/Freezer.h"
#include "Platform/Linux/Workspace/Launcher.h"
#include "Platform/Linux/Workspace/LinuxRunningApp.h"
#include "Platform/Linux/Workspace/NoticeHub.h"
#include "Platform/Linux/Workspace/ProcessTable.h"
#include "Platform/Linux/Workspace/QuitRequests.h"
#include "Platform/Linux/Workspace/SystemApps.h"
#include "Platform/Linux/Workspace/SystemdUser.h"

namespace vorsel::linux_platform {
namespace {

std::shared_ptr<RunningApp> makeApp(ProcessTable& table, const ProcessInfo& info,
                                    const std::shared_ptr<QuitRequests>& quits) {
    // The handle is on the process whose start time the identity was worked
    // out for; an app that is already gone gets none and reads as
    // terminated, so the logic skips it.
    return std::make_shared<LinuxRunningApp>(*info.identity, info.pid, info.startTime,
                                             table.handle(info), quits);
}

// A notice registration that also tells the quit requests how long a
// session watches.
class Watch final : public Observation {
  public:
    Watch(std::unique_ptr<Observation> inner, std::shared_ptr<QuitRequests> givenQuits)
        : inner(std::move(inner)), quits(std::move(givenQuits)) {
        quits->watching();
    }
    ~Watch() override {
        inner.reset();
        quits->released();
    }

  private:
    std::unique_ptr<Observation> inner;
    std::shared_ptr<QuitRequests> quits;
};

}  // namespace

LinuxWorkspace::LinuxWorkspace(RunLoop& runLoop) : LinuxWorkspace(runLoop, Options{}) {}

LinuxWorkspace::LinuxWorkspace(RunLoop& givenRunLoop, Options givenOptions, Log* log)
    : runLoop(givenRunLoop),
      options(givenOptions),
      table(std::make_shared<ProcessTable>(::getuid())),
      notices(
          std::make_shared<NoticeHub>(runLoop, table, options.noticeInterval, options.useSystemd)),
      quits(std::make_shared<QuitRequests>(runLoop, quitOptions(log))) {}

QuitRequests::Options LinuxWorkspace::quitOptions(Log* log) {
    std::weak_ptr<int> localAlive = alive;
    std::weak_ptr<ProcessTable> localTable = table;
    std::weak_ptr<NoticeHub> localNotices = notices;
    QuitRequests::Options localOptions{
        .useBus = true, .windowsModules = options.windowsModules, .listener = {}};
    localOptions.listener.seen = [localAlive, localTable, localNotices](
                                     const std::vector<TopLevel>& windows, bool appeared) {
        if (localAlive.expired()) return;
        if (auto held = localTable.lock()) held->windowsSeen(windows);
        if (auto hub = localNotices.lock(); hub && appeared) hub->windowAppeared();
    };
    localOptions.listener.note = [localAlive, log](const std::string& line) {
        if (!localAlive.expired() && log != nullptr) log->write(LogLevel::standard, line);
    };
    return localOptions;
}

LinuxWorkspace::~LinuxWorkspace() = default;

const RunningApps& LinuxWorkspace::snapshot() {
    const auto now = std::chrono::steady_clock::now();
    const bool reusable =
        snapshotTaken && notices->changes() == snapshotChanges &&
        now - *snapshotTaken < std::chrono::duration<double>(options.snapshotReuse);
    if (!reusable) {
        lastSnapshot.clear();
        for (const ProcessInfo* info : table->apps())
            lastSnapshot.push_back(makeApp(*table, *info, quits));
        snapshotTaken = now;
        snapshotChanges = notices->changes();
    }
    return lastSnapshot;
}

RunningApps LinuxWorkspace::runningApps() { return snapshot(); }

RunningApps LinuxWorkspace::runningApps(const std::string& bundleID) {
    RunningApps apps;
    for (const auto& app : snapshot()) {
        const auto others = app->alternativeIdentifiers();
        if (app->bundleIdentifier() == bundleID ||
            std::find(others.begin(), others.end(), bundleID) != others.end())
            apps.push_back(app);
    }
    return apps;
}

std::vector<std::string> LinuxWorkspace::appsOpening(const std::string& url) {
    // The scheme (RFC 3986: a letter, then letters, digits, '+', '-', '.'),
    // lowercased as content types name it.
    std::string scheme;
    for (char c : url) {
        if (c == ':') break;
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && (scheme.empty() || !other)) return {};
        scheme += static_cast<char>(letter ? (c | 0x20) : c);
    }
    if (scheme.empty() || scheme.size() == url.size()) return {};
    return handlersOf("x-scheme-handler/" + scheme);
}

void LinuxWorkspace::openInBackground(const std::string& path) {
    auto executable = bundleExecutable(path);
    if (!executable) return;
    snapshotTaken.reset();  // whatever runs now, a snapshot from before cannot tell
    auto pid = spawnDetached(*executable);
    if (!pid || !options.useSystemd || !systemdUserManagerRuns()) return;
    auto identity = identityOfBundle(path);
    moveToOwnScope(*pid, identity ? identity->bundleID : "app");
}

std::unique_ptr<Observation> LinuxWorkspace::observeLaunches(std::function<void()> notice) {
    return std::make_unique<Watch>(notices->observe(NoticeHub::Kind::launch, std::move(notice)),
                                   quits);
}

std::unique_ptr<Observation> LinuxWorkspace::observeTerminations(std::function<void()> notice) {
    return std::make_unique<Watch>(
        notices->observe(NoticeHub::Kind::termination, std::move(notice)), quits);
}

std::set<std::string> LinuxWorkspace::systemApps() const { return linuxSystemApps(); }

void LinuxWorkspace::thaw(const std::string& pin) {
    const std::optional<Frozen> frozen = Frozen::read(pin);
    if (!frozen) return;
    quits->thawed(pin);
    linux_platform::thaw(*frozen);
}

}  // namespace vorsel::linux_platform
