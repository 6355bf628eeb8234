// Strict validation of a signed bundle, and the requirement check on top:
// the one yes-or-no behind the CodeSigning adapter, the caller verdict and
// `codesign --verify`. Any thread; reads the bundle, writes nothing.
#pragma once

#include <optional>
#include <string>

#include "Platform/Linux/Signing/Anchors.h"
#include "Platform/Linux/Signing/Requirement.h"
#include "Platform/Linux/Signing/Seal.h"

namespace vorsel::linux_platform {

struct ValidBundle {
    Seal seal;        // as signed; every entry matches the bundle as read
    CodeFacts facts;  // for requirements
};

// Validates the bundle folder at `bundlePath` against `anchors`:
// - the signature verifies over the seal's exact bytes (verifySealSignature);
// - every regular file and symbolic link of the bundle (but the two
//   signature files) is in the seal with the same hash or target, nothing the
//   seal lists is missing, and nothing else (FIFOs, devices, sockets) exists;
// - no symbolic link leads out of the bundle;
// - "Contents/Info.plist" is sealed, and the seal's executable is
//   "Contents/Linux/<CFBundleExecutable>", a sealed regular file.
// The seal, signature and Info.plist are each read once, and what is judged
// is the bytes read. Nothing, with `failure` saying why, on any failure.
std::optional<ValidBundle> validateBundle(const std::string& bundlePath, const Anchors& anchors,
                                          std::string* failure);

// validateBundle with the anchors read from `anchorsPath`, then `requirement`
// parsed and tested against the signed facts. Every failure, a requirement
// text that does not parse included, is nothing.
std::optional<ValidBundle> validateAgainst(const std::string& bundlePath,
                                           const std::string& anchorsPath,
                                           const std::string& requirement, std::string* failure);

}  // namespace vorsel::linux_platform
