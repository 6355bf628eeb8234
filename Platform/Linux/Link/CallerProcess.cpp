#include "Platform/Linux/Link/CallerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>

#include "Platform/Linux/Runtime/PosixError.h"
#include "Platform/Linux/Signing/Refusal.h"

namespace vorsel::linux_platform {

namespace {

constexpr std::size_t kMaxStatus = 64 * 1024;
// Thousands of mappings fit; a process with more is not an app to trust.
constexpr std::size_t kMaxMaps = 16u << 20;
constexpr std::size_t kMaxThreads = 4096;
constexpr std::size_t kMaxMappings = 65536;

// The next line of `text` from `at` that is not empty, moving `at` past it;
// nothing once the text is used up.
std::optional<std::string_view> nextLine(std::string_view text, std::size_t& at) {
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty()) return line;
    }
    return std::nullopt;
}

std::string_view nextWord(std::string_view& text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

template <typename T>
bool number(std::string_view text, T& out, int base = 10) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::optional<Mapping> parseMapping(std::string_view line) {
    Mapping mapping;
    const std::string_view range = nextWord(line);
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos || !number(range.substr(0, dash), mapping.start, 16) ||
        !number(range.substr(dash + 1), mapping.end, 16))
        return std::nullopt;
    mapping.perms = std::string(nextWord(line));
    if (mapping.perms.size() != 4 || !number(nextWord(line), mapping.offset, 16))
        return std::nullopt;
    mapping.device = std::string(nextWord(line));
    if (mapping.device.find(':') == std::string::npos || !number(nextWord(line), mapping.inode))
        return std::nullopt;
    // The rest, after the padding, is the path: it may hold blanks itself.
    const std::size_t path = line.find_first_not_of(' ');
    if (path != std::string_view::npos) mapping.path = std::string(line.substr(path));
    return mapping;
}

template <typename T>
bool numbersAfter(std::string_view line, std::vector<T>& out) {
    out.clear();
    for (std::string_view word = nextWord(line); !word.empty(); word = nextWord(line)) {
        T value{};
        if (!number(word, value)) return false;
        out.push_back(value);
    }
    return true;
}

