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

PrivateBus::PrivateBus(const std::string& givenFolder, const std::string& serviceFolder,
                       const Environment& environment)
    : folder(givenFolder) {
    std::error_code ec;
    std::filesystem::create_directories(givenFolder + "/socket", ec);
    std::filesystem::create_directories(serviceFolder, ec);
    std::string config = readText(build::sessionConfig());
    if (config.empty()) return;
    replace(config, "@LISTEN_DIR@", givenFolder + "/socket");
    replace(config, "@SERVICE_DIR@", serviceFolder);
    const std::string configPath = givenFolder + "/session.conf";
    if (!writeText(configPath, config)) return;

    const std::string addressFile = givenFolder + "/address";
    daemon = Process::start({build::dbusDaemon(), "--config-file=" + configPath, "--nofork",
                             "--nopidfile", "--print-address"},
                            environment, {{}, addressFile, givenFolder + "/daemon.log"});
    if (!daemon) return;
    std::string address;
    waitUntil(
        [&] {
            const std::string printed = readText(addressFile);
            const auto end = printed.find('\n');
            if (end != std::string::npos) address = printed.substr(0, end);
            return !address.empty() || !daemon->running();
        },
        10);
    busAddress = address;
}

PrivateBus::~PrivateBus() { stop(); }

std::string PrivateBus::problem() const { return readText(folder + "/daemon.log"); }

void PrivateBus::stop() {
    if (!daemon) return;
    daemon->signal(SIGTERM);
    if (!daemon->wait(5)) {
        daemon->signal(SIGKILL);
        daemon->wait(5);
    }
    daemon.reset();
}

}  // namespace vorsel::e2e
