#include "Platform/Linux/Workspace/ProcessTable.h"

#include <unordered_set>

#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {

ProcessTable::ProcessTable(uid_t uid, Identify identify) : uid_(uid), identify_(identify) {}

const ProcessInfo* ProcessTable::examine(pid_t pid) {
    auto stat = readStat(pid);
    if (!stat || stat->isZombie() || stat->isKernelThread()) {
        known_.erase(pid);
        return nullptr;
    }
    auto found = known_.find(pid);
    if (found != known_.end() && found->second.startTime == stat->startTime &&
        found->second.comm == stat->comm) {
        found->second.ppid = stat->ppid;  // reparenting keeps the process
        return &found->second;
    }
    ProcessInfo info;
    info.pid = pid;
    info.ppid = stat->ppid;
    info.startTime = stat->startTime;
    info.comm = stat->comm;
    // A real uid only changes with privileges that also change what we may
    // signal, so it is read once per entry.
    auto uid = readRealUid(pid);
    info.ours = uid && *uid == uid_;
    if (info.ours) info.identity = identify_(pid);
    return &(known_[pid] = std::move(info));
}

bool ProcessTable::isApp(const ProcessInfo& info) const {
    if (!info.ours || !info.identity) return false;
    auto parent = known_.find(info.ppid);
    return parent == known_.end() || parent->second.identity != info.identity;
}

std::vector<const ProcessInfo*> ProcessTable::apps() {
    std::vector<pid_t> pids = listPids();
    std::unordered_set<pid_t> present(pids.begin(), pids.end());
    for (auto it = known_.begin(); it != known_.end();) {
        it = present.contains(it->first) ? std::next(it) : known_.erase(it);
    }
    std::vector<const ProcessInfo*> alive;
    alive.reserve(pids.size());
    for (pid_t pid : pids) {
        if (const ProcessInfo* info = examine(pid)) alive.push_back(info);
    }
    // Folding needs every parent's entry, so it runs after all are read.
    std::vector<const ProcessInfo*> result;
    for (const ProcessInfo* info : alive) {
        if (isApp(*info)) result.push_back(info);
    }
    return result;
}

}  // namespace vorsel::linux_platform
