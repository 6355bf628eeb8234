#include "Platform/Linux/Workspace/QuitRequests.h"

#include <csignal>
#include <cstdlib>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/QuitAction.h"

namespace vorsel::linux_platform {

namespace {

using Seconds = std::chrono::duration<double>;

// A failed connection to the display is tried again only this often: a
// DISPLAY that leads nowhere must not cost a connect on every request.
constexpr Seconds kDisplayRetry{10.0};
constexpr Seconds kWindowsFresh{0.2};
constexpr Seconds kPruneEvery{1.0};

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

}  // namespace

void QuitRequests::watching() { ++watchers_; }

void QuitRequests::released() {
    if (watchers_ > 0) --watchers_;
    if (watchers_ > 0) return;
    requests_.clear();
    display_.reset();
    displayFailed_.reset();
    windows_.clear();
    windowsTaken_.reset();
    pruned_.reset();
}

QuitRequests::Request* QuitRequests::find(pid_t pid, const std::shared_ptr<const Pidfd>& handle) {
    auto found = requests_.find(pid);
    if (found == requests_.end() || found->second.handle != handle) return nullptr;
    return &found->second;
}

QuitRequests::Request& QuitRequests::record(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                                            Clock::time_point now) {
    // Records of processes that have ended are of no use any more; looking
    // at them once a second keeps the map small without a poll per record
    // on every request.
    if (!pruned_ || now - *pruned_ > kPruneEvery) {
        for (auto it = requests_.begin(); it != requests_.end();) {
            if (it->first != pid && it->second.handle->ended())
                it = requests_.erase(it);
            else
                ++it;
        }
        pruned_ = now;
    }
    Request& request = requests_[pid];
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

void QuitRequests::hide(pid_t pid, const std::shared_ptr<const Pidfd>& handle) {
    if (!handle || handle->ended()) return;
    record(pid, handle, Clock::now()).keepAsking = true;
    const std::vector<X11Window> own = windowsOf(pid);
    X11Windows* windows = display();
    if (windows == nullptr) return;
    for (const X11Window& window : own) {
        if (!window.minimised && !window.dialog) windows->minimise(window);
    }
}

void QuitRequests::terminate(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                             const std::optional<std::string>& appId) {
    if (!handle || handle->ended()) return;
    const Clock::time_point now = Clock::now();
    Request& request = record(pid, handle, now);
    switch (request.stage) {
        case Stage::fresh:
            ask(pid, request, appId);
            break;
        case Stage::signalled:
            signal(request);  // asked again, as every request is
            break;
        case Stage::asking:
            if (now - request.asked < Seconds(kSignalAfter)) break;
            if (request.keepAsking)
                askAgain(pid, request, now);
            else
                signal(request);
            break;
    }
}

void QuitRequests::ask(pid_t pid, Request& request, const std::optional<std::string>& appId) {
    request.stage = Stage::asking;
    request.asked = Clock::now();
    const auto name = appId ? applicationBusName(*appId) : std::nullopt;
    if (!name || !options_.useBus || !sessionBusReachable()) return closeOrSignal(pid, request);
    // The answer comes later; by then the record may be gone or belong to
    // a new round, so it is looked up again through the same handle.
    std::weak_ptr<QuitRequests> self = weak_from_this();
    std::shared_ptr<const Pidfd> handle = request.handle;
    const Clock::time_point asked = request.asked;
    askToQuit(
        *name, [pid](pid_t owner) { return within(owner, pid); },
        [self, pid, handle, asked](QuitAnswer answer) {
            auto requests = self.lock();
            if (!requests || answer == QuitAnswer::asked) return;
            Request* current = requests->find(pid, handle);
            if (current == nullptr || current->stage != Stage::asking || current->asked != asked ||
                handle->ended())
                return;
            requests->closeOrSignal(pid, *current);
        });
}

void QuitRequests::askAgain(pid_t pid, Request& request, Clock::time_point now) {
    switch (closeWindows(pid, true)) {
        case Closed::some:
            request.asked = now;
            break;
        case Closed::dialogShowing:
            break;  // the user is being asked; leave it to them
        case Closed::nothing:
            if (now - request.asked >= Seconds(kWindowlessGrace)) signal(request);
            break;
    }
}

void QuitRequests::closeOrSignal(pid_t pid, Request& request) {
    if (closeWindows(pid, false) == Closed::nothing) signal(request);
}

void QuitRequests::signal(Request& request) {
    request.stage = Stage::signalled;
    request.handle->signal(SIGTERM);
}

QuitRequests::Closed QuitRequests::closeWindows(pid_t pid, bool sparingDialogs) {
    const std::vector<X11Window> own = windowsOf(pid);
    X11Windows* windows = display();
    if (windows == nullptr) return Closed::nothing;
    bool dialogs = false, others = false;
    for (const X11Window& window : own) (window.dialog ? dialogs : others) = true;
    if (dialogs && sparingDialogs) return Closed::dialogShowing;
    bool closed = false;
    for (const X11Window& window : own) {
        // The app's own dialogs are its questions to the user: a request to
        // close one would answer it "cancel". Only when it has nothing else
        // are they what there is to close.
        if (window.dialog && others) continue;
        closed = windows->close(window) || closed;
    }
    windowsTaken_.reset();  // what is open changes now
    return closed ? Closed::some : Closed::nothing;
}

std::vector<X11Window> QuitRequests::windowsOf(pid_t pid) {
    const Clock::time_point now = Clock::now();
    if (!windowsTaken_ || now - *windowsTaken_ > kWindowsFresh) {
        X11Windows* windows = display();
        windows_ = windows ? windows->windows() : std::vector<X11Window>{};
        if (windows != nullptr && windows->broken()) {
            // A display that went away since (a restarted X server) is seen
            // only when used: one more try on a new connection, so that this
            // request is not taken for one of an app without windows.
            display_.reset();
            displayFailed_.reset();
            windows = display();
            windows_ = windows ? windows->windows() : std::vector<X11Window>{};
        }
        windowsTaken_ = now;
    }
    std::vector<X11Window> own;
    std::unordered_map<pid_t, bool> judged;
    for (const X11Window& window : windows_) {
        auto [entry, added] = judged.try_emplace(window.pid, false);
        if (added) entry->second = within(window.pid, pid);
        if (entry->second) own.push_back(window);
    }
    return own;
}

X11Windows* QuitRequests::display() {
    if (display_ && display_->broken()) {
        display_.reset();
        windowsTaken_.reset();
    }
    if (display_) return display_.get();
    const Clock::time_point now = Clock::now();
    if (displayFailed_ && now - *displayFailed_ < kDisplayRetry) return nullptr;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    display_ = X11Windows::open(name);
    if (!display_) displayFailed_ = now;
    return display_.get();
}

}  // namespace vorsel::linux_platform
