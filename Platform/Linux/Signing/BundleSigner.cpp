#include "Platform/Linux/Signing/BundleSigner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Linux/Runtime/InfoPlist.h"
#include "Platform/Linux/Runtime/PosixError.h"
#include "Platform/Linux/Signing/BundleTree.h"
#include "Platform/Linux/Signing/Refusal.h"
#include "Platform/Linux/Signing/SealFiles.h"

namespace vorsel::linux_platform {

namespace {

constexpr std::size_t kMaxInfoPlist = 1u << 20;

constexpr const char* kSealName = "CodeResources";
constexpr const char* kSignatureName = "CodeSignature";

std::string temporaryName(const std::string& name) { return "." + name + ".tmp"; }

// Writes `bytes` as `name` in `dir` through a temporary file and a rename.
bool replaceAt(int dir, const std::string& name, const std::string& bytes, std::string* failure) {
    const std::string temporary = temporaryName(name);
    UniqueFd fd(::openat(dir, temporary.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return refuse(failure, name + ": " + posixError(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            const int error = errno;
            ::unlinkat(dir, temporary.c_str(), 0);
            return refuse(failure, name + ": " + posixError(error));
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(fd.get()) != 0 || ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(dir, temporary.c_str(), 0);
        return refuse(failure, name + ": " + posixError(error));
    }
    return true;
}

}  // namespace

std::optional<Seal> sealOf(const std::string& bundlePath, const std::string& identifier,
                           const nlohmann::json& entitlements, std::string* failure) {
    if (!entitlements.is_object()) return refused(failure, "the entitlements are not an object");
    if (!isUtf8(identifier)) return refused(failure, "the identifier is not UTF-8");
    std::string why;
    UniqueFd bundle = openFolder(bundlePath, &why);
    UniqueFd contents = bundle ? openFolderAt(bundle.get(), "Contents", &why) : UniqueFd();
    if (!contents) return refused(failure, why);
    auto infoBytes = readFileAt(contents.get(), "Info.plist", kMaxInfoPlist, &why);
    if (!infoBytes) return refused(failure, "Contents/" + why);
    const auto info = InfoPlist::parse(*infoBytes);
    const auto executable = info ? info->text("CFBundleExecutable") : std::nullopt;
    if (!executable || executable->empty() || executable->find('/') != std::string::npos ||
        *executable == "." || *executable == "..")
        return refused(failure, "Contents/Info.plist names no executable");

    auto tree = scanBundle(bundle.get(), &why);
    if (!tree) return refused(failure, why);
    Seal seal;
    seal.identifier = identifier;
    seal.entitlements = entitlements;
    seal.executable = "Contents/Linux/" + *executable;
    if (!tree->files.count(seal.executable))
        return refused(failure, seal.executable + ": missing or not a regular file");
    seal.files = std::move(tree->files);
    seal.symlinks = std::move(tree->symlinks);
    return seal;
}

bool signBundle(const std::string& bundlePath, const SigningIdentity& identity,
                const std::string& identifier, const nlohmann::json& entitlements,
                std::string* failure) {
    std::string why;
    UniqueFd bundle = openFolder(bundlePath, &why);
    UniqueFd contents = bundle ? openFolderAt(bundle.get(), "Contents", &why) : UniqueFd();
    if (!contents) return refuse(failure, why);
    if (::mkdirat(contents.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST)
        return refuse(failure, "Contents/_CodeSignature: " + posixError(errno));
    UniqueFd signatureDir = openFolderAt(contents.get(), "_CodeSignature", &why);
    if (!signatureDir) return refuse(failure, "Contents/" + why);
    // Leftovers of an interrupted run would otherwise be sealed, then vanish.
    for (const char* name : {kSealName, kSignatureName})
        ::unlinkat(signatureDir.get(), temporaryName(name).c_str(), 0);

    const auto seal = sealOf(bundlePath, identifier, entitlements, failure);
    if (!seal) return false;
    const std::string sealBytes = seal->written();
    const auto signature = signSeal(sealBytes, identity, failure);
    if (!signature) return false;
    return replaceAt(signatureDir.get(), kSealName, sealBytes, failure) &&
           replaceAt(signatureDir.get(), kSignatureName, *signature, failure);
}

}  // namespace vorsel::linux_platform
