// "vorsel-signing.so": the signing code and OpenSSL, loaded by the agent only
// when it must check a signature (SigningModule.h). Only the entry points are
// exported (the caller check's is Link/CallerModuleEntry.cpp, built into the
// same module); nothing may throw out of them.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdint>
#include <type_traits>

#include "Platform/Linux/Signing/BundleValidation.h"
#include "Platform/Linux/Signing/SigningModule.h"

using namespace vorsel::linux_platform;

extern "C" __attribute__((visibility("default"))) int vorselSigningSatisfies(
    const char* anchors, const char* bundle, const char* requirement) {
    if (anchors == nullptr || bundle == nullptr || requirement == nullptr) return 0;
    try {
        return validateAgainst(bundle, anchors, requirement, nullptr).has_value() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" __attribute__((visibility("default"))) int vorselSigningWarm() {
    // What every check needs first: OpenSSL's configuration, its providers
    // and the digest of the seal.
    if (OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) != 1) return 0;
    EVP_MD* digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_free(digest);
    return digest != nullptr ? 1 : 0;
}

static_assert(std::is_same_v<decltype(&vorselSigningSatisfies), VorselSigningSatisfies>);
static_assert(std::is_same_v<decltype(&vorselSigningWarm), VorselSigningWarm>);
