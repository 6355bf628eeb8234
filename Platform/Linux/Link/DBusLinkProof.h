// The proof that goes with every call on the link: which process sends it.
//
// The bus names the process that opened a connection, once, at connect
// time; the process that writes a call may be another one (a child that
// inherited the socket, a process that took it with pidfd_getfd), and the
// pid it gave may belong to a newcomer by now. So each call carries, as its
// last argument (type h), one end of a fresh socketpair(AF_UNIX,
// SOCK_SEQPACKET) on which the calling process itself sent one packet
// before the call:
//   - the end passed has SO_PASSCRED set (and SO_PASSPIDFD where the kernel
//     knows it) before the packet is sent, so that the kernel stamps the
//     packet with the sender's pid and uid, which no unprivileged process
//     can forge;
//   - the packet's bytes are "<member> <SHA-256 of the call's other
//     arguments, lowercase hex>" ("Hold <hash of the rules>"; for Version and
//     Held the hash of nothing), so that a proof taken from the app proves
//     nothing but the app's own call;
//   - the packet carries one descriptor: a pidfd of the sending process
//     itself (pidfd_open(getpid(), 0)). A pidfd stays with its process:
//     while it is alive and names the stamped pid, the stamped pid is the
//     sender and not a successor. Where the kernel passes its own pidfd of
//     the sender (SCM_PIDFD, Linux 6.5 on), it must name the same process.
//
// Any thread; no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::linux_platform {

// The bytes of the packet that proves a call of `member` with `arguments`
// (the bytes of its other arguments: the rules for Hold, nothing otherwise).
std::string proofText(std::string_view member, std::string_view arguments);

// The caller's side: a socket to pass with the call, carrying the proof that
// this process makes it. Empty, with `why` set, when the system refuses.
UniqueFd proveCall(std::string_view member, std::string_view arguments, std::string* why);

// Who sent a proof: the stamped pid and uid, and a pidfd of that process.
struct ProvenSender {
    std::int32_t pid = 0;
    std::uint32_t uid = 0;
    UniqueFd pidfd;
};

struct Proof {
    ProvenSender sender;
    std::string text;
};

// Whether readProof takes the kernel's own pidfd of the sender when it
// offers one, or only the one the sender passed (as on kernels before 6.5;
// tests use this to try that path on newer ones).
enum class KernelPidfd { use, ignore };

// The agent's side: the proof waiting on `socket` (a descriptor passed with
// a call), read at once without waiting: a call comes after its proof.
// Nothing, with `why` set, when there is no packet, it is not stamped, or its
// pidfd does not name the live process that sent it.
std::optional<Proof> readProof(int socket, std::string* why, KernelPidfd kernel = KernelPidfd::use);

// Whether `proof` was made for a call of `member` with `arguments`.
bool proves(const Proof& proof, std::string_view member, std::string_view arguments);

}  // namespace vorsel::linux_platform
