#include "Platform/Linux/Workspace/LinuxWorkspace.h"

#include <unistd.h>

#include <algorithm>

#include "Platform/Linux/Workspace/DesktopEntries.h"
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
    Watch(std::unique_ptr<Observation> inner, std::shared_ptr<QuitRequests> quits)
        : inner_(std::move(inner)), quits_(std::move(quits)) {
        quits_->watching();
    }
    ~Watch() override {
        inner_.reset();
        quits_->released();
    }

  private:
    std::unique_ptr<Observation> inner_;
    std::shared_ptr<QuitRequests> quits_;
};

}  // namespace

LinuxWorkspace::LinuxWorkspace(RunLoop& runLoop) : LinuxWorkspace(runLoop, Options{}) {}

LinuxWorkspace::LinuxWorkspace(RunLoop& runLoop, Options options, Log* log)
    : runLoop_(runLoop),
      options_(options),
      table_(std::make_shared<ProcessTable>(::getuid())),
      notices_(std::make_shared<NoticeHub>(runLoop_, table_, options_.noticeInterval,
                                           options_.useSystemd)),
      quits_(std::make_shared<QuitRequests>(runLoop_, quitOptions(log))) {}

QuitRequests::Options LinuxWorkspace::quitOptions(Log* log) {
    std::weak_ptr<int> alive = alive_;
    std::weak_ptr<ProcessTable> table = table_;
    std::weak_ptr<NoticeHub> notices = notices_;
    QuitRequests::Options options{
        .useBus = true, .windowsModules = options_.windowsModules, .listener = {}};
    options.listener.seen = [alive, table, notices](const std::vector<TopLevel>& windows,
                                                    bool appeared) {
        if (alive.expired()) return;
        if (auto held = table.lock()) held->windowsSeen(windows);
        if (auto hub = notices.lock(); hub && appeared) hub->windowAppeared();
    };
    options.listener.note = [alive, log](const std::string& line) {
        if (!alive.expired() && log != nullptr) log->write(LogLevel::standard, line);
    };
    return options;
}

LinuxWorkspace::~LinuxWorkspace() = default;

const RunningApps& LinuxWorkspace::snapshot() {
    const auto now = std::chrono::steady_clock::now();
    const bool reusable =
        snapshotTaken_ && notices_->changes() == snapshotChanges_ &&
        now - *snapshotTaken_ < std::chrono::duration<double>(options_.snapshotReuse);
    if (!reusable) {
        snapshot_.clear();
        for (const ProcessInfo* info : table_->apps())
            snapshot_.push_back(makeApp(*table_, *info, quits_));
        snapshotTaken_ = now;
        snapshotChanges_ = notices_->changes();
    }
    return snapshot_;
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
    snapshotTaken_.reset();  // whatever runs now, a snapshot from before cannot tell
    auto pid = spawnDetached(*executable);
    if (!pid || !options_.useSystemd || !systemdUserManagerRuns()) return;
    auto identity = identityOfBundle(path);
    moveToOwnScope(*pid, identity ? identity->bundleID : "app");
}

std::unique_ptr<Observation> LinuxWorkspace::observeLaunches(std::function<void()> notice) {
    return std::make_unique<Watch>(notices_->observe(NoticeHub::Kind::launch, std::move(notice)),
                                   quits_);
}

std::unique_ptr<Observation> LinuxWorkspace::observeTerminations(std::function<void()> notice) {
    return std::make_unique<Watch>(
        notices_->observe(NoticeHub::Kind::termination, std::move(notice)), quits_);
}

std::set<std::string> LinuxWorkspace::systemApps() const { return linuxSystemApps(); }

}  // namespace vorsel::linux_platform
