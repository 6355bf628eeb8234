// Throwaway app bundles and the processes that run them, for tests that act
// on real processes. Every process here is a child of the test, and is
// killed and reaped when its Child object goes, so a test never leaves one
// behind and never signals anything it did not start.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace vorsel::testing {

// A fresh folder under /tmp, removed with its content.
using TempDir = TempFolder;

struct BundleSpec {
    std::string name;             // "Name" gives "Name.app"
    std::string identifier;       // CFBundleIdentifier; empty leaves it out
    bool uiElement = false;       // LSUIElement
    bool backgroundOnly = false;  // LSBackgroundOnly
};

// Makes "<folder>/<name>.app" with an Info.plist and a copy of `program` as
// its executable "Contents/Linux/<name lowercased>". Returns the bundle path.
std::string makeBundle(const std::string& folder, const BundleSpec& spec,
                       const std::string& program);
// The executable path makeBundle put into `bundle`.
std::string bundleProgram(const std::string& bundle);

// A child process of the test.
class Child {
  public:
    // Starts `argv` (argv[0] a path) with our environment plus `extra`.
    static Child start(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& extra = {});
    // Takes charge of a child forked by other means.
    static Child adopt(pid_t pid);
    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child();

    pid_t pid() const { return processId; }
    // Whether it has ended (reaping it if so). A stopped child counts alive.
    bool ended();
    // Waits up to `timeout` seconds; the signal that ended it, 0 for a normal
    // exit, nothing while it still runs.
    std::optional<int> waitEnded(double timeout);
    void kill();

  private:
    pid_t processId = -1;
    std::optional<int> endedBy;
};

// Waits until the /proc entry of `pid` shows it runs `program` (the exec has
// happened), up to `timeout` seconds.
bool waitForExec(pid_t pid, const std::string& program, double timeout = 5);

// The start time of `pid` from /proc, or 0.
unsigned long long startTimeOf(pid_t pid);

// Forks until a new child gets `pid` again (pids are handed out in a cycle),
// that child then running `program`; nothing when the cycle is too long here.
std::optional<Child> childAtPid(pid_t pid, const std::string& program);

// Writes `text` to `path`; false on failure.
bool writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

}  // namespace vorsel::testing
