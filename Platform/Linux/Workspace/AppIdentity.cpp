#include "Platform/Linux/Workspace/AppIdentity.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>

#include "Platform/Linux/Runtime/InfoPlist.h"
#include "Platform/Linux/Workspace/AppIndex.h"
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
// Set by the session bus in the environment of the services it starts.
const std::string kStarterBus = "DBUS_STARTER_BUS_TYPE";

ActivationPolicy policyOf(bool shown) {
    return shown ? ActivationPolicy::regular : ActivationPolicy::accessory;
}

std::optional<AppIdentity> identityOfLaunchedFile(pid_t pid,
                                                  const std::map<std::string, std::string>& env) {
    auto file = env.find(kLaunchedFile);
    auto named = env.find(kLaunchedPid);
    if (file == env.end() || named == env.end()) return std::nullopt;
    // The variables are inherited by everything the app starts; only the
    // process the launcher itself started carries its own pid there.
    pid_t namedPid = 0;
    const std::string& text = named->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), namedPid);
    if (error != std::errc() || end != text.data() + text.size() || namedPid != pid)
        return std::nullopt;
    auto id = desktopIdOfPath(file->second);
    if (!id) return std::nullopt;
    return AppIdentity{*id, policyOf(isShownEntryFile(file->second)), std::nullopt, {}, false};
}

// The unit's identity, and whether the process only shares it with its
// parent.
std::optional<AppIdentity> identityOfUnit(pid_t pid, const CgroupUnit& unit) {
    if (!unit.appId) return std::nullopt;
    const AppIndex::Entry* entry = AppIndex::current().entry(*unit.appId);
    AppIdentity identity{
        *unit.appId, policyOf(entry != nullptr && entry->shown), std::nullopt, {}, false};
    identity.withoutEntry = entry == nullptr;
    if (auto stat = readStat(pid)) {
        if (auto text = readCgroup(stat->ppid)) {
            auto parent = unitOfCgroup(*text);
            identity.inherited = parent && parent->path == unit.path;
        }
    }
    return identity;
}

bool contains(const std::vector<std::string>& words, const std::string& word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

// The identity the claims give a process with the arguments `args`.
std::optional<AppIdentity> identityOfClaims(std::vector<const AppIndex::Claim*> claims,
                                            const std::vector<std::string>& args) {
    // An entry names the process only when its command line holds every
    // argument the entry always passes: one program serves many entries
    // ("flatpak run <app>", "python3 -m <tool>", a panel whose only entry is
    // "panel --preferences"), and the program alone would make the desktop's
    // own processes, and every other use of an interpreter, those apps.
    std::erase_if(claims, [&](const AppIndex::Claim* claim) {
        return !std::all_of(claim->fixed.begin(), claim->fixed.end(),
                            [&](const std::string& fixed) { return contains(args, fixed); });
    });
    if (claims.empty()) return std::nullopt;
    std::stable_sort(claims.begin(), claims.end(), [](const auto* a, const auto* b) {
        if (a->fixed.size() != b->fixed.size()) return a->fixed.size() > b->fixed.size();
        if (a->entry->shown != b->entry->shown) return a->entry->shown;
        if (a->entry->rank != b->entry->rank) return a->entry->rank < b->entry->rank;
        return a->entry->id < b->entry->id;
    });
    const AppIndex::Entry& first = *claims.front()->entry;
    AppIdentity identity{first.id, policyOf(first.shown), std::nullopt, {}, false};
    for (const auto* claim : claims) {
        const std::string& id = claim->entry->id;
        if (id != identity.bundleID && !contains(identity.aliases, id))
            identity.aliases.push_back(id);
    }
    return identity;
}

// The script an interpreter runs: its first argument that is no option.
std::optional<std::string> scriptArgument(pid_t pid, const std::vector<std::string>& args) {
    for (const auto& arg : args) {
        if (arg.starts_with('-')) continue;
        return resolveForProcess(pid, arg);
    }
    return std::nullopt;
}

std::optional<AppIdentity> identityOfExecutable(pid_t pid, const std::string& exe,
                                                bool startedByBus) {
    AppIndex& index = AppIndex::current();
    std::vector<std::string> args = readCmdline(pid);
    if (!args.empty()) args.erase(args.begin());
    const auto pointers = [](const std::vector<AppIndex::Claim>& claims) {
        std::vector<const AppIndex::Claim*> out;
        for (const auto& claim : claims) out.push_back(&claim);
        return out;
    };
    if (startedByBus) {
        if (auto identity = identityOfClaims(pointers(index.byService(exe)), args)) return identity;
    }
    // A script's own entry says more than its interpreter's.
    if (auto script = scriptArgument(pid, args)) {
        std::vector<const AppIndex::Claim*> claims;
        for (const auto& claim : index.byScript(*script))
            if (claim.interpreter == exe) claims.push_back(&claim.claim);
        if (auto identity = identityOfClaims(std::move(claims), args)) return identity;
    }
    return identityOfClaims(pointers(index.byProgram(exe)), args);
}

// A process whose executable cannot be read: the program its command line
// runs, found as a launcher finds it.
std::optional<AppIdentity> identityOfCommandLine(pid_t pid) {
    std::vector<std::string> args = readCmdline(pid);
    if (args.empty() || args.front().empty()) return std::nullopt;
    const std::string program = args.front();
    args.erase(args.begin());
    // A relative path with a folder would need the process's working
    // folder, which such a process does not show either.
    if (program.front() != '/' && program.find('/') != std::string::npos) return std::nullopt;
    const auto path = resolveProgram(program);
    if (!path) return std::nullopt;
    std::vector<const AppIndex::Claim*> claims;
    for (const auto& claim : AppIndex::current().byProgram(*path)) claims.push_back(&claim);
    return identityOfClaims(std::move(claims), args);
}

}  // namespace

