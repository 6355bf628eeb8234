// codesign: signs an app bundle for Vorsel, or verifies one and says why it
// fails. See usage() below, and docs/signing.md.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>

#include <nlohmann/json.hpp>

#include "Platform/Linux/Signing/Anchors.h"
#include "Platform/Linux/Signing/BundleSigner.h"
#include "Platform/Linux/Signing/BundleValidation.h"
#include "Platform/Linux/Signing/SealFiles.h"

namespace {

using namespace vorsel::linux_platform;

constexpr int kValid = 0;
constexpr int kInvalid = 1;
constexpr int kUsage = 2;

const char* const kUsageText = R"(usage:
  codesign --sign --cert LEAF.pem --key LEAF.key [--chain CHAIN.pem]
           --identifier ID [--entitlements ENT.json] BUNDLE
  codesign --verify --anchors ANCHORS.pem [--requirement TEXT] BUNDLE
  codesign --help

--sign seals every file and symbolic link of BUNDLE (an app folder holding
Contents/Info.plist and Contents/Linux/<CFBundleExecutable>) into
Contents/_CodeSignature/CodeResources and signs that seal, as a detached DER
CMS signature made with the leaf certificate (extended key usage codeSigning)
and its chain, into Contents/_CodeSignature/CodeSignature. ENT.json is a JSON
object of entitlements (default: none).

--verify checks BUNDLE strictly against the authorities in ANCHORS.pem and,
when given, the requirement TEXT; it prints why a bundle fails.
Exit status: 0 signed / valid, 1 failed / invalid, 2 usage error.

A throwaway certificate authority for development (never ship it):
  scripts/throwaway-ca.sh DIR [TEAM]
or by hand with openssl:
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
      -subj "/CN=My dev authority" -days 3650 -keyout root.key -out root.pem \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
      -subj "/OU=TEAM/CN=My dev signing" -keyout leaf.key -out leaf.csr
  printf '%s\n' 'extendedKeyUsage=critical,codeSigning' \
      'keyUsage=critical,digitalSignature' '1.2.840.113635.100.6.1.9=ASN1:NULL' > leaf.ext
  openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -set_serial 0x$(openssl rand -hex 8) \
      -days 825 -extfile leaf.ext -out leaf.pem
Then put root.pem into Vorsel.app/Contents/Resources/anchors.pem, and sign with
  codesign --sign --cert leaf.pem --key leaf.key --identifier com.ordwyn.app \
      --entitlements ENT.json Ordwyn.app
where ENT.json holds {"com.apple.security.app-sandbox": true,
"com.apple.developer.team-identifier": "TEAM"}.
)";

struct Options {
    bool sign = false;
    bool verify = false;
    std::string cert, key, chain, identifier, entitlements, anchors, bundle;
    std::optional<std::string> requirement;
};

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "codesign: %s\n", problem);
    std::fputs(kUsageText, problem ? stderr : stdout);
    return problem ? kUsage : kValid;
}

// Fills `options`; a usage message when the arguments make no sense.
std::optional<std::string> parse(int argc, char** argv, Options& options, bool& help) {
    const std::vector<std::pair<const char*, std::string*>> valued = {
        {"--cert", &options.cert},
        {"--key", &options.key},
        {"--chain", &options.chain},
        {"--identifier", &options.identifier},
        {"--entitlements", &options.entitlements},
        {"--anchors", &options.anchors}};
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            help = true;
            return std::nullopt;
        }
        if (argument == "--sign") {
            options.sign = true;
            continue;
        }
        if (argument == "--verify") {
            options.verify = true;
            continue;
        }
        std::string* target = nullptr;
        for (const auto& [name, field] : valued)
            if (argument == name) target = field;
        if (argument == "--requirement") {
            if (i + 1 >= argc) return "--requirement needs a value";
            options.requirement = argv[++i];
            continue;
        }
        if (target) {
            if (i + 1 >= argc) return argument + " needs a value";
            *target = argv[++i];
            continue;
        }
        if (argument.rfind("--", 0) == 0) return "unknown option " + argument;
        if (!options.bundle.empty()) return "one bundle at a time";
        options.bundle = argument;
    }
    if (options.sign == options.verify) return std::string("say --sign or --verify");
    if (options.bundle.empty()) return std::string("no bundle given");
    if (options.sign && (options.cert.empty() || options.key.empty() || options.identifier.empty()))
        return std::string("--sign needs --cert, --key and --identifier");
    if (options.verify && options.anchors.empty()) return std::string("--verify needs --anchors");
    return std::nullopt;
}

int sign(const Options& options) {
    std::string failure;
    const auto identity = SigningIdentity::load(options.cert, options.key, options.chain, &failure);
    if (!identity) {
        std::fprintf(stderr, "codesign: %s\n", failure.c_str());
        return kInvalid;
    }
    nlohmann::json entitlements = nlohmann::json::object();
    if (!options.entitlements.empty()) {
        const auto text = readFileAt(AT_FDCWD, options.entitlements, 1u << 20, &failure, true);
        if (text) entitlements = nlohmann::json::parse(*text, nullptr, false);
        if (!text || entitlements.is_discarded() || !entitlements.is_object()) {
            std::fprintf(stderr, "codesign: %s: %s\n", options.entitlements.c_str(),
                         text ? "not a JSON object" : failure.c_str());
            return kInvalid;
        }
    }
    if (!signBundle(options.bundle, *identity, options.identifier, entitlements, &failure)) {
        std::fprintf(stderr, "codesign: %s: %s\n", options.bundle.c_str(), failure.c_str());
        return kInvalid;
    }
    std::printf("%s: signed as %s\n", options.bundle.c_str(), options.identifier.c_str());
    return kValid;
}

int verify(const Options& options) {
    std::string failure;
    bool valid = false;
    if (options.requirement) {
        valid = validateAgainst(options.bundle, options.anchors, *options.requirement, &failure)
                    .has_value();
    } else {
        const Anchors anchors = Anchors::load(options.anchors, &failure);
        valid = !anchors.empty() && validateBundle(options.bundle, anchors, &failure).has_value();
    }
    if (!valid) {
        std::printf("%s: invalid: %s\n", options.bundle.c_str(), failure.c_str());
        return kInvalid;
    }
    std::printf("%s: valid%s\n", options.bundle.c_str(),
                options.requirement ? " and satisfies the requirement" : "");
    return kValid;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (const auto problem = parse(argc, argv, options, help)) return usage(problem->c_str());
    if (help) return usage(nullptr);
    // Nothing below throws on purpose; anything that does is a failure, not a crash.
    try {
        return options.sign ? sign(options) : verify(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "codesign: %s\n", error.what());
        return kInvalid;
    }
}
