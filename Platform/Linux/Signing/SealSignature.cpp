#include "Platform/Linux/Signing/SealSignature.h"

#include <fcntl.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "Platform/Linux/Signing/OpenSslError.h"
#include "Platform/Linux/Signing/Refusal.h"
#include "Platform/Linux/Signing/SealFiles.h"

namespace vorsel::linux_platform {

namespace {

constexpr std::size_t kMaxPemFile = 1u << 20;

BioPtr memoryOf(std::string_view bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// The code-signing checks OpenSSL leaves to us once it verified the chain for
// any purpose.
bool mayCodeSign(X509* leaf, std::string* failure) {
    const uint32_t flags = X509_get_extension_flags(leaf);
    if (flags & EXFLAG_INVALID) return refuse(failure, "the signing certificate is malformed");
    if (!(flags & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN))
        return refuse(failure, "the signing certificate is not for code signing");
    if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE))
        return refuse(failure, "the signing certificate may not sign");
    return true;
}

// SHA-256 or stronger; older digests could let one signature cover two seals.
bool strongDigest(CMS_SignerInfo* signer) {
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digest, nullptr);
    const ASN1_OBJECT* algorithm = nullptr;
    if (digest) X509_ALGOR_get0(&algorithm, nullptr, nullptr, digest);
    const int nid = algorithm ? OBJ_obj2nid(algorithm) : NID_undef;
    return nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

LeafFacts factsOf(X509* leaf) {
    LeafFacts facts;
    for (int i = 0; i < X509_get_ext_count(leaf); ++i) {
        const ASN1_OBJECT* object = X509_EXTENSION_get_object(X509_get_ext(leaf, i));
        char oid[128];
        const int length = OBJ_obj2txt(oid, sizeof oid, object, 1);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof oid)
            facts.extensions.insert(oid);
    }
    const X509_NAME* subject = X509_get_subject_name(leaf);
    for (int i = -1;
         (i = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, i)) >= 0;) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
        unsigned char* text = nullptr;
        const int length = ASN1_STRING_to_UTF8(&text, value);
        if (length >= 0 && text)
            facts.organizationalUnits.emplace_back(reinterpret_cast<char*>(text),
                                                   static_cast<std::size_t>(length));
        OPENSSL_free(text);
    }
    return facts;
}

}  // namespace

std::optional<LeafFacts> verifySealSignature(std::string_view signature, std::string_view content,
                                             const Anchors& anchors, std::string* failure) {
    ERR_clear_error();
    if (anchors.empty()) return refused(failure, "no trust anchors");
    if (signature.size() > kMaxSignatureSize) return refused(failure, "the signature is too large");
    BioPtr der = memoryOf(signature);
    CmsPtr cms(der ? d2i_CMS_bio(der.get(), nullptr) : nullptr);
    if (!cms) return refused(failure, openSslError("the signature is not CMS"));
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        CMS_is_detached(cms.get()) != 1)
        return refused(failure, "the signature is not a detached SignedData");
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (!signers || sk_CMS_SignerInfo_num(signers) != 1)
        return refused(failure, "the signature has not exactly one signer");
    if (!strongDigest(sk_CMS_SignerInfo_value(signers, 0)))
        return refused(failure, "the signature uses a weak digest");

    BioPtr data = memoryOf(content);
    if (!data ||
        CMS_verify(cms.get(), nullptr, anchors.store(), data.get(), nullptr, CMS_BINARY) != 1)
        return refused(failure, openSslError("the signature does not verify"));

    STACK_OF(X509)* signerCerts = CMS_get0_signers(cms.get());
    X509* leaf =
        signerCerts && sk_X509_num(signerCerts) == 1 ? sk_X509_value(signerCerts, 0) : nullptr;
    const bool usable = leaf && mayCodeSign(leaf, failure);
    std::optional<LeafFacts> facts;
    if (usable) facts = factsOf(leaf);
    sk_X509_free(signerCerts);  // the certificates belong to the CMS object
    if (!leaf) refuse(failure, "the signature names no signer certificate");
    return facts;
}

std::optional<SigningIdentity> SigningIdentity::load(const std::string& certPath,
                                                     const std::string& keyPath,
                                                     const std::string& chainPath,
                                                     std::string* failure) {
    ERR_clear_error();
    std::string why;
    auto certPem = readFileAt(AT_FDCWD, certPath, kMaxPemFile, &why, true);
    auto keyPem = certPem ? readFileAt(AT_FDCWD, keyPath, kMaxPemFile, &why, true) : std::nullopt;
    std::optional<std::string> chainPem = std::string();
    if (keyPem && !chainPath.empty())
        chainPem = readFileAt(AT_FDCWD, chainPath, kMaxPemFile, &why, true);
    if (!certPem || !keyPem || !chainPem) return refused(failure, why);

    SigningIdentity identity;
    BioPtr certBio = memoryOf(*certPem);
    identity.leaf.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    if (!identity.leaf) return refused(failure, openSslError(certPath));
    BioPtr keyBio = memoryOf(*keyPem);
    identity.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!identity.key) return refused(failure, openSslError(keyPath));
    if (X509_check_private_key(identity.leaf.get(), identity.key.get()) != 1)
        return refused(failure, openSslError("the key does not match the certificate"));
    identity.chain.reset(sk_X509_new_null());
    BioPtr chainBio = memoryOf(*chainPem);
    while (X509* certificate = PEM_read_bio_X509(chainBio.get(), nullptr, nullptr, nullptr))
        sk_X509_push(identity.chain.get(), certificate);
    const unsigned long last = ERR_peek_last_error();
    if (last != 0 &&
        !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE))
        return refused(failure, openSslError(chainPath));
    ERR_clear_error();
    return identity;
}

std::optional<std::string> signSeal(std::string_view content, const SigningIdentity& identity,
                                    std::string* failure) {
    ERR_clear_error();
    BioPtr data = memoryOf(content);
    CmsPtr cms(data ? CMS_sign(identity.leaf.get(), identity.key.get(), identity.chain.get(),
                               data.get(), CMS_BINARY | CMS_DETACHED)
                    : nullptr);
    if (!cms) return refused(failure, openSslError("cannot sign"));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1)
        return refused(failure, openSslError("cannot encode the signature"));
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(out.get(), &bytes);
    return std::string(bytes, static_cast<std::size_t>(size));
}

}  // namespace vorsel::linux_platform
