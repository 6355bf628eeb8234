// "vorsel-gnome.so": the windows of a GNOME Shell session through the
// extension Vorsel installs, loaded by the agent's windows thread only while
// a session closes apps (WindowsThread.h). Only this entry point is
// exported; nothing may throw out of it. `address` is the session bus's
// (empty: the user's).
#include <new>

#include "Platform/Linux/Windows/GnomeShellWindows.h"

using vorsel::linux_platform::DesktopWindows;
using vorsel::linux_platform::GnomeShellWindows;

extern "C" __attribute__((visibility("default"))) DesktopWindows* vorselWindowsOpen(
    const char* address) {
    if (address == nullptr) return nullptr;
    try {
        return GnomeShellWindows::open(address).release();
    } catch (const std::exception&) {
        return nullptr;
    }
}
