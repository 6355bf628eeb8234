#include "Platform/Linux/Workspace/Freezer.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "Platform/Linux/Workspace/AppUnit.h"
#include "Platform/Linux/Workspace/Pidfd.h"
#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {
namespace {

// More processes than this in one app is no app a pin should name.
constexpr std::size_t kMaxProcesses = 4096;

// Where the unified (v2) cgroup hierarchy is mounted: /sys/fs/cgroup on most
// machines, /sys/fs/cgroup/unified on those that still mount v1 beside it.
std::string cgroupRoot() {
    static const std::string root = [] {
        const auto mounts = readSmallFile("/proc/self/mountinfo", 1 << 20);
        std::istringstream lines(mounts.value_or(""));
        for (std::string line; std::getline(lines, line);) {
            // "<id> <parent> <dev> <root> <mount point> <options> ... - <type> ..."
            const std::size_t dash = line.find(" - ");
            if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
            std::istringstream fields(line.substr(0, dash));
            std::string id, parent, device, root, point;
            if (fields >> id >> parent >> device >> root >> point && root == "/") return point;
        }
        return std::string("/sys/fs/cgroup");
    }();
    return root;
}

bool parseNumber(std::string_view text, unsigned long long& out) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

// Every pid in the cgroup at `path` and below; nothing when one cannot be
// read (the unit is then not known to hold only the app).
std::optional<std::vector<pid_t>> pidsUnder(const std::string& path) {
    std::vector<pid_t> pids;
    std::error_code error;
    std::vector<std::string> folders{path};
    for (std::filesystem::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory(error)) folders.push_back(it->path().string());
    }
    if (error) return std::nullopt;
    for (const std::string& folder : folders) {
        const auto procs = readSmallFile(folder + "/cgroup.procs", 1 << 20);
        if (!procs) return std::nullopt;
        std::istringstream lines(*procs);
        for (std::string line; std::getline(lines, line);) {
            unsigned long long pid = 0;
            if (!parseNumber(line, pid)) return std::nullopt;
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    return pids;
}

// The app unit `pid` runs in, if every process in it is one of `family`.
std::string unitHolding(pid_t pid, const std::unordered_set<pid_t>& family) {
    const auto cgroup = readCgroup(pid);
    if (!cgroup) return {};
    const auto unit = unitOfCgroup(*cgroup);
    if (!unit || !unit->appId || unit->sessionSlice) return {};
    const auto inside = pidsUnder(cgroupRoot() + unit->path);
    if (!inside) return {};
    for (pid_t member : *inside)
        if (!family.contains(member)) return {};
    const std::size_t slash = unit->path.rfind('/');
    return unit->path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// The cgroup folder of `frozen`'s unit, found through a process still in it.
std::optional<std::string> unitFolder(const Frozen& frozen) {
    for (const Frozen::Process& process : frozen.processes) {
        const auto stat = readStat(process.pid);
        if (!stat || stat->startTime != process.startTime) continue;
        const auto cgroup = readCgroup(process.pid);
        const auto unit = cgroup ? unitOfCgroup(*cgroup) : std::nullopt;
        if (!unit || !unit->path.ends_with("/" + frozen.unit)) return std::nullopt;
        return cgroupRoot() + unit->path;
    }
    return std::nullopt;
}

void signalEach(const Frozen& frozen, int signal) {
    for (const Frozen::Process& process : frozen.processes) {
        if (auto handle = Pidfd::open(process.pid, process.startTime)) handle->signal(signal);
    }
}

// Calls the user manager's `method` on `unit`; `refused` runs on the main
// thread if it answers with an error.
void callManager(const char* method, const std::string& unit, std::function<void()> refused) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (refused) refused();
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.systemd1"), QStringLiteral("/org/freedesktop/systemd1"),
        QStringLiteral("org.freedesktop.systemd1.Manager"), QString::fromLatin1(method));
    message.setArguments({QString::fromStdString(unit)});
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, 10000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [refused = std::move(refused)](QDBusPendingCallWatcher* done) {
                         done->deleteLater();
                         if (done->isError() && refused) refused();
                     });
}

}  // namespace

