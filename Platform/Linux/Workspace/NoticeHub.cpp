#include "Platform/Linux/Workspace/NoticeHub.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/ProcessTable.h"
#include "Platform/Linux/Workspace/SystemdUser.h"

namespace vorsel::linux_platform {
namespace {
// How many later checks look again at a new pid of ours without identity.
constexpr int kRechecks = 4;
}  // namespace

// Ends its registration when destroyed, even after the hub itself is gone.
class NoticeHub::Registration final : public Observation {
  public:
    Registration(std::weak_ptr<NoticeHub> hub, Kind kind, std::uint64_t id)
        : hub(std::move(hub)), kind(kind), id(id) {}
    ~Registration() override {
        if (auto givenHub = hub.lock()) givenHub->remove(kind, id);
    }

  private:
    std::weak_ptr<NoticeHub> hub;
    Kind kind;
    std::uint64_t id;
};

NoticeHub::NoticeHub(RunLoop& runLoop, std::shared_ptr<ProcessTable> table, double interval,
                     bool useSystemd)
    : runLoop(runLoop), table(std::move(table)), interval(interval), useSystemd(useSystemd) {
    if (const char* file = std::getenv(kNoticesTraceVariable)) traceFile = file;
}

NoticeHub::~NoticeHub() = default;

std::unique_ptr<Observation> NoticeHub::observe(Kind kind, std::function<void()> notice) {
    std::uint64_t id = nextId++;
    auto& list = kind == Kind::launch ? launches : terminations;
    list[id] = std::make_shared<std::function<void()>>(std::move(notice));
    if (!active()) start();
    return std::make_unique<Registration>(weak_from_this(), kind, id);
}

void NoticeHub::remove(Kind kind, std::uint64_t id) {
    (kind == Kind::launch ? launches : terminations).erase(id);
    if (launches.empty() && terminations.empty()) stop();
}

void NoticeHub::start() {
    if (useSystemd && systemdUserManagerRuns()) {
        std::weak_ptr<NoticeHub> weak = weak_from_this();
        auto localWatch =
            std::make_unique<SystemdUnitWatch>([weak](bool launched, bool terminated) {
                auto hub = weak.lock();
                if (!hub) return;
                // The app's processes may have been seen, without identity,
                // before they were moved into its unit.
                if (launched) hub->table->lookAgain();
                hub->deliver(launched, terminated);
            });
        if (localWatch->watching()) {
            watch = std::move(localWatch);
            trace("manager");
            return;
        }
    }
    // The starting point: every pid there is now, and which of them are apps.
    seenHeld.clear();
    appPids.clear();
    recheck.clear();
    for (pid_t pid : listPids()) seenHeld.insert(pid);
    for (const ProcessInfo* app : table->apps()) appPids.insert(app->pid);
    trace("proc");
    std::weak_ptr<NoticeHub> weak = weak_from_this();
    timer = runLoop.schedule(interval, interval / 5, true, [weak] {
        if (auto hub = weak.lock()) hub->check();
    });
}

void NoticeHub::stop() {
    timer.reset();  // the run loop copes with a timer ended from its own action
    if (watch) {
        // Possibly called from inside the watch's own slot: unsubscribe now,
        // free it once Qt is done delivering.
        watch->close();
        watch.release()->deleteLater();
    }
    seenHeld.clear();
    appPids.clear();
    recheck.clear();
}

void NoticeHub::check() {
    trace("check");
    std::vector<pid_t> pids = listPids();
    std::unordered_set<pid_t> now(pids.begin(), pids.end());
    bool terminated = false;
    for (pid_t pid : seenHeld) {
        if (now.contains(pid)) continue;
        if (appPids.erase(pid) > 0) terminated = true;
        recheck.erase(pid);
        table->forget(pid);
    }
    bool launched = false;
    std::unordered_map<pid_t, int> again;
    for (pid_t pid : pids) {
        auto pending = recheck.find(pid);
        bool fresh = !seenHeld.contains(pid);
        if (!fresh && pending == recheck.end()) continue;
        const ProcessInfo* info = table->examine(pid);
        if (info == nullptr) continue;
        if (table->isApp(*info)) {
            launched = appPids.insert(pid).second || launched;
        } else if (info->ours && !info->identity) {
            int left = fresh ? kRechecks : pending->second - 1;
            if (left > 0) again[pid] = left;
        }
    }
    seenHeld = std::move(now);
    recheck = std::move(again);
    if (launched || terminated) deliver(launched, terminated);
}

void NoticeHub::trace(const char* what) const {
    if (traceFile.empty()) return;
    if (std::FILE* file = std::fopen(traceFile.c_str(), "ae")) {
        std::fprintf(file, "%s\n", what);
        std::fclose(file);
    }
}

void NoticeHub::windowAppeared() {
    if (!launches.empty()) deliver(true, false);
}

void NoticeHub::deliver(bool launched, bool terminated) {
    // A notice may end registrations (a pass that stops watching), so each
    // one is held weakly while the others run and skipped once it is gone.
    auto keep = shared_from_this();
    ++changeCount;
    auto call = [](const std::map<std::uint64_t, Notice>& list) {
        std::vector<std::weak_ptr<std::function<void()>>> copy;
        for (const auto& entry : list) copy.push_back(entry.second);
        for (const auto& weak : copy) {
            if (auto notice = weak.lock()) (*notice)();
        }
    };
    if (launched) call(launches);
    if (terminated) call(terminations);
}

}  // namespace vorsel::linux_platform
