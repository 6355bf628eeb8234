#include "Platform/Linux/Windows/WindowsThread.h"

#include <dlfcn.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

namespace vorsel::linux_platform {

namespace {

// One look at the windows serves the jobs of one pass (hide, then
// terminate, for each app).
constexpr double kWindowsFresh = 0.2;
// A desktop that could not be opened is tried again only this often: a
// DISPLAY that leads nowhere must not cost a connect on every request.
constexpr double kDesktopRetry = 10.0;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The same window seen by two desktops: an X11 app's window on a Wayland
// compositor that also lists XWayland's windows. Where both name its
// process, by pid; a wlroots compositor's toplevel names none, and is the
// X11 window of the same class and title (two toplevels that both name no
// process are two windows). Asked through both, an app would get two close
// requests, the second of which could answer its own save dialog.
bool sameWindow(const TopLevel& a, const TopLevel& b) {
    if (a.windowClass != b.windowClass || a.title != b.title) return false;
    if (a.pid != 0 && b.pid != 0) return a.pid == b.pid;
    return (a.pid == 0) != (b.pid == 0);
}

}  // namespace

struct WindowsThread::Slot {
    WindowsChoice choice;
    void* module = nullptr;
    VorselWindowsOpen open = nullptr;
    std::unique_ptr<DesktopWindows> windows;
    std::optional<double> failedAt;
    bool told = false;  // its trouble is in the log already
};

struct WindowsThread::State {
    RunLoop* runLoop = nullptr;
    std::vector<WindowsChoice> choices;
    Listener listener;
    std::mutex mutex;
    std::deque<Job> jobs;
    int wake = -1;  // an eventfd: a job was queued, or the owner has gone
    bool started = false;
    bool stopping = false;  // the owner has gone: nothing more is posted
    // The open desktops, shut down by the owner when it goes.
    std::vector<DesktopWindows*> live;

    ~State() {
        if (wake >= 0) ::close(wake);
    }
    // Posts `answer` unless the owner has gone. Under the lock, so that the
    // owner's going and a post never cross.
    void post(std::function<void()> answer) {
        std::lock_guard<std::mutex> held(mutex);
        if (!stopping && answer) runLoop->post(std::move(answer));
    }
    void note(const std::string& line) {
        if (!listener.note) return;
        post([note = listener.note, line] { note(line); });
    }
};

const std::vector<WindowsThread::Listed>& WindowsThread::Desktop::windows() {
    if (!listed || now() - listedAt > kWindowsFresh) {
        listing = list ? list() : std::vector<Listed>{};
        listed = true;
        fresh = true;
        listedAt = now();
    }
    return listing;
}

bool WindowsThread::Desktop::live(const DesktopWindows* owner) const {
    if (!open) return false;
    const auto localOpen = open();
    return owner != nullptr &&
           std::find(localOpen.begin(), localOpen.end(), owner) != localOpen.end();
}

bool WindowsThread::Desktop::close(const Listed& givenListed) {
    return live(givenListed.owner) && givenListed.owner->close(givenListed.window);
}

bool WindowsThread::Desktop::minimise(const Listed& givenListed) {
    return live(givenListed.owner) && givenListed.owner->minimise(givenListed.window);
}

WindowsThread::WindowsThread(RunLoop& runLoop, std::vector<WindowsChoice> choices,
                             Listener listener)
    : state(std::make_shared<State>()) {
    state->runLoop = &runLoop;
    state->choices = std::move(choices);
    state->listener = std::move(listener);
    state->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wake < 0) return;
    try {
        std::thread([state = state] { serve(state); }).detach();
        state->started = true;
    } catch (const std::system_error&) {
        // No thread to be had: every job finds no desktop.
    }
}

WindowsThread::~WindowsThread() {
    std::lock_guard<std::mutex> held(state->mutex);
    state->stopping = true;
    state->jobs.clear();
    // Under the lock: the thread takes a desktop out of the list under it
    // before closing it, so this never reaches one that is gone.
    for (DesktopWindows* windows : state->live) windows->shutdown();
    if (state->wake >= 0) {
        const std::uint64_t one = 1;
        ssize_t ignored = ::write(state->wake, &one, sizeof one);
        (void)ignored;
    }
}

void WindowsThread::run(Job job) {
    if (!state->started) {
        Desktop none;
        if (auto answer = job(none)) state->runLoop->post(std::move(answer));
        return;
    }
    std::lock_guard<std::mutex> held(state->mutex);
    state->jobs.push_back(std::move(job));
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(state->wake, &one, sizeof one);
    (void)ignored;
}

bool WindowsThread::connected() const {
    std::lock_guard<std::mutex> held(state->mutex);
    return !state->live.empty();
}

const std::vector<WindowsChoice>& WindowsThread::choices() const { return state->choices; }

