#include "Platform/Linux/Workspace/NoticeHub.h"

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
        : hub_(std::move(hub)), kind_(kind), id_(id) {}
    ~Registration() override {
        if (auto hub = hub_.lock()) hub->remove(kind_, id_);
    }

  private:
    std::weak_ptr<NoticeHub> hub_;
    Kind kind_;
    std::uint64_t id_;
};

NoticeHub::NoticeHub(RunLoop& runLoop, std::shared_ptr<ProcessTable> table, double interval,
                     bool useSystemd)
    : runLoop_(runLoop), table_(std::move(table)), interval_(interval), useSystemd_(useSystemd) {}

NoticeHub::~NoticeHub() = default;

std::unique_ptr<Observation> NoticeHub::observe(Kind kind, std::function<void()> notice) {
    std::uint64_t id = nextId_++;
    auto& list = kind == Kind::launch ? launches_ : terminations_;
    list[id] = std::make_shared<std::function<void()>>(std::move(notice));
    if (!active()) start();
    return std::make_unique<Registration>(weak_from_this(), kind, id);
}

void NoticeHub::remove(Kind kind, std::uint64_t id) {
    (kind == Kind::launch ? launches_ : terminations_).erase(id);
    if (launches_.empty() && terminations_.empty()) stop();
}

void NoticeHub::start() {
    if (useSystemd_ && systemdUserManagerRuns()) {
        std::weak_ptr<NoticeHub> weak = weak_from_this();
        auto watch = std::make_unique<SystemdUnitWatch>([weak](bool launched, bool terminated) {
            auto hub = weak.lock();
            if (!hub) return;
            // The app's processes may have been seen, without identity,
            // before they were moved into its unit.
            if (launched) hub->table_->lookAgain();
            hub->deliver(launched, terminated);
        });
        if (watch->watching()) {
            watch_ = std::move(watch);
            return;
        }
    }
    // The starting point: every pid there is now, and which of them are apps.
    seen_.clear();
    appPids_.clear();
    recheck_.clear();
    for (pid_t pid : listPids()) seen_.insert(pid);
    for (const ProcessInfo* app : table_->apps()) appPids_.insert(app->pid);
    std::weak_ptr<NoticeHub> weak = weak_from_this();
    timer_ = runLoop_.schedule(interval_, interval_ / 5, true, [weak] {
        if (auto hub = weak.lock()) hub->check();
    });
}

void NoticeHub::stop() {
    timer_.reset();  // the run loop copes with a timer ended from its own action
    if (watch_) {
        // Possibly called from inside the watch's own slot: unsubscribe now,
        // free it once Qt is done delivering.
        watch_->close();
        watch_.release()->deleteLater();
    }
    seen_.clear();
    appPids_.clear();
    recheck_.clear();
}

void NoticeHub::check() {
    std::vector<pid_t> pids = listPids();
    std::unordered_set<pid_t> now(pids.begin(), pids.end());
    bool terminated = false;
    for (pid_t pid : seen_) {
        if (now.contains(pid)) continue;
        if (appPids_.erase(pid) > 0) terminated = true;
        recheck_.erase(pid);
        table_->forget(pid);
    }
    bool launched = false;
    std::unordered_map<pid_t, int> again;
    for (pid_t pid : pids) {
        auto pending = recheck_.find(pid);
        bool fresh = !seen_.contains(pid);
        if (!fresh && pending == recheck_.end()) continue;
        const ProcessInfo* info = table_->examine(pid);
        if (info == nullptr) continue;
        if (table_->isApp(*info)) {
            launched = appPids_.insert(pid).second || launched;
        } else if (info->ours && !info->identity) {
            int left = fresh ? kRechecks : pending->second - 1;
            if (left > 0) again[pid] = left;
        }
    }
    seen_ = std::move(now);
    recheck_ = std::move(again);
    if (launched || terminated) deliver(launched, terminated);
}

void NoticeHub::windowAppeared() {
    if (!launches_.empty()) deliver(true, false);
}

void NoticeHub::deliver(bool launched, bool terminated) {
    // A notice may end registrations (a pass that stops watching), so each
    // one is held weakly while the others run and skipped once it is gone.
    auto keep = shared_from_this();
    ++changes_;
    auto call = [](const std::map<std::uint64_t, Notice>& list) {
        std::vector<std::weak_ptr<std::function<void()>>> copy;
        for (const auto& entry : list) copy.push_back(entry.second);
        for (const auto& weak : copy) {
            if (auto notice = weak.lock()) (*notice)();
        }
    };
    if (launched) call(launches_);
    if (terminated) call(terminations_);
}

}  // namespace vorsel::linux_platform
