// File access through descriptors, done with directory descriptors and
// O_NOFOLLOW so that what is read is what lies where it was looked for: no
// symbolic link is followed unless asked, and every read is bounded. The
// signing code reads bundles this way, the link reads callers' /proc files.
// Any thread.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorsel::linux_platform {

// An owned file descriptor; -1 when empty.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fileDescriptor(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fileDescriptor(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fileDescriptor; }
    explicit operator bool() const { return fileDescriptor >= 0; }
    int release();

  private:
    int fileDescriptor = -1;
};

// Opens the folder `path` (symbolic links in the path itself are followed: a
// bundle may be reached through one). Empty and `failure` set on error.
UniqueFd openFolder(const std::string& path, std::string* failure);

// Opens the sub-folder `name` of `dir` without following a symbolic link.
UniqueFd openFolderAt(int dir, const std::string& name, std::string* failure);

// The whole content of the regular file `name` in `dir` (AT_FDCWD for the
// working folder), refusing any other kind of file, a file larger than
// `limit` bytes and, unless `followLink`, a symbolic link.
std::optional<std::string> readFileAt(int dir, const std::string& name, std::size_t limit,
                                      std::string* failure, bool followLink = false);

// Sends `bytes` on `socket` with `fds` passed along (SCM_RIGHTS), never
// raising SIGPIPE and retrying when a signal interrupts. What sendmsg gives:
// the bytes sent, or -1 with errno set.
ssize_t sendWithDescriptors(int socket, std::string_view bytes, std::span<const int> fds);

// Receives one message of at most `buffer.size()` bytes, appending every
// descriptor passed with it (close-on-exec) to `fds`, so that none leaks
// whatever the caller makes of them. What recvmsg gives.
ssize_t receiveWithDescriptors(int socket, std::span<char> buffer, std::vector<UniqueFd>& fds);

// What the kernel said about one message received (receiveMessage).
struct ReceivedParts {
    std::vector<UniqueFd> fds;         // passed with it (SCM_RIGHTS), close-on-exec
    std::optional<ucred> credentials;  // who sent it (SO_PASSCRED)
    UniqueFd kernelPidfd;              // the kernel's pidfd of the sender (SO_PASSPIDFD)
    bool kernelPidfdFailed = false;    // offered, but the sender had gone
    std::optional<timespec> sentAt;    // when it was sent, wall clock (SO_TIMESTAMPNS)
    bool truncated = false;            // its bytes or its parts did not fit
};

// Receives one message of at most `buffer.size()` bytes with `flags`
// (MSG_DONTWAIT…; close-on-exec is always asked), taking every part the
// kernel passed into `parts`. What recvmsg gives.
ssize_t receiveMessage(int socket, std::span<char> buffer, int flags, ReceivedParts& parts);

}  // namespace vorsel::linux_platform
