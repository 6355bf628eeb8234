#include "Platform/Linux/Runtime/LinuxFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "Platform/Linux/Runtime/PosixError.h"

namespace vorsel::linux_platform {

namespace {

FileResult failure(int error) { return {posixError(error)}; }

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

// Closes the descriptor on every path out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// "<folder>/.<name>.<pid>-XXXXXX": the temporary file of a write by process
// <pid>, which renames it over <name> when the write is complete.
std::string temporaryPrefix(const std::filesystem::path& target) {
    return "." + target.filename().string() + ".";
}

// A writer killed between creating its temporary file and renaming it leaves
// the file behind. Such a file is an unfinished copy of content that was
// never committed: remove it once its writer is gone. A pid that lives (maybe
// recycled) keeps its file, so a live writer's file is never touched.
void removeAbandoned(const std::filesystem::path& target) {
    const std::string prefix = temporaryPrefix(target);
    DIR* folder = ::opendir(target.parent_path().c_str());
    if (!folder) return;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix)) continue;
        const std::string_view rest = name.substr(prefix.size());
        const size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash > 9) continue;
        long pid = 0;
        for (char c : rest.substr(0, dash)) {
            if (c < '0' || c > '9') {
                pid = 0;
                break;
            }
            pid = pid * 10 + (c - '0');
        }
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(folder), entry->d_name, 0);
    }
    ::closedir(folder);
}

}  // namespace

std::string LinuxFiles::dataFolder() const {
    // The base directory specification says a relative value is to be ignored.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string folder = xdg && *xdg == '/' ? xdg : homeFolder() + "/.local/share";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

FileResult LinuxFiles::createFolders(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return {ec.message()};
    if (!std::filesystem::is_directory(path, ec)) return failure(ENOTDIR);
    return {};
}

std::optional<std::string> LinuxFiles::read(const std::string& path) {
    return readAtMost(path, std::numeric_limits<std::size_t>::max());
}

std::optional<std::string> readAtMost(const std::string& path, std::size_t limit) {
    // Not blocking, so that a FIFO put in the file's place cannot stall the
    // reader in open(); it is then refused as not a regular file.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string content;
    char buffer[16384];
    for (;;) {
        ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        if (content.size() + static_cast<std::size_t>(got) > limit) return std::nullopt;
        content.append(buffer, static_cast<size_t>(got));
    }
    return content;
}

namespace {

FileResult replace(const std::string& path, std::string_view data, bool durable) {
    const std::filesystem::path target(path);
    removeAbandoned(target);
    std::string temporary =
        (target.parent_path() / (temporaryPrefix(target) + std::to_string(::getpid()) + "-XXXXXX"))
            .string();
    Descriptor file{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (file.fd < 0) return failure(errno);
    // New files get the default permissions of the user's folder, not
    // mkostemp's 0600, like any file a program creates.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file.fd, 0666 & ~mask);
    if (!writeAll(file.fd, data) || (durable && ::fsync(file.fd) != 0)) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failure(error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failure(error);
    }
    if (!durable) return {};
    // The rename itself must reach the disk for the new content to survive a crash.
    Descriptor folder{::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd >= 0) ::fsync(folder.fd);
    return {};
}

}  // namespace

FileResult LinuxFiles::writeAtomically(const std::string& path, std::string_view data) {
    return replace(path, data, true);
}

FileResult replaceUnsynced(const std::string& path, std::string_view data) {
    return replace(path, data, false);
}

FileResult LinuxFiles::remove(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return failure(errno);
    return {};
}

}  // namespace vorsel::linux_platform
