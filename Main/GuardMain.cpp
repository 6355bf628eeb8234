// The entry point: decides the mode once, then hands the process to the agent
// or to the companion app.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "Guard/Agent/GuardAgent.h"
#include "Guard/Identity/GuardIdentity.h"
#include "Platform/Linux/LinuxPlatform.h"

using namespace vorsel;

int main(int argc, char** argv) {
    auto ports = linux_platform::makeCommonPorts();
    GuardIdentity::setMainBundle(*ports.bundles);
    const GuardIdentity& identity = GuardIdentity::shared();

    const std::vector<std::string> arguments(argv, argv + argc);
    if (!GuardMain::startedAsAgent(arguments, std::getenv("XPC_SERVICE_NAME"), identity.own)) {
        // The window lives in a module of its own, loaded only now.
        return linux_platform::runAppModule(argc, argv);
    }
    // Agent mode: an event loop and nothing of a GUI.
    linux_platform::prepareAgent();
    QCoreApplication application(argc, argv);
    auto agentPorts = linux_platform::makeAgentPorts(*ports.bundles, identity.own);
    GuardAgent agent(
        identity, {*ports.clock, *agentPorts.runLoop, *agentPorts.workspace,
                   *agentPorts.codeSigning, *ports.files, *agentPorts.log, *agentPorts.listener});
    agent.start();
    // The agent ends the loop itself (status 0 when nothing is left to hold);
    // a loop that returns by itself also ends the process with 0.
    return agentPorts.run();
}
