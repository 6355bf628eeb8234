// The signing code's one way of saying no: set the optional `failure` text
// and answer false (or an empty result of any kind). Any thread.
#pragma once

#include <optional>
#include <string>

namespace vorsel::linux_platform {

inline bool refuse(std::string* failure, const std::string& why) {
    if (failure) *failure = why;
    return false;
}

inline std::nullopt_t refused(std::string* failure, const std::string& why) {
    refuse(failure, why);
    return std::nullopt;
}

}  // namespace vorsel::linux_platform
