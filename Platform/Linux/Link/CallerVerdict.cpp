#include "Platform/Linux/Link/CallerVerdict.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "Platform/Linux/Link/CallerMappings.h"
#include "Platform/Linux/Link/CallerProcess.h"
#include "Platform/Linux/Runtime/InfoPlist.h"
#include "Platform/Linux/Runtime/PosixError.h"
#include "Platform/Linux/Signing/BundleValidation.h"
#include "Platform/Linux/Signing/Refusal.h"
#include "Platform/Linux/Signing/SealFiles.h"

namespace vorsel::linux_platform {

namespace {

// Far above what exec accepts with ordinary limits.
constexpr std::size_t kMaxEnvironment = 16u << 20;
constexpr std::string_view kDeleted = " (deleted)";

// Whether the process runs entirely as `uid`: real, effective, saved and
// file-system ids, as its /proc status says.
std::optional<CallerIds> idsIfOurs(int procDir, uid_t uid, std::string* why) {
    auto ids = readIds(procDir, why);
    if (!ids) return std::nullopt;
    for (uid_t id : ids->uids)
        if (id != uid) return refused(why, "the caller runs as another user");
    return ids;
}

// Whether the process started without the loader variables that put foreign
// code into an image. What the process mapped is judged on its own (below):
// this only turns away the plain case early, since the block read here is
// the process's live memory, which code inside it may have rewritten.
bool loadsNothingForeign(int procDir, std::string* why) {
    std::string failure;
    const auto environment = readFileAt(procDir, "environ", kMaxEnvironment, &failure);
    if (!environment) return refuse(why, "the caller's environment is unreadable: " + failure);
    std::size_t start = 0;
    while (start < environment->size()) {
        std::size_t end = environment->find('\0', start);
        if (end == std::string::npos) end = environment->size();
        const std::string_view entry(environment->data() + start, end - start);
        for (const std::string_view name : {"LD_PRELOAD=", "LD_AUDIT="})
            if (entry.substr(0, name.size()) == name && entry.size() > name.size())
                return refuse(why, "the caller was started with " +
                                       std::string(name.substr(0, name.size() - 1)));
        start = end + 1;
    }
    return true;
}

// Whether everything the process runs is the image or code its user cannot
// have changed.
bool mapsOnlyTrustedCode(int procDir, const CallerImage& image, const CallerIds& ids,
                         std::string* why) {
    const auto mappings = readExecutableMappings(procDir, why);
    return mappings && mappingsAllowed(*mappings, image, ids, why);
}

}  // namespace

CallerVerdict::CallerVerdict(std::string anchorsPath) : anchorsPath(std::move(anchorsPath)) {}

bool CallerVerdict::genuine(std::uint32_t uid, std::int32_t pid,
                            const std::string& requirement) const {
    return genuine(uid, pid, requirement, nullptr);
}

bool CallerVerdict::genuine(std::uint32_t uid, std::int32_t pid, const std::string& requirement,
                            std::string* why) const {
    const uid_t ours = ::geteuid();
    if (uid != ours) return refuse(why, "the caller is another user");

    // Everything below is read through this one descriptor of /proc/<pid>: if
    // the process ends and its pid is reused meanwhile, the reads fail
    // instead of describing the newcomer.
    const UniqueFd proc = openProcess(pid, why);
    if (!proc) return false;
    const auto ids = idsIfOurs(proc.get(), ours, why);
    if (!ids || !untraced(proc.get(), why) || !sameNamespaces(proc.get(), why) ||
        !loadsNothingForeign(proc.get(), why))
        return false;

    UniqueFd image(::openat(proc.get(), "exe", O_RDONLY | O_CLOEXEC));
    if (!image) return refuse(why, "the caller's image cannot be opened: " + posixError(errno));
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(proc.get(), "exe", target, sizeof target);
    if (size < 0) return refuse(why, "the caller's image has no path: " + posixError(errno));
    if (static_cast<std::size_t>(size) >= sizeof target)
        return refuse(why, "the caller's image path is too long");
    const std::string path(target, static_cast<std::size_t>(size));
    // The file the process started from was removed or replaced: what runs
    // is no longer what any bundle holds.
    if (path.size() >= kDeleted.size() &&
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        return refuse(why, "the caller's image was deleted or replaced after it started");
    struct stat info {};
    if (::fstat(image.get(), &info) != 0) return refuse(why, "the caller's image cannot be read");
    const CallerImage running{path, info.st_ino};
    if (!mapsOnlyTrustedCode(proc.get(), running, *ids, why)) return false;
    if (!genuineImage(image.get(), path, requirement, why)) return false;
    // Once more through the same descriptor, after the bundle was judged:
    // still the same process, still ours, still untraced and running only
    // what it ran before.
    return idsIfOurs(proc.get(), ours, why) && untraced(proc.get(), why) &&
           mapsOnlyTrustedCode(proc.get(), running, *ids, why);
}

bool CallerVerdict::genuineImage(int image, const std::string& imagePath,
                                 const std::string& requirement, std::string* why) const {
    struct stat info {};
    if (::fstat(image, &info) != 0 || !S_ISREG(info.st_mode))
        return refuse(why, "the caller's image is not a regular file");
    const auto bundle = bundleAround(imagePath);
    if (!bundle) return refuse(why, imagePath + " is not the executable of an app bundle");
    std::string failure;
    const auto valid = validateAgainst(*bundle, anchorsPath, requirement, &failure);
    if (!valid) return refuse(why, *bundle + ": " + failure);
    if (*bundle + "/" + valid->seal.executable != imagePath)
        return refuse(why, imagePath + " is not the bundle's main executable");
    const auto digest = sha256HexOfFd(image, &failure);
    if (!digest) return refuse(why, "the caller's image cannot be read: " + failure);
    if (*digest != valid->seal.files.at(valid->seal.executable))
        return refuse(why, "the caller's image does not match the sealed executable");
    return true;
}

}  // namespace vorsel::linux_platform
