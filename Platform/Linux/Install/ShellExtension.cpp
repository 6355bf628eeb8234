#include "Platform/Linux/Install/ShellExtension.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

extern char** environ;

namespace vorsel::linux_platform {
namespace {

constexpr const char* kGsettings = "/usr/bin/gsettings";
constexpr int kWaitMilliseconds = 5000;

struct Ran {
    int status = -1;
    std::string out;
};

// Runs gsettings with `args` and our environment, reading what it prints;
// killed by pid when it takes too long.
Ran gsettings(std::vector<std::string> args) {
    Ran ran;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return ran;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), kGsettings);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, kGsettings, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        return ran;
    }
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMilliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd out{pipe[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&out, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        char buffer[512];
        const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
        if (got <= 0) break;
        ran.out.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) ran.status = WEXITSTATUS(status);
    return ran;
}

}  // namespace

std::string withShellExtension(const std::string& current, bool on) {
    // The quoted items, in order; uuids never hold a quote.
    std::vector<std::string> items;
    for (auto at = current.find('\''); at != std::string::npos;) {
        const auto end = current.find('\'', at + 1);
        if (end == std::string::npos) break;
        items.push_back(current.substr(at + 1, end - at - 1));
        at = current.find('\'', end + 1);
    }
    for (const char* uuid : kShellExtensions) {
        std::erase(items, std::string(uuid));
        if (on) items.emplace_back(uuid);
    }
    std::string list = "[";
    for (const std::string& item : items) list += (list.size() > 1 ? ", '" : "'") + item + "'";
    return list + "]";
}

std::optional<std::string> switchShellExtension(bool on) {
    if (::access(kGsettings, X_OK) != 0) return std::nullopt;
    // Without GNOME Shell's schema there is no shell to tell.
    const Ran schemas = gsettings({"list-schemas"});
    if (schemas.status != 0) return "gsettings could not list the settings";
    if (schemas.out.find("org.gnome.shell\n") == std::string::npos) return std::nullopt;
    const Ran current = gsettings({"get", "org.gnome.shell", "enabled-extensions"});
    if (current.status != 0) return "gsettings could not read GNOME Shell's extensions";
    const std::string wanted = withShellExtension(current.out, on);
    if (gsettings({"set", "org.gnome.shell", "enabled-extensions", wanted}).status != 0)
        return "gsettings could not change GNOME Shell's extensions";
    return std::nullopt;
}

}  // namespace vorsel::linux_platform
