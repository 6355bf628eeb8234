// Any bytes as a seal: reading never crashes, what reads writes back to a seal
// that reads the same, and confinement of its links always terminates.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Platform/Linux/Signing/BundleTree.h"
#include "Platform/Linux/Signing/Seal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vorsel::linux_platform::Seal;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto seal = Seal::parse(bytes, nullptr);
    if (!seal) return 0;
    const auto again = Seal::parse(seal->written(), nullptr);
    if (!again || again->files != seal->files || again->symlinks != seal->symlinks ||
        again->identifier != seal->identifier || again->executable != seal->executable)
        std::abort();
    for (const auto& [path, target] : seal->symlinks)
        vorsel::linux_platform::staysInside(path, seal->symlinks);
    return 0;
}
