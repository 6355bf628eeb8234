// What we know about the processes in /proc, cached per process: an entry is
// reused while the pid still shows the same start time and name, so repeated
// snapshots only read each process's stat line. A changed name means the
// process ran another program, whose identity is worked out again. Main
// thread only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/Linux/Workspace/AppIdentity.h"

namespace vorsel::linux_platform {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    unsigned long long startTime = 0;
    std::string comm;
    bool ours = false;  // its real uid is ours
    std::optional<AppIdentity> identity;
};

class ProcessTable {
  public:
    // `identify` works out a process's identity; tests and benchmarks may
    // pass another one.
    using Identify = std::optional<AppIdentity> (*)(pid_t);
    explicit ProcessTable(uid_t uid, Identify identify = &identityOfProcess);

    // Reads every process and returns ours that are apps of their own: with
    // an identity, alive, not a kernel thread, and not sharing their parent's
    // identity (a helper belongs to its parent's app). Forgets processes that
    // are gone. The pointers are valid until the next call that changes the
    // table.
    std::vector<const ProcessInfo*> apps();

    // The entry for `pid`, read afresh or from the cache; nothing when the
    // process is gone, a zombie or a kernel thread.
    const ProcessInfo* examine(pid_t pid);

    // Whether `info` is one of ours with an identity of its own, judged
    // against the cached entry of its parent.
    bool isApp(const ProcessInfo& info) const;

    // Drops the cached entry of a pid that has gone.
    void forget(pid_t pid) { known_.erase(pid); }

    std::size_t size() const { return known_.size(); }

  private:
    uid_t uid_;
    Identify identify_;
    std::unordered_map<pid_t, ProcessInfo> known_;
};

}  // namespace vorsel::linux_platform
