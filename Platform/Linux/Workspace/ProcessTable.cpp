#include "Platform/Linux/Workspace/ProcessTable.h"

#include <unordered_set>

#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {

ProcessTable::ProcessTable(uid_t uid, Identify identify) : uid(uid), identify(identify) {}

void ProcessTable::erase(pid_t pid) {
    auto found = known.find(pid);
    if (found == known.end()) return;
    if (found->second.handle) --keptHandles;
    known.erase(found);
}

void ProcessTable::forget(pid_t pid) { erase(pid); }

const ProcessInfo* ProcessTable::examine(pid_t pid) {
    auto entry = readEntryInode(pid);
    if (!entry) {
        erase(pid);
        return nullptr;
    }
    auto found = known.find(pid);
    if (found != known.end() && found->second.entry == *entry) {
        ProcessInfo& info = found->second;
        if (info.kernelThread) return nullptr;
        if (!info.ours) return &info;
        if (!info.identity) {
            if (readExe(pid) == info.exe) {
                if (info.looked == round) return &info;
                // What an app unit's start can have changed for a process
                // without identity is only which unit it is in.
                if (info.cgroup && readCgroup(pid) == info.cgroup) {
                    info.looked = round;
                    return &info;
                }
            }
        } else if (auto stat = readStat(pid)) {
            if (stat->isZombie()) {
                erase(pid);
                return nullptr;
            }
            if (stat->startTime == info.startTime && stat->comm == info.comm) {
                info.ppid = stat->ppid;  // reparenting keeps the process
                return &info;
            }
        }
    }
    return readAfresh(pid, *entry);
}

const ProcessInfo* ProcessTable::readAfresh(pid_t pid, ino_t entry) {
    erase(pid);
    auto stat = readStat(pid);
    if (!stat || stat->isZombie()) return nullptr;
    ProcessInfo info;
    info.pid = pid;
    info.ppid = stat->ppid;
    info.entry = entry;
    info.startTime = stat->startTime;
    info.comm = stat->comm;
    info.kernelThread = stat->isKernelThread();
    if (!info.kernelThread) {
        // A real uid only changes with privileges that also change what we
        // may signal, so it is read once per entry.
        auto localUid = readRealUid(pid);
        info.ours = localUid && *localUid == uid;
    }
    if (info.ours) {
        // Read before the identity, so that a program run in between makes
        // the next snapshot look again rather than keep a stale identity.
        info.exe = readExe(pid);
        // Once units are watched, so is the unit a process is in.
        if (round > 0) info.cgroup = readCgroup(pid);
        info.identity = identify(pid);
        info.looked = round;
        if (info.identity) info.cgroup.reset();
    }
    const ProcessInfo& stored = known[pid] = std::move(info);
    return stored.kernelThread ? nullptr : &stored;
}

bool ProcessTable::isApp(const ProcessInfo& info) const {
    if (!info.ours || !info.identity) return false;
    auto parent = known.find(info.ppid);
    if (parent == known.end() || !parent->second.identity) return true;
    const AppIdentity& own = *info.identity;
    const AppIdentity& parents = *parent->second.identity;
    if (own.inherited) return false;
    // Helpers run what their app runs, so they may be the same entries.
    if (own.names(parents.bundleID) || parents.names(own.bundleID)) return false;
    for (const auto& alias : own.aliases)
        if (parents.names(alias)) return false;
    return true;
}

std::shared_ptr<const Pidfd> ProcessTable::handle(const ProcessInfo& info) {
    if (info.handle) return info.handle;
    auto opened = Pidfd::open(info.pid, info.startTime);
    if (!opened) return nullptr;
    auto shared = std::make_shared<const Pidfd>(std::move(*opened));
    auto found = known.find(info.pid);
    if (found != known.end() && &found->second == &info && keptHandles < kKeptHandles) {
        found->second.handle = shared;
        ++keptHandles;
    }
    return shared;
}

std::vector<const ProcessInfo*> ProcessTable::apps() {
    std::vector<pid_t> pids = listPids();
    std::unordered_set<pid_t> present(pids.begin(), pids.end());
    for (auto it = known.begin(); it != known.end();) {
        if (present.contains(it->first)) {
            ++it;
        } else {
            if (it->second.handle) --keptHandles;
            it = known.erase(it);
        }
    }
    std::vector<const ProcessInfo*> alive;
    alive.reserve(pids.size());
    for (pid_t pid : pids) {
        if (const ProcessInfo* info = examine(pid)) alive.push_back(info);
    }
    nameByWindows(alive);
    // Folding needs every parent's entry, so it runs after all are read.
    std::vector<const ProcessInfo*> result;
    for (const ProcessInfo* info : alive) {
        if (isApp(*info)) result.push_back(info);
    }
    return result;
}

void ProcessTable::windowsSeen(const std::vector<TopLevel>& windows) {
    windowByPid.clear();
    windowsWithoutPid.clear();
    for (const TopLevel& window : windows) {
        if (window.windowClass.empty() && window.instance.empty()) continue;
        if (window.pid > 0)
            windowByPid.try_emplace(window.pid, window);  // its first window speaks for it
        else
            windowsWithoutPid.push_back(window);
    }
}

const TopLevel* ProcessTable::windowOf(const ProcessInfo& info) const {
    if (auto found = windowByPid.find(info.pid); found != windowByPid.end()) return &found->second;
    for (const TopLevel& window : windowsWithoutPid) {
        // comm is cut at 15 characters.
        if (!window.instance.empty() && window.instance.substr(0, 15) == info.comm) return &window;
    }
    return nullptr;
}

void ProcessTable::nameByWindows(const std::vector<const ProcessInfo*>& alive) {
    if (windowByPid.empty() && windowsWithoutPid.empty()) return;
    const auto unnamed = [](const ProcessInfo& info) {
        return info.ours && (!info.identity || (info.identity->withoutEntry && !info.byWindow));
    };
    for (const ProcessInfo* info : alive) {
        if (!unnamed(*info)) continue;
        const TopLevel* window = windowOf(*info);
        if (window == nullptr) continue;
        if (auto identity = identityOfWindow(window->windowClass, window->instance)) {
            ProcessInfo& named = known.at(info->pid);
            named.identity = std::move(identity);
            named.byWindow = true;
            named.cgroup.reset();
        }
    }
    // What such an app started is part of it (a browser's renderers and
    // helpers, under their own names), never an app of its own while it
    // runs.
    for (const ProcessInfo* info : alive) {
        if (!unnamed(*info)) continue;
        pid_t parent = info->ppid;
        for (int depth = 0; parent > 1 && depth < 32; ++depth) {
            auto found = known.find(parent);
            if (found == known.end() || !found->second.ours) break;
            const ProcessInfo& above = found->second;
            if (above.identity && above.byWindow) {
                ProcessInfo& named = known.at(info->pid);
                named.identity = above.identity;
                named.identity->inherited = true;
                named.byWindow = true;
                named.cgroup.reset();
                break;
            }
            if (above.identity) break;
            parent = above.ppid;
        }
    }
}

}  // namespace vorsel::linux_platform
