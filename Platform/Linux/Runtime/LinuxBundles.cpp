#include "Platform/Linux/Runtime/LinuxBundles.h"

#include <filesystem>

namespace vorsel::linux_platform {

namespace {

std::string runningExecutable() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

}  // namespace

LinuxBundles::LinuxBundles() : LinuxBundles(runningExecutable()) {}

LinuxBundles::LinuxBundles(const std::string& executable) : location(bundleAround(executable)) {
    if (location) info = InfoPlist::load(infoPlistPath(*location));
}

std::optional<std::string> LinuxBundles::mainIdentifier() const {
    return infoText("CFBundleIdentifier");
}

std::optional<std::string> LinuxBundles::infoText(const std::string& key) const {
    return info ? info->text(key) : std::nullopt;
}

}  // namespace vorsel::linux_platform
