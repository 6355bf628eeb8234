// Real Debian desktop apps started the ways people start them, on a
// throwaway X11 desktop (Xvfb and openbox) and the private world of the
// end-to-end tests (E2eWorld: the built agent, the signed stand-in, a
// private session bus).
//
// Every app gets a marker in its environment naming this world; everything
// found with that marker is ours, and is killed by pid when a story ends or
// the harness goes. Apps that their launchers leave behind are orphans that
// the test process, a child subreaper, inherits, so their exit status can be
// read. Test thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/support/E2eWorld.h"
#include "tests/support/VirtualDesktop.h"

namespace vorsel::e2e {

// An installed app of the matrix.
struct DesktopApp {
    std::string id;       // its desktop file ID
    std::string program;  // the executable that runs it
    std::string command;  // what one types for it
};
const std::vector<DesktopApp>& matrixApps();

// An interactive /bin/sh on a pseudo-terminal whose other end the test
// holds: what the test writes there is typed in that terminal.
class TerminalShell {
  public:
    static std::unique_ptr<TerminalShell> start(const Environment& environment);
    ~TerminalShell();  // kills the shell, by pid
    TerminalShell(const TerminalShell&) = delete;
    TerminalShell& operator=(const TerminalShell&) = delete;

    pid_t pid() const { return processId; }
    // Types `command` and then has the shell print its exit status.
    void type(const std::string& command);
    // The exit status the shell printed for the command typed, once it has.
    std::optional<int> status();
    bool running();

  private:
    TerminalShell(pid_t pid, int master) : processId(pid), master(master) {}
    pid_t processId;
    int master;
    std::string output;
};

// How a launched app ended, as far as the test can tell.
struct Ending {
    bool ended = false;
    std::optional<int> status;  // 128 + signal, or the exit code; nothing when unknown
    double seconds = 0;         // from the moment given to waitForEnds
    // For an app typed with SIGTERM blocked: when the first polite request
    // came (seen pending), from the same moment.
    std::optional<double> firstRequest;
};

class DesktopApps {
  public:
    DesktopApps();
    ~DesktopApps();  // kills every marked process left

    // Why the matrix cannot run on this machine (a program is missing), or
    // empty when it can.
    static std::string unavailable();
    // What went wrong setting up the desktop and the world, or empty.
    const std::string& problem() const { return problemText; }

    E2eWorld& world() { return e2eWorld; }
    testing::VirtualDesktop& desktop() { return virtualDesktop; }
    // The world's environment plus the display and the marker.
    Environment appEnvironment() const;

    // Starts an app one way and returns its pid once it runs its program and
    // shows a window; -1 when it did not within the limit.
    pid_t gtkLaunch(const DesktopApp& app);
    pid_t gioLaunch(const DesktopApp& app);
    // Activated by the world's bus: in a user session the session's own,
    // which runs what it starts itself, in the session's slice.
    pid_t busActivation(const DesktopApp& app);
    // Typed in a terminal of its own; `ignoringTerm` types it behind a
    // helper that blocks SIGTERM, so that the app ignores polite requests
    // and each stays pending, to be seen.
    pid_t typed(const DesktopApp& app, bool ignoringTerm = false);
    // In a transient scope named as desktops name app scopes, through the
    // systemd user manager; only when scopesAvailable() (in a user session).
    pid_t inScope(const DesktopApp& app);
    bool scopesAvailable();

    // Waits up to `timeout` seconds for every one of `pids` to end, watching
    // them all at once; `since` is when the seconds of the endings count from.
    std::vector<Ending> waitForEnds(const std::vector<pid_t>& pids,
                                    std::chrono::steady_clock::time_point since, double timeout);
    // The exit status a terminal printed for the app typed in it.
    std::optional<int> typedStatus(pid_t pid);

    // Processes of ours carrying this world's marker.
    std::set<pid_t> marked() const;
    void killMarked();
    // The terminals' shells (the desktop's own, like openbox and the bus).
    std::vector<pid_t> terminals() const;
    // What of the desktop runs now, by pid: the window manager, the X
    // server, the terminals' shells, the session's bus and, in a user
    // session, every other process in the session's slice that is none of
    // `apps` and was started by none of them.
    std::map<pid_t, std::string> desktopProcesses(const std::set<pid_t>& apps);
    // The unit a process runs in (the last part of its cgroup path).
    static std::string unitOf(pid_t pid);
    // What the agent logged: its log file, or the session's journal.
    std::string agentLog() const;

    // Whether the test runs in a user session (scripts/with-user-session.sh):
    // then the world is that session's and the apps use its bus.
    static bool inSession();
    void closeTerminals() { shells.clear(); }

  private:
    pid_t appeared(const DesktopApp& app, const std::set<pid_t>& before);
    bool shown(pid_t pid);

    testing::VirtualDesktop virtualDesktop;
    E2eWorld e2eWorld;
    std::string problemText;
    std::string marker;
    std::optional<bool> scopes;
    int scopeCount = 0;
    std::vector<std::pair<pid_t, std::unique_ptr<TerminalShell>>> shells;
};

}  // namespace vorsel::e2e
