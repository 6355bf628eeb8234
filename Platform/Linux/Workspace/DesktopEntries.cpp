#include "Platform/Linux/Workspace/DesktopEntries.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>

#include "Platform/Linux/Workspace/ExecLine.h"
#include "Platform/Linux/Workspace/KeyFile.h"

namespace vorsel::linux_platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSuffix = ".desktop";
const std::string kEntryGroup = "Desktop Entry";
// Bounds on what one lookup reads, so a folder full of junk cannot stall it.
constexpr int kDepth = 8;
constexpr std::size_t kMostEntries = 20000;
constexpr std::size_t kMostDashes = 6;

std::string withoutSuffix(std::string id) {
    if (id.ends_with(kSuffix)) id.resize(id.size() - kSuffix.size());
    return id;
}

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return text;
}

std::vector<std::string> folderList(const char* variable, std::vector<std::string> fallback) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') return fallback;
    std::vector<std::string> folders;
    std::string_view rest = value;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view item = rest.substr(0, colon);
        if (item.starts_with('/')) folders.emplace_back(item);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
    }
    return folders;
}

std::string homeFolder(const char* variable, const char* underHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value == '/') return value;
    const char* home = std::getenv("HOME");
    return home != nullptr && *home == '/' ? std::string(home) + underHome : std::string();
}

std::optional<std::string> canonical(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
    return std::string(buffer);
}

bool executableFile(const std::string& path) {
    std::error_code error;
    return ::access(path.c_str(), X_OK) == 0 && fs::is_regular_file(path, error);
}

bool programFound(const std::string& program) { return resolveProgram(program).has_value(); }

// The program an Exec line runs, as written.
std::string execProgram(const std::string& exec) {
    const auto words = splitExec(exec);
    return words && !words->empty() ? words->front() : std::string();
}

bool namesOneOf(const std::vector<std::string>& listed, const std::vector<std::string>& desktops) {
    for (const auto& name : listed)
        if (std::find(desktops.begin(), desktops.end(), lowered(name)) != desktops.end())
            return true;
    return false;
}

bool shownFile(const std::string& path, const std::vector<std::string>& desktops) {
    const auto entry = readDesktopEntry(path);
    return entry && entryShown(*entry, desktops);
}

bool isFile(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

struct Associations {
    std::vector<std::string> defaults, added;
    std::set<std::string> removed;
};

// The mimeapps.list files, most important first.
std::vector<std::string> associationFiles(const XdgFolders& folders) {
    std::vector<std::string> roots = folders.config;
    for (const auto& data : folders.data) roots.push_back(data + "/applications");
    std::vector<std::string> files;
    for (const auto& root : roots) {
        for (const auto& desktop : folders.desktops)
            files.push_back(root + "/" + desktop + "-mimeapps.list");
        files.push_back(root + "/mimeapps.list");
    }
    return files;
}

Associations associations(const std::string& type, const XdgFolders& folders) {
    static const std::vector<std::string> kGroups = {"Default Applications", "Added Associations",
                                                     "Removed Associations"};
    Associations found;
    for (const auto& file : associationFiles(folders)) {
        const auto text = readKeyFileText(file);
        if (!text) continue;
        const auto groups = parseKeyFile(*text, kGroups);
        const auto list = [&](const std::string& group) {
            std::vector<std::string> ids;
            const auto named = groups.find(group);
            if (named == groups.end()) return ids;
            for (const auto& [key, value] : named->second)
                if (lowered(key) == type)
                    for (auto& id : keyFileList(value)) ids.push_back(withoutSuffix(id));
            return ids;
        };
        // A file's removals hide what less important files associate, not
        // what it or a more important one adds.
        for (const auto& id : list(kGroups[0]))
            if (!found.removed.contains(id)) found.defaults.push_back(id);
        for (const auto& id : list(kGroups[1]))
            if (!found.removed.contains(id)) found.added.push_back(id);
        for (const auto& id : list(kGroups[2])) found.removed.insert(id);
    }
    return found;
}

}  // namespace

