#include "Platform/Linux/Workspace/QuitRequests.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/QuitAction.h"
#include "Platform/Linux/Workspace/SystemdUser.h"

namespace vorsel::linux_platform {

namespace {

using Seconds = std::chrono::duration<double>;

constexpr Seconds kPruneEvery{1.0};

constexpr const char* kNotQuit =
    "it did not quit within 1.5 seconds of being asked, and shows no dialog";

// Whether `pid` is `app` or one of its descendants: an app's windows may be
// made by a child it started (a launcher script, a helper).
bool within(pid_t pid, pid_t app) {
    for (int depth = 0; pid > 1 && depth < 32; ++depth) {
        if (pid == app) return true;
        auto stat = readStat(pid);
        if (!stat) return false;
        pid = stat->ppid;
    }
    return false;
}

// Whether a window that names no process (a wlroots compositor's) is the
// app's: a Wayland app id is the app's desktop file ID, as `appId` is.
bool namedFor(const TopLevel& window, const std::optional<std::string>& appId) {
    if (!appId || appId->empty() || window.windowClass.size() != appId->size()) return false;
    for (std::size_t i = 0; i < appId->size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(window.windowClass[i])) !=
            std::tolower(static_cast<unsigned char>((*appId)[i])))
            return false;
    }
    return true;
}

std::vector<WindowsThread::Listed> windowsOf(WindowsThread::Desktop& desktop, pid_t pid,
                                             const std::optional<std::string>& appId) {
    std::vector<WindowsThread::Listed> own;
    std::unordered_map<pid_t, bool> judged;
    for (const WindowsThread::Listed& window : desktop.windows()) {
        if (window.window.pid == 0) {
            if (namedFor(window.window, appId)) own.push_back(window);
            continue;
        }
        auto [entry, added] = judged.try_emplace(window.window.pid, false);
        if (added) entry->second = within(window.window.pid, pid);
        if (entry->second) own.push_back(window);
    }
    return own;
}

}  // namespace

void QuitRequests::watching() {
    ++watchers;
    // Started at once, so that the windows that appear during the session
    // are heard of.
    windows();
}

void QuitRequests::released() {
    if (watchers > 0) --watchers;
    if (watchers > 0) return;
    requests.clear();
    pausing.clear();
    managerSeen.reset();
    windowsThread.reset();
    pruned.reset();
}

QuitRequests::Request* QuitRequests::current(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                                             Clock::time_point asked) {
    auto found = requests.find(pid);
    if (found == requests.end()) return nullptr;
    Request& request = found->second;
    if (request.handle != handle || request.stage != Stage::asking || request.asked != asked ||
        handle->ended())
        return nullptr;
    return &request;
}

QuitRequests::Request& QuitRequests::record(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                                            Clock::time_point now) {
    // Records of processes that have ended are of no use any more; looking
    // at them once a second keeps the map small without a poll per record
    // on every request.
    if (!pruned || now - *pruned > kPruneEvery) {
        for (auto it = requests.begin(); it != requests.end();) {
            if (it->first != pid && it->second.handle->ended())
                it = requests.erase(it);
            else
                ++it;
        }
        pruned = now;
    }
    Request& request = requests[pid];
    // Only a live pidfd pins a pid to its process: a record whose process
    // has ended is for another process than this one, whatever the pid. A
    // record on another handle of a live process is still that process (the
    // table hands out fresh handles once it keeps too many).
    const bool same = request.handle && !request.handle->ended();
    if (!same || now - request.seen > Seconds(kStale)) request = Request{};
    if (!request.handle) request.handle = handle;
    request.seen = now;
    return request;
}

void QuitRequests::hide(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                        const std::optional<std::string>& appId) {
    if (!handle || handle->ended()) return;
    Request& request = record(pid, handle, Clock::now());
    request.keepAsking = true;
    if (appId) request.appId = appId;
    // One at a time: a display that does not answer must not pile up a
    // minimise for every pass while it is stuck.
    if (request.minimising) return;
    WindowsThread* thread = windows();
    if (thread == nullptr) return;
    request.minimising = true;
    std::weak_ptr<QuitRequests> self = weak_from_this();
    std::shared_ptr<const Pidfd> pinned = request.handle;
    thread->run([self, pid, pinned, appId = request.appId](WindowsThread::Desktop& on) {
        minimiseOn(on, pid, appId);
        return std::function<void()>([self, pid, pinned] {
            auto quits = self.lock();
            if (!quits) return;
            auto found = quits->requests.find(pid);
            if (found != quits->requests.end() && found->second.handle == pinned)
                found->second.minimising = false;
        });
    });
}

