// Running apps and what can be done to them. The agent calls every operation
// on the main thread; observers are called on the main thread too. No action
// is awaited: results are ignored and the next pass looks again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vorsel {

enum class ActivationPolicy {
    regular,     // an ordinary app with windows
    accessory,   // a utility without a regular presence (tray, helper UI)
    prohibited,  // a background process
};

// One running app at the time of a snapshot. Its fields are those of the
// snapshot except isTerminated(), which tells the truth at the time of the
// call. Actions on an app that is gone do nothing.
class RunningApp {
  public:
    virtual ~RunningApp() = default;

    virtual std::optional<std::string> bundleIdentifier() const = 0;
    virtual ActivationPolicy activationPolicy() const = 0;
    virtual std::int32_t processIdentifier() const = 0;
    virtual bool isTerminated() const = 0;
    // Absolute path of the app's bundle, or nothing when it has none.
    virtual std::optional<std::string> bundleLocation() const = 0;
    // Other identifiers the app may go by, when the platform cannot tell
    // which of several installed apps it is (one program behind several
    // entries). A name among them names the app as bundleIdentifier() does.
    virtual std::vector<std::string> alternativeIdentifiers() const { return {}; }

    // Hides the app's windows (may do nothing on platforms without hiding).
    virtual void hide() = 0;
    // A polite request to quit, which the app may delay or refuse.
    virtual void terminate() = 0;
    // Ends the app without asking it.
    virtual void forceTerminate() = 0;

    // Whether the app answered a request to quit with a question of its own:
    // a dialog of its showed at a look after the first terminate() (most
    // often it offers to save what its user typed, which forcing it would
    // lose). False where the platform cannot tell.
    virtual bool answeredWithDialog() const { return false; }
    // Puts the app aside instead of ending it: hides its windows and, once
    // they are found hidden, freezes every process of it, so that it can be
    // neither used nor lose what it holds. Called again while it is paused,
    // it does again what the user undid (a window shown, a process resumed).
    // Returns a pin to hand to Workspace::thaw, which stays good across
    // restarts of the caller and names the processes it froze, or nothing
    // when the app cannot be paused (its windows cannot be hidden, where an
    // app frozen with a window up could hold the whole desktop's input): it
    // is then left as it is.
    virtual std::optional<std::string> pause() { return std::nullopt; }
};

using RunningApps = std::vector<std::shared_ptr<RunningApp>>;

// A registration for launch or termination notices; destroying it ends the
// registration.
class Observation {
  public:
    virtual ~Observation() = default;
};

class Workspace {
  public:
    virtual ~Workspace() = default;

    // Every running app, in the system's order.
    virtual RunningApps runningApps() = 0;

    // The running apps whose bundle identifier, or one of whose alternative
    // identifiers, is exactly `bundleID`.
    virtual RunningApps runningApps(const std::string& bundleID) = 0;

    // Bundle identifiers of the installed apps that can open `url` (only its
    // scheme matters; it is never opened or contacted), in the order found,
    // unreadable ones skipped.
    virtual std::vector<std::string> appsOpening(const std::string& url) = 0;

    // Starts the app bundle at `path` as a new instance, in the background
    // (not brought to the front). Returns at once; failures go unnoticed.
    virtual void openInBackground(const std::string& path) = 0;

    // Calls `notice` on the main thread whenever an app is launched / has
    // terminated, for as long as the returned registration lives.
    virtual std::unique_ptr<Observation> observeLaunches(std::function<void()> notice) = 0;
    virtual std::unique_ptr<Observation> observeTerminations(std::function<void()> notice) = 0;

    // Identifiers of this platform's own system apps (file managers, system
    // settings, ...) that must never be closed, on top of the fixed set the
    // logic carries.
    virtual std::set<std::string> systemApps() const = 0;

    // Lets the processes that the pause() which returned `pin` froze run
    // again, and leaves their windows as they are. Processes that have ended
    // or whose pids now name other processes are left alone, and a pin that
    // does not read thaws nothing.
    virtual void thaw(const std::string& pin) = 0;
};

}  // namespace vorsel
