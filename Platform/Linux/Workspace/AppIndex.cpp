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

#include "Platform/Linux/Workspace/ExecLine.h"
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
    Watch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~Watch() {
        if (fd_ >= 0) ::close(fd_);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // False when this folder cannot be watched: the index then ages instead.
    bool add(const std::string& folder) {
        if (fd_ < 0) return false;
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
        const int wd = ::inotify_add_watch(fd_, path.c_str(), mask);
        if (wd < 0) return false;
        // A folder watched for its own sake counts every change; a parent only
        // the arrival of the part of the path that was missing.
        if (child.empty())
            whole_.insert(wd);
        else
            awaited_[wd].insert(child);
        return true;
    }

    // Whether anything watched changed since the last call (events are read
    // and forgotten).
    bool changed() {
        alignas(inotify_event) char buffer[4096];
        bool changed = false;
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return changed;
            for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += sizeof(inotify_event) + event->len;
                if ((event->mask & IN_Q_OVERFLOW) != 0 || whole_.contains(event->wd)) {
                    changed = true;
                    continue;
                }
                const auto awaited = awaited_.find(event->wd);
                if (awaited != awaited_.end() && event->len > 0 &&
                    awaited->second.contains(event->name))
                    changed = true;
            }
        }
    }

  private:
    int fd_;
    std::set<int> whole_;
    std::map<int, std::set<std::string>> awaited_;
};

AppIndex::AppIndex(XdgFolders folders) : folders_(std::move(folders)) { build(); }

AppIndex::~AppIndex() = default;

AppIndex& AppIndex::current() {
    static std::unique_ptr<AppIndex> index;
    XdgFolders now = XdgFolders::fromEnvironment();
    if (!index || !(index->folders_ == now)) {
        index = std::make_unique<AppIndex>(std::move(now));
    } else {
        index->refresh();
    }
    return *index;
}

void AppIndex::refresh() {
    const bool stale =
        watch_ ? watch_->changed() : std::chrono::steady_clock::now() - built_ > kUnwatchedFresh;
    if (stale) build();
}

const AppIndex::Entry* AppIndex::entry(const std::string& id) const {
    const auto found = byId_.find(id);
    return found == byId_.end() ? nullptr : found->second;
}

const std::vector<AppIndex::Claim>& AppIndex::byProgram(const std::string& program) const {
    static const std::vector<Claim> kNone;
    const auto found = byProgram_.find(program);
    return found == byProgram_.end() ? kNone : found->second;
}

const std::vector<AppIndex::ScriptClaim>& AppIndex::byScript(const std::string& file) const {
    static const std::vector<ScriptClaim> kNone;
    const auto found = byScript_.find(file);
    return found == byScript_.end() ? kNone : found->second;
}

const std::vector<AppIndex::Claim>& AppIndex::byService(const std::string& program) const {
    static const std::vector<Claim> kNone;
    const auto found = byService_.find(program);
    return found == byService_.end() ? kNone : found->second;
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
            byScript_[*script].push_back({claim, *program});
            return;
        }
    }
    if (service) byService_[*program].push_back(claim);
    byProgram_[*program].push_back(claim);
    if (auto interpreter = interpreterOf(*program))
        byScript_[*program].push_back({std::move(claim), std::move(*interpreter)});
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
    if (const Entry* entry = match(byWmClass_, false)) return entry;
    if (const Entry* entry = match(byLowerId_, true)) return entry;
    return match(byLastPart_, true);
}

void AppIndex::build() {
    entries_.clear();
    byId_.clear();
    byWmClass_.clear();
    byLowerId_.clear();
    byLastPart_.clear();
    byProgram_.clear();
    byScript_.clear();
    byService_.clear();
    ++builds_;
    built_ = std::chrono::steady_clock::now();

    // The watch comes first, so that a change made while the files are read
    // makes the next use build again.
    watch_ = std::make_unique<Watch>();
    std::vector<std::string> walked;
    bool watched = true;
    for (const auto& data : folders_.data) {
        watched = watch_->add(data + "/applications") && watched;
        watched = watch_->add(data + "/dbus-1/services") && watched;
    }
    const auto installed = installedEntries(folders_, &walked);
    for (const auto& folder : walked) watched = watch_->add(folder) && watched;
    if (!watched) watch_.reset();

    for (const auto& [id, where] : installed) {
        const auto read = readDesktopEntry(where.path);
        if (!read || !read->application) continue;
        auto& entry = *entries_.emplace_back(
            std::make_unique<Entry>(Entry{id, where.rank, entryShown(*read, folders_.desktops),
                                          read->dbusActivatable, read->startupWMClass}));
        byId_[id] = &entry;
        if (!entry.wmClass.empty()) byWmClass_[entry.wmClass].push_back(&entry);
        byLowerId_[lowered(id)].push_back(&entry);
        // "org.example.Notes" is "notes" to a desktop matching a window.
        if (const auto dot = id.rfind('.'); dot != std::string::npos && dot + 1 < id.size())
            byLastPart_[lowered(id.substr(dot + 1))].push_back(&entry);
        if (!read->tryExec.empty()) add(entry, read->tryExec, read->workingFolder, false);
        if (!read->exec.empty()) add(entry, read->exec, read->workingFolder, false);
        if (!read->dbusActivatable) continue;
        for (const auto& data : folders_.data) {
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
    for (auto& [program, claims] : byProgram_) {
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
