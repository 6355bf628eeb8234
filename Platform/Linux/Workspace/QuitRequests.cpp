#include "Platform/Linux/Workspace/QuitRequests.h"

#include <csignal>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/QuitAction.h"

namespace vorsel::linux_platform {

namespace {

using Seconds = std::chrono::duration<double>;

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

std::vector<WindowsThread::Listed> windowsOf(WindowsThread::Desktop& desktop, pid_t pid) {
    std::vector<WindowsThread::Listed> own;
    std::unordered_map<pid_t, bool> judged;
    for (const WindowsThread::Listed& window : desktop.windows()) {
        auto [entry, added] = judged.try_emplace(window.window.pid, false);
        if (added) entry->second = window.window.pid != 0 && within(window.window.pid, pid);
        if (entry->second) own.push_back(window);
    }
    return own;
}

}  // namespace

void QuitRequests::watching() {
    ++watchers_;
    // Started at once, so that the windows that appear during the session
    // are heard of.
    windows();
}

void QuitRequests::released() {
    if (watchers_ > 0) --watchers_;
    if (watchers_ > 0) return;
    requests_.clear();
    windows_.reset();
    pruned_.reset();
}

QuitRequests::Request* QuitRequests::current(pid_t pid, const std::shared_ptr<const Pidfd>& handle,
                                             Clock::time_point asked) {
    auto found = requests_.find(pid);
    if (found == requests_.end()) return nullptr;
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
    Request& request = record(pid, handle, Clock::now());
    request.keepAsking = true;
    // One at a time: a display that does not answer must not pile up a
    // minimise for every pass while it is stuck.
    if (request.minimising) return;
    WindowsThread* thread = windows();
    if (thread == nullptr) return;
    request.minimising = true;
    std::weak_ptr<QuitRequests> self = weak_from_this();
    std::shared_ptr<const Pidfd> pinned = request.handle;
    thread->run([self, pid, pinned](WindowsThread::Desktop& on) {
        minimiseOn(on, pid);
        return std::function<void()>([self, pid, pinned] {
            auto requests = self.lock();
            if (!requests) return;
            auto found = requests->requests_.find(pid);
            if (found != requests->requests_.end() && found->second.handle == pinned)
                found->second.minimising = false;
        });
    });
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
            signal(request, nullptr);  // asked again, as every request is
            break;
        case Stage::asking:
            if (now - request.asked < Seconds(kSignalAfter)) break;
            if (!request.keepAsking)
                signal(request, "it did not quit within 1.5 seconds of being asked");
            else if (!request.closing)
                closeWindows(pid, request, true);
            break;
    }
}

void QuitRequests::ask(pid_t pid, Request& request, const std::optional<std::string>& appId) {
    request.stage = Stage::asking;
    request.asked = Clock::now();
    request.name = appId ? *appId : "process " + std::to_string(pid);
    request.pid = pid;
    const auto name = appId ? applicationBusName(*appId) : std::nullopt;
    if (!name || !options_.useBus || !sessionBusReachable())
        return closeWindows(pid, request, false);
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
            if (Request* still = requests->current(pid, handle, asked))
                requests->closeWindows(pid, *still, false);
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
    thread->run([self, pid, handle, asked, again](WindowsThread::Desktop& on) {
        const Closed result = closeOn(on, pid, again);
        return std::function<void()>([self, pid, handle, asked, again, result] {
            auto requests = self.lock();
            if (!requests) return;
            if (Request* still = requests->current(pid, handle, asked)) {
                still->closing = false;
                requests->closed(*still, again, result);
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
        else
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

void QuitRequests::unaskable(Request& request) {
    if (request.toldUnaskable) return;
    request.toldUnaskable = true;
    if (options_.listener.note)
        options_.listener.note("left " + request.name + " (pid " + std::to_string(request.pid) +
                               ") running: it has no quit action and no window to ask, and it is "
                               "never forced; it is asked again on each pass");
}

void QuitRequests::signal(Request& request, const char* why) {
    // Said once per round of requests: later passes repeat the signal.
    if (why != nullptr && request.stage != Stage::signalled && options_.listener.note)
        options_.listener.note("sent SIGTERM to " + request.name + " (pid " +
                               std::to_string(request.pid) + "): " + why);
    request.stage = Stage::signalled;
    request.closing = false;
    request.handle->signal(SIGTERM);
}

WindowsThread* QuitRequests::windows() {
    auto choices = windowsOffered(options_.windowsModules);
    if (choices.empty()) {
        windows_.reset();
        return nullptr;
    }
    // The agent's own environment does not change; a test's may, between
    // two throwaway desktops.
    if (windows_ && windows_->choices() == choices) return windows_.get();
    windows_ = std::make_unique<WindowsThread>(runLoop_, std::move(choices), options_.listener);
    return windows_.get();
}

QuitRequests::Closed QuitRequests::closeOn(WindowsThread::Desktop& desktop, pid_t pid,
                                           bool sparingDialogs) {
    const std::vector<WindowsThread::Listed> own = windowsOf(desktop, pid);
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

void QuitRequests::minimiseOn(WindowsThread::Desktop& desktop, pid_t pid) {
    for (const auto& listed : windowsOf(desktop, pid)) {
        if (!listed.window.minimised && !listed.window.dialog) desktop.minimise(listed);
    }
}

}  // namespace vorsel::linux_platform
