// A file's modification time on the reference clock, with its fractions:
// what both code-signing adapters report as a seal's date. Any thread.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "Platform/Time.h"

namespace vorsel::linux_platform {

inline std::optional<TimePoint> modificationDateOf(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<double>(info.st_mtim.tv_sec) - kReferenceSinceUnixEpoch +
           static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
}

}  // namespace vorsel::linux_platform
