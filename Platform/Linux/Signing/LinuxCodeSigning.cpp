#include "Platform/Linux/Signing/LinuxCodeSigning.h"

#include "Platform/Linux/Signing/BundleValidation.h"
#include "Platform/Linux/Signing/ModificationDate.h"

namespace vorsel::linux_platform {

LinuxCodeSigning::LinuxCodeSigning(std::string anchorsPath) : anchorsPath(std::move(anchorsPath)) {}

std::optional<TimePoint> LinuxCodeSigning::modificationDate(const std::string& path) {
    return modificationDateOf(path);
}

bool LinuxCodeSigning::satisfies(const std::string& bundlePath, const std::string& requirement) {
    return validateAgainst(bundlePath, anchorsPath, requirement, nullptr).has_value();
}

}  // namespace vorsel::linux_platform
