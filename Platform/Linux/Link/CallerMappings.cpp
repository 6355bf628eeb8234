#include "Platform/Linux/Link/CallerMappings.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string_view>

#include "Platform/Linux/Signing/Refusal.h"

namespace vorsel::linux_platform {

namespace {

constexpr std::string_view kDeleted = " (deleted)";
constexpr std::array<std::string_view, 5> kKernelProvided = {"[vdso]", "[vsyscall]", "[vectors]",
                                                             "[sigpage]", "[uprobes]"};

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

bool inGroups(gid_t gid, const CallerIds& ids) {
    return std::find(ids.gids.begin(), ids.gids.end(), gid) != ids.gids.end() ||
           std::find(ids.groups.begin(), ids.groups.end(), gid) != ids.groups.end();
}

// Whether the caller's user can write the file or folder `path` described by
// `info`. With group write allowed, an access list may grant it to anyone:
// then it counts as writable.
bool writable(const std::string& path, const struct stat& info, const CallerIds& ids) {
    const uid_t uid = ids.uids.front();
    if (info.st_mode & S_IWOTH) return true;
    if (info.st_uid == uid && uid != 0) return true;
    if (info.st_mode & S_IWGRP) {
        if (inGroups(info.st_gid, ids)) return true;
        if (::lgetxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0) return true;
    }
    return false;
}

// Judges the folders above a mapped file, each once per verdict.
class Folders {
  public:
    explicit Folders(const CallerIds& ids) : ids(ids) {}

    // The first folder above `path` that the user can write, or that is no
    // longer a plain folder; empty when there is none.
    std::string firstOpen(const std::string& path) {
        std::string folder = path;
        while (folder.size() > 1) {
            const std::size_t slash = folder.rfind('/');
            folder.resize(slash == 0 ? 1 : slash);
            auto known = open.find(folder);
            if (known == open.end()) known = open.emplace(folder, isOpen(folder)).first;
            if (known->second) return folder;
        }
        return {};
    }

  private:
    bool isOpen(const std::string& folder) const {
        struct stat info {};
        return ::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
               writable(folder, info, ids);
    }

    const CallerIds& ids;
    std::map<std::string, bool> open;
};

bool fileAllowed(const Mapping& mapping, const CallerIds& ids, Folders& folders, std::string* why) {
    struct stat info {};
    // The inode tells whether the path still leads to the mapped file. (The
    // device would not: on some file systems stat and the maps disagree.)
    if (::lstat(mapping.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_ino != mapping.inode)
        return refuse(why, "the caller runs code from " + mapping.path +
                               ", which is no longer the file at that path");
    if (writable(mapping.path, info, ids))
        return refuse(why,
                      "the caller runs code from " + mapping.path + ", which its user can write");
    const std::string folder = folders.firstOpen(mapping.path);
    if (!folder.empty())
        return refuse(why, "the caller runs code from " + mapping.path + ", in " + folder +
                               ", which its user can change");
    return true;
}

}  // namespace

bool mappingsAllowed(const std::vector<Mapping>& mappings, const CallerImage& image,
                     const CallerIds& ids, std::string* why) {
    if (ids.uids.empty()) return refuse(why, "the caller's status is unreadable");
    Folders folders(ids);
    std::set<std::pair<std::string, std::uint64_t>> judged;
    for (const Mapping& mapping : mappings) {
        const std::string& path = mapping.path;
        if (mapping.inode == 0 && std::find(kKernelProvided.begin(), kKernelProvided.end(), path) !=
                                      kKernelProvided.end())
            continue;
        if (path.empty() || path.front() != '/')
            return refuse(why, "the caller runs code from anonymous memory" +
                                   (path.empty() ? std::string() : " (" + path + ")"));
        if (endsWith(path, kDeleted))
            return refuse(why, "the caller runs code from " +
                                   path.substr(0, path.size() - kDeleted.size()) +
                                   ", which was deleted or replaced");
        if (path == image.path && mapping.inode == image.inode) continue;
        if (!judged.emplace(path, mapping.inode).second) continue;
        if (!fileAllowed(mapping, ids, folders, why)) return false;
    }
    return true;
}

}  // namespace vorsel::linux_platform
