// What we know about the processes in /proc, cached per process so that a
// snapshot costs little more than listing the pids. An entry stands for one
// process, not one pid: it is reused while the pid's /proc folder keeps its
// inode (a new process under a recycled pid gets a new one). What is read
// again on each snapshot depends on what the entry may still turn into:
// - another user's process or a kernel thread: nothing more; it can never
//   become one of our apps without being a new process;
// - one of ours without identity: the executable's path, since running
//   another program may give it one; and, after lookAgain(), its cgroup
//   (being moved into an app's unit gives it one without a new program);
// - an app: its stat line, for its parent (helpers are folded into their
//   app), whether it has ended, and its name (a changed name means it ran
//   another program, whose identity is worked out again).
// A process that nothing of its own names may still be named by its window
// (identityOfWindow): the windows the windows thread last saw are handed in
// (windowsSeen), and each read gives such a process, and what it started,
// the app its window's class names. A window's process is the one its pid
// names; a window that names none is taken for the process of ours without
// identity whose name is the window's instance (X11 programs set it from
// their own name).
// Main thread only.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/Linux/Windows/DesktopWindows.h"
#include "Platform/Linux/Workspace/AppIdentity.h"
#include "Platform/Linux/Workspace/Pidfd.h"

namespace vorsel::linux_platform {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    ino_t entry = 0;  // inode of /proc/<pid> when the entry was made
    unsigned long long startTime = 0;
    std::string comm;
    std::optional<std::string> exe;  // for ours only
    bool ours = false;               // its real uid is ours
    bool kernelThread = false;
    std::optional<AppIdentity> identity;
    // For ours without identity: the table's round of looking when it was
    // worked out, and, once the table has been asked to look again, the
    // /proc/<pid>/cgroup text read just before (see ProcessTable::lookAgain).
    unsigned looked = 0;
    std::optional<std::string> cgroup;
    // A pidfd on the process, kept with the entry once the process has been
    // listed as an app (see ProcessTable::handle).
    std::shared_ptr<const Pidfd> handle;
    // Its identity came from a window (its own, or its ancestor's).
    bool byWindow = false;
};

class ProcessTable {
  public:
    // `identify` works out a process's identity; tests and benchmarks may
    // pass another one.
    using Identify = std::optional<AppIdentity> (*)(pid_t);
    explicit ProcessTable(uid_t uid, Identify identify = &identityOfProcess);

    // Reads every process and returns ours that are apps of their own: with
    // an identity, alive, not a kernel thread, and not a helper of their
    // parent's app (one that shares a name with its parent's identity, or
    // only inherited its parent's unit). Forgets processes that are gone.
    // The pointers are valid until the next call that changes the table.
    std::vector<const ProcessInfo*> apps();

    // The entry for `pid`, read afresh or from the cache; nothing when the
    // process is gone or a kernel thread, or when it is a zombie and an app
    // or new to the table (the state of a process that is no app is not
    // read again).
    const ProcessInfo* examine(pid_t pid);

    // Whether `info` is one of ours with an identity of its own, judged
    // against the cached entry of its parent.
    bool isApp(const ProcessInfo& info) const;

    // A pidfd on the app of `info`, opened against its start time on first
    // use and kept with the entry, so that passes do not open one per app
    // each time. Beyond kKeptHandles kept ones a fresh handle is returned and
    // not kept, so a crowd of apps cannot use up our descriptors. Null when
    // none can be opened (the process is gone, or no descriptor is free).
    std::shared_ptr<const Pidfd> handle(const ProcessInfo& info);
    static constexpr std::size_t kKeptHandles = 256;

    // Drops the cached entry of a pid that has gone.
    void forget(pid_t pid);

    // Makes the next read work out again the identity of every process of
    // ours that has none and has moved to another cgroup since it was last
    // worked out (on the first call: every one): an app unit has started,
    // and desktops move an app's running process into its unit after they
    // started it.
    void lookAgain() { ++round; }

    // The top-level windows the desktop shows now, for the next reads.
    void windowsSeen(const std::vector<TopLevel>& windows);

    std::size_t size() const { return known.size(); }

  private:
    const ProcessInfo* readAfresh(pid_t pid, ino_t entry);
    // Names by their windows the processes in `alive` that have no identity.
    void nameByWindows(const std::vector<const ProcessInfo*>& alive);
    const TopLevel* windowOf(const ProcessInfo& info) const;
    void erase(pid_t pid);

    uid_t uid;
    Identify identify;
    std::unordered_map<pid_t, ProcessInfo> known;
    std::size_t keptHandles = 0;
    unsigned round = 0;
    std::unordered_map<pid_t, TopLevel> windowByPid;
    std::vector<TopLevel> windowsWithoutPid;
};

}  // namespace vorsel::linux_platform
