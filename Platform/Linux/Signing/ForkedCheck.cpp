#include "Platform/Linux/Signing/ForkedCheck.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vorsel::linux_platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

void reap(pid_t child) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void answerAndEnd(const std::function<bool()>& question, int out) {
    // Should the thread that forked end, so does the child.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Nothing of the parent's is needed here (its bus connection, other
    // children's pipes): holding them could only delay others' ends.
    if (out > 3) ::close_range(3, static_cast<unsigned>(out) - 1, 0);
    ::close_range(static_cast<unsigned>(out) + 1, ~0U, 0);
    char answer = 'n';
    try {
        answer = question() ? 'y' : 'n';
    } catch (...) {
        answer = 'n';
    }
    while (::write(out, &answer, 1) < 0 && errno == EINTR) {
    }
    // No exit handlers or destructors: they belong to the parent's state.
    ::_exit(0);
}

}  // namespace

std::mutex& forkLock() {
    static std::mutex lock;
    return lock;
}

ChildAnswer askInChild(const std::function<bool()>& question, std::chrono::milliseconds limit) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return ChildAnswer::notStarted;
    pid_t child;
    {
        std::lock_guard<std::mutex> held(forkLock());
        child = ::fork();
    }
    if (child == 0) {
        ::close(pipe[0]);
        answerAndEnd(question, pipe[1]);
    }
    ::close(pipe[1]);
    if (child < 0) {
        ::close(pipe[0]);
        return ChildAnswer::notStarted;
    }

    const auto deadline = SteadyClock::now() + limit;
    char answer = 0;
    ssize_t got = -1;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) break;
        pollfd wait{pipe[0], POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        got = ::read(pipe[0], &answer, 1);
        if (got < 0 && errno == EINTR) continue;
        break;
    }
    ::close(pipe[0]);
    if (got != 1) ::kill(child, SIGKILL);  // late or lost: it answers nobody now
    reap(child);
    if (got != 1) return ChildAnswer::unanswered;
    return answer == 'y' ? ChildAnswer::yes : ChildAnswer::no;
}

}  // namespace vorsel::linux_platform
