#include "tests/e2e/support/PrivateBus.h"

#include <signal.h>

#include <filesystem>

#include "tests/e2e/support/E2eBuild.h"

namespace vorsel::e2e {

namespace {

void replace(std::string& text, const std::string& what, const std::string& with) {
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

PrivateBus::PrivateBus(const std::string& folder, const std::string& serviceFolder,
                       const Environment& environment)
    : folder_(folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder + "/socket", ec);
    std::filesystem::create_directories(serviceFolder, ec);
    std::string config = readText(build::sessionConfig());
    if (config.empty()) return;
    replace(config, "@LISTEN_DIR@", folder + "/socket");
    replace(config, "@SERVICE_DIR@", serviceFolder);
    const std::string configPath = folder + "/session.conf";
    if (!writeText(configPath, config)) return;

    const std::string addressFile = folder + "/address";
    daemon_ = Process::start({build::dbusDaemon(), "--config-file=" + configPath, "--nofork",
                              "--nopidfile", "--print-address"},
                             environment, {{}, addressFile, folder + "/daemon.log"});
    if (!daemon_) return;
    std::string address;
    waitUntil(
        [&] {
            const std::string printed = readText(addressFile);
            const auto end = printed.find('\n');
            if (end != std::string::npos) address = printed.substr(0, end);
            return !address.empty() || !daemon_->running();
        },
        10);
    address_ = address;
}

PrivateBus::~PrivateBus() { stop(); }

std::string PrivateBus::problem() const { return readText(folder_ + "/daemon.log"); }

void PrivateBus::stop() {
    if (!daemon_) return;
    daemon_->signal(SIGTERM);
    if (!daemon_->wait(5)) {
        daemon_->signal(SIGKILL);
        daemon_->wait(5);
    }
    daemon_.reset();
}

}  // namespace vorsel::e2e
