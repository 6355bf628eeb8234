// Freezing an app's processes, so that it can neither be used nor lose what
// it holds, and letting them go again. An app that runs alone in an app unit
// of the systemd user manager is frozen whole through the manager
// (FreezeUnit, the cgroup freezer); any other is stopped with SIGSTOP, each of
// its processes through a pidfd taken against the start time it was seen
// with, so that a recycled pid is never signalled.
//
// What was frozen is named by a pin: a short text that outlives the agent
// process, read back by thaw() after a restart. It names the unit, if any,
// and every process by pid and start time.
//
// Main thread only (the manager is called on the session bus, without
// waiting for its answers).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorsel::linux_platform {

struct Frozen {
    struct Process {
        pid_t pid = 0;
        unsigned long long startTime = 0;
        bool operator==(const Process&) const = default;
    };
    // The app unit it runs alone in, or empty: frozen by signals.
    std::string unit;
    // The app's process first, then its descendants, parents before children.
    std::vector<Process> processes;
    bool operator==(const Frozen&) const = default;

    std::string pin() const;
    // Nothing when `pin` does not read (or names a unit that is no app's).
    static std::optional<Frozen> read(std::string_view pin);
};

// The app at `pid`: it and its descendants of our own uid, and its app unit
// when nothing else runs in it. Nothing when the process at `pid` did not
// start at `startTime` any more (it has gone, or the pid is another's).
// `withUnits` false never names a unit (no user manager to ask).
std::optional<Frozen> appProcesses(pid_t pid, unsigned long long startTime, bool withUnits);

// Whether every process of `frozen` that still runs is frozen: its unit's
// cgroup reports frozen, or each process is stopped.
bool isFrozen(const Frozen& frozen);

// Freezes the unit through the manager (the processes by signals when the
// manager refuses), or stops the processes, parents first.
void freeze(const Frozen& frozen);

// Asks the manager to thaw the unit, and sends SIGCONT to each process that
// still runs under its pid; processes that ended or whose pid names another
// process now are left alone.
void thaw(const Frozen& frozen);

}  // namespace vorsel::linux_platform