std::optional<AppIdentity> identityOfWindow(const std::string& windowClass,
                                            const std::string& instance) {
    const AppIndex::Entry* entry = AppIndex::current().byWindowClass(windowClass, instance);
    if (entry == nullptr) return std::nullopt;
    return AppIdentity{entry->id, policyOf(entry->shown), std::nullopt, {}, false};
}

bool AppIdentity::names(const std::string& id) const {
    return bundleID == id || std::find(aliases.begin(), aliases.end(), id) != aliases.end();
}

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
    return AppIdentity{*id, policy, bundle, {}, false};
}

std::optional<AppIdentity> identityOfProcess(pid_t pid) {
    const auto exe = readExe(pid);
    if (exe) {
        if (auto bundle = bundleAround(*exe)) {
            // Resolved once here, where identities are cached, so locations
            // compare as canonical paths without a lookup on every pass.
            if (auto identity = identityOfBundle(resolved(*bundle))) return identity;
        }
    }
    std::optional<CgroupUnit> unit;
    if (auto text = readCgroup(pid)) unit = unitOfCgroup(*text);
    const auto env = readEnviron(pid, {kLaunchedFile, kLaunchedPid, kStarterBus});
    const auto starter = env.find(kStarterBus);
    const bool startedByBus = starter != env.end() && starter->second == "session";
    if (unit && unit->sessionSlice) {
        // The desktop's own processes are never apps, whatever they run. The
        // session bus runs there too, and what it starts stays in its unit:
        // of that, only what it runs for an installed entry is an app.
        if (!startedByBus || !exe) return std::nullopt;
        return identityOfExecutable(pid, *exe, true);
    }

    if (auto identity = identityOfLaunchedFile(pid, env)) return identity;
    std::optional<AppIdentity> shared;
    if (unit) {
        if (auto identity = identityOfUnit(pid, *unit)) {
            if (!identity->inherited) return identity;
            shared = std::move(identity);
        }
    }
    if (exe) {
        if (auto identity = identityOfExecutable(pid, *exe, startedByBus)) return identity;
    } else if (auto identity = identityOfCommandLine(pid)) {
        return identity;
    }
    return shared;
}

}  // namespace vorsel::linux_platform
