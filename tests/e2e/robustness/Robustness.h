// Shared pieces of the robustness stories: rules as the stand-in builds them,
// the resident memory of a process, and bad payloads for the link.
// Pure helpers; any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/support/E2eWorld.h"

namespace vorsel::e2e {

// Whether resident memory means anything here: under AddressSanitizer freed
// memory waits in quarantine, so the memory checks are left out.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kMemoryMeasurable = false;
#else
inline constexpr bool kMemoryMeasurable = true;
#endif

// The rules JSON the signed stand-in builds for `session` with `options`
// ("--close ID", "--minutes N", "--hardcore", ...); empty when it fails.
std::string sessionRules(const E2eWorld& world, const std::vector<std::string>& options);

// VmRSS of `pid` in KiB, from /proc/<pid>/status; nothing when it is gone.
std::optional<long> residentKiB(pid_t pid);

// `count` payloads that a hand-over must refuse, drawn with `seed`: random
// bytes, valid rules cut short, members of the wrong type, JSON that is not
// an object, invalid UTF-8, numbers out of range, deep nesting.
std::vector<std::string> malformedPayloads(std::size_t count, std::uint32_t seed);

// The lines of `text`, without their line ends.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace vorsel::e2e
