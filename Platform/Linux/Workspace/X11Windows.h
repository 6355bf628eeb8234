// The top-level windows of an X11 display, and the two requests a desktop
// makes of them: close (the window's own WM_DELETE_WINDOW protocol, through
// the window manager when one runs) and minimise. Nothing here kills or
// unmaps another program's window: a window that does not take the delete
// protocol is left alone, since a window manager would answer a close
// request for it by cutting the program's connection.
//
// Calls wait for the server's replies (each lookup is one batch of requests,
// so a few round trips on the local socket), which is why the agent makes
// them only on a thread of their own (DisplayThread.h); a display that has
// gone makes every call a no-op and broken() true. One thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorsel::linux_platform {

struct X11Window {
    std::uint32_t id = 0;
    pid_t pid = 0;           // _NET_WM_PID; 0 when the window names none
    bool closable = false;   // takes WM_DELETE_WINDOW
    bool dialog = false;     // transient for another window
    bool minimised = false;  // iconic, or hidden by the window manager
};

class X11Windows {
  public:
    // A connection to `display` (e.g. ":0"), or null when there is none.
    // Linked only into the display module (DisplayThread.h) and tests: the
    // agent itself maps no X11 library.
    static std::unique_ptr<X11Windows> open(const std::string& display);
    virtual ~X11Windows() = default;

    // Whether an EWMH window manager runs (its check window answers).
    virtual bool managed() = 0;
    // The top-level client windows that name a pid and were made on this
    // machine: the window manager's client list, or, without one, the
    // mapped children of the root window.
    virtual std::vector<X11Window> windows() = 0;
    // Asks the window's program to close it: _NET_CLOSE_WINDOW to the root
    // window when a window manager takes it, else WM_DELETE_WINDOW to the
    // window itself. False when the window does not take the protocol.
    virtual bool close(const X11Window& window) = 0;
    // Asks the window manager to minimise the window (WM_CHANGE_STATE to
    // iconic). False without a window manager: nobody could show it again.
    virtual bool minimise(const X11Window& window) = 0;

    // True once the connection failed; it never recovers.
    virtual bool broken() const = 0;
    // The connection's socket. Shutting it down from another thread makes a
    // call stuck on a server that does not answer return, broken.
    virtual int descriptor() const = 0;
};

}  // namespace vorsel::linux_platform
