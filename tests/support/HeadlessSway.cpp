#include "tests/support/HeadlessSway.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace vorsel::testing {
namespace {

constexpr const char* kSway = "/usr/bin/sway";
constexpr const char* kXwayland = "/usr/bin/Xwayland";
constexpr auto kStartLimit = std::chrono::seconds(20);

bool alive(pid_t pid) { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts sway on `config` with the machine's environment, minus whatever
// would lead it or its clients to another desktop, plus `extra`; its output
// goes to `log`.
pid_t spawn(const std::string& config, const std::vector<std::string>& extra,
            const std::string& log) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool dropped = false;
        for (const char* name :
             {"DISPLAY=", "WAYLAND_DISPLAY=", "SWAYSOCK=", "XDG_RUNTIME_DIR=", "WAYLAND_SOCKET="})
            dropped = dropped || std::strncmp(*entry, name, std::strlen(name)) == 0;
        if (!dropped) env.emplace_back(*entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<std::string> argv{kSway, "--config", config};
    std::vector<char*> args, envp;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null = ::open("/dev/null", O_RDWR);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(null, 0);
    ::dup2(out >= 0 ? out : null, 1);
    ::dup2(out >= 0 ? out : null, 2);
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    ::setpgid(0, 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

}  // namespace

std::string HeadlessSway::unavailable() {
    if (::access(kSway, X_OK) != 0) return std::string(kSway) + " is not installed (sway)";
    if (::access(kXwayland, X_OK) != 0)
        return std::string(kXwayland) + " is not installed (xwayland)";
    return {};
}

HeadlessSway::HeadlessSway() : problemText(start()) {}

HeadlessSway::~HeadlessSway() {
    if (processId > 0) {
        ::kill(processId, SIGCONT);
        ::kill(processId, SIGTERM);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (alive(processId) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (alive(processId)) {
            ::kill(processId, SIGKILL);
            ::waitpid(processId, nullptr, 0);
        }
    }
    std::error_code error;
    if (!folder.empty()) std::filesystem::remove_all(folder, error);
}

void HeadlessSway::crash() {
    if (processId <= 0) return;
    ::kill(processId, SIGKILL);
    ::waitpid(processId, nullptr, 0);
    processId = -1;
}

void HeadlessSway::pause(bool paused) {
    if (processId > 0) ::kill(processId, paused ? SIGSTOP : SIGCONT);
}

std::string HeadlessSway::start() {
    if (auto missing = unavailable(); !missing.empty()) return missing;
    std::string localFolder = "/tmp/vorsel-sway.XXXXXX";
    if (::mkdtemp(localFolder.data()) == nullptr) return "no folder for sway";
    folder = localFolder;
    const std::string config = localFolder + "/config";
    const std::string told = localFolder + "/environment";
    // sway tells its own clients where it is; the first thing it runs
    // passes that on to the test. XWayland starts with its first client.
    std::ofstream(config) << "xwayland enable\n"
                          << "output HEADLESS-1 resolution 1280x800\n"
                          << "exec sh -c 'printf \"%s\\n%s\\n%s\\n\" \"$WAYLAND_DISPLAY\" "
                             "\"$SWAYSOCK\" \"$DISPLAY\" > "
                          << told << ".new && mv " << told << ".new " << told << "'\n";
    processId = spawn(config,
                      {"XDG_RUNTIME_DIR=" + localFolder, "WLR_BACKENDS=headless",
                       "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"},
                      localFolder + "/sway.log");
    if (processId < 0) return "could not start sway";
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < until) {
        std::istringstream lines(readFile(told));
        std::string wayland, sway, display;
        if (std::getline(lines, wayland) && std::getline(lines, sway) &&
            std::getline(lines, display) && !wayland.empty() && !sway.empty()) {
            variables = {{"XDG_RUNTIME_DIR", localFolder},
                         {"WAYLAND_DISPLAY", wayland},
                         {"SWAYSOCK", sway},
                         {"DISPLAY", display}};
            return {};
        }
        if (!alive(processId)) {
            processId = -1;
            return "sway ended while starting:\n" + readFile(localFolder + "/sway.log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "sway did not start within 20 s:\n" + readFile(localFolder + "/sway.log");
}

}  // namespace vorsel::testing
