#include "TestApps.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Platform/Linux/Workspace/ProcFs.h"

namespace fs = std::filesystem;

namespace vorsel::testing {

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string bundleProgram(const std::string& bundle) {
    std::string name = fs::path(bundle).stem().string();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return bundle + "/Contents/Linux/" + name;
}

std::string makeBundle(const std::string& folder, const BundleSpec& spec,
                       const std::string& program) {
    std::string bundle = folder + "/" + spec.name + ".app";
    fs::create_directories(bundle + "/Contents/Linux");
    std::string executable = bundleProgram(bundle);
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<plist version=\"1.0\"><dict>\n"
        "<key>CFBundleExecutable</key><string>" +
        fs::path(executable).filename().string() + "</string>\n";
    if (!spec.identifier.empty())
        plist += "<key>CFBundleIdentifier</key><string>" + spec.identifier + "</string>\n";
    if (spec.uiElement) plist += "<key>LSUIElement</key><true/>\n";
    if (spec.backgroundOnly) plist += "<key>LSBackgroundOnly</key><true/>\n";
    plist += "</dict></plist>\n";
    writeFile(bundle + "/Contents/Info.plist", plist);
    fs::copy_file(program, executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    return bundle;
}

Child Child::start(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    Child child;
    child.processId = ::fork();
    if (child.processId == 0) {
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    return child;
}

Child Child::adopt(pid_t pid) {
    Child child;
    child.processId = pid;
    return child;
}

Child::Child(Child&& other) noexcept : processId(other.processId), endedBy(other.endedBy) {
    other.processId = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        kill();
        processId = other.processId;
        endedBy = other.endedBy;
        other.processId = -1;
    }
    return *this;
}

Child::~Child() { kill(); }

bool Child::ended() {
    if (processId <= 0 || endedBy) return true;
    int status = 0;
    pid_t done = ::waitpid(processId, &status, WNOHANG);
    if (done == processId) {
        endedBy = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return true;
    }
    return done < 0;
}

std::optional<int> Child::waitEnded(double timeout) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (!ended()) {
        if (std::chrono::steady_clock::now() > until) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return endedBy.value_or(0);
}

void Child::kill() {
    if (processId > 0 && !ended()) {
        ::kill(processId, SIGKILL);
        int status = 0;
        ::waitpid(processId, &status, 0);
        endedBy = SIGKILL;
    }
}

bool waitForExec(pid_t pid, const std::string& program, double timeout) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (std::chrono::steady_clock::now() < until) {
        auto exe = linux_platform::readExe(pid);
        if (exe && *exe == fs::weakly_canonical(program).string()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

unsigned long long startTimeOf(pid_t pid) {
    auto stat = linux_platform::readStat(pid);
    return stat ? stat->startTime : 0;
}

std::optional<Child> childAtPid(pid_t pid, const std::string& program) {
    long pidMax = std::stol(readFile("/proc/sys/kernel/pid_max"));
    if (pidMax > 131072) return std::nullopt;
    for (long tries = 0; tries < 3 * pidMax; ++tries) {
        // vfork keeps each round cheap: no copy of our page tables.
        pid_t got = ::vfork();
        if (got == 0) {
            if (::getpid() == pid) {
                char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
                ::execv(argv[0], argv);
            }
            ::_exit(0);
        }
        if (got < 0) return std::nullopt;
        if (got == pid) return Child::adopt(got);
        int status = 0;
        ::waitpid(got, &status, 0);
    }
    return std::nullopt;
}

}  // namespace vorsel::testing
