// A throwaway X11 desktop for tests that need real windows: an Xvfb server
// on a display number it picks itself, and, unless turned off, the openbox
// window manager on it. Both are children of the test and are ended, by pid,
// when the object goes. Nothing here touches a display the test did not
// start: programs reach this one only through the DISPLAY they are given.
//
// Test code only; one thread at a time.
#pragma once

#include <sys/types.h>

#include <string>

namespace vorsel::testing {

class VirtualDesktop {
  public:
    struct Options {
        bool windowManager = true;
        int width = 1280;
        int height = 800;
    };

    // Starts the server (and the window manager) and waits until they serve:
    // the display accepts connections, and the window manager has announced
    // itself on the root window (_NET_SUPPORTING_WM_CHECK) and manages a
    // window mapped now.
    VirtualDesktop();
    explicit VirtualDesktop(Options options);
    ~VirtualDesktop();
    VirtualDesktop(const VirtualDesktop&) = delete;
    VirtualDesktop& operator=(const VirtualDesktop&) = delete;

    // Whether everything above is in place; problem() says what is not.
    bool ready() const { return problemText.empty(); }
    const std::string& problem() const { return problemText; }

    // The value of DISPLAY for programs on this desktop, e.g. ":3".
    const std::string& display() const { return currentDisplay; }
    pid_t serverPid() const { return server; }
    pid_t windowManagerPid() const { return windowManager; }

    // Why no desktop can be started on this machine (a program missing), or
    // empty when one can. Tests skip with this text.
    static std::string unavailable(bool windowManager = true);

  private:
    std::string start(const Options& options);
    void stop(pid_t& pid);

    std::string currentDisplay;
    pid_t server = -1;
    pid_t windowManager = -1;
    std::string problemText;
};

}  // namespace vorsel::testing
