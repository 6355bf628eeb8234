#include "tests/e2e/support/E2eProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vorsel::e2e {

namespace {

int statusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// Opens `path` (or /dev/null) onto `target` in the child. Async-signal-safe.
bool redirect(const char* path, int flags, int target) {
    const int fd = ::open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (::dup2(fd, target) < 0) return false;  // dup2 clears O_CLOEXEC on target
    ::close(fd);
    return true;
}

}  // namespace

std::unique_ptr<Process> Process::start(const std::vector<std::string>& argv,
                                        const Environment& environment, const Streams& streams) {
    if (argv.empty()) return nullptr;
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls.
    ExecList args(argv);
    ExecList env(environment);
    const char* in = streams.in.empty() ? "/dev/null" : streams.in.c_str();
    const char* out = streams.out.empty() ? "/dev/null" : streams.out.c_str();
    const char* err = streams.err.empty() ? "/dev/null" : streams.err.c_str();

    const pid_t pid = ::fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!redirect(in, O_RDONLY, 0) || !redirect(out, O_WRONLY | O_CREAT | O_APPEND, 1) ||
            !redirect(err, O_WRONLY | O_CREAT | O_APPEND, 2))
            ::_exit(126);
        ::close_range(3, ~0U, 0);
        ::execve(args.data()[0], args.data(), env.data());
        ::_exit(127);
    }
    return std::unique_ptr<Process>(new Process(pid));
}

Process::~Process() {
    if (!status) {
        ::kill(processId, SIGKILL);
        int raw = 0;
        while (::waitpid(processId, &raw, 0) < 0 && errno == EINTR) {
        }
    }
}

std::optional<int> Process::wait(double timeout) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(0.0, timeout));
    while (!status) {
        int raw = 0;
        const pid_t done = ::waitpid(processId, &raw, WNOHANG);
        if (done == processId) {
            status = statusOf(raw);
        } else if (done < 0 && errno != EINTR) {
            status = -1;  // reaped elsewhere; its status is lost
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return status;
}

bool Process::running() { return !wait(0); }

void Process::signal(int number) {
    if (!status) ::kill(processId, number);
}

Outcome run(const std::vector<std::string>& argv, const Environment& environment, double timeout,
            const std::string& input) {
    TempFolder folder("vorsel-run");
    Streams streams{folder.path() + "/in", folder.path() + "/out", folder.path() + "/err"};
    writeText(streams.in, input);
    Outcome outcome;
    auto process = Process::start(argv, environment, streams);
    if (!process) return outcome;
    if (auto status = process->wait(timeout))
        outcome.status = *status;
    else
        process.reset();  // kills it; status stays -1
    outcome.out = readText(streams.out);
    outcome.err = readText(streams.err);
    return outcome;
}

bool waitUntil(const std::function<bool()>& condition, double timeout, double step) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::duration<double>(step));
    }
}

bool processGone(pid_t pid) {
    if (pid <= 0) return true;
    int raw = 0;
    if (::waitpid(pid, &raw, WNOHANG) == pid) return true;  // our zombie, now reaped
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    // Somebody else's zombie: dead, only not yet reaped.
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || (close + 2 < stat.size() && stat[close + 2] == 'Z');
}

std::optional<std::string> readOnce(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<size_t>(got));
    ::close(fd);
    return content;
}

std::string executableOf(pid_t pid) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    return ec ? std::string() : target.string();
}

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream all;
    all << file.rdbuf();
    return all.str();
}

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file.flush());
}

}  // namespace vorsel::e2e
