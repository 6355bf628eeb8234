// The Files port on Linux: $XDG_DATA_HOME (default ~/.local/share) as the data
// folder; atomic replacement through a temporary file in the same folder,
// fsync and rename. Any thread.
#pragma once

#include "Platform/Files.h"

namespace vorsel::linux_platform {

class LinuxFiles final : public Files {
  public:
    std::string dataFolder() const override;
    FileResult createFolders(const std::string& path) override;
    std::optional<std::string> read(const std::string& path) override;
    FileResult writeAtomically(const std::string& path, std::string_view data) override;
    FileResult remove(const std::string& path) override;
};

}  // namespace vorsel::linux_platform
