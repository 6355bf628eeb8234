#include "Platform/Linux/LinuxFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "Platform/Linux/PosixError.h"

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
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
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
        content.append(buffer, static_cast<size_t>(got));
    }
    return content;
}

FileResult LinuxFiles::writeAtomically(const std::string& path, std::string_view data) {
    const std::filesystem::path target(path);
    std::string temporary =
        (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    Descriptor file{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (file.fd < 0) return failure(errno);
    // New files get the default permissions of the user's folder, not
    // mkostemp's 0600, like any file a program creates.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file.fd, 0666 & ~mask);
    if (!writeAll(file.fd, data) || ::fsync(file.fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failure(error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failure(error);
    }
    // The rename itself must reach the disk for the new content to survive a crash.
    Descriptor folder{::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd >= 0) ::fsync(folder.fd);
    return {};
}

FileResult LinuxFiles::remove(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return failure(errno);
    return {};
}

}  // namespace vorsel::linux_platform