void QuitRequests::terminate(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                             const std::optional<std::string>& appId) {
    if (!handle || handle->ended()) return;
    const Clock::time_point now = Clock::now();
    Request& request = record(pid, handle, now);
    if (appId) request.appId = appId;
    switch (request.stage) {
        case Stage::fresh:
            ask(pid, request, appId);
            break;
        case Stage::signalled:
            signal(request, nullptr);  // asked again, as every request is
            break;
        case Stage::asking:
            // Waiting for a first window: a request (the pass its window
            // brought) asks it as soon as it is there.
            if (request.windowWait && !request.windowsAsked && !request.closing)
                return closeWindows(pid, request, false);
            if (now - request.asked < Seconds(kSignalAfter)) break;
            if (request.keepAsking) {
                if (!request.closing) closeWindows(pid, request, true);
            } else if (!request.dialog) {
                lookForDialog(pid, request, true);
            }
            break;
    }
}

void QuitRequests::ask(pid_t pid, Request& request, const std::optional<std::string>& appId) {
    request.stage = Stage::asking;
    request.asked = Clock::now();
    request.name = appId ? *appId : "process " + std::to_string(pid);
    request.pid = pid;
    // Whether it answers with a dialog must be known before the caller
    // gives up on it, whenever its next request comes.
    if (windows() != nullptr) {
        std::weak_ptr<QuitRequests> self = weak_from_this();
        request.lookLater = runLoop.schedule(
            kSignalAfter, 0.1, false, [self, pid, handle = request.handle, asked = request.asked] {
                auto quits = self.lock();
                if (!quits) return;
                Request* still = quits->current(pid, handle, asked);
                if (still && !still->keepAsking) quits->lookForDialog(pid, *still, false);
            });
    }
    const auto name = appId ? applicationBusName(*appId) : std::nullopt;
    if (!name || !options.useBus || !sessionBusReachable())
        return closeWindows(pid, request, false);
    // The answer comes later; by then the record may be gone or belong to
    // a new round, so it is looked up again through the same handle.
    std::weak_ptr<QuitRequests> self = weak_from_this();
    std::shared_ptr<const Pidfd> handle = request.handle;
    const Clock::time_point asked = request.asked;
    askToQuit(
        *name, [pid](pid_t owner) { return within(owner, pid); },
        [self, pid, handle, asked](QuitAnswer answer) {
            auto quits = self.lock();
            if (!quits || answer == QuitAnswer::asked) return;
            if (Request* still = quits->current(pid, handle, asked))
                quits->closeWindows(pid, *still, false);
        });
}

// First (again false): the windows are the way to ask, and an app without
// any is signalled at once. Again: the app is asked once more, unless it
// shows a dialog, which is the user's to answer.
void QuitRequests::closeWindows(pid_t pid, Request& request, bool again) {
    WindowsThread* thread = windows();
    if (thread == nullptr) return closed(request, again, Closed::nothing);
    request.closing = true;
    std::weak_ptr<QuitRequests> self = weak_from_this();
    std::shared_ptr<const Pidfd> handle = request.handle;
    const Clock::time_point asked = request.asked;
    thread->run(
        [self, pid, handle, asked, again, appId = request.appId](WindowsThread::Desktop& on) {
            const Closed result = closeOn(on, pid, appId, again);
            return std::function<void()>([self, pid, handle, asked, again, result] {
                auto quits = self.lock();
                if (!quits) return;
                if (Request* still = quits->current(pid, handle, asked)) {
                    still->closing = false;
                    quits->closed(*still, again, result);
                }
            });
        });
}

void QuitRequests::closed(Request& request, bool again, Closed result) {
    if (result == Closed::some) request.windowsAsked = true;
    if (!again) {
        if (result != Closed::nothing) return;
        if (request.keepAsking)
            unaskable(request);
        else if (!awaitWindow(request))
            signal(request, "it has neither a quit action nor a window to ask");
        return;
    }
    const Clock::time_point now = Clock::now();
    switch (result) {
        case Closed::some:
            request.asked = now;
            break;
        case Closed::dialogShowing:
            break;  // the user is being asked; leave it to them
        case Closed::nothing:
            // Only an app whose windows were asked and went may be writing
            // what it keeps before it quits; one that was never reachable
            // is left running.
            if (!request.windowsAsked)
                unaskable(request);
            else if (now - request.asked >= Seconds(kWindowlessGrace))
                signal(request, "it still runs 10 seconds after its windows went");
            break;
    }
}

