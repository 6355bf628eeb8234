#include "Platform/Linux/Workspace/LinuxRunningApp.h"

#include <csignal>

#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {

LinuxRunningApp::LinuxRunningApp(AppIdentity identity, pid_t pid, unsigned long long startTime,
                                 std::shared_ptr<const Pidfd> handle,
                                 std::shared_ptr<QuitRequests> requests)
    : identity(std::move(identity)),
      processId(pid),
      startTime(startTime),
      handle(std::move(handle)),
      requests(std::move(requests)) {}

std::optional<std::string> LinuxRunningApp::bundleIdentifier() const { return identity.bundleID; }

ActivationPolicy LinuxRunningApp::activationPolicy() const { return identity.policy; }

std::int32_t LinuxRunningApp::processIdentifier() const { return processId; }

bool LinuxRunningApp::isTerminated() const {
    if (handle) return handle->ended();
    auto stat = readStat(processId);
    return !stat || stat->startTime != startTime || stat->isZombie();
}

std::optional<std::string> LinuxRunningApp::bundleLocation() const { return identity.location; }

std::vector<std::string> LinuxRunningApp::alternativeIdentifiers() const {
    return identity.aliases;
}

void LinuxRunningApp::hide() {
    if (requests) requests->hide(processId, handle, identity.bundleID);
}

void LinuxRunningApp::terminate() {
    if (requests)
        requests->terminate(processId, handle, identity.bundleID);
    else if (handle)
        handle->signal(SIGTERM);
}

void LinuxRunningApp::forceTerminate() {
    if (handle) handle->signal(SIGKILL);
}

bool LinuxRunningApp::answeredWithDialog() const {
    return requests && requests->answeredWithDialog(processId, handle);
}

std::optional<std::string> LinuxRunningApp::pause() {
    if (!requests) return std::nullopt;
    return requests->pause(processId, startTime, handle);
}

}  // namespace vorsel::linux_platform
