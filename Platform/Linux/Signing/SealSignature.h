// The signature over a seal: a DER CMS SignedData, detached, over the seal's
// exact bytes, made by a code-signing leaf certificate with its chain
// included. Verifying checks it against Vorsel's anchors; signing is what
// tools/codesign does for packagers. Any thread.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Linux/Signing/Anchors.h"
#include "Platform/Linux/Signing/OpenSslHandles.h"

namespace vorsel::linux_platform {

// What the verified leaf certificate says about its holder.
struct LeafFacts {
    std::set<std::string> extensions;              // dotted OIDs
    std::vector<std::string> organizationalUnits;  // subject OU values, UTF-8
};

// Largest signature accepted.
inline constexpr std::size_t kMaxSignatureSize = 1u << 20;

// Verifies `signature` over `content` against `anchors`: exactly one signer,
// a chain from it (with the certificates the signature carries) to one of the
// anchors valid now, the digest over `content` as binary, and the leaf's
// extended key usage naming code signing (its key usage, when present,
// allowing digital signatures). Nothing, with `failure` saying why, otherwise.
std::optional<LeafFacts> verifySealSignature(std::string_view signature, std::string_view content,
                                             const Anchors& anchors, std::string* failure);

// A leaf certificate, its private key and the chain between it and its
// authority, read from PEM files.
struct SigningIdentity {
    X509Ptr leaf;
    PkeyPtr key;
    X509StackPtr chain;

    // Nothing, with `failure`, when a file is unreadable or malformed or the
    // key does not belong to the certificate. `chainPath` may be empty.
    static std::optional<SigningIdentity> load(const std::string& certPath,
                                               const std::string& keyPath,
                                               const std::string& chainPath, std::string* failure);
};

// The detached DER CMS signature of `content` by `identity` (SHA-256).
std::optional<std::string> signSeal(std::string_view content, const SigningIdentity& identity,
                                    std::string* failure);

}  // namespace vorsel::linux_platform
