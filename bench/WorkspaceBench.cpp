// What one enforcement pass and one notice check cost the workspace, next to
// a bare scan of /proc (list the pids, read each stat line), at about 100 and
// 500 processes. The processes are our own throwaway children: a fifth of
// them are apps (copies of this program in a bundle), the rest plain
// processes without identity. Prints figures; run it by hand.
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

#include "Platform/Linux/System/QtRunLoop.h"
#include "Platform/Linux/Workspace/LinuxWorkspace.h"
#include "Platform/Linux/Workspace/NoticeHub.h"
#include "Platform/Linux/Workspace/ProcFs.h"
#include "Platform/Linux/Workspace/ProcessTable.h"

namespace fs = std::filesystem;
using namespace vorsel;
using namespace vorsel::linux_platform;

namespace {

// Our throwaway children; all killed and reaped on destruction.
class Crowd {
  public:
    Crowd(const std::string& appProgram, int count) {
        for (int i = 0; i < count; ++i) {
            pid_t pid = ::fork();
            if (pid == 0) {
                if (i % 5 == 0) {
                    char* argv[] = {const_cast<char*>(appProgram.c_str()),
                                    const_cast<char*>("--wait"), nullptr};
                    ::execv(argv[0], argv);
                }
                for (;;) ::pause();
            }
            if (pid > 0) pids_.push_back(pid);
        }
        // Let the execs land before anything is measured.
        ::usleep(300000);
    }
    ~Crowd() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }

  private:
    std::vector<pid_t> pids_;
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

std::string makeBundle(const std::string& folder) {
    std::string bundle = folder + "/Bench.app";
    fs::create_directories(bundle + "/Contents/Linux");
    std::ofstream(bundle + "/Contents/Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>bench.app</string>"
           "<key>CFBundleExecutable</key><string>bench</string></dict></plist>\n";
    fs::copy_file("/proc/self/exe", bundle + "/Contents/Linux/bench",
                  fs::copy_options::overwrite_existing);
    fs::permissions(bundle + "/Contents/Linux/bench", fs::perms::owner_all);
    return bundle + "/Contents/Linux/bench";
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
    std::string program = makeBundle(folder);

    std::printf("%-8s %-10s %12s %12s %12s %12s %8s\n", "children", "processes", "bare scan",
                "first pass", "pass", "notice chk", "apps");
    for (int count : counts) {
        Crowd crowd(program, count);
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

        auto table = std::make_shared<ProcessTable>(::getuid());
        auto hub = std::make_shared<NoticeHub>(loop, table, 3600, false);
        auto observation = hub->observe(NoticeHub::Kind::launch, [] {});
        double check = median(rounds, [&] { hub->check(); });

        std::printf("%-8d %-10zu %10.0fus %10.0fus %10.0fus %10.0fus %8zu\n", count, processes,
                    bare, cold, warm, check, apps);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
