#include "Platform/Linux/Workspace/Pidfd.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {

std::optional<Pidfd> Pidfd::open(pid_t pid, unsigned long long startTime) {
    if (pid <= 0) return std::nullopt;
    // pidfd_open returns close-on-exec descriptors by default.
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0) return std::nullopt;
    Pidfd handle(static_cast<int>(fd));
    // The descriptor is on whatever process held the pid when it was opened.
    // Reading the start time after opening proves that this is the process
    // the caller saw: had it been replaced before the open, the start time
    // read now would be the successor's (or the pid would be empty).
    auto stat = readStat(pid);
    if (!stat || stat->startTime != startTime || stat->isZombie()) return std::nullopt;
    return handle;
}

Pidfd::Pidfd(Pidfd&& other) noexcept : fileDescriptor(other.fileDescriptor) {
    other.fileDescriptor = -1;
}

Pidfd& Pidfd::operator=(Pidfd&& other) noexcept {
    if (this != &other) {
        if (fileDescriptor >= 0) ::close(fileDescriptor);
        fileDescriptor = other.fileDescriptor;
        other.fileDescriptor = -1;
    }
    return *this;
}

Pidfd::~Pidfd() {
    if (fileDescriptor >= 0) ::close(fileDescriptor);
}

bool Pidfd::signal(int signal) const {
    if (fileDescriptor < 0) return false;
    return ::syscall(SYS_pidfd_send_signal, fileDescriptor, signal, nullptr, 0) == 0;
}

bool Pidfd::ended() const {
    if (fileDescriptor < 0) return true;
    // A pidfd becomes readable when its process exits, zombie or reaped.
    pollfd entry{fileDescriptor, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

}  // namespace vorsel::linux_platform
