// Any bytes as a desktop entry or mimeapps.list: reading the groups and
// undoing every value's escapes, as a string, a list and a boolean, never
// crashes, and a list never holds an empty item.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Platform/Linux/Workspace/KeyFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorsel::linux_platform;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto groups = parseKeyFile(text, {"Desktop Entry", "Default Applications",
                                            "Added Associations", "Removed Associations"});
    for (const auto& [group, keys] : groups) {
        for (const auto& [key, value] : keys) {
            keyFileString(value);
            keyFileBoolean(value);
            for (const auto& item : keyFileList(value))
                if (item.empty()) std::abort();
        }
    }
    return 0;
}
