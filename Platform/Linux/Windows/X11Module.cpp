// "vorsel-x11.so": the xcb libraries and the X11 windows of a display,
// loaded by the agent's windows thread only while a session closes apps
// (WindowsThread.h). Only this entry point is exported; nothing may throw
// out of it.
#include <new>

#include "Platform/Linux/Windows/WindowsModules.h"
#include "Platform/Linux/Windows/X11Windows.h"

using vorsel::linux_platform::DesktopWindows;
using vorsel::linux_platform::X11Windows;

extern "C" __attribute__((visibility("default"))) DesktopWindows* vorselWindowsOpen(
    const char* display) {
    if (display == nullptr) return nullptr;
    try {
        return X11Windows::open(display).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
