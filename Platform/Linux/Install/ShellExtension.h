// The Vorsel windows extension of GNOME Shell (packaging/gnome-shell) in the
// user's settings: "Turn on" adds it to org.gnome.shell's
// enabled-extensions, "Turn off" takes it out, through the gsettings
// program, as the settings of any GNOME desktop are changed from outside
// it. A running shell loads it at once if it knew it when it started (else
// at the next login). The extension is an extra: where GNOME Shell's
// settings are not installed this does nothing, and a failure only leaves
// apps asked the way they are without it. Blocking (waits for gsettings, a
// few seconds at most): never on the main thread. Any thread.
#pragma once

#include <optional>
#include <string>

namespace vorsel::linux_platform {

// Both of the extension's uuids: one for shells that load extensions as
// scripts, one for those that load them as modules.
inline constexpr const char* kShellExtensions[] = {"vorsel-windows@ordwyn.com",
                                                   "vorsel-windows-modules@ordwyn.com"};

// `current` (enabled-extensions as gsettings prints it: "['a', 'b']", or
// "@as []") with the extension added or taken out, as gsettings takes it.
std::string withShellExtension(const std::string& current, bool on);

// Turns the extension on or off; what went wrong, or nothing.
std::optional<std::string> switchShellExtension(bool on);

}  // namespace vorsel::linux_platform
