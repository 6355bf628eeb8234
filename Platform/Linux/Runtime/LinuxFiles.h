// The Files port on Linux: $XDG_DATA_HOME (default ~/.local/share) as the data
// folder; atomic replacement through a temporary file in the same folder,
// fsync and rename. Any thread.
#pragma once

#include <cstddef>

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

// The whole content of the regular file at `path` when it holds at most
// `limit` bytes; nothing otherwise, or when it cannot be read.
std::optional<std::string> readAtMost(const std::string& path, std::size_t limit);

// LinuxFiles::writeAtomically without waiting for the disk: for a file that
// means nothing once the machine restarts, where only a reader in another
// process and a writer killed half-way matter.
FileResult replaceUnsynced(const std::string& path, std::string_view data);

}  // namespace vorsel::linux_platform
