// The windows of sway through its IPC socket (SWAYSOCK), which knows more
// than the foreign toplevel protocol: each window's pid, and a way to hide
// one (sway ignores a request to minimise; its scratchpad hides instead).
//
// Two connections: one for requests and their replies (the window tree,
// commands), one subscribed to window events, whose socket is descriptor().
// Only native Wayland windows are listed: XWayland's are the X11 display's,
// which the agent reaches on its own. sway does not say which window is
// another's dialog; a floating window of a process that also has a tiled
// one is taken for its question to the user.
//
// Every wait on sway is bounded (kAnswerLimitMs): one that stops answering
// leaves the connection broken rather than the windows thread stuck. Linked
// only into "vorsel-wayland.so" and tests. One thread at a time, except
// shutdown().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Platform/Linux/Windows/DesktopWindows.h"

namespace vorsel::linux_platform {

class SwayWindows {
  public:
    static constexpr int kAnswerLimitMs = 2000;

    // The message types of the IPC protocol this client sends.
    enum class Message : std::uint32_t { runCommand = 0, subscribe = 2, getTree = 4 };

    // A connection to the IPC socket at `path`, or null when nothing
    // answers there as sway does.
    static std::unique_ptr<DesktopWindows> open(const std::string& path);

    // One message as the socket carries it: "i3-ipc", the payload's length
    // and the type, in the machine's byte order, then the payload.
    static std::string frame(Message type, std::string_view payload);
};

}  // namespace vorsel::linux_platform
