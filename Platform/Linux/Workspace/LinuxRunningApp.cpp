#include "Platform/Linux/Workspace/LinuxRunningApp.h"

#include <csignal>

namespace vorsel::linux_platform {

LinuxRunningApp::LinuxRunningApp(AppIdentity identity, pid_t pid, std::optional<Pidfd> handle)
    : identity_(std::move(identity)), pid_(pid), handle_(std::move(handle)) {}

std::optional<std::string> LinuxRunningApp::bundleIdentifier() const { return identity_.bundleID; }

ActivationPolicy LinuxRunningApp::activationPolicy() const { return identity_.policy; }

std::int32_t LinuxRunningApp::processIdentifier() const { return pid_; }

bool LinuxRunningApp::isTerminated() const { return !handle_ || handle_->ended(); }

std::optional<std::string> LinuxRunningApp::bundleLocation() const { return identity_.location; }

void LinuxRunningApp::hide() {}

void LinuxRunningApp::terminate() {
    if (handle_) handle_->signal(SIGTERM);
}

void LinuxRunningApp::forceTerminate() {
    if (handle_) handle_->signal(SIGKILL);
}

}  // namespace vorsel::linux_platform