XdgFolders XdgFolders::fromEnvironment() {
    XdgFolders folders;
    const std::string configHome = homeFolder("XDG_CONFIG_HOME", "/.config");
    if (!configHome.empty()) folders.config.push_back(configHome);
    for (auto& folder : folderList("XDG_CONFIG_DIRS", {"/etc/xdg"}))
        folders.config.push_back(std::move(folder));
    const std::string dataHome = homeFolder("XDG_DATA_HOME", "/.local/share");
    if (!dataHome.empty()) folders.data.push_back(dataHome);
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    for (auto& folder : folderList("XDG_DATA_DIRS", {"/usr/local/share", "/usr/share"}))
        folders.data.push_back(std::move(folder));
    if (dataDirs == nullptr || *dataDirs == '\0') {
        if (!dataHome.empty()) folders.data.push_back(dataHome + "/flatpak/exports/share");
        folders.data.push_back("/var/lib/flatpak/exports/share");
        folders.data.push_back("/var/lib/snapd/desktop");
    }
    if (const char* desktops = std::getenv("XDG_CURRENT_DESKTOP")) {
        std::string_view rest = desktops;
        while (!rest.empty()) {
            const std::size_t colon = rest.find(':');
            const std::string desktop = lowered(std::string(rest.substr(0, colon)));
            rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
            if (!desktop.empty() && desktop.find('/') == std::string::npos)
                folders.desktops.push_back(desktop);
        }
    }
    return folders;
}

std::optional<DesktopEntry> readDesktopEntry(const std::string& path) {
    const auto text = readKeyFileText(path);
    if (!text) return std::nullopt;
    const auto groups = parseKeyFile(*text, {kEntryGroup});
    const auto group = groups.find(kEntryGroup);
    if (group == groups.end()) return std::nullopt;
    const auto value = [&](const char* key) -> std::string_view {
        const auto found = group->second.find(key);
        return found == group->second.end() ? std::string_view() : found->second;
    };
    DesktopEntry entry;
    entry.application = keyFileString(value("Type")) == "Application";
    entry.hidden = keyFileBoolean(value("Hidden"));
    entry.noDisplay = keyFileBoolean(value("NoDisplay"));
    entry.dbusActivatable = keyFileBoolean(value("DBusActivatable"));
    entry.tryExec = keyFileString(value("TryExec"));
    entry.exec = keyFileString(value("Exec"));
    entry.workingFolder = keyFileString(value("Path"));
    entry.startupWMClass = keyFileString(value("StartupWMClass"));
    entry.mimeTypes = keyFileList(value("MimeType"));
    entry.onlyShowIn = keyFileList(value("OnlyShowIn"));
    entry.notShowIn = keyFileList(value("NotShowIn"));
    return entry;
}

bool entryRuns(const DesktopEntry& entry) {
    if (!entry.application || entry.hidden) return false;
    if (!entry.tryExec.empty() && !programFound(entry.tryExec)) return false;
    if (entry.exec.empty()) return entry.dbusActivatable;
    return programFound(execProgram(entry.exec));
}

bool entryShown(const DesktopEntry& entry, const std::vector<std::string>& desktops) {
    if (!entryRuns(entry) || entry.noDisplay) return false;
    if (!entry.onlyShowIn.empty() && !namesOneOf(entry.onlyShowIn, desktops)) return false;
    return !namesOneOf(entry.notShowIn, desktops);
}

std::optional<std::string> resolveProgram(const std::string& program) {
    if (program.empty()) return std::nullopt;
    if (program.find('/') != std::string::npos) {
        if (!program.starts_with('/') || !executableFile(program)) return std::nullopt;
        return canonical(program);
    }
    const char* path = std::getenv("PATH");
    std::string_view rest =
        path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string folder(rest.substr(0, colon));
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
        if (!folder.starts_with('/')) continue;
        const std::string candidate = folder + "/" + program;
        if (executableFile(candidate)) return canonical(candidate);
    }
    return std::nullopt;
}