void WindowsThread::serve(const std::shared_ptr<State>& state) {
    std::vector<Slot> slots;
    for (const WindowsChoice& choice : state->choices) {
        Slot slot;
        slot.choice = choice;
        slot.module = ::dlopen(choice.module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (slot.module != nullptr)
            slot.open =
                reinterpret_cast<VorselWindowsOpen>(::dlsym(slot.module, kWindowsOpenEntry));
        if (slot.open == nullptr) {
            state->note("found no way to reach the " + choice.kind + " windows (" + choice.module +
                        "): apps are asked only through their quit action, and signalled");
            slot.told = true;
        }
        slots.push_back(std::move(slot));
    }
    Desktop desktop;
    // Desktops that were opened since the last look: their windows are
    // told at once, as if they had just appeared.
    bool opened = false;

    const auto forget = [&](Slot& slot) {
        {
            std::lock_guard<std::mutex> held(state->mutex);
            std::erase(state->live, slot.windows.get());
        }
        slot.windows.reset();
        desktop.listed = false;
    };
    const auto connect = [&](Slot& slot) -> DesktopWindows* {
        if (slot.windows && !slot.windows->broken()) return slot.windows.get();
        // A broken connection is replaced at once; a desktop that could not
        // be opened is tried again only after a while.
        if (slot.windows) {
            forget(slot);
            slot.failedAt.reset();
            if (!slot.told) {
                state->note("lost the " + slot.choice.kind +
                            " windows; going on with what the processes tell");
                slot.told = true;
            }
        }
        if (slot.open == nullptr || (slot.failedAt && now() - *slot.failedAt < kDesktopRetry))
            return nullptr;
        slot.windows.reset(slot.open(slot.choice.address.c_str()));
        if (!slot.windows) {
            slot.failedAt = now();
            if (!slot.told) {
                state->note("could not reach the " + slot.choice.kind + " windows at \"" +
                            slot.choice.address + "\"; going on with what the processes tell");
                slot.told = true;
            }
            return nullptr;
        }
        opened = true;
        std::lock_guard<std::mutex> held(state->mutex);
        state->live.push_back(slot.windows.get());
        if (state->stopping) slot.windows->shutdown();
        return slot.windows.get();
    };
    const auto connectAll = [&] {
        for (Slot& slot : slots) connect(slot);
    };
    desktop.list = [&] {
        std::vector<Listed> all;
        for (Slot& slot : slots) {
            DesktopWindows* windows = connect(slot);
            if (windows == nullptr) continue;
            std::vector<TopLevel> listed = windows->windows();
            // A desktop that went away since (a restarted X server) is seen
            // only when used: one more try at once on a new connection, so
            // that an app is not taken for one without windows.
            if (windows->broken() && (windows = connect(slot)) != nullptr)
                listed = windows->windows();
            for (TopLevel& window : listed) {
                // One desktop lists each window once, even two alike.
                const auto seen = std::find_if(all.begin(), all.end(), [&](const Listed& earlier) {
                    return earlier.owner != windows && sameWindow(earlier.window, window);
                });
                // The desktop that names the window's process keeps it.
                if (seen == all.end())
                    all.push_back({std::move(window), windows});
                else if (seen->window.pid == 0 && window.pid != 0)
                    *seen = {std::move(window), windows};
            }
        }
        return all;
    };
    desktop.open = [&] {
        std::vector<DesktopWindows*> open;
        for (Slot& slot : slots)
            if (slot.windows) open.push_back(slot.windows.get());
        return open;
    };

    // What was last told, by desktop and id, to tell what is new.
    std::set<std::pair<const DesktopWindows*, std::string>> known;
    const auto tell = [&] {
        desktop.fresh = false;
        if (!state->listener.seen) return;
        std::set<std::pair<const DesktopWindows*, std::string>> current;
        std::vector<TopLevel> windows;
        bool appeared = false;
        for (const Listed& listed : desktop.listing) {
            auto key =
                std::make_pair(static_cast<const DesktopWindows*>(listed.owner), listed.window.id);
            appeared = appeared || !known.contains(key);
            current.insert(std::move(key));
            windows.push_back(listed.window);
        }
        known = std::move(current);
        state->post([seen = state->listener.seen, windows = std::move(windows), appeared] {
            seen(windows, appeared);
        });
    };

    for (;;) {
        connectAll();
        bool told = opened;
        opened = false;
        std::vector<pollfd> waits{{state->wake, POLLIN, 0}};
        bool waiting = false;  // on a desktop to be tried again
        for (Slot& slot : slots) {
            if (!slot.windows) {
                waiting = waiting || slot.open != nullptr;
                continue;
            }
            // What arrived with the replies to a job is read here; the
            // descriptor tells only of what came after.
            told = slot.windows->appeared() || told;
            if (slot.windows->descriptor() >= 0 && !slot.windows->broken())
                waits.push_back({slot.windows->descriptor(), POLLIN, 0});
        }
        if (told) {
            desktop.listed = false;
            desktop.windows();
        }
        if (desktop.fresh) tell();
        // After a look, news that came with it is read at once.
        const int timeout = told ? 0 : waiting ? static_cast<int>(kDesktopRetry * 1000) : -1;
        if (::poll(waits.data(), waits.size(), timeout) < 0 && errno != EINTR) break;
        std::uint64_t count = 0;
        ssize_t ignored = ::read(state->wake, &count, sizeof count);
        (void)ignored;
        for (;;) {
            Job job;
            {
                std::lock_guard<std::mutex> held(state->mutex);
                if (state->stopping || state->jobs.empty()) break;
                job = std::move(state->jobs.front());
                state->jobs.pop_front();
            }
            state->post(job(desktop));
        }
        {
            std::lock_guard<std::mutex> held(state->mutex);
            if (state->stopping) break;
        }
    }
    for (Slot& slot : slots) {
        if (slot.windows) forget(slot);
        // Nothing of the module is referred to any more: its desktop is
        // closed, and jobs were made by the agent's own code.
        if (slot.module != nullptr) ::dlclose(slot.module);
    }
    // What the desktops' libraries and the lists held goes back to the
    // system, so that an agent after a session is as small as before it.
    ::malloc_trim(0);
}

}  // namespace vorsel::linux_platform
