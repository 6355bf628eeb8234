#include "Platform/Linux/Link/BusSocket.h"

#include <dlfcn.h>

namespace vorsel::linux_platform {

int busSocketOf(const QDBusConnection& bus) {
    using GetFd = unsigned (*)(void* connection, int* fd);
    static const auto getFd =
        reinterpret_cast<GetFd>(::dlsym(RTLD_DEFAULT, "dbus_connection_get_unix_fd"));
    int fd = -1;
    if (!getFd || !bus.isConnected() || !bus.internalPointer() ||
        !getFd(bus.internalPointer(), &fd))
        return -1;
    return fd;
}

}  // namespace vorsel::linux_platform
