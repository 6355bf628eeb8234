// A workspace of scripted apps on the virtual clock. Tests add apps, tell some
// to ignore polite requests, and read back every action taken on them with the
// instant it was taken. Launch and termination notices fire only when a test
// says so, to every live observation. Test thread only; an observation may be
// destroyed inside its own notice.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Workspace.h"
#include "tests/fakes/FakeClock.h"

namespace vorsel::fakes {

enum class AppAction { hide, terminate, forceTerminate, pause };

struct AppActionRecord {
    AppAction action;
    std::int32_t pid;
    TimePoint at;
};

class FakeWorkspace;

class FakeApp final : public RunningApp {
  public:
    FakeApp(FakeWorkspace& workspace, std::optional<std::string> id, ActivationPolicy policy,
            std::int32_t pid, std::optional<std::string> location);

    std::optional<std::string> bundleIdentifier() const override { return id; }
    ActivationPolicy activationPolicy() const override { return policy; }
    std::int32_t processIdentifier() const override { return pid; }
    bool isTerminated() const override { return terminated; }
    std::optional<std::string> bundleLocation() const override { return location; }
    std::vector<std::string> alternativeIdentifiers() const override { return aliases; }

    // Recorded; terminate() ends the app unless it ignores polite requests,
    // forceTerminate() always does. An ended app leaves later snapshots.
    void hide() override;
    void terminate() override;
    void forceTerminate() override;
    // True once terminate() was called on an app that shows a dialog.
    bool answeredWithDialog() const override { return asked && showsDialog; }
    // Recorded; pins "pin-<pid>" unless the app cannot be paused.
    std::optional<std::string> pause() override;

    std::optional<std::string> id;
    ActivationPolicy policy;
    std::int32_t pid;
    std::optional<std::string> location;
    std::vector<std::string> aliases;  // what alternativeIdentifiers() answers
    bool ignoresTerminate = false;
    bool showsDialog = false;  // answers a request with a dialog (and stays)
    bool pausable = true;
    bool asked = false;       // terminate() was called
    bool terminated = false;  // what isTerminated() answers
    bool listed = true;       // whether snapshots still show it

  private:
    FakeWorkspace& workspace;
};

class FakeWorkspace final : public Workspace {
  public:
    explicit FakeWorkspace(const FakeClock& clock);
    ~FakeWorkspace() override;

    // Starts a scripted app with a fresh pid; by default a regular app at
    // "/opt/<id>.app".
    std::shared_ptr<FakeApp> launch(std::optional<std::string> id,
                                    ActivationPolicy policy = ActivationPolicy::regular,
                                    std::optional<std::string> location = std::nullopt);

    RunningApps runningApps() override;
    RunningApps runningApps(const std::string& bundleID) override;
    std::vector<std::string> appsOpening(const std::string& url) override;
    void openInBackground(const std::string& path) override;
    std::unique_ptr<Observation> observeLaunches(std::function<void()> notice) override;
    std::unique_ptr<Observation> observeTerminations(std::function<void()> notice) override;
    std::set<std::string> systemApps() const override { return platformSystemApps; }
    void thaw(const std::string& pin) override { thawed.push_back(pin); }

    // Calls every live launch / termination observer.
    void fireLaunch();
    void fireTermination();
    std::size_t liveObservations() const;

    // The actions on the app with `pid`, in order.
    std::vector<AppActionRecord> actionsOn(std::int32_t pid) const;
    std::size_t count(AppAction action, std::int32_t pid) const;

    // Scripted answers.
    std::vector<std::string> webApps;                // what appsOpening() finds
    std::set<std::string> platformSystemApps;        // what systemApps() answers
    std::function<void(const std::string&)> onOpen;  // runs inside openInBackground()

    // Records.
    std::vector<AppActionRecord> actions;
    struct Opening {
        std::string path;
        TimePoint at;
    };
    std::vector<Opening> opened;
    std::vector<std::string> probes;  // every url appsOpening() was asked about
    int snapshots = 0;                // runningApps() calls, both forms
    std::vector<std::string> thawed;  // every pin thaw() was given

  private:
    friend class FakeApp;
    struct Registry;
    enum class Notice { launch, termination };

    std::unique_ptr<Observation> observe(Notice kind, std::function<void()> notice);
    void fire(Notice kind);
    void record(AppAction action, std::int32_t pid);

    const FakeClock& clock;
    std::vector<std::shared_ptr<FakeApp>> apps;
    std::int32_t nextPid = 1000;
    std::shared_ptr<Registry> registry;
};

}  // namespace vorsel::fakes
