// What a bundle folder holds, as its seal lists it: every regular file with its
// SHA-256 and every symbolic link with its target, by path relative to the
// bundle ("Contents/Info.plist"). The two signature files themselves
// ("Contents/_CodeSignature/CodeResources" and ".../CodeSignature") are left
// out; everything else, "_CodeSignature/" included, is listed. Any thread.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace vorsel::linux_platform {

inline constexpr const char* kSealPath = "Contents/_CodeSignature/CodeResources";
inline constexpr const char* kSignaturePath = "Contents/_CodeSignature/CodeSignature";

struct BundleTree {
    std::map<std::string, std::string> files;     // relative path → lowercase hex SHA-256
    std::map<std::string, std::string> symlinks;  // relative path → link target, as stored
};

// Walks the bundle folder open as `bundle` without following any symbolic
// link. Nothing, with `failure` saying why, when the folder holds a file of
// another kind (FIFO, socket, device), a name that is not UTF-8, a symbolic
// link that leads out of the bundle, or more than a sane number of entries or
// levels, or when anything cannot be read. With `sealed` (the files a seal
// lists), a regular file not listed there fails the scan at once, before any
// of it is read, so that unsealed bulk costs nothing to refuse.
std::optional<BundleTree> scanBundle(int bundle, std::string* failure,
                                     const std::map<std::string, std::string>* sealed = nullptr);

// Whether the symbolic link at `link` (a key of `symlinks`) resolves, link by
// link through `symlinks` and ".." by "..", to a place inside the bundle.
// Absolute targets, empty targets and loops count as leaving.
bool staysInside(const std::string& link, const std::map<std::string, std::string>& symlinks);

}  // namespace vorsel::linux_platform
