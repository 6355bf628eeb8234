#include "tests/fakes/FakeWorkspace.h"

#include <algorithm>
#include <utility>

namespace vorsel::fakes {

struct FakeWorkspace::Registry {
    struct Entry {
        Notice kind;
        std::function<void()> notice;
    };
    std::map<std::uint64_t, Entry> entries;
    std::uint64_t next = 0;
};

namespace {

// Ends its registration when destroyed, even after the workspace is gone.
template <typename Registry>
class FakeObservation final : public Observation {
  public:
    FakeObservation(std::weak_ptr<Registry> registry, std::uint64_t key)
        : registry(std::move(registry)), key(key) {}
    ~FakeObservation() override {
        if (auto live = registry.lock()) live->entries.erase(key);
    }

  private:
    std::weak_ptr<Registry> registry;
    std::uint64_t key;
};

}  // namespace

FakeApp::FakeApp(FakeWorkspace& workspace, std::optional<std::string> id, ActivationPolicy policy,
                 std::int32_t pid, std::optional<std::string> location)
    : id(std::move(id)),
      policy(policy),
      pid(pid),
      location(std::move(location)),
      workspace(workspace) {}

void FakeApp::hide() { workspace.record(AppAction::hide, pid); }

void FakeApp::terminate() {
    workspace.record(AppAction::terminate, pid);
    asked = true;
    if (ignoresTerminate || showsDialog) return;
    terminated = true;
    listed = false;
}

void FakeApp::forceTerminate() {
    workspace.record(AppAction::forceTerminate, pid);
    terminated = true;
    listed = false;
}

std::optional<std::string> FakeApp::pause() {
    workspace.record(AppAction::pause, pid);
    if (!pausable) return std::nullopt;
    return "pin-" + std::to_string(pid);
}

FakeWorkspace::FakeWorkspace(const FakeClock& clock)
    : clock(clock), registry(std::make_shared<Registry>()) {}

FakeWorkspace::~FakeWorkspace() = default;

std::shared_ptr<FakeApp> FakeWorkspace::launch(std::optional<std::string> id,
                                               ActivationPolicy policy,
                                               std::optional<std::string> location) {
    if (!location && id) location = "/opt/" + *id + ".app";
    auto app =
        std::make_shared<FakeApp>(*this, std::move(id), policy, nextPid++, std::move(location));
    apps.push_back(app);
    return app;
}

RunningApps FakeWorkspace::runningApps() {
    ++snapshots;
    RunningApps listed;
    for (const auto& app : apps)
        if (app->listed) listed.push_back(app);
    return listed;
}

RunningApps FakeWorkspace::runningApps(const std::string& bundleID) {
    ++snapshots;
    RunningApps listed;
    for (const auto& app : apps)
        if (app->listed &&
            (app->id == bundleID ||
             std::find(app->aliases.begin(), app->aliases.end(), bundleID) != app->aliases.end()))
            listed.push_back(app);
    return listed;
}

std::vector<std::string> FakeWorkspace::appsOpening(const std::string& url) {
    probes.push_back(url);
    return webApps;
}

void FakeWorkspace::openInBackground(const std::string& path) {
    opened.push_back({path, clock.peek()});
    if (onOpen) onOpen(path);
}

std::unique_ptr<Observation> FakeWorkspace::observe(Notice kind, std::function<void()> notice) {
    const std::uint64_t key = registry->next++;
    registry->entries.emplace(key, Registry::Entry{kind, std::move(notice)});
    return std::make_unique<FakeObservation<Registry>>(registry, key);
}

std::unique_ptr<Observation> FakeWorkspace::observeLaunches(std::function<void()> notice) {
    return observe(Notice::launch, std::move(notice));
}

std::unique_ptr<Observation> FakeWorkspace::observeTerminations(std::function<void()> notice) {
    return observe(Notice::termination, std::move(notice));
}

void FakeWorkspace::fire(Notice kind) {
    std::vector<std::uint64_t> keys;
    for (const auto& [key, entry] : registry->entries)
        if (entry.kind == kind) keys.push_back(key);
    for (const std::uint64_t key : keys) {
        const auto entry = registry->entries.find(key);
        if (entry == registry->entries.end()) continue;  // ended by an earlier notice
        const std::function<void()> notice = entry->second.notice;
        notice();
    }
}

void FakeWorkspace::fireLaunch() { fire(Notice::launch); }
void FakeWorkspace::fireTermination() { fire(Notice::termination); }

std::size_t FakeWorkspace::liveObservations() const { return registry->entries.size(); }

void FakeWorkspace::record(AppAction action, std::int32_t pid) {
    // peek(): the fake's own timestamps are no readings by the code under test.
    actions.push_back({action, pid, clock.peek()});
}

std::vector<AppActionRecord> FakeWorkspace::actionsOn(std::int32_t pid) const {
    std::vector<AppActionRecord> found;
    for (const auto& record : actions)
        if (record.pid == pid) found.push_back(record);
    return found;
}

std::size_t FakeWorkspace::count(AppAction action, std::int32_t pid) const {
    return static_cast<std::size_t>(
        std::count_if(actions.begin(), actions.end(),
                      [&](const auto& r) { return r.action == action && r.pid == pid; }));
}

}  // namespace vorsel::fakes
