// The thread on which the agent talks to the desktop's windows, so that a
// desktop that is slow, grabbed by another client or stopped never holds up
// the main thread: the main thread queues jobs, and what a job answers runs
// on the main thread afterwards, through the run loop.
//
// It serves every kind of windows the session offers (WindowsModules.h):
// each lives in its own module, which the thread loads when it starts and
// unloads when it ends, so that an agent that closes no apps maps none of
// it. Windows listed by several are taken once, from the first; requests
// go to the one that listed the window. The thread opens each desktop when
// it starts, opens it again when the connection broke, and tries one it
// could not open again only every few seconds.
//
// Between jobs it waits on each desktop's descriptor as well: when a new
// top-level window appears, and after every job that looked at the windows
// afresh, it tells the main thread what windows there are and whether one
// is new (Listener::seen), so that a pass runs at once and processes are
// recognised by their windows.
//
// The object itself is main-thread only. Its destruction does not wait: it
// shuts the connections down, so that a call stuck on a desktop returns,
// and the thread then closes them, unloads the modules and ends by itself.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Linux/Windows/DesktopWindows.h"
#include "Platform/Linux/Windows/WindowsModules.h"
#include "Platform/RunLoop.h"

namespace vorsel::linux_platform {

class WindowsThread {
  public:
    // What the thread tells, on the main thread.
    struct Listener {
        // The top-level windows of every desktop, and whether one appeared
        // that the last look did not list.
        std::function<void(const std::vector<TopLevel>& windows, bool appeared)> seen;
        // One line for the log: a desktop that cannot be reached or stopped
        // answering. Told once per desktop and thread.
        std::function<void(const std::string& line)> note;
    };

    // One window, with the desktop that listed it.
    struct Listed {
        TopLevel window;
        DesktopWindows* owner = nullptr;
    };

    // What a job sees, on the windows thread.
    class Desktop {
      public:
        // The top-level windows, listed once for the jobs of one moment (a
        // pass asks for each app in turn) and again after changed().
        const std::vector<Listed>& windows();
        // Requests, made of the desktop that listed the window; false when
        // it could not be asked.
        bool close(const Listed& listed);
        bool minimise(const Listed& listed);
        // Windows were asked to close: the next look lists them afresh.
        void changed() { listed = false; }

      private:
        friend class WindowsThread;
        bool live(const DesktopWindows* owner) const;
        // Lists every desktop, reconnecting one found broken.
        std::function<std::vector<Listed>()> list;
        std::function<std::vector<DesktopWindows*>()> open;
        std::vector<Listed> listing;
        bool listed = false;
        bool fresh = false;  // listed afresh since the main thread was told
        double listedAt = 0;
    };
    // Runs on the windows thread; what it returns (if anything) is then
    // posted to the main thread, unless this object has gone by then.
    using Job = std::function<std::function<void()>(Desktop&)>;

    // Starts the thread, which loads the chosen modules and serves their
    // desktops. The run loop must outlive this object (not the thread).
    WindowsThread(RunLoop& runLoop, std::vector<WindowsChoice> choices, Listener listener);
    ~WindowsThread();
    WindowsThread(const WindowsThread&) = delete;
    WindowsThread& operator=(const WindowsThread&) = delete;

    // Queues `job`; jobs run one at a time, in the order queued.
    void run(Job job);
    // Whether the thread holds a connection to any desktop right now.
    bool connected() const;
    const std::vector<WindowsChoice>& choices() const;

  private:
    struct State;
    struct Slot;
    static void serve(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
};

}  // namespace vorsel::linux_platform
