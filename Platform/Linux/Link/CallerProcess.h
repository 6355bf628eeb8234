// A caller of the link as /proc shows it: its ids, its threads' tracers, its
// namespaces and its executable mappings. Everything is read through one
// descriptor of the caller's /proc folder: once the process is known to be
// alive after a read (through its pidfd), that read described it and not a
// successor on its pid. No OpenSSL here: the agent reads callers this way
// between verdicts, the signing module at each verdict. Any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::linux_platform {

// The ids a process runs with, from its status: real, effective, saved and
// file-system uids and gids, and its supplementary groups.
struct CallerIds {
    std::vector<uid_t> uids;
    std::vector<gid_t> gids;
    std::vector<gid_t> groups;
};

// One executable mapping of /proc/<pid>/maps, as the kernel wrote it.
struct Mapping {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string perms;  // e.g. "r-xp"
    std::uint64_t offset = 0;
    std::string device;  // "major:minor" in hex
    std::uint64_t inode = 0;
    // Empty for anonymous memory, "[vdso]" and the like for the kernel's own,
    // else the file's path, ending in " (deleted)" once it was removed or
    // replaced.
    std::string path;

    bool operator==(const Mapping&) const = default;
};

// The executable mappings in the text of /proc/<pid>/maps, in order; nothing
// when a line is malformed.
std::optional<std::vector<Mapping>> parseExecutableMappings(std::string_view maps);

// The lines of executable mappings in the text of /proc/<pid>/maps, as the
// kernel wrote them, each ending in a newline: cheap to take and to compare,
// and equal only when the mappings are. Nothing when a line has no
// permissions field.
std::optional<std::string> executableLines(std::string_view maps);

// The ids on the "Uid:", "Gid:" and "Groups:" lines of a status text; nothing
// when the uid or gid line is missing or malformed.
std::optional<CallerIds> parseIds(std::string_view status);

// The value on the "TracerPid:" line of a status text; nothing when missing.
std::optional<pid_t> parseTracer(std::string_view status);

// The folder /proc/<pid>, opened; empty and `why` set when there is none.
UniqueFd openProcess(pid_t pid, std::string* why);

std::optional<CallerIds> readIds(int procDir, std::string* why);
std::optional<std::vector<Mapping>> readExecutableMappings(int procDir, std::string* why);
// The executableLines() of the process's maps; nothing (and `why`) when they
// are unreadable or there are none (a zombie maps nothing).
std::optional<std::string> readExecutableLines(int procDir, std::string* why);

// The image the process runs: the path /proc/<pid>/exe names and the inode
// of the file it leads to.
struct CallerImage {
    std::string path;
    std::uint64_t inode = 0;
};
std::optional<CallerImage> readImage(int procDir, std::string* why);

// Whether no thread of the process has a tracer. A tracer may attach to any
// one thread, and only that thread's status names it.
bool untraced(int procDir, std::string* why);

// Whether the process shares our mount, pid and user namespaces: inside a
// namespace of its own, a process may name others by pids that mean
// something else here, and its paths may lead elsewhere.
bool sameNamespaces(int procDir, std::string* why);

// Whether the process of `pidfd` has not been reaped: its pid still names
// it. A zombie counts as alive here; its /proc files say it has no image.
bool pidfdAlive(int pidfd);

// The pid that `pidfd` names, from its fdinfo: -1 once its process has
// ended, nothing when `pidfd` is no pidfd.
std::optional<pid_t> pidfdPid(int pidfd);

}  // namespace vorsel::linux_platform
