// The Bundles port on Linux: the main bundle is the one whose "Contents/Linux/"
// holds the running executable. Read once, at construction; any thread after.
#pragma once

#include <optional>
#include <string>

#include "Platform/Bundles.h"
#include "Platform/Linux/Runtime/InfoPlist.h"

namespace vorsel::linux_platform {

class LinuxBundles final : public Bundles {
  public:
    // The bundle around the running executable (/proc/self/exe).
    LinuxBundles();
    // The bundle around `executable`; for tests and tools.
    explicit LinuxBundles(const std::string& executable);

    std::optional<std::string> mainPath() const override { return location; }
    std::optional<std::string> mainIdentifier() const override;
    std::optional<std::string> infoText(const std::string& key) const override;

  private:
    std::optional<std::string> location;
    std::optional<InfoPlist> info;
};

}  // namespace vorsel::linux_platform
