// What one enforcement pass and one notice check cost the workspace, next to
// a bare scan of /proc (list the pids, read each stat line), at about 100 and
// 500 processes. The processes are our own throwaway children, carrying what
// processes on a desktop carry: a tenth are apps in a bundle, a tenth apps
// recognised by the desktop entry that runs their program (started as "gio
// launch" starts them, with only the pid variable), the rest plain processes
// without identity that inherited the launcher's variables of a terminal
// started from the menu, so that every identity step is tried on them. The
// entries are the machine's own (XDG_DATA_DIRS as found) and one of ours in
// a private XDG_DATA_HOME. Prints figures; scripts/bench.sh runs it.
//
//   workspace_bench [--counts 100,500] [--rounds 50]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Linux/Runtime/QtRunLoop.h"
#include "Platform/Linux/Workspace/AppIndex.h"
#include "Platform/Linux/Workspace/LinuxWorkspace.h"
#include "Platform/Linux/Workspace/NoticeHub.h"
#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/ProcessTable.h"

namespace fs = std::filesystem;
using namespace vorsel;
using namespace vorsel::linux_platform;

namespace {

struct Programs {
    std::string bundled;  // in a bundle
    std::string entry;    // named by our desktop entry
    std::string plain;    // this program: nothing names it
    std::string terminalEntry;
};

// Our throwaway children; all killed and reaped on destruction.
class Crowd {
  public:
    Crowd(const Programs& programs, int count) {
        for (int i = 0; i < count; ++i) {
            const std::string& program = i % 10 == 0   ? programs.bundled
                                         : i % 10 == 5 ? programs.entry
                                                       : programs.plain;
            pid_t pid = ::fork();
            if (pid == 0) {
                // "gio launch" names only the pid; a terminal's children
                // inherit the terminal's own launch, naming another pid.
                std::string ownPid = "GIO_LAUNCHED_DESKTOP_FILE_PID=" + std::to_string(::getpid());
                std::string file = "GIO_LAUNCHED_DESKTOP_FILE=" + programs.terminalEntry;
                std::string otherPid = "GIO_LAUNCHED_DESKTOP_FILE_PID=1";
                std::vector<char*> env;
                for (char** at = environ; *at != nullptr; ++at) env.push_back(*at);
                if (&program == &programs.entry) {
                    env.push_back(ownPid.data());
                } else if (&program == &programs.plain) {
                    env.push_back(file.data());
                    env.push_back(otherPid.data());
                }
                env.push_back(nullptr);
                char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--wait"),
                                nullptr};
                ::execve(argv[0], argv, env.data());
                for (;;) ::pause();
            }
            if (pid > 0) pids.push_back(pid);
        }
        // Let the execs land before anything is measured.
        ::usleep(300000);
    }
    ~Crowd() {
        for (pid_t pid : pids) ::kill(pid, SIGKILL);
        for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
    }

  private:
    std::vector<pid_t> pids;
};

// The median of `rounds` runs of `work`, in microseconds.
double median(int rounds, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void bareScan() {
    for (pid_t pid : listPids()) (void)readStat(pid);
}

// The workspace's part of a pass: the snapshot and what the sweep reads of
// each app.
std::size_t pass(LinuxWorkspace& workspace) {
    std::size_t regular = 0;
    for (const auto& app : workspace.runningApps()) {
        if (app->activationPolicy() == ActivationPolicy::regular && !app->isTerminated() &&
            app->bundleIdentifier())
            ++regular;
    }
    return regular;
}

std::string copyOfThis(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    fs::copy_file("/proc/self/exe", path, fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

Programs makePrograms(const std::string& folder) {
    Programs programs;
    const std::string bundle = folder + "/Bench.app";
    fs::create_directories(bundle + "/Contents/Linux");
    std::ofstream(bundle + "/Contents/Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>bench.app</string>"
           "<key>CFBundleExecutable</key><string>bench</string></dict></plist>\n";
    programs.bundled = copyOfThis(bundle + "/Contents/Linux/bench");
    programs.entry = copyOfThis(folder + "/bin/bench-entry");
    programs.plain = fs::read_symlink("/proc/self/exe").string();
    const std::string applications = folder + "/data/applications";
    fs::create_directories(applications);
    std::ofstream(applications + "/org.example.BenchEntry.desktop")
        << "[Desktop Entry]\nType=Application\nName=Bench\nExec=" << programs.entry << " %U\n";
    programs.terminalEntry = applications + "/org.example.BenchTerminal.desktop";
    std::ofstream(programs.terminalEntry)
        << "[Desktop Entry]\nType=Application\nName=Terminal\nExec=/bin/true\n";
    return programs;
}

std::vector<int> parseCounts(const char* text) {
    std::vector<int> counts;
    std::string all(text);
    std::size_t at = 0;
    while (at <= all.size()) {
        std::size_t comma = all.find(',', at);
        if (comma == std::string::npos) comma = all.size();
        if (comma > at) counts.push_back(std::atoi(all.substr(at, comma - at).c_str()));
        at = comma + 1;
    }
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--wait") {
        for (;;) ::pause();
    }
    std::vector<int> counts{100, 500};
    int rounds = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--counts") counts = parseCounts(argv[i + 1]);
        if (option == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    QCoreApplication app(argc, argv);
    char folder[] = "/tmp/vorsel-bench.XXXXXX";
    if (::mkdtemp(folder) == nullptr) return 1;
    const Programs programs = makePrograms(folder);
    ::setenv("XDG_DATA_HOME", (std::string(folder) + "/data").c_str(), 1);

    // The entries' index, built from the data folders as found.
    const double index = median(5, [] { AppIndex built(XdgFolders::fromEnvironment()); });
    std::size_t entries = installedEntries(XdgFolders::fromEnvironment()).size();
    std::printf("desktop entries: %zu; building their index: %.0f us\n\n", entries, index);

    std::printf("%-8s %-10s %11s %11s %11s %11s %11s %11s %6s\n", "children", "processes",
                "bare scan", "first pass", "pass", "ratio", "look again", "notice chk", "apps");
    for (int count : counts) {
        Crowd crowd(programs, count);
        std::size_t processes = listPids().size();
        QtRunLoop loop;
        LinuxWorkspace workspace(loop, {0.5, false, 0, {}});

        auto coldStart = std::chrono::steady_clock::now();
        std::size_t apps = pass(workspace);
        double cold =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - coldStart)
                .count();
        double bare = median(rounds, bareScan);
        double warm = median(rounds, [&] { pass(workspace); });

        // With a systemd user manager, each app unit that starts makes the
        // table work out again every process of ours without identity.
        auto table = std::make_shared<ProcessTable>(::getuid());
        table->apps();
        double again = median(rounds, [&] {
            table->lookAgain();
            table->apps();
        });

        auto hub = std::make_shared<NoticeHub>(loop, table, 3600, false);
        auto observation = hub->observe(NoticeHub::Kind::launch, [] {});
        double check = median(rounds, [&] { hub->check(); });

        std::printf("%-8d %-10zu %9.0fus %9.0fus %9.0fus %10.2fx %9.0fus %9.0fus %6zu\n", count,
                    processes, bare, cold, warm, warm / bare, again, check, apps);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
