// The seal of a signed bundle, "Contents/_CodeSignature/CodeResources": one
// JSON object naming the signing identifier, the entitlements, the main
// executable and every file and symbolic link of the bundle with its hash or
// target. The signature covers its exact bytes. Pure values; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vorsel::linux_platform {

struct Seal {
    std::string identifier;
    nlohmann::json entitlements = nlohmann::json::object();  // always an object
    std::string executable;                                  // "Contents/Linux/<name>"
    std::map<std::string, std::string> files;                // path → lowercase hex SHA-256
    std::map<std::string, std::string> symlinks;             // path → link target

    // Reads a seal. Nothing, with `failure` saying why, unless `bytes` is one
    // JSON object with exactly the five members of the right types, every
    // hash 64 lowercase hex digits.
    static std::optional<Seal> parse(std::string_view bytes, std::string* failure);

    // The compact JSON form, members and paths in sorted order. Every text
    // must be UTF-8 (paths from scanBundle are).
    std::string written() const;
};

// Largest seal a bundle may carry.
inline constexpr std::size_t kMaxSealSize = 32u << 20;

}  // namespace vorsel::linux_platform
