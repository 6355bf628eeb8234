// A stand-in for the main Ordwyn app, for tests and the demo. With commands it
// speaks the link to the agent (see StandinOptions.h); without any it stays
// running like an app until it is sent SIGTERM.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/Linux/Runtime/BusName.h"
#include "Platform/Linux/Runtime/LinuxBundles.h"
#include "Platform/Linux/Runtime/LinuxClock.h"
#include "tools/standin/StandinLink.h"
#include "tools/standin/StandinOptions.h"

using namespace vorsel;

namespace {

std::optional<std::string> readFile(const std::string& path) {
    if (path == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        return std::cin.bad() ? std::nullopt : std::optional(all.str());
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string content;
    char buffer[16384];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed) return std::nullopt;
    return content;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc <= 1) {
        // Like an app: just be there until told to go.
        for (;;) ::pause();
    }
    const linux_platform::LinuxBundles bundle;
    const standin::Context context{linux_platform::WallClock().now(), bundle.mainIdentifier(),
                                   bundle.mainPath()};
    auto parsed =
        standin::parse(std::vector<std::string>(argv + 1, argv + argc), context, readFile);
    if (auto* problem = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "ordwyn: %s\n", problem->c_str());
        return 2;
    }
    const auto& options = std::get<standin::Options>(parsed);
    if (options.print) {
        for (const auto& call : options.calls)
            if (call.kind == standin::Call::Kind::hold) std::printf("%s\n", call.rules.c_str());
        return 0;
    }
    // The agent's name, worked out the way the agent does it from the same
    // two values: the team, and the main app's identifier (this app's own).
    const std::string busName =
        options.name ? *options.name
                     : linux_platform::busName(bundle.infoText("OWTeam").value_or("") + "." +
                                               bundle.mainIdentifier().value_or("com.ordwyn.app") +
                                               ".guard");
    QCoreApplication application(argc, argv);
    return standin::talk(options, busName);
}
