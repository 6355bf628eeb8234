#include "Platform/Linux/Workspace/SystemApps.h"

namespace vorsel::linux_platform {

// The desktops' own tools for reaching files, settings, software and disks.
// A session that closes "every app but…" must never take these away: the
// user needs them to get at their work, to change the system, to install or
// repair, just as the fixed set keeps the platform's own shell apps open.
// Desktop shells and panels are not listed because they never carry an app
// identity (they run outside "app-…" units and outside bundles).
const std::set<std::string>& linuxSystemApps() {
    static const std::set<std::string> apps{
        // File managers
        "org.gnome.Nautilus",
        "nautilus",
        "org.kde.dolphin",
        "thunar",
        "Thunar",
        "org.xfce.thunar",
        "nemo",
        "caja",
        "caja-browser",
        "pcmanfm",
        "pcmanfm-qt",
        "io.elementary.files",
        // System settings
        "org.gnome.Settings",
        "gnome-control-center",
        "systemsettings",
        "org.kde.systemsettings",
        "xfce-settings-manager",
        "xfce4-settings-manager",
        "org.xfce.settings.manager",
        "cinnamon-settings",
        "mate-control-center",
        "lxqt-config",
        "io.elementary.settings",
        "budgie-control-center",
        // Software centres and updaters
        "org.gnome.Software",
        "gnome-software",
        "org.kde.discover",
        "discover",
        "mintinstall",
        "mintupdate",
        "update-manager",
        "io.elementary.appcenter",
        "org.gnome.PackageUpdater",
        // Disk utilities
        "org.gnome.DiskUtility",
        "gnome-disks",
        "org.kde.partitionmanager",
        "gparted",
    };
    return apps;
}

}  // namespace vorsel::linux_platform
