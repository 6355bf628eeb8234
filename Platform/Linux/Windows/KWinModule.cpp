// "vorsel-kwin.so": the windows of a KDE Plasma session through scripts
// loaded into KWin, loaded by the agent's windows thread only while a
// session closes apps (WindowsThread.h), which is also when the watching
// script is loaded. Only this entry point is exported; nothing may throw
// out of it. `address` is the session bus's (empty: the user's).
#include <new>

#include "Platform/Linux/Windows/KWinWindows.h"

using vorsel::linux_platform::DesktopWindows;
using vorsel::linux_platform::KWinWindows;

extern "C" __attribute__((visibility("default"))) DesktopWindows* vorselWindowsOpen(
    const char* address) {
    if (address == nullptr) return nullptr;
    try {
        return KWinWindows::open(address).release();
    } catch (const std::exception&) {
        return nullptr;
    }
}
