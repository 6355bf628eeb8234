// A throwaway headless Wayland desktop for tests that need a compositor's
// windows: GNOME Shell (`--headless --wayland --virtual-monitor`) or KWin
// (`--virtual`), each with XWayland for X11 apps. Must run inside a user
// session (scripts/with-user-session.sh): both take the session's bus and
// runtime folder. GNOME Shell also wants a system bus; it gets a private
// one of its own. KWin runs from a copy of its program, since the packaged
// one carries a file capability that a sandbox may refuse to execute.
//
// Everything started here is a child of the test, ended by pid when the
// object goes; apps reach the compositor only through the WAYLAND_DISPLAY
// and DISPLAY they are given. Test code only; one thread at a time.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace vorsel::testing {

class HeadlessCompositor {
  public:
    enum class Kind { gnomeShell, kwin };

    // For GNOME Shell: extensions to enable for the user before the shell
    // starts (installed in XDG_DATA_HOME by the caller).
    HeadlessCompositor(Kind kind, std::vector<std::string> extensions = {});
    ~HeadlessCompositor();
    HeadlessCompositor(const HeadlessCompositor&) = delete;
    HeadlessCompositor& operator=(const HeadlessCompositor&) = delete;

    // Whether it serves (its bus name answers and its socket is there);
    // problem() says what is not.
    bool ready() const { return problemText.empty(); }
    const std::string& problem() const { return problemText; }
    pid_t pid() const { return compositor; }

    // What a program of this desktop needs in its environment:
    // WAYLAND_DISPLAY, DISPLAY (XWayland), XAUTHORITY where the compositor
    // wants one, XDG_SESSION_TYPE and XDG_CURRENT_DESKTOP.
    std::map<std::string, std::string> environment() const { return variables; }
    // What the compositor wrote to its standard error, for failure messages.
    std::string log() const;

    // Installs Vorsel's GNOME Shell extension for the user (in
    // XDG_DATA_HOME) from its sources in `source`, made as the install
    // makes it; its uuid, or empty when it could not.
    static std::string installExtension(const std::string& source);

    // Why this desktop cannot run on this machine (a program missing, not
    // in a user session), or empty when it can.
    static std::string unavailable(Kind kind);

  private:
    std::string start(const std::vector<std::string>& extensions);
    std::string startGnomeShell(const std::vector<std::string>& extensions);
    std::string startKWin();
    // Finds the XWayland the compositor started: its display and authority.
    bool xwayland();

    Kind kind;
    std::string folder;
    pid_t compositor = -1;
    pid_t systemBus = -1;
    std::map<std::string, std::string> variables;
    std::string problemText;
};

}  // namespace vorsel::testing
