// Any bytes handed over as rules: reading never crashes, and whatever reads
// writes back to text that reads as the same rules.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Guard/Rules/GuardRules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto rules = vorsel::GuardRules::read(text);
    if (!rules) return 0;
    auto written = rules->written();
    if (!written) std::abort();  // read time points are finite, so writing cannot fail
    auto again = vorsel::GuardRules::read(*written);
    if (!again || !(*again == *rules)) std::abort();
    return 0;
}
