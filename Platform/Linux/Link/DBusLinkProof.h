// The proof that goes with every call on the link, as the agent reads it:
// which process makes the call, on which connection, and that it is that
// process's own call now. The caller's side is Client/VorselLink.h.
//
// The bus names the process that opened a connection, once, at connect
// time; the process that writes a call may be another one (a child that
// inherited the socket, a process that took it with pidfd_getfd), the pid it
// gave may belong to a newcomer by now, and the process may have become
// another image since (an exec keeps the pid). So each call carries, as its
// last argument (type h), one end of a fresh socketpair(AF_UNIX,
// SOCK_SEQPACKET) on which the calling process itself sent one packet
// before the call:
//   - the end passed has SO_PASSCRED and SO_TIMESTAMPNS set (and
//     SO_PASSPIDFD where the kernel knows it) before the packet is sent, so
//     that the kernel stamps the packet with the sender's pid and uid and the
//     time it was sent, which no unprivileged process can forge;
//   - the packet's bytes are "<member> <SHA-256 of the call's other
//     arguments, lowercase hex> <unique bus name of the calling connection>",
//     so that a proof taken from the app proves nothing but the app's own
//     call on the app's own connection;
//   - the packet carries one descriptor: a pidfd of the sending process
//     itself. A pidfd stays with its process: while it is alive and names the
//     stamped pid, the stamped pid is the sender and not a successor. Where
//     the kernel passes its own pidfd of the sender (SCM_PIDFD), it must name
//     the same process.
// Once the sender is judged, the agent sends a challenge (32 fresh random hex
// digits) on the end it was given, and the same process must answer on its
// own end with one packet: "<the proof's text> <challenge>". Code that ran in
// the process before an exec cannot answer a value that did not exist yet,
// and the image after it never knew the socket (the caller keeps its end
// close-on-exec). The agent shuts the socket down when it is done with the
// call, so a socket answers one call.
//
// Any thread; no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::linux_platform {

// The bytes of the packet that proves a call of `member` with `arguments`
// (the bytes of its other arguments: the rules for Hold, nothing otherwise)
// sent on the connection `busName` of the bus whose socket `listener`
// listens on.
std::string proofText(std::string_view member, std::string_view arguments, std::string_view busName,
                      std::int32_t listener);

// The pid of the process listening on the bus at the other end of `socket`,
// a bus connection's socket, as the kernel recorded it when that process
// began to listen: the same for every connection to one bus, and no other
// bus's. Nothing when it is no unix socket or the listener is not in our pid
// namespace.
std::optional<std::int32_t> busListener(int socket);

// Who sent a proof: the stamped pid and uid, and a pidfd of that process.
struct ProvenSender {
    std::int32_t pid = 0;
    std::uint32_t uid = 0;
    UniqueFd pidfd;
};

struct Proof {
    ProvenSender sender;
    std::string text;
    std::chrono::system_clock::time_point sent;  // as the kernel stamped it
};

// Whether readProof takes the kernel's own pidfd of the sender when it
// offers one, or only the one the sender passed (as on kernels before 6.5;
// tests use this to try that path on newer ones).
enum class KernelPidfd { use, ignore };

// The proof waiting on `socket` (a descriptor passed with a call), read at
// once without waiting: a call comes after its proof. Nothing, with `why`
// set, when there is no packet, it is not stamped, a second one waits behind
// it, or its pidfd does not name the live process that sent it.
std::optional<Proof> readProof(int socket, std::string* why, KernelPidfd kernel = KernelPidfd::use);

// A fresh challenge: 32 random lowercase hex digits.
std::string makeChallenge();

// Sends `challenge` on the proof socket; false, with `why` set, when the
// caller's end is gone.
bool sendChallenge(int socket, const std::string& challenge, std::string* why);

enum class Answer {
    right,    // the proof's sender, alive, answered the challenge for this call
    wrong,    // anything else came, or the caller closed its end
    waiting,  // nothing yet
};

// The answer to the challenge of a call proven by `text`, sent by the
// process `pid` (whose pidfd `pidfd` is) and waiting on `socket`; read
// without waiting.
Answer readAnswer(int socket, std::int32_t pid, int pidfd, const std::string& text,
                  const std::string& challenge, std::string* why);

// Ends what `socket` can carry, in both directions and for every holder of
// either end: the caller sees the call is over, and the socket can prove no
// other call.
void endProof(int socket);

}  // namespace vorsel::linux_platform
