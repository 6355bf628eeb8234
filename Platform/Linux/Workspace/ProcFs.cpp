#include "Platform/Linux/Workspace/ProcFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>

namespace vorsel::linux_platform {
namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD

template <typename T>
bool parseNumber(std::string_view text, T& out) {
    if (text.empty()) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

// Splits `text` at single spaces.
std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// "/proc/<pid>/<file>" (or "/proc/<pid>" without a file) in `buffer`,
// without allocating: these paths are built for every process on every pass.
const char* procPath(char (&buffer)[64], pid_t pid, const char* file) {
    char* at = buffer;
    for (const char* c = "/proc/"; *c != '\0'; ++c) *at++ = *c;
    at = std::to_chars(at, buffer + 32, pid).ptr;
    if (file != nullptr) {
        *at++ = '/';
        for (const char* c = file; *c != '\0' && at < buffer + 63; ++c) *at++ = *c;
    }
    *at = '\0';
    return buffer;
}

}  // namespace

bool ProcStat::isKernelThread() const { return (flags & kKernelThreadFlag) != 0; }

std::optional<ProcStat> parseStat(std::string_view text) {
    std::size_t open = text.find('(');
    std::size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    ProcStat stat;
    std::string_view pidText = text.substr(0, open);
    while (!pidText.empty() && pidText.back() == ' ') pidText.remove_suffix(1);
    if (!parseNumber(pidText, stat.pid)) return std::nullopt;
    stat.comm = std::string(text.substr(open + 1, close - open - 1));
    std::string_view rest = text.substr(close + 1);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.remove_suffix(1);
    auto parts = fields(rest);
    // After the name: state(3) ppid(4) ... flags(9) ... starttime(22), so the
    // indices below are the field number minus 3.
    if (parts.size() < 20 || parts[0].size() != 1) return std::nullopt;
    stat.state = parts[0][0];
    if (!parseNumber(parts[1], stat.ppid)) return std::nullopt;
    if (!parseNumber(parts[6], stat.flags)) return std::nullopt;
    if (!parseNumber(parts[19], stat.startTime)) return std::nullopt;
    return stat;
}

std::optional<uid_t> parseRealUid(std::string_view statusText) {
    std::size_t at = 0;
    while (at < statusText.size()) {
        std::size_t end = statusText.find('\n', at);
        if (end == std::string_view::npos) end = statusText.size();
        std::string_view line = statusText.substr(at, end - at);
        if (line.substr(0, 4) == "Uid:") {
            line.remove_prefix(4);
            std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string_view::npos) return std::nullopt;
            line.remove_prefix(first);
            std::size_t stop = line.find_first_of(" \t");
            uid_t uid = 0;
            if (!parseNumber(line.substr(0, stop), uid)) return std::nullopt;
            return uid;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::vector<std::string> parseCmdline(std::string_view block) {
    std::vector<std::string> words;
    while (!block.empty()) {
        const std::size_t end = block.find('\0');
        words.emplace_back(block.substr(0, end));
        block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    }
    return words;
}

std::map<std::string, std::string> parseEnviron(std::string_view block,
                                                const std::vector<std::string>& names) {
    std::map<std::string, std::string> found;
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t end = block.find('\0', at);
        if (end == std::string_view::npos) break;  // cut off by the read limit
        std::string_view entry = block.substr(at, end - at);
        std::size_t equals = entry.find('=');
        if (equals != std::string_view::npos) {
            std::string_view name = entry.substr(0, equals);
            for (const auto& wanted : names) {
                if (name == wanted) found[wanted] = std::string(entry.substr(equals + 1));
            }
        }
        at = end + 1;
    }
    return found;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    bool ok = true;
    while (text.size() < limit) {
        ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return text;
}

std::vector<pid_t> listPids() {
    std::vector<pid_t> pids;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return pids;
    while (dirent* entry = ::readdir(dir)) {
        pid_t pid = 0;
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
            parseNumber(std::string_view(entry->d_name), pid))
            pids.push_back(pid);
    }
    ::closedir(dir);
    return pids;
}

std::optional<ProcStat> readStat(pid_t pid) {
    char path[64];
    int fd = ::open(procPath(path, pid, "stat"), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    // The kernel writes the whole line in one read when there is room for
    // it, so one read is enough; the line is far shorter than the buffer.
    char buffer[4096];
    ssize_t got;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0 || static_cast<std::size_t>(got) == sizeof buffer) return std::nullopt;
    return parseStat(std::string_view(buffer, static_cast<std::size_t>(got)));
}

std::optional<ino_t> readEntryInode(pid_t pid) {
    char path[64];
    struct stat entry {};
    if (::stat(procPath(path, pid, nullptr), &entry) != 0) return std::nullopt;
    return entry.st_ino;
}

std::optional<uid_t> readRealUid(pid_t pid) {
    char path[64];
    auto text = readSmallFile(procPath(path, pid, "status"), 16384);
    if (!text) return std::nullopt;
    return parseRealUid(*text);
}

std::optional<std::string> readExe(pid_t pid) {
    char buffer[4096];
    char link[64];
    ssize_t got = ::readlink(procPath(link, pid, "exe"), buffer, sizeof buffer);
    if (got <= 0 || static_cast<std::size_t>(got) >= sizeof buffer) return std::nullopt;
    std::string path(buffer, static_cast<std::size_t>(got));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
        path.resize(path.size() - kDeleted.size());
    return path;
}

std::map<std::string, std::string> readEnviron(pid_t pid, const std::vector<std::string>& names,
                                               std::size_t limit) {
    char path[64];
    auto block = readSmallFile(procPath(path, pid, "environ"), limit);
    if (!block) return {};
    return parseEnviron(*block, names);
}

std::optional<std::string> readCgroup(pid_t pid) {
    char path[64];
    return readSmallFile(procPath(path, pid, "cgroup"), 16384);
}

std::vector<std::string> readCmdline(pid_t pid, std::size_t limit) {
    char path[64];
    auto block = readSmallFile(procPath(path, pid, "cmdline"), limit);
    if (!block) return {};
    return parseCmdline(*block);
}

std::optional<std::string> resolveForProcess(pid_t pid, const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::string full = path;
    if (!path.starts_with('/')) {
        char cwd[64];
        full = std::string(procPath(cwd, pid, "cwd")) + "/" + path;
    }
    char buffer[PATH_MAX];
    if (::realpath(full.c_str(), buffer) == nullptr) return std::nullopt;
    return std::string(buffer);
}

}  // namespace vorsel::linux_platform
