// The desktop convention for systemd units that hold apps:
// "app[-<launcher>]-<appid>[@<random>].service" and
// "app[-<launcher>]-<appid>-<random>.scope", where a '-' inside a piece is
// escaped as "\x2d"; the units dbus-broker starts activated services in,
// "dbus-:<activator>-<bus name>@<n>.service"; and snapd's
// "snap.<snap>.<app>-<uuid>.scope", whose app's entry is "<snap>_<app>".
// Pure text functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorsel::linux_platform {

// The app ID (a desktop file ID without ".desktop") a unit name carries, or
// nothing when the name does not follow the convention.
std::optional<std::string> appIdOfUnit(std::string_view unit);

// The innermost unit on the unified-hierarchy ("0::") line of a
// /proc/<pid>/cgroup text.
struct CgroupUnit {
    std::string path;                  // the cgroup path up to that unit
    std::optional<std::string> appId;  // when the unit is an app's
    // Inside "session.slice": the desktop session's own processes (shell,
    // panels, portals), which are never apps.
    bool sessionSlice = false;
};
std::optional<CgroupUnit> unitOfCgroup(std::string_view cgroupText);

// The app ID of the innermost app unit on the unified-hierarchy ("0::") line
// of a /proc/<pid>/cgroup text, or nothing.
std::optional<std::string> appIdOfCgroup(std::string_view cgroupText);

// `text` with every '-', '\\' and byte outside [A-Za-z0-9_.:] written as
// "\xNN", so that it can stand as one piece of a unit name.
std::string escapeUnitPiece(std::string_view text);

}  // namespace vorsel::linux_platform
