// How the link judges the process that sent a call (the sender a proof
// names, DBusLinkProof.h), and how it looks at that sender again on each
// later call. Private to this library.
//
// A verdict (the caller check, in a forked child) holds for the moment it
// was given. It stays good for a sender's later calls while the sender is
// the same process (its pidfd still alive), no thread of it is traced, and
// it maps exactly the executable code it mapped at the verdict; a sender
// that loads other code is judged again, and one found traced is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Linux/Link/CallerProcess.h"
#include "Platform/Linux/Link/DBusLinkListener.h"
#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::linux_platform {

// The process that sent a call: pinned by its pidfd. Any thread.
struct Sender {
    std::int32_t pid = 0;
    std::uint32_t uid = 0;
    UniqueFd pidfd;

    bool alive() const { return pidfdAlive(pidfd.get()); }
};
using SenderPtr = std::shared_ptr<const Sender>;

// Whether `now`, a sender whose proof was just read (its pidfd named its pid
// then), is the process `known` stands for: the same pid, with `known` still
// alive, which it can only be if it held that pid all along.
bool sameSender(const Sender& known, const Sender& now);

// What a sender maps executable (the executableLines() of its maps), to
// compare between calls.
using Snapshot = std::string;

struct SenderVerdict {
    bool genuine = false;
    Snapshot snapshot;  // what the sender mapped at the verdict
};

// Judges `sender` against `requirement` with `check`, between two snapshots
// of its mappings that must agree (else again, twice at most), the sender
// alive throughout; the snapshot kept must itself pass mappingsAllowed(), so
// that code mapped only while the check looked away is not taken for what
// was judged. Blocks for the check: a worker thread's job.
SenderVerdict judgeSender(const CallerCheck& check, const Sender& sender,
                          const std::string& requirement);

enum class Recheck {
    same,     // still the process judged genuine, untraced, mapping the same
    changed,  // it maps other code now: judge it again
    refused,  // it is traced, or gone
};

// A sender judged genuine with `snapshot`, looked at again. Cheap: a few
// /proc reads, for the main thread.
Recheck recheck(const Sender& sender, const Snapshot& snapshot);

}  // namespace vorsel::linux_platform
