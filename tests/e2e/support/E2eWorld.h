// The harness of the end-to-end tests: one private world per test, built from
// the bundles of the build under test, torn down with every process in it.
//
// An E2eWorld, once constructed (check ready()), holds in a fresh folder
// under /tmp:
//   - a throwaway certificate authority (scripts/throwaway-ca.sh) for the
//     team the built Vorsel.app names in its Info.plist ("OWTeam");
//   - a copy of the built Vorsel.app whose Contents/Resources/anchors.pem is
//     that authority's root;
//   - a copy of the built Ordwyn.app (the stand-in) signed by that authority
//     as the main app (tools/codesign), so the agent takes it for genuine;
//   - a private session bus (PrivateBus) and, unless turned off, an
//     activation file that starts the copied Vorsel.app with "--agent" on the
//     first call to the agent's bus name. Activated agents get their own
//     $XDG_DATA_HOME (dataHome()), their standard error and output are
//     appended to agentLogPath(), and their pids to a list (agentPids()).
// Every process the world's programs run with environment(): no variable of
// the test's own environment leaks in, so nothing reaches the machine's bus.
// A world in the user session a test runs in (scripts/with-user-session.sh)
// has no private bus: its programs get the session's bus, runtime folder,
// home and data folder instead, and its activation file (when asked for) goes
// into that data folder's dbus-1/services, where the session's bus finds it;
// activated agents there log to the session's journal.
//
// The destructor stops the bus, then kills every process whose executable
// lies inside the world's folder (agents, stand-ins, apps the agent opened)
// and waits for them, then removes the folder. The test process makes itself
// a child subreaper, so agents orphaned by a stopped bus are reaped too.
//
// One thread at a time; tests may run stand-ins from several threads through
// standin() (it only starts and waits for processes).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support/E2eProcess.h"
#include "tests/e2e/support/PrivateBus.h"

namespace vorsel::e2e {

// A throwaway certificate authority and its code-signing leaf.
struct Authority {
    std::string root;          // root.pem: goes into Vorsel's anchors
    std::string certificate;   // leaf.pem
    std::string key;           // leaf.key
    std::string entitlements;  // entitlements.json: sandbox + the team
    bool made = false;
};

// Makes an authority in `folder` for `team` with scripts/throwaway-ca.sh.
Authority makeAuthority(const std::string& folder, const std::string& team);

// Signs the bundle at `bundle` as `identifier` with `authority`'s leaf and
// entitlements (tools/codesign). The tool's output when it fails, else empty.
std::string sign(const std::string& bundle, const Authority& authority,
                 const std::string& identifier);

class E2eWorld {
  public:
    struct Options {
        // Write the activation file, so the first call starts the agent.
        bool activation = true;
        // Activated agents read their wall clock through the adapter's test
        // hook, so that shiftAgentClock() can move it.
        bool shiftableClock = false;
        // Use the user session this test runs in instead of a private bus.
        bool userSession = false;
    };

    E2eWorld();
    explicit E2eWorld(Options options);
    ~E2eWorld();
    E2eWorld(const E2eWorld&) = delete;
    E2eWorld& operator=(const E2eWorld&) = delete;

    // Whether everything above is in place; problem() says what is not.
    bool ready() const { return problemText.empty(); }
    const std::string& problem() const { return problemText; }

    const std::string& root() const { return folder.path(); }
    // The copied bundles and their executables.
    std::string vorsel() const { return root() + "/Vorsel.app"; }
    std::string vorselExecutable() const { return vorsel() + "/Contents/Linux/vorsel"; }
    std::string ordwyn() const { return root() + "/Ordwyn.app"; }
    std::string ordwynExecutable() const { return ordwyn() + "/Contents/Linux/ordwyn"; }

    // The agent's identity as the copied Vorsel.app states it.
    const std::string& own() const { return ownName; }           // CFBundleIdentifier
    const std::string& app() const { return appIdentifier; }     // OWAppIdentifier, or the default
    const std::string& team() const { return teamId; }           // OWTeam, or ""
    const std::string& busName() const { return guardBusName; }  // the agent's bus name
    const Authority& authority() const { return certificateAuthority; }

    // $XDG_DATA_HOME of every process of the world, and the agent's memory file.
    std::string dataHome() const { return dataHomePath; }
    std::string memoryFile() const { return dataHome() + "/" + ownName + "/guard.json"; }

    const std::string& busAddress() const {
        return busConnection ? busConnection->address() : sessionBus;
    }
    PrivateBus& bus() { return *busConnection; }
    // Stops the private bus: every agent on it loses its connection.
    void stopBus() { busConnection->stop(); }

    // PATH, HOME, LANG, XDG_DATA_HOME and DBUS_SESSION_BUS_ADDRESS of this
    // world, and XDG_RUNTIME_DIR in a user session.
    Environment environment() const;

    // Runs the stand-in at `bundle` (default: the signed copy) with `args`,
    // on this world's bus. Its output is captured.
    Outcome standin(const std::vector<std::string>& args, double timeout = 60,
                    const std::string& bundle = {}, const std::string& input = {}) const;
    // Starts the stand-in without waiting for it (no args: it stays up like
    // an app until SIGTERM).
    std::unique_ptr<Process> startStandin(const std::vector<std::string>& args = {},
                                          const std::string& bundle = {}) const;

    // Another copy of the stand-in at root()/<name>: unsigned when `signer` is
    // null, else signed by it as the main app. Its path, or empty on failure.
    std::string copyOrdwyn(const std::string& name, const Authority* signer);
    // Another authority, in root()/<name>, for the same team.
    Authority otherAuthority(const std::string& name) const;

    // Starts the copied Vorsel.app with "--agent" directly (not through
    // activation), its standard error appended to `errFile` (default: none).
    std::unique_ptr<Process> startAgent(const std::string& errFile = {}) const;

    // Moves the wall clock of every activated agent to `seconds` from the
    // real one, at their next reading (Options::shiftableClock).
    bool shiftAgentClock(double seconds) const;

    // What every activated agent wrote, and their pids in start order.
    std::string agentLogPath() const { return root() + "/agent.log"; }
    std::string agentLog() const { return readText(agentLogPath()); }
    std::vector<pid_t> agentPids() const;
    // Waits until the agent log holds `text` `count` times.
    bool waitForLog(const std::string& text, double timeout, int count = 1) const;
    // How often `text` occurs in the agent log.
    int logCount(const std::string& text) const;
    // Waits for the first activated agent pid (after a first call).
    pid_t waitForAgent(double timeout, std::size_t index = 0) const;

  private:
    std::string setUp(const Options& options);
    std::string wallShiftFile() const { return root() + "/wall-shift"; }
    void killStragglers();

    TempFolder folder;
    std::string dataHomePath;
    Environment session;  // what a user session gives its programs
    std::string sessionBus;
    std::string sessionActivation;  // the activation file written into a session
    std::string ownName, appIdentifier, teamId, guardBusName;
    Authority certificateAuthority;
    std::unique_ptr<PrivateBus> busConnection;
    std::string problemText;
};

}  // namespace vorsel::e2e
