// Any bytes as requirement text: parsing never crashes or recurses without
// bound, and what parses evaluates against any facts.
#include <cstdint>
#include <string_view>

#include "Platform/Linux/Signing/Requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vorsel::linux_platform::CodeFacts;
    using vorsel::linux_platform::Requirement;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto requirement = Requirement::parse(text);
    if (!requirement) return 0;
    CodeFacts facts;
    facts.anchored = size % 2 == 0;
    facts.identifier = "com.ordwyn.app";
    facts.entitlements = {{"com.apple.security.app-sandbox", true}};
    facts.leafExtensions = {"1.2.840.113635.100.6.1.9"};
    facts.leafOrganizationalUnits = {"TEAM"};
    requirement->satisfiedBy(facts);
    requirement->satisfiedBy(CodeFacts{});
    return 0;
}
