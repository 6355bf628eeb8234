// A throwaway app for the workspace tests: copied into test bundles, it waits
// until it is signalled. Options (arguments or environment, because the
// workspace opens bundles without arguments):
//   --ignore-term / WAITER_IGNORE_TERM=1  ignore SIGTERM (only SIGKILL ends it)
//   --fork-helper                         start one child that waits as well
//   --undumpable                          make itself non-dumpable (its executable
//                                         and environment unreadable)
//   WAITER_PIDFILE=<path>                 write "<pid>\n" there once started
//   WAITER_TERM_LOG=<path>                append "term <ms of CLOCK_MONOTONIC>" there
//                                         for each SIGTERM
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int termLog = -1;
bool ignoringTerm = false;

void onTerm(int) {
    if (termLog >= 0) {
        // "term <seconds since boot>", built by hand: only async-signal-safe calls here.
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        char line[64] = "term ";
        char digits[32];
        int count = 0;
        long long millis = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
        do {
            digits[count++] = static_cast<char>('0' + millis % 10);
            millis /= 10;
        } while (millis > 0 && count < 30);
        int at = 5;
        while (count > 0) line[at++] = digits[--count];
        line[at++] = '\n';
        ssize_t ignored = ::write(termLog, line, static_cast<std::size_t>(at));
        (void)ignored;
    }
    if (!ignoringTerm) {
        std::signal(SIGTERM, SIG_DFL);
        std::raise(SIGTERM);
    }
}

void writePid(const char* path) {
    std::string text = std::to_string(::getpid()) + "\n";
    std::string temp = std::string(path) + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (ok) ::rename(temp.c_str(), path);
}

}  // namespace

int main(int argc, char** argv) {
    bool ignoreTerm = false;
    bool forkHelper = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ignore-term") == 0) ignoreTerm = true;
        if (std::strcmp(argv[i], "--fork-helper") == 0) forkHelper = true;
        if (std::strcmp(argv[i], "--undumpable") == 0) ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
        // "--exec-after SECONDS PROGRAM ARGS...": become another program later,
        // under the same pid.
        if (std::strcmp(argv[i], "--exec-after") == 0 && i + 2 < argc) {
            ::usleep(static_cast<useconds_t>(std::atof(argv[i + 1]) * 1e6));
            ::execv(argv[i + 2], argv + i + 2);
            return 127;
        }
    }
    if (const char* value = std::getenv("WAITER_IGNORE_TERM");
        value && std::strcmp(value, "1") == 0)
        ignoreTerm = true;
    ignoringTerm = ignoreTerm;
    if (const char* path = std::getenv("WAITER_TERM_LOG")) {
        termLog = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        std::signal(SIGTERM, onTerm);
    } else if (ignoreTerm) {
        std::signal(SIGTERM, SIG_IGN);
    }
    if (forkHelper && ::fork() == 0) {
        for (;;) ::pause();
    }
    if (const char* path = std::getenv("WAITER_PIDFILE")) writePid(path);
    for (;;) ::pause();
}
