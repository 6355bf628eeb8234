// errno turned into text, in one place (strerror_r's two flavours differ).
#pragma once

#include <string>

namespace vorsel::linux_platform {

// The description of `error` (an errno value), e.g. "Permission denied".
std::string posixError(int error);

}  // namespace vorsel::linux_platform
