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
#include <unordered_map>
#include <unordered_set>

#include "Platform/RunLoop.h"
#include "Platform/Workspace.h"

namespace vorsel::linux_platform {

class ProcessTable;
class SystemdUnitWatch;

class NoticeHub final : public std::enable_shared_from_this<NoticeHub> {
  public:
    enum class Kind { launch, termination };

    NoticeHub(RunLoop& runLoop, std::shared_ptr<ProcessTable> table, double interval,
              bool useSystemd);
    ~NoticeHub();

    std::unique_ptr<Observation> observe(Kind kind, std::function<void()> notice);

    // Whether a source is running, and which (for tests).
    bool active() const { return timer_ != nullptr || watch_ != nullptr; }
    bool usesSystemd() const { return watch_ != nullptr; }

    // How many notices have been delivered so far: a snapshot taken at an
    // earlier count may miss an app.
    std::uint64_t changes() const { return changes_; }

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

    RunLoop& runLoop_;
    std::shared_ptr<ProcessTable> table_;
    double interval_;
    bool useSystemd_;
    std::uint64_t nextId_ = 1;
    std::uint64_t changes_ = 0;
    std::map<std::uint64_t, Notice> launches_;
    std::map<std::uint64_t, Notice> terminations_;

    std::unique_ptr<Timer> timer_;
    std::unique_ptr<SystemdUnitWatch> watch_;
    // The /proc check's own memory: pids seen last time, which of them were
    // apps, and new pids of ours without an identity yet with the checks
    // left to look at them again, in case they were caught between fork and
    // exec (or a launcher script that execs the app).
    std::unordered_set<pid_t> seen_;
    std::unordered_set<pid_t> appPids_;
    std::unordered_map<pid_t, int> recheck_;
};

}  // namespace vorsel::linux_platform
