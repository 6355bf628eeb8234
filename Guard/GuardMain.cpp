// The entry point: decides the mode once, then hands the process to the agent
// or to the companion app.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Guard/GuardIdentity.h"
#include "Guard/GuardWindow.h"
#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/LinuxPlatform.h"

using namespace vorsel;

int main(int argc, char** argv) {
    auto ports = linux_platform::makeCommonPorts();
    GuardIdentity::setMainBundle(*ports.bundles);
    const GuardIdentity& identity = GuardIdentity::shared();

    const std::vector<std::string> arguments(argv, argv + argc);
    if (!GuardMain::startedAsAgent(arguments, std::getenv("XPC_SERVICE_NAME"), identity.own)) {
        GuardApp::run(argc, argv, {*ports.bundles, *ports.files, *ports.clock, [&ports] {
                                       return linux_platform::makeLoginItems(
                                           ports.bundles->mainPath(), *ports.files);
                                   }});
        return 0;
    }
    std::fprintf(stderr, "%s: agent mode is not built yet\n", identity.own.c_str());
    return 0;
}
