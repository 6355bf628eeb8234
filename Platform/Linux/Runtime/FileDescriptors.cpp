#include "Platform/Linux/Runtime/FileDescriptors.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Linux/Runtime/PosixError.h"

namespace vorsel::linux_platform {

namespace {

// SCM_PIDFD, Linux 6.5 and later; older headers predate it.
constexpr int kScmPidfd = 0x04;

void fail(std::string* failure, const std::string& what, int error) {
    if (failure) *failure = what + ": " + posixError(error);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fileDescriptor >= 0) ::close(fileDescriptor);
        fileDescriptor = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fileDescriptor >= 0) ::close(fileDescriptor);
}

int UniqueFd::release() {
    const int fd = fileDescriptor;
    fileDescriptor = -1;
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

ssize_t sendWithDescriptors(int socket, std::string_view bytes, std::span<const int> fds) {
    // Room for as many descriptors as the kernel passes in one message.
    constexpr std::size_t kMost = 253;
    if (fds.size() > kMost) {
        errno = EINVAL;
        return -1;
    }
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(kMost * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (!fds.empty()) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(fds.size_bytes());
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(fds.size_bytes());
        std::memcpy(CMSG_DATA(rights), fds.data(), fds.size_bytes());
    }
    ssize_t sent;
    do {
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

ssize_t receiveWithDescriptors(int socket, std::span<char> buffer, std::vector<UniqueFd>& fds) {
    ReceivedParts parts;
    const ssize_t got = receiveMessage(socket, buffer, 0, parts);
    for (UniqueFd& fd : parts.fds) fds.push_back(std::move(fd));
    return got;
}

ssize_t receiveMessage(int socket, std::span<char> buffer, int flags, ReceivedParts& parts) {
    // Room for a few descriptors, credentials, the kernel's pidfd and a time.
    constexpr std::size_t kMostDescriptors = 16;
    alignas(cmsghdr) char control[CMSG_SPACE(kMostDescriptors * sizeof(int)) +
                                  CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) +
                                  CMSG_SPACE(sizeof(timespec))] = {};
    iovec data{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = ::recvmsg(socket, &message, flags | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return got;
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET) continue;
        const std::size_t size = part->cmsg_len - CMSG_LEN(0);
        const unsigned char* bytes = CMSG_DATA(part);
        if (part->cmsg_type == SCM_RIGHTS) {
            for (std::size_t at = 0; at + sizeof(int) <= size; at += sizeof(int)) {
                int fd = -1;
                std::memcpy(&fd, bytes + at, sizeof fd);
                parts.fds.emplace_back(fd);
            }
        } else if (part->cmsg_type == SCM_CREDENTIALS && size >= sizeof(ucred)) {
            ucred value{};
            std::memcpy(&value, bytes, sizeof value);
            parts.credentials = value;
        } else if (part->cmsg_type == kScmPidfd && size >= sizeof(int)) {
            int fd = -1;
            std::memcpy(&fd, bytes, sizeof fd);
            // A negative value is the kernel's error: the sender has gone.
            if (fd >= 0) parts.kernelPidfd = UniqueFd(fd);
            parts.kernelPidfdFailed = fd < 0;
        } else if (part->cmsg_type == SCM_TIMESTAMPNS && size >= sizeof(timespec)) {
            timespec value{};
            std::memcpy(&value, bytes, sizeof value);
            parts.sentAt = value;
        }
    }
    parts.truncated = (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    return got;
}

}  // namespace vorsel::linux_platform
