#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/LinuxPlatform.h"

namespace vorsel::linux_platform {

AppPorts makeAppPorts() {
    AppPorts ports{makeCommonPorts(ClockSide::window), {}};
    const Bundles& bundles = *ports.common.bundles;
    Files& files = *ports.common.files;
    ports.loginItems = [&bundles, &files] { return makeLoginItems(bundles.mainPath(), files); };
    return ports;
}

}  // namespace vorsel::linux_platform
