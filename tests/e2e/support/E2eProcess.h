// Processes for end-to-end tests: start a program with exactly the
// environment given (nothing inherited, so no test ever reaches the machine's
// session bus), wait for it with a time limit, run one to completion with its
// output captured, and tell whether some pid still lives.
//
// Any thread; one Process object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace vorsel::e2e {

using Environment = std::map<std::string, std::string>;

// An argument or environment list as execve takes it, made before fork:
// after fork only async-signal-safe calls may run.
class ExecList {
  public:
    explicit ExecList(const std::vector<std::string>& items) : items(items) { point(); }
    explicit ExecList(const Environment& environment) {
        for (const auto& [name, value] : environment) items.push_back(name + "=" + value);
        point();
    }
    ExecList(const ExecList&) = delete;
    ExecList& operator=(const ExecList&) = delete;
    char** data() { return pointers.data(); }

  private:
    void point() {
        for (auto& item : items) pointers.push_back(item.data());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> items;
    std::vector<char*> pointers;
};

// Where a started process's standard streams go: a file path each, empty for
// /dev/null. Output files are appended to.
struct Streams {
    std::string in, out, err;
};

// A child process. Destroying the object kills (SIGKILL) and reaps the child
// if it still runs.
class Process {
  public:
    // Starts argv[0] (an absolute path) with `argv` and exactly `environment`.
    // Nothing when it cannot be started.
    static std::unique_ptr<Process> start(const std::vector<std::string>& argv,
                                          const Environment& environment,
                                          const Streams& streams = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return processId; }

    // Waits up to `timeout` seconds for the exit. The exit status (0-255), or
    // 128 + the signal that ended it; nothing when it still runs.
    std::optional<int> wait(double timeout);
    bool running();
    void signal(int number);

  private:
    explicit Process(pid_t pid) : processId(pid) {}
    pid_t processId;
    std::optional<int> status;
};

struct Outcome {
    int status = -1;  // as Process::wait; -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs `argv` to completion with `input` on its standard input, killing it
// after `timeout` seconds.
Outcome run(const std::vector<std::string>& argv, const Environment& environment,
            double timeout = 60, const std::string& input = {});

// Polls `condition` every `step` seconds until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, double timeout, double step = 0.05);

// Whether `pid` has ended: no such process, or a zombie (which is reaped
// when it is our child).
bool processGone(pid_t pid);

// The target of /proc/<pid>/exe, or empty.
std::string executableOf(pid_t pid);

// The whole content of a file, or empty.
std::string readText(const std::string& path);
// The whole file read once with plain open/read, as a second program would;
// nothing when it cannot be opened.
std::optional<std::string> readOnce(const std::string& path);
bool writeText(const std::string& path, const std::string& text);

// A fresh folder under /tmp, removed with everything in it on destruction.
using TempFolder = vorsel::testing::TempFolder;

}  // namespace vorsel::e2e
