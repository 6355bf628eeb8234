#include "Platform/Linux/Runtime/PosixError.h"

#include <cstring>

namespace vorsel::linux_platform {

std::string posixError(int error) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text ? text : "Unknown error " + std::to_string(error);
}

}  // namespace vorsel::linux_platform
