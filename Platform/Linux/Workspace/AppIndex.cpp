#include "Platform/Linux/Workspace/AppIndex.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "Platform/Linux/Workspace/ExecTarget.h"
#include "Platform/Linux/Workspace/KeyFile.h"
#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {
namespace {

namespace fs = std::filesystem;

// Without inotify (no descriptor or watch left), the index is trusted this
// long before it is built again on use.
constexpr auto kUnwatchedFresh = std::chrono::seconds(5);
constexpr std::uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
const std::string kServiceGroup = "D-BUS Service";

std::optional<std::string> canonical(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
    return std::string(buffer);
}

bool isFolder(const std::string& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// The interpreter a "#!" line names, resolved; "#!/usr/bin/env NAME" names
// NAME as found in $PATH. Nothing when `file` is no script.
std::optional<std::string> interpreterOf(const std::string& file) {
    const auto head = readSmallFile(file, 256);
    if (!head || !head->starts_with("#!")) return std::nullopt;
    std::string line = head->substr(2, head->find('\n') - 2);
    auto words = execTargetOf(line);  // a "#!" line splits like a plain command
    if (!words) return std::nullopt;
    return resolveProgram(words->program);
}

}  // namespace

// The folders the index was built from, and whether anything happened in
// them since: each is watched for changes to itself and what it holds; a
// folder that does not exist yet has its nearest existing parent watched for
// the creation of the next part of its path.
class AppIndex::Watch {
  public:
    Watch() : fileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~Watch() {
        if (fileDescriptor >= 0) ::close(fileDescriptor);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // False when this folder cannot be watched: the index then ages instead.
    bool add(const std::string& folder) {
        if (fileDescriptor < 0) return false;
        std::string path = folder;
        std::string child;
        while (!path.empty() && !isFolder(path)) {
            const std::size_t slash = path.rfind('/');
            if (slash == std::string::npos) return false;
            child = path.substr(slash + 1);
            path = slash == 0 ? "/" : path.substr(0, slash);
        }
        // Masks add up: one folder may be watched both ways.
        const std::uint32_t mask =
            (child.empty() ? kChanges : IN_CREATE | IN_MOVED_TO) | IN_MASK_ADD;
        const int wd = ::inotify_add_watch(fileDescriptor, path.c_str(), mask);
        if (wd < 0) return false;
        // A folder watched for its own sake counts every change; a parent only
        // the arrival of the part of the path that was missing.
        if (child.empty())
            whole.insert(wd);
        else
            awaited[wd].insert(child);
        return true;
    }

    // Whether anything watched changed since the last call (events are read
    // and forgotten).
    bool changed() {
        alignas(inotify_event) char buffer[4096];
        bool changed = false;
        for (;;) {
            const ssize_t got = ::read(fileDescriptor, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return changed;
            for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += sizeof(inotify_event) + event->len;
                if ((event->mask & IN_Q_OVERFLOW) != 0 || whole.contains(event->wd)) {
                    changed = true;
                    continue;
                }
                const auto localAwaited = awaited.find(event->wd);
                if (localAwaited != awaited.end() && event->len > 0 &&
                    localAwaited->second.contains(event->name))
                    changed = true;
            }
        }
    }

  private:
    int fileDescriptor;
    std::set<int> whole;
    std::map<int, std::set<std::string>> awaited;
};

AppIndex::AppIndex(XdgFolders folders) : xdgFolders(std::move(folders)) { build(); }

AppIndex::~AppIndex() = default;

AppIndex& AppIndex::current() {
    static std::unique_ptr<AppIndex> index;
    XdgFolders now = XdgFolders::fromEnvironment();
    if (!index || !(index->xdgFolders == now)) {
        index = std::make_unique<AppIndex>(std::move(now));
    } else {
        index->refresh();
    }
    return *index;
}

void AppIndex::refresh() {
    const bool stale =
        watch ? watch->changed() : std::chrono::steady_clock::now() - built > kUnwatchedFresh;
    if (stale) build();
}

const AppIndex::Entry* AppIndex::entry(const std::string& id) const {
    const auto found = byId.find(id);
    return found == byId.end() ? nullptr : found->second;
}

const std::vector<AppIndex::Claim>& AppIndex::byProgram(const std::string& program) const {
    static const std::vector<Claim> kNone;
    const auto found = claimsByProgram.find(program);
    return found == claimsByProgram.end() ? kNone : found->second;
}

const std::vector<AppIndex::ScriptClaim>& AppIndex::byScript(const std::string& file) const {
    static const std::vector<ScriptClaim> kNone;
    const auto found = claimsByScript.find(file);
    return found == claimsByScript.end() ? kNone : found->second;
}

const std::vector<AppIndex::Claim>& AppIndex::byService(const std::string& program) const {
    static const std::vector<Claim> kNone;
    const auto found = claimsByService.find(program);
    return found == claimsByService.end() ? kNone : found->second;
}

void AppIndex::add(const Entry& entry, const std::string& exec, const std::string& folder,
                   bool service) {
    const auto target = execTargetOf(exec);
    if (!target) return;
    const auto program = resolveProgram(target->program);
    if (!program) return;
    Claim claim{&entry, target->fixed};
    // A file given to the program, when it is there, is what an interpreter
    // runs. A relative name only counts in the entry's own working folder:
    // whatever folder a launcher starts others in is unknown here.
    std::string file = target->file.value_or("");
    if (!file.starts_with('/')) file = folder.empty() || file.empty() ? "" : folder + "/" + file;
    if (!file.empty()) {
        std::error_code error;
        const auto script = canonical(file);
        if (script && fs::is_regular_file(*script, error)) {
            // The interpreter alone would claim every script it runs. The
            // script is matched as a file, however the command names it.
            const auto named = std::find(claim.fixed.begin(), claim.fixed.end(), *target->file);
            if (named != claim.fixed.end()) claim.fixed.erase(named);
            claimsByScript[*script].push_back({claim, *program});
            return;
        }
    }
    if (service) claimsByService[*program].push_back(claim);
    claimsByProgram[*program].push_back(claim);
    if (auto interpreter = interpreterOf(*program))
        claimsByScript[*program].push_back({std::move(claim), std::move(*interpreter)});
}

namespace {

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The best of several entries that match a window alike (see byWindowClass).
const AppIndex::Entry* best(const std::vector<const AppIndex::Entry*>& entries) {
    const AppIndex::Entry* chosen = nullptr;
    for (const auto* entry : entries) {
        if (chosen == nullptr || std::tie(chosen->shown, entry->rank, entry->id) <
                                     std::tie(entry->shown, chosen->rank, chosen->id))
            chosen = entry;
    }
    return chosen;
}

}  // namespace

const AppIndex::Entry* AppIndex::byWindowClass(const std::string& windowClass,
                                               const std::string& instance) const {
    using Table = std::unordered_map<std::string, std::vector<const Entry*>>;
    const auto match = [&](const Table& table, bool lower) -> const Entry* {
        std::vector<const Entry*> found;
        for (const std::string* name : {&windowClass, &instance}) {
            if (name->empty()) continue;
            const auto hit = table.find(lower ? lowered(*name) : *name);
            if (hit != table.end())
                found.insert(found.end(), hit->second.begin(), hit->second.end());
        }
        return best(found);
    };
    if (const Entry* entry = match(byWmClass, false)) return entry;
    if (const Entry* entry = match(byLowerId, true)) return entry;
    return match(byLastPart, true);
}

void AppIndex::build() {
    entries.clear();
    byId.clear();
    byWmClass.clear();
    byLowerId.clear();
    byLastPart.clear();
    claimsByProgram.clear();
    claimsByScript.clear();
    claimsByService.clear();
    ++buildCount;
    built = std::chrono::steady_clock::now();

    // The watch comes first, so that a change made while the files are read
    // makes the next use build again.
    watch = std::make_unique<Watch>();
    std::vector<std::string> walked;
    bool watched = true;
    for (const auto& data : xdgFolders.data) {
        watched = watch->add(data + "/applications") && watched;
        watched = watch->add(data + "/dbus-1/services") && watched;
    }
    const auto installed = installedEntries(xdgFolders, &walked);
    for (const auto& folder : walked) watched = watch->add(folder) && watched;
    if (!watched) watch.reset();

    for (const auto& [id, where] : installed) {
        const auto read = readDesktopEntry(where.path);
        if (!read || !read->application) continue;
        auto& entry = *entries.emplace_back(
            std::make_unique<Entry>(Entry{id, where.rank, entryShown(*read, xdgFolders.desktops),
                                          read->dbusActivatable, read->startupWMClass}));
        byId[id] = &entry;
        if (!entry.wmClass.empty()) byWmClass[entry.wmClass].push_back(&entry);
        byLowerId[lowered(id)].push_back(&entry);
        // "org.example.Notes" is "notes" to a desktop matching a window.
        if (const auto dot = id.rfind('.'); dot != std::string::npos && dot + 1 < id.size())
            byLastPart[lowered(id.substr(dot + 1))].push_back(&entry);
        if (!read->tryExec.empty()) add(entry, read->tryExec, read->workingFolder, false);
        if (!read->exec.empty()) add(entry, read->exec, read->workingFolder, false);
        if (!read->dbusActivatable) continue;
        for (const auto& data : xdgFolders.data) {
            const auto text = readKeyFileText(data + "/dbus-1/services/" + id + ".service");
            if (!text) continue;
            const auto groups = parseKeyFile(*text, {kServiceGroup});
            const auto group = groups.find(kServiceGroup);
            if (group == groups.end()) continue;
            const auto name = group->second.find("Name");
            const auto exec = group->second.find("Exec");
            if (name == group->second.end() || name->second != id || exec == group->second.end())
                continue;
            add(entry, exec->second, {}, true);
            break;  // the first data folder's service file is the one the bus uses
        }
    }
    // The same entry may name a program twice (TryExec and Exec).
    for (auto& [program, claims] : claimsByProgram) {
        std::vector<Claim> unique;
        for (auto& claim : claims) {
            bool seen = false;
            for (const auto& kept : unique)
                seen = seen || (kept.entry == claim.entry && kept.fixed == claim.fixed);
            if (!seen) unique.push_back(std::move(claim));
        }
        claims = std::move(unique);
    }
}

}  // namespace vorsel::linux_platform
