// Time points as the whole system holds them: seconds, as a double, relative to
// 2001-01-01 00:00:00 UTC (negative before it). Durations are plain seconds.
// Pure values; any thread.
#pragma once

namespace vorsel {

using TimePoint = double;

// 0001-01-01 00:00:00 UTC: earlier than any instant the system meets.
inline constexpr TimePoint kDistantPast = -63114076800.0;

// Seconds between the Unix epoch and the reference instant.
inline constexpr double kReferenceSinceUnixEpoch = 978307200.0;

}  // namespace vorsel
