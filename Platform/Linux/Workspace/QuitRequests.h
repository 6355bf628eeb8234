// What hide and terminate mean for an app on a Linux desktop, and what has
// been asked of each process so far.
//
// terminate asks the way the desktop would before it signals:
//   1. the app's own quit action on the session bus (QuitAction.h), when it
//      owns its application ID there; else
//   2. a close request to each of its top-level windows (and those of its
//      child processes), through the desktop's windows (DesktopWindows.h);
//      a window that names no process (a wlroots compositor's) is the app's
//      when its app id is the app's desktop file ID;
//      else, with neither,
//   3. SIGTERM: at once without a desktop that offers windows; with one,
//      only when the app still shows no window to ask kSignalAfter seconds
//      after the request, since an app being launched is often selected
//      before its first window is up, and that window brings a request
//      that asks it.
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
// An app asked by its action or its windows that shows a dialog of its own
// at a look kSignalAfter seconds after the request (made by a timer, and
// again on each later request) has answered with a dialog: it is not
// signalled, and answeredWithDialog() tells the caller, which may pause it
// rather than force it. pause minimises every window of the app, its
// dialogs too (a frozen client that kept a grab would hold the whole
// desktop's input; unmapped windows hold none), and, once they are all
// found minimised, freezes the app (Freezer.h); an app whose windows cannot
// all be minimised is not paused, and later calls say so. Each call does it
// again where the user undid it. thawed() forgets the pausing of a pin, so
// that a minimise still on its way freezes nothing.
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
#include "Platform/Linux/Workspace/Freezer.h"
#include "Platform/Linux/Workspace/Pidfd.h"
#include "Platform/RunLoop.h"

namespace vorsel::linux_platform {

class QuitRequests : public std::enable_shared_from_this<QuitRequests> {
  public:
    static constexpr double kSignalAfter = 1.5;
    static constexpr double kWindowlessGrace = 10.0;
    static constexpr double kStale = 5.0;
    // How long a look for a dialog may take before the request is made
    // without its answer: short of the next pass (2 s), whose force would
    // not wait for it either, and long enough for a shell that is slow to
    // answer on a busy machine, where too short a wait cost an editor that
    // was asking to save its text.
    static constexpr double kLookPatience = 1.9;

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
        : runLoop(runLoop), options(std::move(options)) {}

    // Both do nothing without a handle: nothing is asked of a process that
    // cannot be pinned down.
    void hide(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
              const std::optional<std::string>& appId = std::nullopt);
    void terminate(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                   const std::optional<std::string>& appId);

    // True when a look after the request found a dialog of the app's.
    bool answeredWithDialog(pid_t pid, const std::shared_ptr<const Pidfd>& handle) const;
    // The pin of what pausing freezes (Freezer.h), or nothing when the app
    // cannot be paused (gone, no windows to reach, windows that would not
    // minimise).
    std::optional<std::string> pause(pid_t pid, unsigned long long startTime,
                                     const std::shared_ptr<const Pidfd>& handle);
    void thawed(const std::string& pin);

    // A session starts or stops watching: the windows thread starts with the
    // first, and when none watches any more it is stopped and every record
    // forgotten.
    void watching();
    void released();

    // Whether a desktop's windows are reachable right now.
    bool displayOpen() const { return windowsThread && windowsThread->connected(); }

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
        bool looking = false;                 // a look for a dialog is on its way
        bool signalUnlessDialog = false;      // what that look finds decides
        std::unique_ptr<Timer> lookPatience;  // signals when it does not come
        bool dialog = false;                  // a look after the request found a dialog
        std::unique_ptr<Timer> lookLater;     // the look kSignalAfter after asking
        std::unique_ptr<Timer> windowWait;    // the last look for a first window
        bool windowWaited = false;            // that look was made
        // Names its windows that name no process (a wlroots compositor's).
        std::optional<std::string> appId;
    };
    // An app being paused: what it freezes, once its windows are minimised.
    struct Pausing {
        std::shared_ptr<const Pidfd> handle;
        Frozen frozen;
        bool hiding = false;  // a minimise is on its way
        bool failed = false;  // its windows would not all minimise
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
    // Whether to give an app that shows no window yet until kSignalAfter
    // after its request for one to appear; the timer it sets looks once more.
    bool awaitWindow(Request& request);
    // Looks for a dialog of the app's; without one, `thenSignal` sends SIGTERM.
    void lookForDialog(pid_t pid, Request& request, bool thenSignal);
    void hidden(pid_t pid, const std::shared_ptr<const Pidfd>& handle, bool all);
    bool managerRuns();
    // The windows thread, started when the session offers windows; null
    // without.
    WindowsThread* windows();

    // On the windows thread.
    static Closed closeOn(WindowsThread::Desktop& desktop, pid_t pid,
                          const std::optional<std::string>& appId, bool sparingDialogs);
    static void minimiseOn(WindowsThread::Desktop& desktop, pid_t pid,
                           const std::optional<std::string>& appId);
    static bool showsDialogOn(WindowsThread::Desktop& desktop, pid_t pid,
                              const std::optional<std::string>& appId);
    static bool hideAllOn(WindowsThread::Desktop& desktop, pid_t pid,
                          const std::optional<std::string>& appId);

    RunLoop& runLoop;
    Options options;
    std::unordered_map<pid_t, Request> requests;
    std::unordered_map<pid_t, Pausing> pausing;
    std::optional<bool> managerSeen;  // asked once per session watch
    int watchers = 0;
    std::unique_ptr<WindowsThread> windowsThread;
    std::optional<Clock::time_point> pruned;
};

}  // namespace vorsel::linux_platform
