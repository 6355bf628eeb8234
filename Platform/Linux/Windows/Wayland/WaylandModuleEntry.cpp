// The entry point of "vorsel-wayland.so" (WaylandModule.h). Only this is
// exported; nothing may throw out of it.
#include <new>

#include "Platform/Linux/Windows/Wayland/ForeignToplevelWindows.h"
#include "Platform/Linux/Windows/Wayland/SwayWindows.h"
#include "Platform/Linux/Windows/Wayland/WaylandModule.h"

using vorsel::linux_platform::DesktopWindows;
using vorsel::linux_platform::ForeignToplevelWindows;
using vorsel::linux_platform::SwayWindows;

extern "C" __attribute__((visibility("default"))) DesktopWindows* vorselWaylandOpen(
    const char* waylandDisplay, const char* swaySocket) {
    try {
        // sway knows each window's pid and can hide one: it comes first.
        if (swaySocket != nullptr && *swaySocket != '\0') {
            if (auto windows = SwayWindows::open(swaySocket)) return windows.release();
        }
        if (waylandDisplay != nullptr && *waylandDisplay != '\0')
            return ForeignToplevelWindows::open(waylandDisplay).release();
    } catch (const std::exception&) {
        // Out of memory, or a thread-unsafe surprise in a library: no
        // windows, as without a compositor.
    }
    return nullptr;
}
