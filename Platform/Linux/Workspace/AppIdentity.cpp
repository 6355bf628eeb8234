#include "Platform/Linux/Workspace/AppIdentity.h"

#include <charconv>
#include <climits>
#include <cstdlib>

#include "Platform/Linux/InfoPlist.h"
#include "Platform/Linux/Workspace/AppUnit.h"
#include "Platform/Linux/Workspace/DesktopEntries.h"
#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {
namespace {

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return path;
    return buffer;
}

const std::string kLaunchedFile = "GIO_LAUNCHED_DESKTOP_FILE";
const std::string kLaunchedPid = "GIO_LAUNCHED_DESKTOP_FILE_PID";

std::optional<AppIdentity> identityOfLaunchedFile(pid_t pid) {
    auto values = readEnviron(pid, {kLaunchedFile, kLaunchedPid});
    auto file = values.find(kLaunchedFile);
    auto named = values.find(kLaunchedPid);
    if (file == values.end() || named == values.end()) return std::nullopt;
    // The variables are inherited by everything the app starts; only the
    // process the launcher itself started carries its own pid there.
    pid_t namedPid = 0;
    const std::string& text = named->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), namedPid);
    if (error != std::errc() || end != text.data() + text.size() || namedPid != pid)
        return std::nullopt;
    auto id = desktopIdOfPath(file->second);
    if (!id) return std::nullopt;
    return AppIdentity{
        *id,
        isShownEntryFile(file->second) ? ActivationPolicy::regular : ActivationPolicy::accessory,
        std::nullopt};
}

std::optional<AppIdentity> identityOfUnit(pid_t pid) {
    auto cgroup = readCgroup(pid);
    if (!cgroup) return std::nullopt;
    auto id = appIdOfCgroup(*cgroup);
    if (!id) return std::nullopt;
    return AppIdentity{*id,
                       isShownEntry(*id) ? ActivationPolicy::regular : ActivationPolicy::accessory,
                       std::nullopt};
}

}  // namespace

std::optional<AppIdentity> identityOfBundle(const std::string& bundle) {
    auto info = InfoPlist::load(infoPlistPath(bundle));
    if (!info) return std::nullopt;
    auto id = info->text("CFBundleIdentifier");
    if (!id || id->empty()) return std::nullopt;
    ActivationPolicy policy = ActivationPolicy::regular;
    if (info->boolean("LSBackgroundOnly").value_or(false)) {
        policy = ActivationPolicy::prohibited;
    } else if (info->boolean("LSUIElement").value_or(false)) {
        policy = ActivationPolicy::accessory;
    }
    return AppIdentity{*id, policy, bundle};
}

std::optional<AppIdentity> identityOfProcess(pid_t pid) {
    if (auto exe = readExe(pid)) {
        if (auto bundle = bundleAround(*exe)) {
            // Resolved once here, where identities are cached, so locations
            // compare as canonical paths without a lookup on every pass.
            if (auto identity = identityOfBundle(resolved(*bundle))) return identity;
        }
    }
    if (auto identity = identityOfLaunchedFile(pid)) return identity;
    return identityOfUnit(pid);
}

}  // namespace vorsel::linux_platform
