// The thread on which the agent talks to an X11 display, so that a server
// that is slow, grabbed by another client or stopped never holds up the main
// thread: the main thread queues jobs, and what a job answers runs on the
// main thread afterwards, through the run loop.
//
// X11 itself lives in "vorsel-x11.so" (the xcb libraries and X11Windows),
// which the thread loads when it starts and unloads when it ends, so that an
// agent that closes no apps on a display maps none of it. The thread opens
// the display on its first job, opens it again when the connection broke,
// and tries a display it could not open again only every few seconds.
//
// The object itself is main-thread only. Its destruction does not wait: it
// shuts the connection down, so that a call stuck on the server returns, and
// the thread then closes it, unloads the module and ends by itself.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Linux/Workspace/X11Windows.h"
#include "Platform/RunLoop.h"

namespace vorsel::linux_platform {

// "vorsel-x11.so" beside the running executable.
std::string x11ModulePath();

// The module's entry point: C linkage, never throws; a connection to the
// display named, to be deleted through its virtual destructor while the
// module is loaded, or null.
extern "C" {
using VorselX11Open = X11Windows* (*)(const char* display);
}
inline constexpr const char* kX11OpenEntry = "vorselX11Open";

class DisplayThread {
  public:
    // What a job sees, on the display thread.
    class Display {
      public:
        // The connection, or null when the display cannot be reached. A
        // look at the windows may replace it: ask for it after windows().
        X11Windows* x11() { return windows_; }
        // The top-level windows, listed once for the jobs of one moment (a
        // pass asks for each app in turn) and again after changed().
        const std::vector<X11Window>& windows();
        // Windows were asked to close: the next look lists them afresh.
        void changed() { listed_ = false; }

      private:
        friend class DisplayThread;
        X11Windows* windows_ = nullptr;
        // A new connection in place of a broken one, or null.
        std::function<X11Windows*()> reconnect_;
        std::vector<X11Window> list_;
        bool listed_ = false;
        double listedAt_ = 0;
    };
    // Runs on the display thread; what it returns (if anything) is then
    // posted to the main thread, unless this object has gone by then.
    using Job = std::function<std::function<void()>(Display&)>;

    // Starts the thread, which loads `module` and serves `display`. The run
    // loop must outlive this object (not the thread).
    DisplayThread(RunLoop& runLoop, std::string module, std::string display);
    ~DisplayThread();
    DisplayThread(const DisplayThread&) = delete;
    DisplayThread& operator=(const DisplayThread&) = delete;

    // Queues `job`; jobs run one at a time, in the order queued.
    void run(Job job);
    // Whether the thread holds a connection to the display right now.
    bool connected() const;

  private:
    struct State;
    static void serve(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
};

}  // namespace vorsel::linux_platform
