// OpenSSL's per-thread error queue turned into one readable message, in one
// place. Any thread (the queue is the calling thread's own).
#pragma once

#include <string>
#include <string_view>

namespace vorsel::linux_platform {

// "<what>: <reason>; <reason>…" with every queued OpenSSL error, oldest first,
// and empties the queue. Just "<what>" when the queue was empty.
std::string openSslError(std::string_view what);

}  // namespace vorsel::linux_platform
