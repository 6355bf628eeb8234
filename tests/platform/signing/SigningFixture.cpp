#include "tests/platform/signing/SigningFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "Platform/Linux/Signing/BundleSigner.h"

namespace vorsel::linux_platform::testing {

namespace {

PkeyPtr newKey() { return PkeyPtr(EVP_EC_gen("P-256")); }

void addExtension(X509* certificate, X509* issuer, const char* name, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf(nullptr, &context, name, value);
    ASSERT_NE(extension, nullptr) << name;
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

X509Ptr newCertificate(EVP_PKEY* key,
                       const std::vector<std::pair<std::string, std::string>>& name) {
    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    unsigned char serial[12];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * 30);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    for (const auto& [field, value] : name)
        X509_NAME_add_entry_by_txt(subject, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0);
    return certificate;
}

}  // namespace

TestAuthority::TestAuthority(const std::string& name) : key(newKey()) {
    root = newCertificate(key.get(), {{"CN", name}});
    X509_set_issuer_name(root.get(), X509_get_subject_name(root.get()));
    addExtension(root.get(), root.get(), "basicConstraints", "critical,CA:TRUE");
    addExtension(root.get(), root.get(), "keyUsage", "critical,keyCertSign,cRLSign");
    addExtension(root.get(), root.get(), "subjectKeyIdentifier", "hash");
    X509_sign(root.get(), key.get(), EVP_sha256());
}

TestAuthority::TestAuthority(const std::string& name, const TestAuthority& parent) : key(newKey()) {
    root = newCertificate(key.get(), {{"CN", name}});
    X509_set_issuer_name(root.get(), X509_get_subject_name(parent.root.get()));
    addExtension(root.get(), parent.root.get(), "basicConstraints", "critical,CA:TRUE");
    addExtension(root.get(), parent.root.get(), "keyUsage", "critical,keyCertSign");
    addExtension(root.get(), parent.root.get(), "subjectKeyIdentifier", "hash");
    addExtension(root.get(), parent.root.get(), "authorityKeyIdentifier", "keyid");
    X509_sign(root.get(), parent.key.get(), EVP_sha256());
    X509_up_ref(parent.root.get());
    issuedBy = X509Ptr(parent.root.get());
}

SigningIdentity TestAuthority::issue(const LeafOptions& options, bool withChain) const {
    SigningIdentity identity;
    identity.key = options.weakKey ? PkeyPtr(EVP_RSA_gen(1024)) : newKey();
    std::vector<std::pair<std::string, std::string>> name;
    if (!options.team.empty()) name.emplace_back("OU", options.team);
    name.emplace_back("CN", "Test signer");
    identity.leaf = newCertificate(identity.key.get(), name);
    X509* leaf = identity.leaf.get();
    X509_set_issuer_name(leaf, X509_get_subject_name(root.get()));
    addExtension(leaf, root.get(), "basicConstraints", "critical,CA:FALSE");
    addExtension(leaf, root.get(), "keyUsage", "critical,digitalSignature");
    addExtension(leaf, root.get(), "extendedKeyUsage",
                 options.codeSigning ? "critical,codeSigning" : "critical,emailProtection");
    addExtension(leaf, root.get(), "authorityKeyIdentifier", "keyid");
    if (options.teamMarker) addExtension(leaf, root.get(), "1.2.840.113635.100.6.1.9", "ASN1:NULL");
    if (options.teamMarker25)
        addExtension(leaf, root.get(), "1.2.840.113635.100.6.1.25.1", "ASN1:NULL");
    X509_sign(leaf, key.get(), EVP_sha256());
    identity.chain.reset(sk_X509_new_null());
    if (issuedBy && withChain) {
        X509_up_ref(root.get());
        sk_X509_push(identity.chain.get(), root.get());
    }
    return identity;
}

std::string TestAuthority::rootPem() const {
    BioPtr out(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(out.get(), root.get());
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(out.get(), &bytes);
    return std::string(bytes, static_cast<std::size_t>(size));
}

std::string TestAuthority::writeRoot(const std::string& path) const {
    writeFile(path, rootPem());
    return path;
}

void writePem(const SigningIdentity& identity, const std::string& certPath,
              const std::string& keyPath) {
    BioPtr cert(BIO_new_file(certPath.c_str(), "w"));
    PEM_write_bio_X509(cert.get(), identity.leaf.get());
    BioPtr key(BIO_new_file(keyPath.c_str(), "w"));
    PEM_write_bio_PrivateKey(key.get(), identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

nlohmann::json appEntitlements(const std::string& team) {
    return {{"com.apple.security.app-sandbox", true},
            {"com.apple.developer.team-identifier", team}};
}

std::string makeBundle(const std::string& folder, const std::string& name,
                       const std::string& program) {
    const std::string bundle = folder + "/" + name;
    std::filesystem::create_directories(bundle + "/Contents/Linux");
    std::filesystem::create_directories(bundle + "/Contents/Resources");
    writeFile(bundle + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<plist version=\"1.0\"><dict>\n"
              "<key>CFBundleIdentifier</key><string>" +
                  std::string(kAppId) +
                  "</string>\n"
                  "<key>CFBundleExecutable</key><string>ordwyn</string>\n"
                  "</dict></plist>\n");
    std::filesystem::copy_file(program, executableOf(bundle),
                               std::filesystem::copy_options::overwrite_existing);
    ::chmod(executableOf(bundle).c_str(), 0755);
    writeFile(bundle + "/Contents/Resources/strings.txt", "focus\n");
    return bundle;
}

std::string executableOf(const std::string& bundle) { return bundle + "/Contents/Linux/ordwyn"; }

void sign(const std::string& bundle, const SigningIdentity& identity,
          const nlohmann::json& entitlements, const std::string& identifier) {
    std::string failure;
    ASSERT_TRUE(signBundle(bundle, identity, identifier, entitlements, &failure)) << failure;
}

Child::Child(const std::string& program, const std::vector<std::string>& arguments,
             const std::function<bool()>& beforeExec) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    processId = ::fork();
    if (processId == 0) {
        ::close(ready[0]);
        const char failed = 1;
        if (!beforeExec || beforeExec()) ::execv(program.c_str(), argv.data());
        [[maybe_unused]] auto ignored = ::write(ready[1], &failed, 1);
        ::_exit(127);
    }
    ::close(ready[1]);
    // The pipe closes on exec: end of file means the new image runs.
    char failed = 0;
    ssize_t got;
    do {
        got = ::read(ready[0], &failed, 1);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    hasStarted = processId > 0 && got == 0;
}

Child::~Child() { reap(); }

void Child::reap() {
    if (processId <= 0) return;
    ::kill(processId, SIGKILL);
    int status = 0;
    while (::waitpid(processId, &status, 0) < 0 && errno == EINTR) {
    }
    processId = -1;
}

}  // namespace vorsel::linux_platform::testing
