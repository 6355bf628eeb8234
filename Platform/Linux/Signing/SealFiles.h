// Hashing and text checks for signatures, over the bounded, link-refusing
// file access of FileDescriptors.h. Any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::linux_platform {

// Lowercase hex SHA-256 of `bytes`.
std::string sha256Hex(std::string_view bytes);

// Lowercase hex SHA-256 of everything readable from `fd` (from its current
// offset to the end), or nothing on a read error.
std::optional<std::string> sha256HexOfFd(int fd, std::string* failure);

// Whether `text` is well-formed UTF-8 (JSON can carry only that).
bool isUtf8(std::string_view text);

}  // namespace vorsel::linux_platform