std::string Frozen::pin() const {
    std::string text = "v1 " + (unit.empty() ? std::string("-") : unit);
    for (const Process& process : processes)
        text += " " + std::to_string(process.pid) + ":" + std::to_string(process.startTime);
    return text;
}

std::optional<Frozen> Frozen::read(std::string_view pin) {
    std::istringstream words{std::string(pin)};
    std::string version, unit;
    if (!(words >> version >> unit) || version != "v1") return std::nullopt;
    Frozen frozen;
    if (unit != "-") {
        if (!appIdOfUnit(unit)) return std::nullopt;
        frozen.unit = unit;
    }
    for (std::string word; words >> word;) {
        const std::size_t colon = word.find(':');
        unsigned long long pid = 0, start = 0;
        if (colon == std::string::npos ||
            !parseNumber(std::string_view(word).substr(0, colon), pid) ||
            !parseNumber(std::string_view(word).substr(colon + 1), start) || pid <= 1 ||
            pid > 0x7fffffff || frozen.processes.size() >= kMaxProcesses)
            return std::nullopt;
        frozen.processes.push_back({static_cast<pid_t>(pid), start});
    }
    if (frozen.processes.empty()) return std::nullopt;
    return frozen;
}

std::optional<Frozen> appProcesses(pid_t pid, unsigned long long startTime, bool withUnits) {
    const auto top = readStat(pid);
    if (!top || top->startTime != startTime || top->isZombie()) return std::nullopt;
    // Children of every process of ours, for a walk down from the app.
    const uid_t uid = ::getuid();
    std::unordered_map<pid_t, std::vector<ProcStat>> children;
    for (pid_t other : listPids()) {
        auto stat = readStat(other);
        if (!stat || stat->isZombie() || other == pid) continue;
        if (readRealUid(other) != uid) continue;
        children[stat->ppid].push_back(std::move(*stat));
    }
    Frozen frozen;
    frozen.processes.push_back({pid, startTime});
    std::unordered_set<pid_t> family{pid};
    for (std::size_t next = 0;
         next < frozen.processes.size() && frozen.processes.size() < kMaxProcesses; ++next) {
        for (const ProcStat& child : children[frozen.processes[next].pid]) {
            if (family.insert(child.pid).second)
                frozen.processes.push_back({child.pid, child.startTime});
        }
    }
    if (withUnits) frozen.unit = unitHolding(pid, family);
    return frozen;
}

bool isFrozen(const Frozen& frozen) {
    if (!frozen.unit.empty()) {
        const auto folder = unitFolder(frozen);
        if (!folder) return true;  // nothing of it runs any more
        const auto events = readSmallFile(*folder + "/cgroup.events", 4096);
        if (events && events->find("frozen 1") != std::string::npos) return true;
        // Refused by the manager and stopped by signals instead: as below.
    }
    for (const Frozen::Process& process : frozen.processes) {
        const auto stat = readStat(process.pid);
        if (!stat || stat->startTime != process.startTime || stat->isZombie()) continue;
        if (stat->state != 'T' && stat->state != 't') return false;
    }
    return true;
}

// A refusal to freeze a unit is answered by stopping its processes, unless
// the unit was thawed in the meantime: each freeze is numbered per unit, and
// a thaw forgets the number.
std::unordered_map<std::string, std::uint64_t>& freezesAsked() {
    static std::unordered_map<std::string, std::uint64_t> asked;
    return asked;
}

void freeze(const Frozen& frozen) {
    if (frozen.unit.empty()) return signalEach(frozen, SIGSTOP);
    static std::uint64_t counter = 0;
    const std::uint64_t number = ++counter;
    freezesAsked()[frozen.unit] = number;
    callManager("FreezeUnit", frozen.unit, [frozen, number] {
        const auto asked = freezesAsked().find(frozen.unit);
        if (asked == freezesAsked().end() || asked->second != number) return;
        freezesAsked().erase(asked);
        signalEach(frozen, SIGSTOP);
    });
}

void thaw(const Frozen& frozen) {
    if (!frozen.unit.empty()) {
        freezesAsked().erase(frozen.unit);
        callManager("ThawUnit", frozen.unit, nullptr);
    }
    signalEach(frozen, SIGCONT);
}

}  // namespace vorsel::linux_platform