std::map<std::string, InstalledEntry> installedEntries(const XdgFolders& folders,
                                                       std::vector<std::string>* walked) {
    std::map<std::string, InstalledEntry> entries;
    std::size_t seen = 0;
    for (std::size_t rank = 0; rank < folders.data.size(); ++rank) {
        const std::string root = folders.data[rank] + "/applications";
        std::error_code error;
        fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied,
                                              error);
        if (!error && walked != nullptr) walked->push_back(root);
        for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
            if (++seen > kMostEntries) return entries;
            if (walk.depth() >= kDepth) walk.disable_recursion_pending();
            const std::string path = walk->path().string();
            std::error_code ignored;
            if (walked != nullptr && walk->is_directory(ignored) && !walk->is_symlink(ignored))
                walked->push_back(path);
            if (!path.ends_with(kSuffix) || !walk->is_regular_file(ignored)) continue;
            // The ID is the path below the root, '/' read as '-'.
            std::string id = withoutSuffix(path.substr(root.size() + 1));
            std::replace(id.begin(), id.end(), '/', '-');
            if (!id.empty()) entries.emplace(std::move(id), InstalledEntry{path, rank});
        }
    }
    return entries;
}

std::optional<std::string> entryPath(const std::string& id, const XdgFolders& folders) {
    const std::string name = withoutSuffix(id);
    if (name.empty() || name.find('/') != std::string::npos || name.starts_with('.'))
        return std::nullopt;
    std::vector<std::size_t> dashes;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (name[i] == '-') dashes.push_back(i);
    // Each dash may be a subfolder's '/'; the plain name first.
    const std::size_t choices = dashes.size() <= kMostDashes ? std::size_t{1} << dashes.size() : 1;
    for (const auto& data : folders.data) {
        for (std::size_t choice = 0; choice < choices; ++choice) {
            std::string relative = name;
            for (std::size_t bit = 0; bit < dashes.size() && bit < kMostDashes; ++bit)
                if (choice & (std::size_t{1} << bit)) relative[dashes[bit]] = '/';
            const std::string path = data + "/applications/" + relative + std::string(kSuffix);
            if (isFile(path)) return path;
        }
    }
    return std::nullopt;
}

bool isShownEntry(const std::string& id, const XdgFolders& folders) {
    const auto path = entryPath(id, folders);
    return path && shownFile(*path, folders.desktops);
}

bool isShownEntry(const std::string& id) { return isShownEntry(id, XdgFolders::fromEnvironment()); }

bool isShownEntryFile(const std::string& path) {
    return shownFile(path, XdgFolders::fromEnvironment().desktops);
}

std::optional<std::string> desktopIdOfPath(const std::string& path) {
    if (!path.ends_with(kSuffix)) return std::nullopt;
    constexpr std::string_view kApplications = "/applications/";
    std::size_t at = path.rfind(kApplications);
    std::string id;
    if (at != std::string::npos) {
        id = path.substr(at + kApplications.size());
        for (char& c : id) {
            if (c == '/') c = '-';
        }
    } else {
        std::size_t slash = path.rfind('/');
        id = slash == std::string::npos ? path : path.substr(slash + 1);
    }
    id = withoutSuffix(id);
    if (id.empty()) return std::nullopt;
    return id;
}

std::vector<std::string> handlersOf(const std::string& contentType, const XdgFolders& folders) {
    const std::string type = lowered(contentType);
    const Associations listed = associations(type, folders);
    const auto installed = installedEntries(folders);

    std::vector<std::string> handlers;
    std::set<std::string> taken;
    const auto take = [&](const std::string& id) {
        if (taken.contains(id)) return false;
        const auto found = installed.find(id);
        if (found == installed.end()) return false;
        const auto entry = readDesktopEntry(found->second.path);
        if (!entry || !entryRuns(*entry)) return false;
        taken.insert(id);
        handlers.push_back(id);
        return true;
    };
    // Only the first default that is installed and runs counts as one.
    for (const auto& id : listed.defaults)
        if (take(id)) break;
    for (const auto& id : listed.added) take(id);

    std::vector<std::pair<std::size_t, std::string>> declaring;
    for (const auto& [id, where] : installed) {
        if (taken.contains(id) || listed.removed.contains(id)) continue;
        const auto entry = readDesktopEntry(where.path);
        if (!entry) continue;
        for (const auto& declared : entry->mimeTypes) {
            if (lowered(declared) == type) {
                declaring.emplace_back(where.rank, id);
                break;
            }
        }
    }
    std::sort(declaring.begin(), declaring.end());
    for (const auto& [rank, id] : declaring) take(id);
    return handlers;
}

std::vector<std::string> handlersOf(const std::string& contentType) {
    return handlersOf(contentType, XdgFolders::fromEnvironment());
}

}  // namespace vorsel::linux_platform
