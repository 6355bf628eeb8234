#include "tests/support/TempFolder.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace vorsel::testing {

TempFolder::TempFolder(const std::string& prefix, Access access) {
    // Always /tmp, not $TMPDIR: tests hand these folders to children that
    // run as another user and with a cleared environment.
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) return;
    path_ = pattern;
    if (access == Access::everyone) ::chmod(path_.c_str(), 0755);
}

TempFolder::~TempFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace vorsel::testing
