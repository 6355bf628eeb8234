// The CodeSigning port on Linux: bundles sealed and signed as
// tools/codesign does, validated strictly against the certificate
// authorities of an anchors PEM file (in production Vorsel's own
// "Contents/Resources/anchors.pem"), requirements in the language of
// Requirement.h. Holds no mutable state: any thread.
#pragma once

#include <string>

#include "Platform/CodeSigning.h"

namespace vorsel::linux_platform {

class LinuxCodeSigning final : public CodeSigning {
  public:
    // The anchors file is read on each validation; when it is missing or
    // holds no certificate, no bundle satisfies any requirement.
    explicit LinuxCodeSigning(std::string anchorsPath);

    // The file's modification time (symbolic links followed), in seconds
    // since 2001-01-01 with the file system's sub-second precision.
    std::optional<TimePoint> modificationDate(const std::string& path) override;

    // validateAgainst(bundlePath, anchors, requirement) succeeded.
    bool satisfies(const std::string& bundlePath, const std::string& requirement) override;

  private:
    std::string anchorsPath;
};

}  // namespace vorsel::linux_platform
