#include "Platform/Linux/Signing/Anchors.h"

#include <fcntl.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "Platform/Linux/Signing/OpenSslError.h"
#include "Platform/Linux/Signing/SealFiles.h"

namespace vorsel::linux_platform {

namespace {

constexpr std::size_t kMaxAnchorsFile = 1u << 20;

}  // namespace

Anchors Anchors::load(const std::string& path, std::string* failure) {
    std::string why;
    // Vorsel's own installation may well reach its anchors through a link.
    auto pem = readFileAt(AT_FDCWD, path, kMaxAnchorsFile, &why, true);
    if (!pem) {
        if (failure) *failure = "anchors " + why;
        return {};
    }
    return parse(*pem, failure);
}

Anchors Anchors::parse(const std::string& pem, std::string* failure) {
    ERR_clear_error();
    BioPtr input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509StorePtr store(X509_STORE_new());
    if (!input || !store) {
        if (failure) *failure = openSslError("cannot hold the anchors");
        return {};
    }
    int count = 0;
    for (;;) {
        X509Ptr certificate(PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr));
        if (!certificate) break;
        if (X509_STORE_add_cert(store.get(), certificate.get()) != 1) {
            if (failure) *failure = openSslError("cannot add an anchor");
            return {};
        }
        ++count;
    }
    // Running out of PEM blocks ends the loop with "no start line"; any other
    // error means a damaged file, which is trusted for nothing.
    const unsigned long last = ERR_peek_last_error();
    if (last != 0 &&
        !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)) {
        if (failure) *failure = openSslError("malformed anchors");
        return {};
    }
    ERR_clear_error();
    if (count == 0) {
        if (failure) *failure = "no anchors";
        return {};
    }
    // OpenSSL checks a chain for S/MIME by default; code signing is checked
    // by hand after the chain is verified for any purpose. Any certificate
    // here is an anchor, a root or not.
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    // At least 112 bits of security in every key and signature of the chain.
    X509_VERIFY_PARAM_set_auth_level(X509_STORE_get0_param(store.get()), 2);
    Anchors anchors;
    anchors.certificateStore = std::move(store);
    anchors.anchorCount = count;
    return anchors;
}

}  // namespace vorsel::linux_platform