void QuitRequests::lookForDialog(pid_t pid, Request& request, bool thenSignal) {
    WindowsThread* thread = windows();
    if (thread == nullptr) {
        if (thenSignal) signal(request, "it did not quit within 1.5 seconds of being asked");
        return;
    }
    // A request that comes while a look is on its way takes its answer; a
    // desktop that does not answer in time (a stopped X server) is no reason
    // to spare the app its signal.
    if (thenSignal && !request.signalUnlessDialog) {
        request.signalUnlessDialog = true;
        std::weak_ptr<QuitRequests> self = weak_from_this();
        request.lookPatience = runLoop.schedule(
            kLookPatience, 0.1, false, [self, pid, handle = request.handle, asked = request.asked] {
                auto quits = self.lock();
                if (!quits) return;
                Request* still = quits->current(pid, handle, asked);
                if (still && still->looking && !still->dialog)
                    quits->signal(*still,
                                  "it did not quit within 1.5 seconds of being asked, "
                                  "and the desktop did not say whether it asks something");
            });
    }
    if (request.looking) return;
    request.looking = true;
    std::weak_ptr<QuitRequests> self = weak_from_this();
    std::shared_ptr<const Pidfd> handle = request.handle;
    const Clock::time_point asked = request.asked;
    thread->run([self, pid, handle, asked, appId = request.appId](WindowsThread::Desktop& on) {
        on.changed();  // a dialog shows after the request: look afresh
        const bool dialog = showsDialogOn(on, pid, appId);
        return std::function<void()>([self, pid, handle, asked, dialog] {
            auto quits = self.lock();
            if (!quits) return;
            Request* still = quits->current(pid, handle, asked);
            if (still == nullptr) return;
            still->looking = false;
            still->dialog = still->dialog || dialog;
            if (!still->dialog && still->signalUnlessDialog) quits->signal(*still, kNotQuit);
        });
    });
}

bool QuitRequests::answeredWithDialog(pid_t pid, const std::shared_ptr<const Pidfd>& handle) const {
    const auto found = requests.find(pid);
    return handle && found != requests.end() && found->second.dialog &&
           !found->second.handle->ended() && !handle->ended();
}

bool QuitRequests::managerRuns() {
    if (!managerSeen) managerSeen = systemdUserManagerRuns();
    return *managerSeen;
}

std::optional<std::string> QuitRequests::pause(pid_t pid, unsigned long long startTime,
                                               const std::shared_ptr<const Pidfd>& handle) {
    if (!handle || handle->ended()) return std::nullopt;
    Pausing& entry = pausing[pid];
    if (!entry.handle || entry.handle->ended()) entry = Pausing{handle, {}, false, false};
    WindowsThread* thread = windows();
    if (entry.failed || thread == nullptr) return std::nullopt;
    const std::optional<Frozen> found = appProcesses(pid, startTime, managerRuns());
    if (!found) return std::nullopt;
    entry.frozen = *found;
    if (!entry.hiding) {
        entry.hiding = true;
        std::weak_ptr<QuitRequests> self = weak_from_this();
        std::shared_ptr<const Pidfd> pinned = entry.handle;
        const auto asked = requests.find(pid);
        std::optional<std::string> appId;
        if (asked != requests.end()) appId = asked->second.appId;
        thread->run([self, pid, pinned, appId](WindowsThread::Desktop& on) {
            const bool all = hideAllOn(on, pid, appId);
            return std::function<void()>([self, pid, pinned, all] {
                if (auto quits = self.lock()) quits->hidden(pid, pinned, all);
            });
        });
    }
    return entry.frozen.pin();
}

void QuitRequests::hidden(pid_t pid, const std::shared_ptr<const Pidfd>& handle, bool all) {
    const auto found = pausing.find(pid);
    if (found == pausing.end() || found->second.handle != handle) return;  // thawed since
    Pausing& entry = found->second;
    entry.hiding = false;
    if (!all) {
        entry.failed = true;
        return;
    }
    if (!isFrozen(entry.frozen)) freeze(entry.frozen);
}

void QuitRequests::thawed(const std::string& pin) {
    const std::optional<Frozen> frozen = Frozen::read(pin);
    if (frozen) pausing.erase(frozen->processes.front().pid);
}

