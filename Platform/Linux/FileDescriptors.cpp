#include "Platform/Linux/FileDescriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Linux/PosixError.h"

namespace vorsel::linux_platform {

namespace {

void fail(std::string* failure, const std::string& what, int error) {
    if (failure) *failure = what + ": " + posixError(error);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

UniqueFd openFolder(const std::string& path, std::string* failure) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) fail(failure, path, errno);
    return fd;
}

UniqueFd openFolderAt(int dir, const std::string& name, std::string* failure) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) fail(failure, name, errno == ELOOP ? ENOTDIR : errno);
    return fd;
}

std::optional<std::string> readFileAt(int dir, const std::string& name, std::size_t limit,
                                      std::string* failure, bool followLink) {
    // O_NONBLOCK: opening a FIFO planted under this name must not hang us.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    UniqueFd fd(::openat(dir, name.c_str(), flags));
    if (!fd) {
        fail(failure, name, errno);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        fail(failure, name, errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        if (failure) *failure = name + ": not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::size_t>(info.st_size) > limit) {
        if (failure) *failure = name + ": too large";
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            fail(failure, name, errno);
            return std::nullopt;
        }
        if (got == 0) break;
        // The file may grow after fstat; the limit holds regardless.
        if (bytes.size() + static_cast<std::size_t>(got) > limit) {
            if (failure) *failure = name + ": too large";
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

}  // namespace vorsel::linux_platform
