#include "Platform/Linux/Signing/LinuxCodeSigning.h"

#include <sys/stat.h>

#include "Platform/Linux/Signing/BundleValidation.h"

namespace vorsel::linux_platform {

LinuxCodeSigning::LinuxCodeSigning(std::string anchorsPath)
    : anchorsPath_(std::move(anchorsPath)) {}

std::optional<TimePoint> LinuxCodeSigning::modificationDate(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<double>(info.st_mtim.tv_sec) - kReferenceSinceUnixEpoch +
           static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
}

bool LinuxCodeSigning::satisfies(const std::string& bundlePath, const std::string& requirement) {
    return validateAgainst(bundlePath, anchorsPath_, requirement, nullptr).has_value();
}

}  // namespace vorsel::linux_platform
