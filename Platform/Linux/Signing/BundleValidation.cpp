#include "Platform/Linux/Signing/BundleValidation.h"

#include "Platform/Linux/Runtime/InfoPlist.h"
#include "Platform/Linux/Signing/BundleTree.h"
#include "Platform/Linux/Signing/Refusal.h"
#include "Platform/Linux/Signing/SealFiles.h"
#include "Platform/Linux/Signing/SealSignature.h"

namespace vorsel::linux_platform {

namespace {

constexpr std::size_t kMaxInfoPlist = 1u << 20;

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// Checks the bundle as read against the seal; the first difference is the
// failure.
bool matches(const BundleTree& tree, const Seal& seal, std::string* failure) {
    for (const auto& [path, hash] : tree.files) {
        const auto sealed = seal.files.find(path);
        if (sealed == seal.files.end()) return refuse(failure, path + ": not sealed");
        if (sealed->second != hash) return refuse(failure, path + ": modified");
    }
    for (const auto& [path, target] : tree.symlinks) {
        const auto sealed = seal.symlinks.find(path);
        if (sealed == seal.symlinks.end()) return refuse(failure, path + ": not sealed");
        if (sealed->second != target) return refuse(failure, path + ": link changed");
    }
    for (const auto& [path, hash] : seal.files)
        if (!tree.files.count(path)) return refuse(failure, path + ": missing");
    for (const auto& [path, target] : seal.symlinks)
        if (!tree.symlinks.count(path)) return refuse(failure, path + ": missing");
    return true;
}

}  // namespace

std::optional<ValidBundle> validateBundle(const std::string& bundlePath, const Anchors& anchors,
                                          std::string* failure) {
    if (anchors.empty()) return refused(failure, "no trust anchors");
    std::string why;
    UniqueFd bundle = openFolder(bundlePath, &why);
    if (!bundle) return refused(failure, why);
    UniqueFd contents = openFolderAt(bundle.get(), "Contents", &why);
    UniqueFd signatureDir =
        contents ? openFolderAt(contents.get(), "_CodeSignature", &why) : UniqueFd();
    if (!signatureDir) return refused(failure, "not signed: " + why);
    auto sealBytes = readFileAt(signatureDir.get(), "CodeResources", kMaxSealSize, &why);
    auto signature = sealBytes
                         ? readFileAt(signatureDir.get(), "CodeSignature", kMaxSignatureSize, &why)
                         : std::nullopt;
    if (!signature) return refused(failure, "not signed: " + why);

    auto leaf = verifySealSignature(*signature, *sealBytes, anchors, &why);
    if (!leaf) return refused(failure, why);
    auto seal = Seal::parse(*sealBytes, &why);
    if (!seal) return refused(failure, why);

    // The Info.plist judged is the one hashed: read once, checked, parsed.
    auto infoBytes = readFileAt(contents.get(), "Info.plist", kMaxInfoPlist, &why);
    if (!infoBytes) return refused(failure, "Contents/" + why);
    const auto sealedInfo = seal->files.find("Contents/Info.plist");
    if (sealedInfo == seal->files.end()) return refused(failure, "Contents/Info.plist: not sealed");
    if (sealedInfo->second != sha256Hex(*infoBytes))
        return refused(failure, "Contents/Info.plist: modified");
    const auto info = InfoPlist::parse(*infoBytes);
    const auto executable = info ? info->text("CFBundleExecutable") : std::nullopt;
    if (!executable || !isPlainName(*executable))
        return refused(failure, "Contents/Info.plist names no executable");
    if (seal->executable != "Contents/Linux/" + *executable)
        return refused(failure, "the seal's executable is not the one Info.plist names");
    if (!seal->files.count(seal->executable))
        return refused(failure, seal->executable + ": not a sealed file");

    auto tree = scanBundle(bundle.get(), &why, &seal->files);
    if (!tree) return refused(failure, why);
    if (!matches(*tree, *seal, failure)) return std::nullopt;

    ValidBundle valid;
    valid.facts.anchored = true;  // the signature verified against our anchors
    valid.facts.identifier = seal->identifier;
    valid.facts.entitlements = seal->entitlements;
    valid.facts.leafExtensions = std::move(leaf->extensions);
    valid.facts.leafOrganizationalUnits = std::move(leaf->organizationalUnits);
    valid.seal = std::move(*seal);
    return valid;
}

std::optional<ValidBundle> validateAgainst(const std::string& bundlePath,
                                           const std::string& anchorsPath,
                                           const std::string& requirement, std::string* failure) {
    std::string why;
    const auto parsed = Requirement::parse(requirement, &why);
    if (!parsed) return refused(failure, "the requirement does not parse: " + why);
    const Anchors anchors = Anchors::load(anchorsPath, &why);
    if (anchors.empty()) return refused(failure, why);
    auto valid = validateBundle(bundlePath, anchors, failure);
    if (!valid) return std::nullopt;
    if (!parsed->satisfiedBy(valid->facts))
        return refused(failure, "the signature does not satisfy the requirement");
    return valid;
}

}  // namespace vorsel::linux_platform
