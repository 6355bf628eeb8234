// Which app a process belongs to, worked out from its /proc files, in this
// order:
//  1. the app bundle around its executable;
//  2. the desktop file a GIO launcher named in GIO_LAUNCHED_DESKTOP_FILE,
//     when GIO_LAUNCHED_DESKTOP_FILE_PID names this very process (both are
//     inherited by whatever the app starts; "gio launch" sets only the pid,
//     which names no entry, so such a process is recognised by the steps
//     below);
//  3. its systemd app unit (AppUnit.h), when it is the unit's first process:
//     one whose parent runs in the same unit is whatever its parent is (a
//     terminal's unit holds the shell and what is typed in it);
//  4. for a process the session bus started (DBUS_STARTER_BUS_TYPE), the
//     DBusActivatable entry whose service file runs its executable;
//  5. the installed entries whose programs are its executable, or the script
//     its interpreter runs (AppIndex); for a process whose executable cannot
//     be read (one that made itself non-dumpable), the program its command
//     line names;
//  6. its window (identityOfWindow), worked out by the process table from
//     what the windows thread last saw, for a process none of the above
//     names, or only a unit whose ID names no entry; what such a process
//     starts belongs to the same app.
// A process in the desktop session's own slice ("session.slice") has no
// identity, unless the session bus, which runs there, started it: then only
// steps 4 and 5 count. Main thread only (the entries' index is shared).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

struct AppIdentity {
    std::string bundleID;
    ActivationPolicy policy = ActivationPolicy::regular;
    std::optional<std::string> location;  // the bundle, when the app has one
    // Other installed entries that name the same program: the process may be
    // any of them, and bundleID is only the likeliest (see identityOfProcess).
    std::vector<std::string> aliases;
    // Taken from the app unit the process shares with its parent: it belongs
    // to its parent's app whatever that is, and stands as an app of its own
    // only once its parent is gone.
    bool inherited = false;
    // Named only by an app unit whose ID no installed entry has (a program
    // that puts itself into a scope of its own name, as Chromium does): a
    // window whose class names an entry names it better.
    bool withoutEntry = false;

    bool operator==(const AppIdentity&) const = default;
    // Whether `id` names this app, as its identifier or one of its aliases.
    bool names(const std::string& id) const;
};

// The identity that a bundle's Info.plist gives an app at `bundle`, or
// nothing when it has no readable Info.plist with a CFBundleIdentifier.
std::optional<AppIdentity> identityOfBundle(const std::string& bundle);

// The identity of the running process `pid`, or nothing when it has none
// (or is gone, or is not ours to read). An entry names a process by its
// program only when every argument the entry always passes appears in the
// process's command line. When several entries name it, the one with the
// most fixed arguments is the identifier, then one that is shown, then the
// one of the first data folder, then the first ID; the rest are its aliases.
// The policy is regular when the identifying entry is shown, else accessory.
std::optional<AppIdentity> identityOfProcess(pid_t pid);

// The identity a window of this class and instance gives its process
// (AppIndex::byWindowClass), or nothing when its class names no entry.
std::optional<AppIdentity> identityOfWindow(const std::string& windowClass,
                                            const std::string& instance);

}  // namespace vorsel::linux_platform
