// "vorsel-x11.so": the xcb libraries and the X11 windows of a display,
// loaded by the agent's display thread only while a session closes apps on
// a display (DisplayThread.h). Only this entry point is exported; nothing
// may throw out of it.
#include <new>

#include "Platform/Linux/Workspace/DisplayThread.h"
#include "Platform/Linux/Workspace/X11Windows.h"

using vorsel::linux_platform::X11Windows;

extern "C" __attribute__((visibility("default"))) X11Windows* vorselX11Open(const char* display) {
    if (display == nullptr) return nullptr;
    try {
        return X11Windows::open(display).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
