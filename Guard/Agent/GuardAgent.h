// The guard agent: holds the session rules the main app hands over, serves
// the link, enforces the rules on running apps, keeps the main app open in a
// Hardcore session, and keeps a Hardcore session's rules on disk.
//
// Threads: the link messages (LinkHandler) may arrive on any thread; each one
// only posts its work to the main thread through the run loop and returns.
// shouldAcceptNewConnection() may run on the listener's thread and reads only
// the identity, which never changes. Everything else — start(), every field,
// the timers and workspace notices — belongs to the main thread. No locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Guard/Identity/GuardIdentity.h"
#include "Guard/Rules/GuardRules.h"
#include "Platform/Clock.h"
#include "Platform/CodeSigning.h"
#include "Platform/Files.h"
#include "Platform/LinkListener.h"
#include "Platform/Log.h"
#include "Platform/RunLoop.h"
#include "Platform/Workspace.h"

namespace vorsel {

// Everything the agent asks of the platform. Each port must outlive the agent.
struct GuardAgentPorts {
    Clock& clock;
    RunLoop& runLoop;
    Workspace& workspace;
    CodeSigning& codeSigning;
    Files& files;
    Log& log;
    LinkListener& listener;
};

// The version the agent reports on the link.
inline constexpr std::int64_t kGuardLinkVersion = 1;

// Rules handed over in more bytes than this are refused unread, like rules
// that don't read: rules name apps, and a megabyte names thousands of them.
inline constexpr std::size_t kMaxRulesSize = std::size_t{1} << 20;

class GuardAgent final : public LinkHandler, public LinkListenerDelegate {
  public:
    // Nothing happens until start(). `identity` names the agent itself and the
    // main app whose rules it takes (a copy of GuardIdentity::shared() in
    // production).
    GuardAgent(GuardIdentity identity, GuardAgentPorts ports);
    ~GuardAgent() override;
    GuardAgent(const GuardAgent&) = delete;
    GuardAgent& operator=(const GuardAgent&) = delete;

    // Main thread, once: listens on the identity's service, restores the
    // rules from the memory file, logs "listening as <service>", and runs one
    // enforcement pass (which, with nothing held, arms the 20 s leave timer).
    // When the service cannot be had (another agent serves), does nothing
    // more: the listener ends the process.
    void start();

    // One line for the log: what `rules` do at `now` ("closing 2 listed apps,
    // keeping the app open", "nothing", ...). Pure; any thread.
    static std::string kind(const GuardRules& rules, TimePoint now);

    // LinkHandler. Any thread: each posts its work to the main thread, where
    // it runs in arrival order and then calls `reply`.
    // version: restarts the idle countdown, replies kGuardLinkVersion.
    void version(std::function<void(std::int64_t)> reply) override;
    // hold: takes the rules (capped to a day, a keep-open that is not the
    // genuine main app dropped), saves and logs them when they changed, runs
    // a pass, and replies with the rules held afterwards; replies nothing
    // when `rules` is not valid rules JSON.
    void hold(std::string rules, std::function<void(std::optional<std::string>)> reply) override;
    // held: restarts the idle countdown, replies with the rules held.
    void held(std::function<void(std::string)> reply) override;

    // LinkListenerDelegate. Listener thread: demands the genuine main app's
    // code requirement of the peer, serves it with this agent, and accepts.
    bool shouldAcceptNewConnection(LinkConnection& connection) override;

    // Read-only views for tests and diagnostics. Main thread.
    const GuardRules& heldRules() const { return rules; }
    bool isWatching() const { return sweeping.sweep != nullptr; }
    bool isLeaving() const { return leaving != nullptr && leaving->isValid(); }

  private:
    // Reaches states that the public life of the agent cannot, in tests only.
    friend class GuardAgentTestPeer;

    // The enforcement sweep's own state (GuardAgentSweep.cpp).
    struct Sweep {
        struct Browsers {
            std::unordered_set<std::string> ids;
            TimePoint at = kDistantPast;
        };
        std::unique_ptr<Timer> sweep;                        // present exactly while rules hold
        std::vector<std::unique_ptr<Observation>> watching;  // launches, then terminations
        std::unordered_map<std::int32_t, TimePoint> asked;   // pid -> first request to quit
        Browsers browsers;
    };

    // Apps paused instead of forced, and the file that remembers them across
    // restarts of the agent (GuardAgentPause.cpp).
    struct Paused {
        std::string app;  // its identifier, for the log
        std::string pin;  // what Workspace::thaw takes
        bool operator==(const Paused&) const = default;
    };
    struct Pauses {
        std::unordered_map<std::int32_t, Paused> apps;  // pid -> what froze it
        bool unsaved = false;  // the last write failed: each pass tries again
    };

    // Verifying and keeping the main app open (GuardAgentKeepOpen.cpp).
    struct KeepOpen {
        TimePoint lastOpened = kDistantPast;
        std::unordered_map<std::string, TimePoint> genuine;  // bundle path -> seal date
    };

    // The memory file (GuardAgent.cpp).
    struct Memory {
        bool unsaved = false;  // the last write failed: each pass tries again
    };

    // Link, leaving and the memory file (GuardAgent.cpp).
    std::optional<std::string> holdNow(const std::string& json);
    void stay();
    void leave();
    void save(TimePoint now);
    GuardRules restored();
    std::function<void()> onMain(std::function<void()> work);

    // The enforcement sweep (GuardAgentSweep.cpp).
    void enforce();
    void watch();
    void stopWatching();
    void closeApps(TimePoint now);
    std::unordered_set<std::string> protectedApps() const;
    std::unordered_set<std::string> neverForced(TimePoint now);

    // Pausing apps that answered with a dialog (GuardAgentPause.cpp).
    bool pausedInstead(RunningApp& app, const std::string& id, bool dueToForce,
                       std::unordered_map<std::int32_t, Paused>& kept);
    void thawAllBut(std::unordered_map<std::int32_t, Paused> kept);
    void savePauses();
    void restorePauses();
    std::string pausesFile() const;

    // Verifying and keeping the main app open (GuardAgentKeepOpen.cpp).
    bool isTheApp(const Kept& kept);
    bool isRunning(const Kept& kept);
    void keepOpen(TimePoint now);

    const GuardIdentity identity;
    const GuardAgentPorts ports;

    GuardRules rules = GuardRules::none;
    LinkListener* listener = nullptr;  // ports.listener, once start() listens on it
    std::unique_ptr<Timer> leaving;    // the leave timer armed by stay()
    Sweep sweeping;
    Pauses pauses;
    KeepOpen keeping;
    Memory memory;

    // Work posted to the main thread holds this weakly, so a posted message
    // that outlives the agent does nothing.
    std::shared_ptr<GuardAgent*> self;
};

}  // namespace vorsel
