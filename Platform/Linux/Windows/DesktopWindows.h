// The desktop's top-level windows, whatever draws them: one interface with
// an implementation per kind of desktop (an X11 display; on Wayland, what
// the compositor offers a process of the same user: a GNOME Shell
// extension, a KWin script, the wlroots foreign toplevel protocol, sway's
// IPC). Each implementation lives in a module that the agent loads only
// while a session closes apps (WindowsThread.h), so that an idle agent maps
// none of it.
//
// Calls may wait for the desktop's answers, which is why the agent makes
// them only on the windows thread; a desktop that has gone or stops
// answering makes every call a no-op and broken() true. One thread at a
// time, except shutdown().
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace vorsel::linux_platform {

// One top-level window as the desktop knows it.
struct TopLevel {
    // Opaque and stable for the window's life within the implementation that
    // listed it (an X11 window id, a compositor's window id or handle).
    std::string id;
    // The process that made it, or 0 when the desktop does not say (a
    // wlroots toplevel, an X11 window without _NET_WM_PID or from another
    // machine).
    pid_t pid = 0;
    // X11 WM_CLASS's class, or Wayland's app_id; may be empty.
    std::string windowClass;
    // X11 WM_CLASS's instance; empty on Wayland.
    std::string instance;
    std::string title;
    // Transient for, or modal over, another window (an app's own question:
    // a save dialog).
    bool dialog = false;
    bool minimised = false;
    // A close request can reach it (X11: it takes WM_DELETE_WINDOW).
    bool closable = true;
};

class DesktopWindows {
  public:
    virtual ~DesktopWindows() = default;

    // Which desktop this is, for the log: "X11", "GNOME Shell", "KWin",
    // "wlroots", "sway".
    virtual std::string name() const = 0;

    // The top-level client windows, in the desktop's order.
    virtual std::vector<TopLevel> windows() = 0;
    // Asks the window's program to close it, as the desktop's own close
    // button would. False when the request could not be made.
    virtual bool close(const TopLevel& window) = 0;
    // Minimises the window, as the desktop's own button would. False when
    // it cannot (no window manager, a compositor that ignores the request).
    virtual bool minimise(const TopLevel& window) = 0;

    // A descriptor that becomes readable when the desktop has something to
    // tell (a window appeared), or -1 when it tells nothing; appeared() then
    // reads what it told, without waiting, and says whether a new top-level
    // window appeared since the last call.
    virtual int descriptor() const = 0;
    virtual bool appeared() = 0;

    // True once the connection failed; it never recovers.
    virtual bool broken() const = 0;
    // From any thread: makes a call stuck on a desktop that does not answer
    // return, broken.
    virtual void shutdown() = 0;
};

}  // namespace vorsel::linux_platform
