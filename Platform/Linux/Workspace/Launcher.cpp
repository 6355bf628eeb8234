#include "Platform/Linux/Workspace/Launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Platform/Linux/Runtime/InfoPlist.h"

extern char** environ;

namespace vorsel::linux_platform {
namespace {

// Variables that describe how we were started and would mislead the app.
bool isOurs(const char* entry) {
    for (const char* name :
         {"XPC_SERVICE_NAME=", "GIO_LAUNCHED_DESKTOP_FILE=", "GIO_LAUNCHED_DESKTOP_FILE_PID=",
          "NOTIFY_SOCKET=", "LISTEN_FDS=", "LISTEN_PID=", "LISTEN_FDNAMES="}) {
        if (std::strncmp(entry, name, std::strlen(name)) == 0) return true;
    }
    return false;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t done = ::write(fd, bytes, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// The grandchild: everything here is async-signal-safe.
[[noreturn]] void becomeApp(const char* path, char* const* argv, char* const* envp) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) sigaction(number, &defaults, nullptr);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
    }
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    if (::chdir("/") != 0) {
        // The root is always there; a failure would leave the old folder.
    }
    ::execve(path, argv, envp);
    ::_exit(127);
}

}  // namespace

std::optional<pid_t> spawnDetached(const std::string& executable) {
    if (::access(executable.c_str(), X_OK) != 0) return std::nullopt;
    // Everything the children need is built before forking.
    std::vector<char*> argv{const_cast<char*>(executable.c_str()), nullptr};
    std::vector<char*> envp;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!isOurs(*entry)) envp.push_back(*entry);
    }
    envp.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::nullopt;
    pid_t middle = ::fork();
    if (middle < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return std::nullopt;
    }
    if (middle == 0) {
        ::close(report[0]);
        ::setsid();
        pid_t app = ::fork();
        if (app == 0) becomeApp(argv[0], argv.data(), envp.data());
        writeAll(report[1], &app, sizeof app);
        ::_exit(app > 0 ? 0 : 1);
    }
    ::close(report[1]);
    pid_t app = -1;
    std::size_t got = 0;
    auto* bytes = reinterpret_cast<char*>(&app);
    while (got < sizeof app) {
        ssize_t done = ::read(report[0], bytes + got, sizeof app - got);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        got += static_cast<std::size_t>(done);
    }
    ::close(report[0]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof app || app <= 0) return std::nullopt;
    return app;
}

std::optional<std::string> bundleExecutable(const std::string& bundle) {
    auto info = InfoPlist::load(infoPlistPath(bundle));
    if (!info) return std::nullopt;
    auto name = info->text("CFBundleExecutable");
    if (!name || name->empty() || name->find('/') != std::string::npos || *name == "." ||
        *name == "..")
        return std::nullopt;
    std::string base = bundle;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/Contents/Linux/" + *name;
}

}  // namespace vorsel::linux_platform
