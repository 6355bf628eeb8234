// The enforcement sweep: one pass looks at the rules and the running apps and
// acts at once. It keeps no plan between passes beyond when each process was
// first asked to quit, which apps it paused instead (GuardAgentPause.cpp) and
// which installed apps are web browsers, so it may run as often as anything
// asks.
#include <algorithm>
#include <utility>

#include "Guard/Agent/GuardAgent.h"

namespace vorsel {

namespace {

constexpr double kSweepInterval = 2.0;
constexpr double kSweepTolerance = 0.5;
// A selected app that has not quit this long after the first request is
// ended without asking.
constexpr double kForceAfter = 3.0;
// How long the looked-up set of web browsers is trusted.
constexpr double kBrowsersFresh = 300.0;
// Only its scheme matters: the lookup never opens or contacts it.
constexpr const char* kWebProbe = "https://example.invalid/";

// Every name of an app: a platform that cannot tell which of several
// installed apps a process is gives it more than one, and a rule naming any
// of them names the app.
std::vector<std::string> namesOf(const RunningApp& app, const std::string& id) {
    std::vector<std::string> names = app.alternativeIdentifiers();
    names.insert(names.begin(), id);
    return names;
}

bool anyIn(const std::vector<std::string>& names, const std::unordered_set<std::string>& set) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& name) { return set.contains(name); });
}

bool selects(const Closing& closing, const std::vector<std::string>& names) {
    const auto& apps = closing.apps();
    const bool listed = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return std::find(apps.begin(), apps.end(), name) != apps.end();
    });
    switch (closing.kind()) {
        case Closing::Case::listed:
            return listed;
        case Closing::Case::allBut:
            return !listed;
        case Closing::Case::nothing:
            return false;
    }
    return false;
}

}  // namespace

void GuardAgent::enforce() {
    const TimePoint now = ports.clock.now();
    if (rules.isOver(now)) {
        stopWatching();
        if (rules != GuardRules::none) {
            rules = GuardRules::none;
            save(now);
            ports.log.write(LogLevel::standard, "nothing holds any more");
        }
        thawAllBut({});
        stay();
        return;
    }
    if (leaving) {
        leaving->invalidate();
        leaving.reset();
    }
    watch();
    if (memory.unsaved) save(now);
    keepOpen(now);
    closeApps(now);
}

void GuardAgent::watch() {
    if (sweeping.sweep) return;
    sweeping.sweep =
        ports.runLoop.schedule(kSweepInterval, kSweepTolerance, true, [this] { enforce(); });
    sweeping.watching.push_back(ports.workspace.observeLaunches([this] { enforce(); }));
    sweeping.watching.push_back(ports.workspace.observeTerminations([this] { enforce(); }));
}

// May run inside the sweep timer's own action or an observer's notice; the
// run loop and workspace ports allow a handle to go away while it is serving.
void GuardAgent::stopWatching() {
    if (sweeping.sweep) {
        sweeping.sweep->invalidate();
        sweeping.sweep.reset();
    }
    sweeping.watching.clear();
    sweeping.asked.clear();
}

void GuardAgent::closeApps(TimePoint now) {
    if (!rules.closingInForce(now)) {
        sweeping.asked.clear();
        thawAllBut({});
        return;
    }
    const std::unordered_set<std::string> untouchable = protectedApps();
    const std::unordered_set<std::string> onlyAsked = neverForced(now);
    std::unordered_map<std::int32_t, TimePoint> next;
    std::unordered_map<std::int32_t, Paused> kept;
    for (const std::shared_ptr<RunningApp>& app : ports.workspace.runningApps()) {
        if (app->activationPolicy() != ActivationPolicy::regular || app->isTerminated()) continue;
        const std::optional<std::string> id = app->bundleIdentifier();
        if (!id) continue;
        const std::vector<std::string> names = namesOf(*app, *id);
        if (anyIn(names, untouchable) || !selects(rules.closing, names)) continue;

        const std::int32_t pid = app->processIdentifier();
        const auto known = sweeping.asked.find(pid);
        const TimePoint first = known != sweeping.asked.end() ? known->second : now;
        next[pid] = first;
        if (anyIn(names, onlyAsked)) {
            app->hide();
            app->terminate();
        } else if (pausedInstead(*app, *id, now - first >= kForceAfter, kept)) {
            continue;  // never asked or forced while paused
        } else if (now - first < kForceAfter) {
            app->terminate();
        } else {
            app->forceTerminate();
        }
    }
    sweeping.asked = std::move(next);
    thawAllBut(std::move(kept));
}

std::unordered_set<std::string> GuardAgent::protectedApps() const {
    std::unordered_set<std::string> apps = GuardNames::systemApps();
    apps.insert(GuardNames::family().begin(), GuardNames::family().end());
    apps.insert(identity.own);
    apps.insert(identity.app);
    for (const std::string& id : ports.workspace.systemApps()) apps.insert(id);
    return apps;
}

std::unordered_set<std::string> GuardAgent::neverForced(TimePoint now) {
    if (now - sweeping.browsers.at > kBrowsersFresh) {
        const std::vector<std::string> found = ports.workspace.appsOpening(kWebProbe);
        sweeping.browsers = {{found.begin(), found.end()}, now};
    }
    std::unordered_set<std::string> apps = GuardNames::browsers();
    apps.insert(sweeping.browsers.ids.begin(), sweeping.browsers.ids.end());
    return apps;
}

}  // namespace vorsel
