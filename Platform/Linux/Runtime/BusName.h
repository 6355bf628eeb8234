// The D-Bus well-known name made from a service name: split at the dots, drop
// empty pieces, replace every character outside [A-Za-z0-9_-] with '_',
// prefix '_' to a piece that begins with a digit, join with dots
// (".com.ordwyn.app.guard" becomes "com.ordwyn.app.guard"). Pure; any thread.
#pragma once

#include <string>
#include <string_view>

namespace vorsel::linux_platform {

std::string busName(std::string_view serviceName);

}  // namespace vorsel::linux_platform
