#include "Platform/Linux/LinuxBundles.h"
#include "Platform/Linux/LinuxClock.h"
#include "Platform/Linux/LinuxFiles.h"
#include "Platform/Linux/LinuxPlatform.h"

namespace vorsel::linux_platform {

CommonPorts makeCommonPorts() {
    return {std::make_unique<LinuxBundles>(), std::make_unique<LinuxFiles>(),
            std::make_unique<LinuxClock>()};
}

}  // namespace vorsel::linux_platform
