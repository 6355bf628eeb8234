// A private session bus: dbus-daemon started from the checked-in template
// (tests/e2e/session.conf.in) with its socket and its service folder in a
// folder of the test's own. Nothing here reads or touches the machine's
// session bus. One thread.
#pragma once

#include <memory>
#include <string>

#include "tests/e2e/support/E2eProcess.h"

namespace vorsel::e2e {

class PrivateBus {
  public:
    // Starts the daemon with its files in `folder` and activation files read
    // from `serviceFolder`; activated services inherit `environment` (plus
    // the bus address, which the daemon adds). ready() tells whether it runs.
    PrivateBus(const std::string& folder, const std::string& serviceFolder,
               const Environment& environment);
    ~PrivateBus();  // stop()
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ready() const { return !busAddress.empty(); }
    // The address clients connect to (DBUS_SESSION_BUS_ADDRESS).
    const std::string& address() const { return busAddress; }
    pid_t pid() const { return daemon ? daemon->pid() : -1; }
    // What went wrong when not ready: the daemon's own words.
    std::string problem() const;

    // Ends the daemon (SIGTERM, then SIGKILL after 5 s) and waits for it:
    // every client loses its connection. Idempotent.
    void stop();

  private:
    std::string folder;
    std::string busAddress;
    std::unique_ptr<Process> daemon;
};

}  // namespace vorsel::e2e
