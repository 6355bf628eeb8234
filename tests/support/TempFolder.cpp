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
    location = pattern;
    if (access == Access::everyone) ::chmod(location.c_str(), 0755);
}

TempFolder::~TempFolder() {
    if (location.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(location, ignored);
}

}  // namespace vorsel::testing
