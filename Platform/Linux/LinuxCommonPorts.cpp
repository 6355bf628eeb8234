#include "Platform/Linux/LinuxPlatform.h"
#include "Platform/Linux/Runtime/LinuxBundles.h"
#include "Platform/Linux/Runtime/LinuxClock.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"

namespace vorsel::linux_platform {

CommonPorts makeCommonPorts(ClockSide side) {
    auto bundles = std::make_unique<LinuxBundles>();
    auto files = std::make_unique<LinuxFiles>();
    // Where GuardIdentity::memoryFile() puts the memory file, from the same
    // values: "<data folder>/<own identifier>/guard.json".
    const std::string memoryFile = files->dataFolder() + "/" +
                                   bundles->mainIdentifier().value_or("com.ordwyn.guard") +
                                   "/guard.json";
    auto clock = std::make_unique<LinuxClock>(side, memoryFile);
    return {std::move(bundles), std::move(files), std::move(clock)};
}

}  // namespace vorsel::linux_platform
