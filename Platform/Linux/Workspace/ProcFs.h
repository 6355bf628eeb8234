// Reading one process's files under /proc. The parse functions are pure and
// take whatever bytes the kernel (or an attacker controlling a process name)
// put there; the read functions return nothing when the process is gone or
// its file is not ours to read. Any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorsel::linux_platform {

// What /proc/<pid>/stat tells about a process.
struct ProcStat {
    pid_t pid = 0;
    std::string comm;  // the process name, at most 15 bytes, any bytes
    char state = '?';  // 'R', 'S', 'Z', ...
    pid_t ppid = 0;
    unsigned long flags = 0;
    unsigned long long startTime = 0;  // clock ticks after boot

    bool isZombie() const { return state == 'Z' || state == 'X' || state == 'x'; }
    bool isKernelThread() const;
};

// Parses the text of /proc/<pid>/stat. The name in parentheses may itself
// hold parentheses and spaces, so the fields after it are found from the last
// ')'. Nothing when the text is malformed.
std::optional<ProcStat> parseStat(std::string_view text);

// The real uid on the "Uid:" line of /proc/<pid>/status text.
std::optional<uid_t> parseRealUid(std::string_view statusText);

// The NUL-separated words of a /proc/<pid>/cmdline block; a last word
// without its NUL (cut off, or rewritten by the process) still counts.
std::vector<std::string> parseCmdline(std::string_view block);

// The values of `names` in a NUL-separated environment block. A value that
// is cut off at the end of the block is left out.
std::map<std::string, std::string> parseEnviron(std::string_view block,
                                                const std::vector<std::string>& names);

// The numeric entries of /proc, in directory order.
std::vector<pid_t> listPids();

std::optional<ProcStat> readStat(pid_t pid);
// The inode number of the folder /proc/<pid>. The kernel gives a process's
// folder a new inode whenever the pid names a new process (a folder whose
// process has gone is never found again), so an unchanged number means the
// same process, and costs one stat instead of formatting the stat line.
// It may also change for the same process, when the kernel drops the folder
// from its caches: callers treat a change as "look again", never as "gone".
std::optional<ino_t> readEntryInode(pid_t pid);
std::optional<uid_t> readRealUid(pid_t pid);
// The path of the running executable, without the " (deleted)" mark a
// replaced file carries.
std::optional<std::string> readExe(pid_t pid);
// Reads at most `limit` bytes of the environment.
std::map<std::string, std::string> readEnviron(pid_t pid, const std::vector<std::string>& names,
                                               std::size_t limit = 256 * 1024);
// The text of /proc/<pid>/cgroup.
std::optional<std::string> readCgroup(pid_t pid);
// The arguments of /proc/<pid>/cmdline (argv[0] first), at most `limit`
// bytes of them; empty when the process is gone or a kernel thread.
std::vector<std::string> readCmdline(pid_t pid, std::size_t limit = 64 * 1024);
// `path` as the process `pid` would open it: a relative path is taken from
// its working folder. Resolved to an absolute path without symbolic links;
// nothing when it does not exist.
std::optional<std::string> resolveForProcess(pid_t pid, const std::string& path);

// Reads at most `limit` bytes of a small file in one go; nothing on error.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit);

}  // namespace vorsel::linux_platform
