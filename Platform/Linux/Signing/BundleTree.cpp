#include "Platform/Linux/Signing/BundleTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <memory>
#include <vector>

#include "Platform/Linux/Runtime/PosixError.h"
#include "Platform/Linux/Signing/SealFiles.h"

namespace vorsel::linux_platform {

namespace {

// Bounds on what a bundle may hold; far beyond any real app.
constexpr std::size_t kMaxEntries = 200000;
constexpr int kMaxDepth = 64;
constexpr int kMaxLinkExpansions = 40;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class Walker {
  public:
    Walker(std::string* failure, const std::map<std::string, std::string>* sealed)
        : failure(failure), sealed(sealed) {}

    bool walk(int dir, const std::string& prefix, int depth);
    BundleTree tree;

  private:
    bool entry(int dir, const std::string& name, const std::string& path, int depth);
    bool file(int dir, const std::string& name, const std::string& path, const struct stat& seen);
    bool link(int dir, const std::string& name, const std::string& path);
    bool refuse(const std::string& why) {
        if (failure) *failure = why;
        return false;
    }

    std::string* failure;
    const std::map<std::string, std::string>* sealed;
    std::size_t entries = 0;
};

bool Walker::walk(int dir, const std::string& prefix, int depth) {
    if (depth > kMaxDepth) return refuse(prefix + ": folders nested too deep");
    // fdopendir takes ownership of its descriptor; give it a copy of ours.
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return refuse(prefix + ": " + posixError(errno));
    std::unique_ptr<DIR, DirCloser> stream(::fdopendir(copy));
    if (!stream) {
        const int error = errno;
        ::close(copy);
        return refuse(prefix + ": " + posixError(error));
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* item = ::readdir(stream.get())) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        if (++entries > kMaxEntries) return refuse("the bundle holds too many files");
        names.push_back(name);
    }
    if (errno != 0) return refuse(prefix + ": " + posixError(errno));
    for (const auto& name : names) {
        const std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (!isUtf8(name)) return refuse("a file name that is not UTF-8 under " + prefix);
        if (!entry(dir, name, path, depth)) return false;
    }
    return true;
}

bool Walker::entry(int dir, const std::string& name, const std::string& path, int depth) {
    if (path == kSealPath || path == kSignaturePath) return true;
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return refuse(path + ": " + posixError(errno));
    if (S_ISDIR(info.st_mode)) {
        std::string why;
        UniqueFd sub = openFolderAt(dir, name, &why);
        if (!sub) return refuse(path + ": " + why);
        return walk(sub.get(), path, depth + 1);
    }
    if (S_ISREG(info.st_mode)) return file(dir, name, path, info);
    if (S_ISLNK(info.st_mode)) return link(dir, name, path);
    return refuse(path + ": neither a file, a folder nor a symbolic link");
}

bool Walker::file(int dir, const std::string& name, const std::string& path,
                  const struct stat& seen) {
    if (sealed && !sealed->count(path)) return refuse(path + ": not sealed");
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return refuse(path + ": " + posixError(errno));
    struct stat opened {};
    // Swapped for something else between the look and the open: refuse.
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_ino != seen.st_ino || opened.st_dev != seen.st_dev)
        return refuse(path + ": changed while being read");
    std::string why;
    auto digest = sha256HexOfFd(fd.get(), &why);
    if (!digest) return refuse(path + ": " + why);
    tree.files.emplace(path, std::move(*digest));
    return true;
}

bool Walker::link(int dir, const std::string& name, const std::string& path) {
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(dir, name.c_str(), target, sizeof target);
    if (size < 0) return refuse(path + ": " + posixError(errno));
    if (static_cast<std::size_t>(size) >= sizeof target) return refuse(path + ": target too long");
    std::string text(target, static_cast<std::size_t>(size));
    if (!isUtf8(text)) return refuse(path + ": a link target that is not UTF-8");
    tree.symlinks.emplace(path, std::move(text));
    return true;
}

std::deque<std::string> components(const std::string& path) {
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = path.find('/', start);
        const std::size_t stop = end == std::string::npos ? path.size() : end;
        if (stop > start) parts.push_back(path.substr(start, stop - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string path;
    for (const auto& part : parts) {
        if (!path.empty()) path += '/';
        path += part;
    }
    return path;
}

}  // namespace

std::optional<BundleTree> scanBundle(int bundle, std::string* failure,
                                     const std::map<std::string, std::string>* sealed) {
    Walker walker(failure, sealed);
    if (!walker.walk(bundle, "", 0)) return std::nullopt;
    for (const auto& [path, target] : walker.tree.symlinks) {
        if (!staysInside(path, walker.tree.symlinks)) {
            if (failure) *failure = path + ": a symbolic link that leads out of the bundle";
            return std::nullopt;
        }
    }
    return std::move(walker.tree);
}

bool staysInside(const std::string& link, const std::map<std::string, std::string>& symlinks) {
    const auto found = symlinks.find(link);
    if (found == symlinks.end()) return false;
    // `where` is always a symlink-free path from the bundle root, so ".."
    // popping it is exactly what the kernel would do.
    std::deque<std::string> where = components(link);
    if (where.empty()) return false;
    where.pop_back();
    std::vector<std::string> place(where.begin(), where.end());
    const std::string* target = &found->second;
    std::deque<std::string> pending;
    int expansions = 0;
    for (;;) {
        if (target) {
            if (target->empty() || target->front() == '/') return false;
            auto parts = components(*target);
            pending.insert(pending.begin(), parts.begin(), parts.end());
            target = nullptr;
        }
        if (pending.empty()) return true;
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            if (place.empty()) return false;
            place.pop_back();
            continue;
        }
        place.push_back(std::move(part));
        const auto next = symlinks.find(joined(place));
        if (next == symlinks.end()) continue;
        if (++expansions > kMaxLinkExpansions) return false;
        place.pop_back();
        target = &next->second;
    }
}

}  // namespace vorsel::linux_platform
