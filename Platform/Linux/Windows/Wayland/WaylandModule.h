// "vorsel-wayland.so": what a wlroots compositor offers (sway's IPC, or the
// foreign toplevel protocol through libwayland-client), loaded by the
// agent's windows thread only while a session closes apps on a Wayland
// desktop, so that the agent maps no Wayland library the rest of the time.
#pragma once

#include "Platform/Linux/Windows/DesktopWindows.h"

namespace vorsel::linux_platform {

// The module's entry point: C linkage, never throws. sway's IPC when
// `swaySocket` (SWAYSOCK) is given and answers, else the foreign toplevel
// protocol on `waylandDisplay` (WAYLAND_DISPLAY) when its compositor offers
// it; either may be null or empty. The result is to be deleted through its
// virtual destructor while the module is loaded; null when neither serves.
extern "C" {
using VorselWaylandOpen = DesktopWindows* (*)(const char* waylandDisplay, const char* swaySocket);
}
inline constexpr const char* kWaylandOpenEntry = "vorselWaylandOpen";
inline constexpr const char* kWaylandModule = "vorsel-wayland.so";

}  // namespace vorsel::linux_platform