// The value of the "<name>:" line of a status text, tabs turned to blanks.
std::optional<std::string> statusLine(std::string_view status, std::string_view name) {
    std::size_t at = 0;
    while (at < status.size()) {
        std::size_t end = status.find('\n', at);
        if (end == std::string_view::npos) end = status.size();
        const std::string_view line = status.substr(at, end - at);
        if (line.size() > name.size() && line.substr(0, name.size()) == name &&
            line[name.size()] == ':') {
            std::string value(line.substr(name.size() + 1));
            for (char& c : value)
                if (c == '\t') c = ' ';
            return value;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> linkAt(int dir, const char* name) {
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(dir, name, target, sizeof target);
    if (size < 0 || static_cast<std::size_t>(size) >= sizeof target) return std::nullopt;
    return std::string(target, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<std::vector<Mapping>> parseExecutableMappings(std::string_view maps) {
    std::vector<Mapping> found;
    std::size_t at = 0;
    while (const auto line = nextLine(maps, at)) {
        auto mapping = parseMapping(*line);
        if (!mapping) return std::nullopt;
        if (mapping->perms[2] == 'x') found.push_back(std::move(*mapping));
    }
    return found;
}

std::optional<std::string> executableLines(std::string_view maps) {
    std::string lines;
    std::size_t at = 0;
    while (const auto next = nextLine(maps, at)) {
        const std::string_view line = *next;
        // "start-end perms ...": the third letter of the permissions.
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos || blank + 5 > line.size()) return std::nullopt;
        if (line[blank + 3] != 'x') continue;
        lines.append(line);
        lines.push_back('\n');
    }
    return lines;
}

std::optional<CallerIds> parseIds(std::string_view status) {
    CallerIds ids;
    const auto uids = statusLine(status, "Uid");
    const auto gids = statusLine(status, "Gid");
    const auto groups = statusLine(status, "Groups");
    if (!uids || !gids || !numbersAfter(*uids, ids.uids) || !numbersAfter(*gids, ids.gids) ||
        ids.uids.size() != 4 || ids.gids.size() != 4)
        return std::nullopt;
    if (groups && !numbersAfter(*groups, ids.groups)) return std::nullopt;
    return ids;
}

std::optional<pid_t> parseTracer(std::string_view status) {
    const auto line = statusLine(status, "TracerPid");
    if (!line) return std::nullopt;
    std::string_view text = *line;
    pid_t tracer = -1;
    if (!number(nextWord(text), tracer)) return std::nullopt;
    return tracer;
}

UniqueFd openProcess(pid_t pid, std::string* why) {
    if (pid <= 0) {
        refuse(why, "the caller has no process");
        return UniqueFd();
    }
    const std::string path = "/proc/" + std::to_string(pid);
    UniqueFd proc(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc) refuse(why, "the caller is gone: " + posixError(errno));
    return proc;
}

std::optional<CallerIds> readIds(int procDir, std::string* why) {
    std::string failure;
    const auto status = readFileAt(procDir, "status", kMaxStatus, &failure);
    if (!status) return refused(why, "the caller is gone: " + failure);
    auto ids = parseIds(*status);
    if (!ids) refuse(why, "the caller's status is unreadable");
    return ids;
}

std::optional<std::vector<Mapping>> readExecutableMappings(int procDir, std::string* why) {
    std::string failure;
    const auto maps = readFileAt(procDir, "maps", kMaxMaps, &failure);
    if (!maps) return refused(why, "the caller's mappings are unreadable: " + failure);
    auto mappings = parseExecutableMappings(*maps);
    if (!mappings) refuse(why, "the caller's mappings are unreadable");
    // A process whose image is gone (a zombie) maps nothing at all.
    if (mappings && mappings->empty()) return refused(why, "the caller maps no code");
    return mappings;
}

namespace {

// Linux 6.11's PROCMAP_QUERY (linux/fs.h), for headers that predate it: one
// mapping of a maps file at a time, without the text of every other one.
struct ProcmapQuery {
    std::uint64_t size = sizeof(ProcmapQuery);
    std::uint64_t queryFlags = 0;
    std::uint64_t queryAddress = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t flags = 0;
    std::uint64_t pageSize = 0;
    std::uint64_t offset = 0;
    std::uint64_t inode = 0;
    std::uint32_t deviceMajor = 0;
    std::uint32_t deviceMinor = 0;
    std::uint32_t nameSize = 0;
    std::uint32_t buildIdSize = 0;
    std::uint64_t nameAddress = 0;
    std::uint64_t buildIdAddress = 0;
};
static_assert(sizeof(ProcmapQuery) == 104);
constexpr unsigned long kProcmapQuery = 0xc0686611;  // _IOWR('f', 17, struct procmap_query)
constexpr std::uint64_t kReadable = 0x01, kWritable = 0x02, kExecutable = 0x04, kShared = 0x08,
                        kCoveringOrNext = 0x10;

// `value` in hex, at least `width` digits, as the kernel writes the fields
// of maps.
void appendHex(std::string& out, std::uint64_t value, std::size_t width) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    const auto size = static_cast<std::size_t>(end - digits);
    if (size < width) out.append(width - size, '0');
    out.append(digits, size);
}

// One mapping's line as the kernel writes it in maps: the fields, padded to
// column 73 before a name, and a newline in a path written "\\012".
void appendLine(std::string& lines, const ProcmapQuery& query, std::string_view name) {
    const std::size_t lineStart = lines.size();
    appendHex(lines, query.start, 8);
    lines.push_back('-');
    appendHex(lines, query.end, 8);
    lines.push_back(' ');
    lines.push_back(query.flags & kReadable ? 'r' : '-');
    lines.push_back(query.flags & kWritable ? 'w' : '-');
    lines.push_back(query.flags & kExecutable ? 'x' : '-');
    lines.push_back(query.flags & kShared ? 's' : 'p');
    lines.push_back(' ');
    appendHex(lines, query.offset, 8);
    lines.push_back(' ');
    appendHex(lines, query.deviceMajor, 2);
    lines.push_back(':');
    appendHex(lines, query.deviceMinor, 2);
    lines.push_back(' ');
    char inode[24];
    lines.append(inode, std::to_chars(inode, inode + sizeof inode, query.inode).ptr);
    lines.push_back(' ');
    if (!name.empty()) {
        constexpr std::size_t kNameColumn = 25 + 8 * 6 - 1;
        const std::size_t length = lines.size() - lineStart;
        if (length < kNameColumn) lines.append(kNameColumn - length, ' ');
        lines.push_back(' ');
        for (const char c : name) {
            if (c == '\n')
                lines.append("\\012");
            else
                lines.push_back(c);
        }
    }
    lines.push_back('\n');
}

// The executable lines of the process's maps, asked of the kernel one
// mapping at a time: what executableLines() takes from the whole text (less
// the vsyscall page, which belongs to no process), at a fraction of the cost
// for an app with hundreds of mappings. Nothing when the kernel cannot be
// asked so (before 6.11), with `unsupported` set, or on any other failure.
std::optional<std::string> queryExecutableLines(int procDir, bool& unsupported) {
    const UniqueFd maps(::openat(procDir, "maps", O_RDONLY | O_CLOEXEC));
    if (!maps) return std::nullopt;
    std::string lines;
    char name[PATH_MAX + 1];
    std::uint64_t address = 0;
    for (std::size_t count = 0; count < kMaxMappings; ++count) {
        ProcmapQuery query;
        query.queryFlags = kExecutable | kCoveringOrNext;
        query.queryAddress = address;
        query.nameSize = sizeof name;
        query.nameAddress = reinterpret_cast<std::uintptr_t>(name);
        if (::ioctl(maps.get(), kProcmapQuery, &query) != 0) {
            if (errno == ENOENT) return lines;  // past the last one
            unsupported = errno == ENOTTY || errno == EINVAL || errno == E2BIG;
            return std::nullopt;
        }
        // The size counts the name's terminating zero.
        const std::size_t size = query.nameSize > 0 ? query.nameSize - 1 : 0;
        appendLine(lines, query, std::string_view(name, std::min(size, sizeof name)));
        if (query.end <= address) return std::nullopt;
        address = query.end;
    }
    return std::nullopt;  // more mappings than any app has
}

}  // namespace

std::optional<std::string> readExecutableLines(int procDir, std::string* why) {
    bool unsupported = false;
    if (auto lines = queryExecutableLines(procDir, unsupported)) {
        if (lines->empty()) return refused(why, "the caller maps no code");
        return lines;
    }
    if (!unsupported) return refused(why, "the caller's mappings are unreadable");
    std::string failure;
    const auto maps = readFileAt(procDir, "maps", kMaxMaps, &failure);
    if (!maps) return refused(why, "the caller's mappings are unreadable: " + failure);
    auto lines = executableLines(*maps);
    if (!lines) return refused(why, "the caller's mappings are unreadable");
    if (lines->empty()) return refused(why, "the caller maps no code");
    return lines;
}

std::optional<CallerImage> readImage(int procDir, std::string* why) {
    const auto path = linkAt(procDir, "exe");
    if (!path) return refused(why, "the caller's image has no path: " + posixError(errno));
    struct stat info {};
    if (::fstatat(procDir, "exe", &info, 0) != 0)
        return refused(why, "the caller's image cannot be read: " + posixError(errno));
    return CallerImage{*path, info.st_ino};
}

bool untraced(int procDir, std::string* why) {
    const int tasks = ::openat(procDir, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return refuse(why, "the caller's threads are unreadable: " + posixError(errno));
    DIR* folder = ::fdopendir(tasks);
    if (!folder) {
        ::close(tasks);
        return refuse(why, "the caller's threads are unreadable");
    }
    bool clean = true;
    std::size_t seen = 0;
    while (dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        if (++seen > kMaxThreads) {
            clean = refuse(why, "the caller has too many threads to look at");
            break;
        }
        const auto status = readFileAt(::dirfd(folder), std::string(entry->d_name) + "/status",
                                       kMaxStatus, nullptr, true);
        // A thread that ended meanwhile has nothing to say; any other
        // thread must say it is untraced.
        if (!status && ::faccessat(::dirfd(folder), entry->d_name, F_OK, 0) != 0) continue;
        if (!status) {
            clean = refuse(why, "the caller's threads are unreadable");
            break;
        }
        const auto tracer = parseTracer(*status);
        if (!tracer) {
            clean = refuse(why, "the caller's status is unreadable");
            break;
        }
        if (*tracer != 0) {
            clean = refuse(why, "the caller is being traced");
            break;
        }
    }
    ::closedir(folder);
    if (clean && seen == 0) return refuse(why, "the caller is gone");
    return clean;
}

bool sameNamespaces(int procDir, std::string* why) {
    const UniqueFd self(::open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const char* kind : {"ns/mnt", "ns/pid", "ns/user"}) {
        const auto theirs = linkAt(procDir, kind);
        const auto ours = linkAt(self.get(), kind);
        if (!theirs || !ours) return refuse(why, "the caller's namespaces are unreadable");
        if (*theirs != *ours) return refuse(why, "the caller runs in another namespace");
    }
    return true;
}

bool pidfdAlive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

std::optional<pid_t> pidfdPid(int pidfd) {
    const std::string info = "/proc/self/fdinfo/" + std::to_string(pidfd);
    const auto text = readFileAt(AT_FDCWD, info, kMaxStatus, nullptr, true);
    if (!text) return std::nullopt;
    const auto line = statusLine(*text, "Pid");
    if (!line) return std::nullopt;
    std::string_view value = *line;
    pid_t pid = 0;
    if (!number(nextWord(value), pid)) return std::nullopt;
    return pid;
}

}  // namespace vorsel::linux_platform
