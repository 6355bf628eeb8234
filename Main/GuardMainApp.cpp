// The app-mode half of the entry point, built as a module of its own
// ("vorsel-app.so" beside the executable) that the entry point loads only in
// app mode. The agent, which runs for as long as a session needs it, so never
// maps the window toolkit and its graphics stack.
#include "Guard/App/GuardWindow.h"
#include "Guard/Identity/GuardIdentity.h"
#include "Platform/Linux/LinuxPlatform.h"

using namespace vorsel;

// Runs the companion app until its window is closed; returns the exit status.
extern "C" __attribute__((visibility("default"))) int vorselRunApp(int* argc, char** argv) {
    auto ports = linux_platform::makeAppPorts();
    // The module carries its own copy of the identities; set it up as main does.
    GuardIdentity::setMainBundle(*ports.common.bundles);
    GuardApp::run(*argc, argv,
                  {*ports.common.bundles, *ports.common.files, *ports.common.clock,
                   std::move(ports.loginItems)});
    return 0;
}
