// A handle on one process that stays with that process: signals sent through
// it can never reach another process that later gets the same pid. Opened
// only when the process at the pid still has the start time we saw, so the
// handle is on the process that was identified, not on a successor. Any
// thread; one owner.
#pragma once

#include <sys/types.h>

#include <optional>

namespace vorsel::linux_platform {

class Pidfd {
  public:
    // A handle on `pid` if the process there started at `startTime` (clock
    // ticks after boot, as /proc/<pid>/stat gives it); nothing when the
    // process is gone or another one holds the pid now.
    static std::optional<Pidfd> open(pid_t pid, unsigned long long startTime);

    Pidfd(Pidfd&& other) noexcept;
    Pidfd& operator=(Pidfd&& other) noexcept;
    Pidfd(const Pidfd&) = delete;
    Pidfd& operator=(const Pidfd&) = delete;
    ~Pidfd();

    // Sends `signal` to the process; false when it has ended or refuses.
    bool signal(int signal) const;
    // True once the process has ended (a zombie counts as ended).
    bool ended() const;

  private:
    explicit Pidfd(int fd) : fileDescriptor(fd) {}
    int fileDescriptor = -1;
};

}  // namespace vorsel::linux_platform
