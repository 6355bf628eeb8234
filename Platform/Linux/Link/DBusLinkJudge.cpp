#include "Platform/Linux/Link/DBusLinkJudge.h"

#include <optional>

#include "Platform/Linux/Link/CallerMappings.h"

namespace vorsel::linux_platform {

namespace {

constexpr int kAttempts = 3;

// The sender's executable mappings, read while it was alive: its /proc
// folder is opened first, and the pidfd still alive afterwards means the
// folder was its own.
std::optional<Snapshot> snapshotOf(const Sender& sender, UniqueFd* procDir = nullptr) {
    UniqueFd proc = openProcess(sender.pid, nullptr);
    if (!proc || !sender.alive()) return std::nullopt;
    auto lines = readExecutableLines(proc.get(), nullptr);
    if (!lines || !sender.alive()) return std::nullopt;
    if (procDir) *procDir = std::move(proc);
    return lines;
}

// Whether what `snapshot` shows the sender mapping is code it may run, read
// through `procDir` while it was alive.
bool allowed(int procDir, const Sender& sender, const Snapshot& snapshot) {
    const auto mappings = parseExecutableMappings(snapshot);
    const auto ids = readIds(procDir, nullptr);
    const auto image = readImage(procDir, nullptr);
    return mappings && ids && image && sender.alive() &&
           mappingsAllowed(*mappings, *image, *ids, nullptr);
}

}  // namespace

bool sameSender(const Sender& known, const Sender& now) {
    return known.pid == now.pid && known.alive();
}

SenderVerdict judgeSender(const CallerCheck& check, const Sender& sender,
                          const std::string& requirement) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        UniqueFd proc;
        const auto before = snapshotOf(sender, &proc);
        if (!before) return {};
        const bool genuine = check(sender.uid, sender.pid, requirement);
        // The check read /proc/<pid> in a child of ours; alive now, the
        // sender held that pid throughout, so the check judged the sender.
        const auto after = snapshotOf(sender);
        if (!after) return {};
        if (*before == *after) return {genuine && allowed(proc.get(), sender, *before), *before};
    }
    return {};
}

Recheck recheck(const Sender& sender, const Snapshot& snapshot) {
    UniqueFd proc;
    const auto now = snapshotOf(sender, &proc);
    if (!now || !untraced(proc.get(), nullptr) || !sender.alive()) return Recheck::refused;
    return *now == snapshot ? Recheck::same : Recheck::changed;
}

}  // namespace vorsel::linux_platform
