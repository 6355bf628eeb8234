// What hide and terminate mean for an app on a Linux desktop, and what has
// been asked of each process so far.
//
// terminate asks the way the desktop would before it signals:
//   1. the app's own quit action on the session bus (QuitAction.h), when it
//      owns its application ID there; else
//   2. a close request to each of its top-level windows (and those of its
//      child processes), through the desktop's windows (DesktopWindows.h);
//      else, with neither,
//   3. SIGTERM at once.
// After an action or a close request, SIGTERM follows only on a later
// request at least kSignalAfter seconds on, so that an app answering with a
// dialog of its own keeps it for a while, and an app that saves on SIGTERM
// still gets it before the caller gives up and forces it. An app that was
// hidden first is one the caller never forces (a browser): it is asked
// again instead, left alone while it shows a dialog, and signalled only
// when it still runs kWindowlessGrace seconds after the windows it was
// asked to close are gone (a browser that closed its last window is writing
// its session). One that nothing could ask, with neither a quit action nor
// a window, is never signalled: it is left running, asked again on each
// request (a window may appear), and the log says why, once.
//
// hide minimises the app's windows through the desktop; without windows to
// reach, or a desktop that cannot minimise, it does nothing.
//
// Requests are remembered per process together with its pidfd: a record
// whose pidfd reports its process ended is dropped, so a later process under
// the same pid starts afresh. A record not asked for kStale seconds starts
// afresh too (the app was not selected in between).
//
// Nothing here waits: the bus is asked asynchronously, and the windows only
// from their own thread (WindowsThread.h), started when a session starts
// watching (or on the first request that needs it) and only when the
// session offers windows (WindowsModules.h), and stopped, with every record
// forgotten, when the last session watch ends (released()). What either
// answers is handled on the main thread through the run loop, and only if
// it still concerns the request it was asked for.
//
// Main thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "Platform/Linux/Windows/WindowsThread.h"
#include "Platform/Linux/Workspace/Pidfd.h"
#include "Platform/RunLoop.h"

namespace vorsel::linux_platform {

class QuitRequests : public std::enable_shared_from_this<QuitRequests> {
  public:
    static constexpr double kSignalAfter = 1.5;
    static constexpr double kWindowlessGrace = 10.0;
    static constexpr double kStale = 5.0;

    struct Options {
        // Whether the session bus may be asked for quit actions.
        bool useBus = true;
        // The folder of the windows modules; empty: beside the running
        // executable.
        std::string windowsModules;
        // Told what the windows thread sees, on the main thread; its note
        // also gets the lines these requests have for the log.
        WindowsThread::Listener listener;
    };

    // `runLoop` must outlive this object.
    explicit QuitRequests(RunLoop& runLoop) : QuitRequests(runLoop, Options{}) {}
    QuitRequests(RunLoop& runLoop, Options options)
        : runLoop_(runLoop), options_(std::move(options)) {}

    // Both do nothing without a handle: nothing is asked of a process that
    // cannot be pinned down.
    void hide(pid_t pid, const std::shared_ptr<const Pidfd>& handle);
    void terminate(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                   const std::optional<std::string>& appId);

    // A session starts or stops watching: the windows thread starts with the
    // first, and when none watches any more it is stopped and every record
    // forgotten.
    void watching();
    void released();

    // Whether a desktop's windows are reachable right now.
    bool displayOpen() const { return windows_ && windows_->connected(); }

  private:
    using Clock = std::chrono::steady_clock;
    enum class Stage { fresh, asking, signalled };
    struct Request {
        std::shared_ptr<const Pidfd> handle;
        Stage stage = Stage::fresh;
        Clock::time_point asked{};   // the last quit action or close request
        Clock::time_point seen{};    // the last hide or terminate
        bool keepAsking = false;     // hidden before: never signalled for a dialog
        bool closing = false;        // close requests are on their way
        bool minimising = false;     // a minimise is on its way
        bool windowsAsked = false;   // some of its windows were asked to close
        bool toldUnaskable = false;  // the log says why it is left running
        std::string name;            // for the log: its app ID, else its pid
        pid_t pid = 0;
    };
    // What asking an app's windows to close found.
    enum class Closed { some, dialogShowing, nothing };

    Request& record(pid_t pid, const std::shared_ptr<const Pidfd>& handle, Clock::time_point now);
    // The record `pid` has for the request made at `asked`, if it is still
    // that one.
    Request* current(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                     Clock::time_point asked);
    void ask(pid_t pid, Request& request, const std::optional<std::string>& appId);
    void closeWindows(pid_t pid, Request& request, bool again);
    void closed(Request& request, bool again, Closed result);
    // SIGTERM; `why`, when given, goes to the log the first time.
    void signal(Request& request, const char* why);
    // A never-forced app that nothing could ask: left running, said once.
    void unaskable(Request& request);
    // The windows thread, started when the session offers windows; null
    // without.
    WindowsThread* windows();

    // On the windows thread.
    static Closed closeOn(WindowsThread::Desktop& desktop, pid_t pid, bool sparingDialogs);
    static void minimiseOn(WindowsThread::Desktop& desktop, pid_t pid);

    RunLoop& runLoop_;
    Options options_;
    std::unordered_map<pid_t, Request> requests_;
    int watchers_ = 0;
    std::unique_ptr<WindowsThread> windows_;
    std::optional<Clock::time_point> pruned_;
};

}  // namespace vorsel::linux_platform
