// Verifying that a keep-open entry names the genuine main app, and keeping
// that app running during a Hardcore session.
#include <filesystem>
#include <system_error>

#include "Guard/Agent/GuardAgent.h"

namespace vorsel {

namespace {

// Reopenings of the kept app are at least this far apart, so an app that is
// still starting is not opened twice.
constexpr double kReopenAfter = 5.0;

constexpr const char* kSeal = "/Contents/_CodeSignature/CodeResources";

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The path without "." and ".." components, repeated or trailing slashes; the
// key under which a bundle's verdict is cached. Purely textual.
std::string standardised(const std::string& path) {
    return withoutTrailingSlash(std::filesystem::path(path).lexically_normal().string());
}

// The path with symbolic links resolved as far as they exist.
std::string resolved(const std::string& path) {
    std::error_code error;
    const std::filesystem::path real = std::filesystem::weakly_canonical(path, error);
    return error ? standardised(path) : withoutTrailingSlash(real.lexically_normal().string());
}

}  // namespace

bool GuardAgent::isTheApp(const Kept& kept) {
    if (kept.bundleID != identity.app) return false;
    // A relative path would be read against the agent's own working folder,
    // which means nothing to the main app; it cannot name its bundle.
    if (!std::filesystem::path(kept.path).is_absolute()) return false;
    const std::string bundle = standardised(kept.path);
    const std::optional<TimePoint> sealed = ports.codeSigning.modificationDate(bundle + kSeal);
    if (!sealed) return false;
    if (const auto known = keeping.genuine.find(bundle);
        known != keeping.genuine.end() && known->second == *sealed)
        return true;
    if (!ports.codeSigning.satisfies(bundle,
                                     GuardNames::appRequirement(identity.app, identity.team)))
        return false;
    keeping.genuine[bundle] = *sealed;
    return true;
}

bool GuardAgent::isRunning(const Kept& kept) {
    const std::string target = resolved(kept.path);
    for (const std::shared_ptr<RunningApp>& app : ports.workspace.runningApps(kept.bundleID)) {
        if (app->isTerminated()) continue;
        const std::optional<std::string> location = app->bundleLocation();
        if (location && resolved(*location) == target) return true;
    }
    return false;
}

void GuardAgent::keepOpen(TimePoint now) {
    if (!rules.keepOpenInForce(now) || isRunning(*rules.keepOpen)) return;
    if (now - keeping.lastOpened <= kReopenAfter) return;
    // Set before opening, so that a failed open is retried no sooner either.
    keeping.lastOpened = now;
    ports.log.write(LogLevel::standard,
                    "the app was quit during a Hardcore session: opening it again");
    ports.workspace.openInBackground(rules.keepOpen->path);
}

}  // namespace vorsel
