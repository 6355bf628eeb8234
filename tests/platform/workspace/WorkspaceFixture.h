// The fixture of the workspace stories: a real LinuxWorkspace on the Qt run
// loop (systemd left out, so the /proc checks run), a temporary folder for
// bundles, and helpers that start the throwaway waiter in them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "Platform/Linux/Runtime/QtRunLoop.h"
#include "Platform/Linux/Workspace/LinuxWorkspace.h"
#include "TestApps.h"

namespace vorsel::testing {

// The desktop entries the test program installed into its own
// $XDG_DATA_HOME before anything looked for desktop entries (see WorkspaceMain.cpp).
std::string testApplicationsFolder();
// The "applications" folder of the test's $XDG_DATA_DIRS, with
// org.example.System (running sysapp) and org.example.Shadowed (running
// shadowed), which the user's own Hidden copy of that ID hides.
std::string testSystemApplicationsFolder();
// The programs those entries run (first in $PATH): copies of the waiter
// named typed, quiet, elsewhere, wrapped, busapp, late, panel, sysapp, shadowed,
// and renamed (which
// no entry names), and the scripts script.sh and pair.sh (see WorkspaceMain.cpp).
std::string testProgramsFolder();

// A RunLoop that counts the timers alive, around the real one.
class CountingRunLoop final : public RunLoop {
  public:
    std::unique_ptr<Timer> schedule(double interval, double tolerance, bool repeats,
                                    std::function<void()> action) override;
    void post(std::function<void()> work) override { real.post(std::move(work)); }
    void exit(int status) override { real.exit(status); }

    int liveTimers() const { return *live; }

    linux_platform::QtRunLoop real;

  private:
    std::shared_ptr<int> live = std::make_shared<int>(0);
};

class WorkspaceTest : public ::testing::Test {
  protected:
    WorkspaceTest();

    std::string bundle(const BundleSpec& spec);
    // Starts the waiter of `bundlePath` and waits until it runs there.
    Child launch(const std::string& bundlePath, const std::vector<std::string>& args = {},
                 const std::map<std::string, std::string>& env = {});
    // The app with `pid` in a fresh snapshot, or null.
    std::shared_ptr<RunningApp> appWithPid(pid_t pid);
    // Runs the event loop until `condition` holds or `timeout` seconds pass.
    bool spinUntil(const std::function<bool()>& condition, double timeout);

    CountingRunLoop loop;
    linux_platform::LinuxWorkspace workspace{loop, {0.5, false, 0, WINDOWS_MODULES}};
    TempDir dir;
};

}  // namespace vorsel::testing
