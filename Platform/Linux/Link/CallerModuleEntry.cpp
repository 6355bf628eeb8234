// The caller check's entry point of "vorsel-signing.so" (SigningModule.h),
// built into that module beside the signing code's own entries, so that the
// signing code never depends on the link's idea of a caller.
#include <cstdint>
#include <type_traits>

#include "Platform/Linux/Link/CallerVerdict.h"
#include "Platform/Linux/Signing/SigningModule.h"

using namespace vorsel::linux_platform;

extern "C" __attribute__((visibility("default"))) int vorselSigningCallerGenuine(
    const char* anchors, std::uint32_t uid, std::int32_t pid, const char* requirement) {
    if (anchors == nullptr || requirement == nullptr) return 0;
    try {
        return CallerVerdict(anchors).genuine(uid, pid, requirement) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

static_assert(std::is_same_v<decltype(&vorselSigningCallerGenuine), VorselSigningCallerGenuine>);
