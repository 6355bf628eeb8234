// Which kinds of desktop windows this session offers, and the module that
// reaches each: one module per kind ("vorsel-x11.so" for an X11 display),
// each exporting the same C entry point, so that the windows thread loads
// whichever the session offers without knowing any of them.
//
// To add a kind: a module whose entry point opens it, and a row in the table
// of WindowsModules.cpp that says when the session offers it and what to
// pass the entry point. Any thread (reads the environment only).
#pragma once

#include <string>
#include <vector>

#include "Platform/Linux/Windows/DesktopWindows.h"

namespace vorsel::linux_platform {

// The entry point every windows module exports: C linkage, never throws;
// the desktop at `address` (what the table says: a DISPLAY, a
// WAYLAND_DISPLAY), to be deleted through its virtual destructor while the
// module is loaded, or null when it cannot be reached.
extern "C" {
using VorselWindowsOpen = DesktopWindows* (*)(const char* address);
}
inline constexpr const char* kWindowsOpenEntry = "vorselWindowsOpen";

// One kind the session offers: the module's file and what to open.
struct WindowsChoice {
    std::string kind;     // for the log: "X11"
    std::string module;   // the module's path
    std::string address;  // passed to the entry point
    bool operator==(const WindowsChoice&) const = default;
};

// The folder of the agent's modules: beside the running executable.
std::string windowsModuleFolder();

// What the environment offers now, in the order they are asked (a window
// listed by several is taken from the first); modules in `folder` (empty:
// windowsModuleFolder()).
std::vector<WindowsChoice> windowsOffered(const std::string& folder = {});

// Every module's path in `folder`, whatever the session offers (for the
// agent's check that its installation is whole).
std::vector<std::string> windowsModules(const std::string& folder = {});

}  // namespace vorsel::linux_platform
