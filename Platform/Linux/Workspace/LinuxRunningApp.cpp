#include "Platform/Linux/Workspace/LinuxRunningApp.h"

#include <csignal>

#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {

LinuxRunningApp::LinuxRunningApp(AppIdentity identity, pid_t pid, unsigned long long startTime,
                                 std::shared_ptr<const Pidfd> handle,
                                 std::shared_ptr<QuitRequests> requests)
    : identity_(std::move(identity)),
      pid_(pid),
      startTime_(startTime),
      handle_(std::move(handle)),
      requests_(std::move(requests)) {}

std::optional<std::string> LinuxRunningApp::bundleIdentifier() const { return identity_.bundleID; }

ActivationPolicy LinuxRunningApp::activationPolicy() const { return identity_.policy; }

std::int32_t LinuxRunningApp::processIdentifier() const { return pid_; }

bool LinuxRunningApp::isTerminated() const {
    if (handle_) return handle_->ended();
    auto stat = readStat(pid_);
    return !stat || stat->startTime != startTime_ || stat->isZombie();
}

std::optional<std::string> LinuxRunningApp::bundleLocation() const { return identity_.location; }

std::vector<std::string> LinuxRunningApp::alternativeIdentifiers() const {
    return identity_.aliases;
}

void LinuxRunningApp::hide() {
    if (requests_) requests_->hide(pid_, handle_, identity_.bundleID);
}

void LinuxRunningApp::terminate() {
    if (requests_)
        requests_->terminate(pid_, handle_, identity_.bundleID);
    else if (handle_)
        handle_->signal(SIGTERM);
}

void LinuxRunningApp::forceTerminate() {
    if (handle_) handle_->signal(SIGKILL);
}

bool LinuxRunningApp::answeredWithDialog() const {
    return requests_ && requests_->answeredWithDialog(pid_, handle_);
}

std::optional<std::string> LinuxRunningApp::pause() {
    if (!requests_) return std::nullopt;
    return requests_->pause(pid_, startTime_, handle_);
}

}  // namespace vorsel::linux_platform
