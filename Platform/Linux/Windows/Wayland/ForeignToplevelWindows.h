// The windows of a wlroots compositor (labwc, Hyprland, wayfire, river,
// sway) through its foreign toplevel management protocol, which it offers
// to any client of the same user: each top-level window with its app id,
// title and state, and a dock's requests to close or minimise it. The
// protocol names no process: a window's pid is 0, and the agent matches it
// to an app by its app id (windowClass), through the desktop entries.
//
// Every wait on the compositor is bounded (kAnswerLimit): one that stops
// answering leaves the connection broken rather than the windows thread
// stuck. Linked only into "vorsel-wayland.so" and tests. One thread at a
// time, except shutdown().
#pragma once

#include <memory>
#include <string>

#include "Platform/Linux/Windows/DesktopWindows.h"

namespace vorsel::linux_platform {

class ForeignToplevelWindows {
  public:
    // How long a round trip may take before the compositor counts as gone.
    static constexpr int kAnswerLimitMs = 2000;

    // A connection to the Wayland display `display` (a name in
    // XDG_RUNTIME_DIR or a path, as WAYLAND_DISPLAY holds), or null when
    // there is none or its compositor does not offer the protocol.
    static std::unique_ptr<DesktopWindows> open(const std::string& display);
};

}  // namespace vorsel::linux_platform
