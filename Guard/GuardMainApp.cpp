// The app-mode half of the entry point, built as a module of its own
// ("vorsel-app.so" beside the executable) that the entry point loads only in
// app mode. The agent, which runs for as long as a session needs it, so never
// maps the window toolkit and its graphics stack.
#include "Guard/GuardIdentity.h"
#include "Guard/GuardWindow.h"
#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/LinuxBundles.h"
#include "Platform/Linux/LinuxClock.h"
#include "Platform/Linux/LinuxFiles.h"

using namespace vorsel;

// Runs the companion app until its window is closed; returns the exit status.
extern "C" __attribute__((visibility("default"))) int vorselRunApp(int* argc, char** argv) {
    const linux_platform::LinuxBundles bundles;
    linux_platform::LinuxFiles files;
    const linux_platform::LinuxClock clock;
    // The module carries its own copy of the identities; set it up as main does.
    GuardIdentity::setMainBundle(bundles);
    GuardApp::run(*argc, argv,
                  {bundles, files, clock,
                   [&] { return linux_platform::makeLoginItems(bundles.mainPath(), files); }});
    return 0;
}
