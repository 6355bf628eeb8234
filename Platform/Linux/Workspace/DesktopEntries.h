// Installed desktop entries and which of them handle a content type, read
// from the files themselves: entries under "applications" in $XDG_DATA_HOME
// and $XDG_DATA_DIRS, associations from the "mimeapps.list" files (and their
// "<desktop>-mimeapps.list" variants for $XDG_CURRENT_DESKTOP) in the config
// and data folders. Nothing is cached: each call reads what is there now.
// Any thread (reads the environment, which nothing of ours changes).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorsel::linux_platform {

// The folders to look in, most important first.
struct XdgFolders {
    std::vector<std::string> config;    // $XDG_CONFIG_HOME, then $XDG_CONFIG_DIRS
    std::vector<std::string> data;      // $XDG_DATA_HOME, then $XDG_DATA_DIRS
    std::vector<std::string> desktops;  // $XDG_CURRENT_DESKTOP, lowercased

    // From the environment, with the base-directory defaults for unset or
    // empty variables ($HOME/.config, /etc/xdg, $HOME/.local/share,
    // /usr/local/share:/usr/share); relative paths are ignored.
    static XdgFolders fromEnvironment();
};

// Whether an entry is installed with the desktop file ID `id` (with or without
// ".desktop") and meant to be shown: the first entry of that ID in the data
// folders is an application that can run (not Hidden, its TryExec and Exec
// programs found) and is not NoDisplay.
bool isShownEntry(const std::string& id);
bool isShownEntry(const std::string& id, const XdgFolders& folders);

// Whether the entry in the file at `path` is such an entry.
bool isShownEntryFile(const std::string& path);

// The path of the entry that the desktop file ID `id` (with or without
// ".desktop") names: the first data folder's "applications/<id>.desktop",
// where each '-' of the ID may also stand for a subfolder. Nothing when none.
std::optional<std::string> entryPath(const std::string& id, const XdgFolders& folders);

// The desktop file ID, without ".desktop", of an entry at `path`: the part
// after the last "/applications/" with '/' turned into '-', else the file
// name. Nothing when the name does not end in ".desktop".
std::optional<std::string> desktopIdOfPath(const std::string& path);

// Desktop file IDs, without ".desktop", of the apps that handle `contentType`
// (e.g. "x-scheme-handler/https", compared without regard to case): first
// the default app, then the added associations of the mimeapps.list files,
// then the entries whose MimeType lists it (by data folder, then by ID),
// leaving out the removed associations and entries that cannot run. No
// parent types are consulted.
std::vector<std::string> handlersOf(const std::string& contentType);
std::vector<std::string> handlersOf(const std::string& contentType, const XdgFolders& folders);

}  // namespace vorsel::linux_platform
