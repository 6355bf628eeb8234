// The peer check of the link: whether a process that called is the genuine
// main app, judged by what it runs now rather than how it was started. Holds
// no mutable state: any thread, concurrently.
#pragma once

#include <cstdint>
#include <string>

namespace vorsel::linux_platform {

class CallerVerdict {
  public:
    // `anchorsPath`: the PEM file of trusted authorities, read on each
    // verdict; without anchors nobody is genuine.
    explicit CallerVerdict(std::string anchorsPath);

    // Yes only when `uid` is ours and the image running as `pid`, opened through
    // /proc/<pid>/exe (so the image that runs is the one hashed), is the main
    // executable of a bundle that strictly validates against `requirement`, and
    // hashes to that executable's sealed hash. The process itself must also
    // run as our uid (real, effective, saved and file-system ids), have no
    // tracer on any thread, share our namespaces, have been started without
    // LD_PRELOAD or LD_AUDIT, map no code but what mappingsAllowed() allows
    // (CallerMappings.h), and still be so when everything was read.
    bool genuine(std::uint32_t uid, std::int32_t pid, const std::string& requirement) const;

    // The same, with `why` (when given) saying what failed on a no.
    bool genuine(std::uint32_t uid, std::int32_t pid, const std::string& requirement,
                 std::string* why) const;

    // The second half of `genuine`, for an image already open as `image`
    // (a descriptor at offset 0; read, not closed) and known by the path
    // `imagePath`: the bundle around that path validates against
    // `requirement`, `imagePath` is its main executable, and `image` hashes
    // to the executable's sealed hash.
    bool genuineImage(int image, const std::string& imagePath, const std::string& requirement,
                      std::string* why) const;

  private:
    std::string anchorsPath;
};

}  // namespace vorsel::linux_platform