void QuitRequests::unaskable(Request& request) {
    if (request.toldUnaskable) return;
    request.toldUnaskable = true;
    if (options.listener.note)
        options.listener.note("left " + request.name + " (pid " + std::to_string(request.pid) +
                              ") running: it has no quit action and no window to ask, and it is "
                              "never forced; it is asked again on each pass");
}

bool QuitRequests::awaitWindow(Request& request) {
    const Seconds waited = Clock::now() - request.asked;
    if (windows() == nullptr || waited >= Seconds(kSignalAfter) || request.windowWaited)
        return false;
    if (request.windowWait) return true;
    std::weak_ptr<QuitRequests> self = weak_from_this();
    request.windowWait =
        runLoop.schedule((Seconds(kSignalAfter) - waited).count(), 0.1, false,
                         [self, pid = request.pid, handle = request.handle, asked = request.asked] {
                             auto quits = self.lock();
                             if (!quits) return;
                             Request* still = quits->current(pid, handle, asked);
                             if (still == nullptr) return;
                             // A coarse timer may fire a little early: this look is the last.
                             still->windowWaited = true;
                             if (!still->windowsAsked && !still->closing)
                                 quits->closeWindows(pid, *still, false);
                         });
    return true;
}

void QuitRequests::signal(Request& request, const char* why) {
    // Said once per round of requests: later passes repeat the signal.
    if (why != nullptr && request.stage != Stage::signalled && options.listener.note)
        options.listener.note("sent SIGTERM to " + request.name + " (pid " +
                              std::to_string(request.pid) + "): " + why);
    request.stage = Stage::signalled;
    request.closing = false;
    request.handle->signal(SIGTERM);
}

WindowsThread* QuitRequests::windows() {
    auto choices = windowsOffered(options.windowsModules);
    if (choices.empty()) {
        windowsThread.reset();
        return nullptr;
    }
    // The agent's own environment does not change; a test's may, between
    // two throwaway desktops.
    if (windowsThread && windowsThread->choices() == choices) return windowsThread.get();
    windowsThread = std::make_unique<WindowsThread>(runLoop, std::move(choices), options.listener);
    return windowsThread.get();
}

QuitRequests::Closed QuitRequests::closeOn(WindowsThread::Desktop& desktop, pid_t pid,
                                           const std::optional<std::string>& appId,
                                           bool sparingDialogs) {
    const std::vector<WindowsThread::Listed> own = windowsOf(desktop, pid, appId);
    bool dialogs = false, others = false;
    for (const auto& listed : own) (listed.window.dialog ? dialogs : others) = true;
    if (dialogs && sparingDialogs) return Closed::dialogShowing;
    bool closed = false;
    for (const auto& listed : own) {
        // The app's own dialogs are its questions to the user: a request to
        // close one would answer it "cancel". Only when it has nothing else
        // are they what there is to close.
        if (listed.window.dialog && others) continue;
        closed = desktop.close(listed) || closed;
    }
    if (closed) desktop.changed();
    return closed ? Closed::some : Closed::nothing;
}

bool QuitRequests::showsDialogOn(WindowsThread::Desktop& desktop, pid_t pid,
                                 const std::optional<std::string>& appId) {
    const std::vector<WindowsThread::Listed> own = windowsOf(desktop, pid, appId);
    return std::any_of(own.begin(), own.end(),
                       [](const auto& listed) { return listed.window.dialog; });
}

// Every window, dialogs too, and only true once each is found minimised: the
// window manager takes a moment to do it.
bool QuitRequests::hideAllOn(WindowsThread::Desktop& desktop, pid_t pid,
                             const std::optional<std::string>& appId) {
    constexpr auto kStep = std::chrono::milliseconds(50);
    constexpr int kLooks = 60;
    for (const auto& listed : windowsOf(desktop, pid, appId)) {
        if (!listed.window.minimised && !desktop.minimise(listed)) return false;
    }
    for (int look = 0; look < kLooks; ++look) {
        desktop.changed();
        const std::vector<WindowsThread::Listed> own = windowsOf(desktop, pid, appId);
        if (std::all_of(own.begin(), own.end(),
                        [](const auto& listed) { return listed.window.minimised; }))
            return true;
        std::this_thread::sleep_for(kStep);
    }
    return false;
}

void QuitRequests::minimiseOn(WindowsThread::Desktop& desktop, pid_t pid,
                              const std::optional<std::string>& appId) {
    for (const auto& listed : windowsOf(desktop, pid, appId)) {
        if (!listed.window.minimised && !listed.window.dialog) desktop.minimise(listed);
    }
}

}  // namespace vorsel::linux_platform
