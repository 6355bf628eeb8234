// Installed desktop entries, through GIO (which reads $XDG_DATA_HOME and
// $XDG_DATA_DIRS and, for handlers of a type, their mimeinfo.cache). GIO keeps
// its own cache and refreshes it from file monitors that the main loop runs.
// Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorsel::linux_platform {

// Whether an entry is installed with the desktop file ID `id` (with or without
// ".desktop") and meant to be shown (not NoDisplay, not Hidden).
bool isShownEntry(const std::string& id);

// Whether the entry in the file at `path` exists and is meant to be shown.
bool isShownEntryFile(const std::string& path);

// The desktop file ID, without ".desktop", of an entry at `path`: the part
// after the last "/applications/" with '/' turned into '-', else the file
// name. Nothing when the name does not end in ".desktop".
std::optional<std::string> desktopIdOfPath(const std::string& path);

// Desktop file IDs, without ".desktop", of the apps that handle `contentType`
// (e.g. "x-scheme-handler/https"), in GIO's order.
std::vector<std::string> handlersOf(const std::string& contentType);

}  // namespace vorsel::linux_platform
