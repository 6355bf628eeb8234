// What the programs that attack the link share: reading a rules file, a
// proof made by the calling process, and printing what the agent answered.
// Each program prints one line per call it made, "<label>: <answer>", where
// the answer is "ok" or "<D-Bus error name>: <message>", and exits 77 when this
// machine does not allow the attack at all (the test then skips it).
#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "Platform/Linux/Link/Client/VorselLink.h"
#include "tests/e2e/support/RawBus.h"

namespace vorsel::e2e::attack {

inline constexpr int kNotHere = 77;

inline std::string readRules(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

inline void say(const std::string& label, const std::optional<std::string>& answer) {
    std::printf("%s: %s\n", label.c_str(),
                !answer           ? "no answer"
                : answer->empty() ? "ok"
                                  : answer->c_str());
    std::fflush(stdout);
}

// A proof made by this very process for a call on the bus that `busSocket`
// connects to, both ends closed at the end of scope.
struct Proved {
    VorselLinkProof proof{-1, -1, {}};
    Proved(int busSocket, const std::string& busName, const char* member,
           const std::string& rules) {
        vorselLinkProveCall(&proof, busSocket, busName.c_str(), member, rules.data(), rules.size());
    }
    ~Proved() { vorselLinkCloseProof(&proof); }
    Proved(const Proved&) = delete;
    Proved& operator=(const Proved&) = delete;
};

// The text of a proof of Hold(`rules`) on `busName` of the bus `busSocket`
// connects to, as the library makes it.
inline std::string proofTextOf(int busSocket, const std::string& rules,
                               const std::string& busName) {
    Proved proved(busSocket, busName, "Hold", rules);
    return proved.proof.text;
}

// Holds `rules` on `bus` with a proof made by this very process for the
// connection `busName` (the bus's own name for it by default), answering
// the challenge when one comes.
inline std::optional<std::string> holdProven(RawBus& bus, const std::string& agent,
                                             const std::string& rules, std::string busName = {}) {
    if (busName.empty()) busName = bus.uniqueName();
    Proved proved(bus.fd(), busName, "Hold", rules);
    const auto serial = bus.callLink(agent, "Hold", rules, proved.proof.passed);
    if (serial == 0) return std::string("unsent");
    vorselLinkCloseEnd(&proved.proof.passed);
    vorselLinkAnswerChallenge(&proved.proof, 30000);
    return bus.reply(serial, 30);
}

}  // namespace vorsel::e2e::attack
