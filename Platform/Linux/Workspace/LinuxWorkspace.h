// The Workspace port on Linux. Running apps come from /proc (own real uid
// only, no zombies, no kernel threads), each process's identity as
// AppIdentity.h works it out (its bundle, a launcher's variables, its
// systemd app unit, the session bus's activation, or the installed entries
// that run its executable). Actions go
// through pidfds checked against the process start time, so a recycled pid is
// never signalled; terminate and hide ask the way a desktop would first
// (QuitRequests.h). Web-link apps come from the desktop entries and their
// mimeapps.list associations; launch and termination notices
// from the systemd user manager when one runs, else from a check of /proc.
//
// Main thread only (the RunLoop's thread), like the port it implements.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Linux/Workspace/QuitRequests.h"
#include "Platform/Log.h"
#include "Platform/RunLoop.h"
#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

class ProcessTable;
class NoticeHub;

class LinuxWorkspace final : public Workspace {
  public:
    struct Options {
        // Seconds between two checks of /proc while notices are observed and
        // no systemd user manager tells us about app units.
        double noticeInterval = 0.5;
        // Whether a systemd user manager on the session bus may be used (for
        // notices and for the kept app's own scope). Tests turn it off to
        // exercise the /proc fallback even where a manager runs.
        bool useSystemd = true;
        // Seconds for which a snapshot of the running apps is handed out
        // again instead of reading /proc anew. A pass asks twice (the kept
        // app, then the apps to close) and hand-overs can come in bursts;
        // a launch or termination noticed since, or an app we opened, ends
        // the reuse at once, so no launch is seen later than the notices
        // would bring it anyway. Zero reads /proc on every call.
        double snapshotReuse = 0.1;
        // The folder of the windows modules that close requests and
        // minimising go through; empty: beside the running executable.
        std::string windowsModules;
    };

    explicit LinuxWorkspace(RunLoop& runLoop);
    // `log`, when given, gets what the windows and the quit requests have to
    // say (a desktop that cannot be reached, an app left running); it must
    // outlive this object.
    LinuxWorkspace(RunLoop& runLoop, Options options, Log* log = nullptr);
    ~LinuxWorkspace() override;

    LinuxWorkspace(const LinuxWorkspace&) = delete;
    LinuxWorkspace& operator=(const LinuxWorkspace&) = delete;

    // Apps of our own uid that carry an identity, helpers folded into their
    // app; processes without any identity are not listed at all.
    RunningApps runningApps() override;
    RunningApps runningApps(const std::string& bundleID) override;
    // Desktop IDs (without ".desktop") of the installed handlers of the url's
    // scheme, the default first.
    std::vector<std::string> appsOpening(const std::string& url) override;
    // Starts "<path>/Contents/Linux/<CFBundleExecutable>" detached from us.
    void openInBackground(const std::string& path) override;
    // Notices may be coalesced: one launch notice stands for every app that
    // appeared since the last one. A new top-level window brings one too,
    // as soon as the windows thread hears of it. While any registration lives a session
    // is being enforced; when the last goes, what quit requests kept (the
    // display connection, the requests made) goes with it.
    std::unique_ptr<Observation> observeLaunches(std::function<void()> notice) override;
    std::unique_ptr<Observation> observeTerminations(std::function<void()> notice) override;
    std::set<std::string> systemApps() const override;
    // SIGCONT to the pinned processes still running under their start time,
    // and ThawUnit for a pinned app unit (Freezer.h).
    void thaw(const std::string& pin) override;

  private:
    const RunningApps& snapshot();

    // What the windows thread saw: the table names processes by it, and a
    // new window brings a launch notice.
    QuitRequests::Options quitOptions(Log* log);

    RunLoop& runLoop;
    Options options;
    // Held by what the windows thread posts: gone, nothing is done.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    std::shared_ptr<ProcessTable> table;
    std::shared_ptr<NoticeHub> notices;
    std::shared_ptr<QuitRequests> quits;
    RunningApps lastSnapshot;
    std::optional<std::chrono::steady_clock::time_point> snapshotTaken;
    std::uint64_t snapshotChanges = 0;
};

}  // namespace vorsel::linux_platform
