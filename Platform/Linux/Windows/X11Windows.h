// The top-level windows of an X11 display, as one kind of DesktopWindows,
// and the two requests a desktop makes of them: close (the window's own
// WM_DELETE_WINDOW protocol, through the window manager when one runs) and
// minimise. Nothing here kills or unmaps another program's window: a window
// that does not take the delete protocol is left alone, since a window
// manager would answer a close request for it by cutting the program's
// connection.
//
// New windows are heard of through the root window: a change of the window
// manager's _NET_CLIENT_LIST, or, without a window manager, a top-level
// window being mapped. appeared() says "something may have appeared" for
// either (a window that went away also changes the list): the windows
// thread looks at the list to tell.
//
// Calls wait for the server's replies (each lookup is one batch of requests,
// so a few round trips on the local socket), which is why the agent makes
// them only on the windows thread (WindowsThread.h). One thread at a time,
// except shutdown().
#pragma once

#include <memory>
#include <string>

#include "Platform/Linux/Windows/DesktopWindows.h"

namespace vorsel::linux_platform {

class X11Windows : public DesktopWindows {
  public:
    // A connection to `display` (e.g. ":0"), or null when there is none.
    // Linked only into the X11 module ("vorsel-x11.so") and tests: the agent
    // itself maps no X11 library.
    static std::unique_ptr<X11Windows> open(const std::string& display);

    // Whether an EWMH window manager runs (its check window answers).
    virtual bool managed() = 0;
    // windows(): the window manager's client list, or, without one, the
    // mapped children of the root window; windows made on another machine
    // are left out, and pid is _NET_WM_PID (0 when the window names none).
    // close(): _NET_CLOSE_WINDOW to the root window when a window manager
    // takes it, else WM_DELETE_WINDOW to the window itself; false when the
    // window does not take the protocol. minimise(): WM_CHANGE_STATE to
    // iconic; false without a window manager, since nobody could show it
    // again.
};

}  // namespace vorsel::linux_platform
