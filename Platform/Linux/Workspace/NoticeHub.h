// Launch and termination notices for the workspace's observers. While at
// least one observation lives, a source runs: the systemd user manager's unit
// signals when it runs, else a check of /proc's pid list every interval that
// only examines new pids. With no observation there is no timer, no
// subscription and no work. Main thread only; notices are called on it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "Platform/RunLoop.h"
#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

class ProcessTable;
class SystemdUnitWatch;

// A test hook: a file to which the hub appends a line for what it does, so
// that a test can tell how notices reach a running agent whatever the load:
// "manager" when it subscribes to the user manager, "proc" when it starts
// checking /proc instead, and "check" for each check of /proc.
inline constexpr const char* kNoticesTraceVariable = "VORSEL_TEST_NOTICES_FILE";

class NoticeHub final : public std::enable_shared_from_this<NoticeHub> {
  public:
    enum class Kind { launch, termination };

    NoticeHub(RunLoop& runLoop, std::shared_ptr<ProcessTable> table, double interval,
              bool useSystemd);
    ~NoticeHub();

    std::unique_ptr<Observation> observe(Kind kind, std::function<void()> notice);

    // Whether a source is running, and which (for tests).
    bool active() const { return timer != nullptr || watch != nullptr; }
    bool usesSystemd() const { return watch != nullptr; }

    // How many notices have been delivered so far: a snapshot taken at an
    // earlier count may miss an app.
    std::uint64_t changes() const { return changeCount; }

    // A new top-level window appeared: a launch notice for the observers
    // (its app may be one that nothing else tells of: started outside any
    // unit, or known only by its window).
    void windowAppeared();

    // One check of /proc, as the timer runs it: examines new pids, notices
    // apps that appeared or went. Public for the benchmark.
    void check();

  private:
    class Registration;
    using Notice = std::shared_ptr<std::function<void()>>;

    void remove(Kind kind, std::uint64_t id);
    void start();
    void stop();
    void deliver(bool launched, bool terminated);
    void trace(const char* what) const;

    RunLoop& runLoop;
    std::shared_ptr<ProcessTable> table;
    double interval;
    bool useSystemd;
    std::uint64_t nextId = 1;
    std::uint64_t changeCount = 0;
    std::map<std::uint64_t, Notice> launches;
    std::map<std::uint64_t, Notice> terminations;

    std::unique_ptr<Timer> timer;
    std::unique_ptr<SystemdUnitWatch> watch;
    std::string traceFile;  // kNoticesTraceVariable's file; empty: none
    // The /proc check's own memory: pids seen last time, which of them were
    // apps, and new pids of ours without an identity yet with the checks
    // left to look at them again, in case they were caught between fork and
    // exec (or a launcher script that execs the app).
    std::unordered_set<pid_t> seenHeld;
    std::unordered_set<pid_t> appPids;
    std::unordered_map<pid_t, int> recheck;
};

}  // namespace vorsel::linux_platform
