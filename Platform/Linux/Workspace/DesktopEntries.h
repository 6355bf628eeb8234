// Installed desktop entries and which of them handle a content type, read
// from the files themselves: entries under "applications" in $XDG_DATA_HOME
// and $XDG_DATA_DIRS, associations from the "mimeapps.list" files (and their
// "<desktop>-mimeapps.list" variants for $XDG_CURRENT_DESKTOP) in the config
// and data folders. Nothing is cached: each call reads what is there now.
// Any thread (reads the environment, which nothing of ours changes).
#pragma once

#include <map>
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
    // /usr/local/share:/usr/share); relative paths are ignored. With
    // $XDG_DATA_DIRS unset, the folders where flatpak and snapd export their
    // apps' entries come last ($XDG_DATA_HOME/flatpak/exports/share,
    // /var/lib/flatpak/exports/share, /var/lib/snapd/desktop): a session
    // adds them to the variable, but a program started without the
    // session's environment would not see those apps at all.
    static XdgFolders fromEnvironment();

    bool operator==(const XdgFolders&) const = default;
};

// The keys of a "[Desktop Entry]" group that this system reads.
struct DesktopEntry {
    bool application = false;  // Type=Application
    bool hidden = false;
    bool noDisplay = false;
    bool dbusActivatable = false;
    std::string tryExec;
    std::string exec;
    std::string workingFolder;  // Path=
    std::string startupWMClass;
    std::vector<std::string> mimeTypes;
    std::vector<std::string> onlyShowIn;
    std::vector<std::string> notShowIn;
};

// The entry in the file at `path`; nothing when it cannot be read or has no
// "[Desktop Entry]" group.
std::optional<DesktopEntry> readDesktopEntry(const std::string& path);

// Whether a launcher would offer `entry` at all: an application, not
// Hidden, whose TryExec and Exec programs are found.
bool entryRuns(const DesktopEntry& entry);

// Whether `entry` is meant to be shown on the desktops `desktops` (lower
// case): it runs, is not NoDisplay, and OnlyShowIn / NotShowIn let one of
// those desktops show it (without a current desktop, an OnlyShowIn entry is
// not shown).
bool entryShown(const DesktopEntry& entry, const std::vector<std::string>& desktops);

// The absolute path, symbolic links resolved, of the file `program` runs: as
// written when it holds a '/', else the first executable file of that name
// in $PATH (or /usr/local/bin:/usr/bin:/bin). Nothing when there is none.
std::optional<std::string> resolveProgram(const std::string& program);

// An installed entry: the file and the rank of its data folder (0 first).
struct InstalledEntry {
    std::string path;
    std::size_t rank = 0;
};

// Every installed entry by desktop file ID (without ".desktop"), the first
// data folder's winning. When `walked` is given, every folder read is added
// to it.
std::map<std::string, InstalledEntry> installedEntries(const XdgFolders& folders,
                                                       std::vector<std::string>* walked = nullptr);

// Whether an entry is installed with the desktop file ID `id` (with or without
// ".desktop") and meant to be shown: the first entry of that ID in the data
// folders is shown (entryShown) on the folders' desktops.
bool isShownEntry(const std::string& id);
bool isShownEntry(const std::string& id, const XdgFolders& folders);

// Whether the entry in the file at `path` is shown on the current desktops.
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
