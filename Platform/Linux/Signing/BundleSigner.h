// Signing a bundle: writes its seal and the signature over it into
// "Contents/_CodeSignature/". What packagers (through tools/codesign) and
// tests use. Any thread; writes only the two signature files.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Platform/Linux/Signing/Seal.h"
#include "Platform/Linux/Signing/SealSignature.h"

namespace vorsel::linux_platform {

// The seal of the bundle at `bundlePath` as it is now: every file and
// symbolic link but the signature files, the executable Info.plist names.
// Nothing, with `failure`, when the bundle could never validate (no
// Info.plist or executable, a link leaving it, a special file).
// `entitlements` must be a JSON object.
std::optional<Seal> sealOf(const std::string& bundlePath, const std::string& identifier,
                           const nlohmann::json& entitlements, std::string* failure);

// Seals the bundle and signs the seal with `identity`, replacing any earlier
// signature. Both files are replaced atomically. False, with `failure`, on
// any error.
bool signBundle(const std::string& bundlePath, const SigningIdentity& identity,
                const std::string& identifier, const nlohmann::json& entitlements,
                std::string* failure);

}  // namespace vorsel::linux_platform
