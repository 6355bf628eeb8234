#include "Platform/Linux/Link/DBusLinkProof.h"

#include <poll.h>

#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <QByteArray>
#include <QCryptographicHash>

#include "Platform/Linux/Link/CallerProcess.h"
#include "Platform/Linux/Runtime/PosixError.h"
#include "Platform/Linux/Signing/Refusal.h"

// Linux 6.5 and later; Debian 12's headers predate it.
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif

namespace vorsel::linux_platform {

namespace {

// A member, 64 hex digits and a unique name, with room to spare; longer
// packets are no proof.
constexpr std::size_t kLongestProof = 320;
constexpr std::size_t kChallengeBytes = 16;

void passCredentials(int socket) {
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    // Refused by kernels that do not know it: they pass no pidfd of their own.
    ::setsockopt(socket, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
}

bool isPacketSocket(int socket) {
    int domain = 0, type = 0;
    socklen_t size = sizeof domain;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return false;
    size = sizeof type;
    if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size) != 0) return false;
    return domain == AF_UNIX && type == SOCK_SEQPACKET;
}

bool namesSender(int pidfd, std::int32_t pid) {
    const auto named = pidfdPid(pidfd);
    return named && *named == pid;
}

// What follows the proof on its socket: nothing yet (its caller waits to be
// challenged), another packet, or the caller's end closed. An end closed
// reads as an empty packet would; only the hang-up tells them apart.
enum class AfterProof { nothing, packet, closed };

AfterProof afterProof(int socket) {
    char byte;
    if (::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0) return AfterProof::nothing;
    pollfd hangUp{socket, POLLIN, 0};
    const bool closed = ::poll(&hangUp, 1, 0) == 1 && (hangUp.revents & POLLHUP) != 0;
    return closed ? AfterProof::closed : AfterProof::packet;
}

}  // namespace

std::string proofText(std::string_view member, std::string_view arguments, std::string_view busName,
                      std::int32_t listener) {
    const QByteArray bytes =
        QByteArray::fromRawData(arguments.data(), static_cast<qsizetype>(arguments.size()));
    return std::string(member) + " " +
           QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString() + " " +
           std::string(busName) + " " + std::to_string(listener);
}

std::optional<std::int32_t> busListener(int socket) {
    ucred listener{};
    socklen_t size = sizeof listener;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &listener, &size) != 0 || listener.pid <= 0)
        return std::nullopt;
    return listener.pid;
}

std::optional<Proof> readProof(int socket, std::string* why, KernelPidfd kernel) {
    if (!isPacketSocket(socket)) return refused(why, "the proof is no packet socket");
    passCredentials(socket);

    char data[kLongestProof + 1];
    ReceivedParts parts;
    const ssize_t got = receiveMessage(socket, {data, sizeof data}, MSG_DONTWAIT, parts);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return refused(why, "no proof was sent before the call");
    if (got < 0) return refused(why, "the proof is unreadable: " + posixError(errno));
    if (got == 0) return refused(why, "no proof was sent before the call");
    if (parts.truncated) return refused(why, "the proof is longer than any proof");
    switch (afterProof(socket)) {
        case AfterProof::nothing:
            break;
        case AfterProof::packet:
            return refused(why, "the proof socket carries more than one proof");
        case AfterProof::closed:
            // Its caller can never answer the challenge: a call replayed
            // after the app had its answer, say.
            return refused(why, "the caller no longer waits for its call");
    }
    const auto& credentials = parts.credentials;
    if (!credentials || credentials->pid <= 0)
        return refused(why,
                       "the proof carries no sender: SO_PASSCRED was not set before it was sent");
    if (!parts.sentAt)
        return refused(why,
                       "the proof carries no time: SO_TIMESTAMPNS was not set before it was "
                       "sent");
    if (parts.fds.size() != 1 || !namesSender(parts.fds.front().get(), credentials->pid))
        return refused(why, "the proof carries no pidfd of the live process that sent it");

    Proof proof;
    proof.sender.pid = credentials->pid;
    proof.sender.uid = credentials->uid;
    proof.sender.pidfd = std::move(parts.fds.front());
    if (kernel == KernelPidfd::use && (parts.kernelPidfd || parts.kernelPidfdFailed)) {
        if (!parts.kernelPidfd || !namesSender(parts.kernelPidfd.get(), credentials->pid))
            return refused(why, "the process that sent the proof has ended");
        proof.sender.pidfd = std::move(parts.kernelPidfd);
    }
    proof.text.assign(data, static_cast<std::size_t>(got));
    proof.sent = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(parts.sentAt->tv_sec) +
            std::chrono::nanoseconds(parts.sentAt->tv_nsec)));
    return proof;
}

std::string makeChallenge() {
    unsigned char bytes[kChallengeBytes];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got > 0) filled += static_cast<std::size_t>(got);
        // getrandom fails only on a bad buffer or a signal; retry the latter.
        else if (errno != EINTR)
            std::abort();
    }
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex().toStdString();
}

bool sendChallenge(int socket, const std::string& challenge, std::string* why) {
    ssize_t sent;
    do {
        sent = ::send(socket, challenge.data(), challenge.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(challenge.size())) return true;
    refuse(why, "the caller no longer waits for its call: " + posixError(errno));
    return false;
}

Answer readAnswer(int socket, std::int32_t pid, int pidfd, const std::string& text,
                  const std::string& challenge, std::string* why) {
    char data[kLongestProof + 64];
    ReceivedParts parts;
    const ssize_t got = receiveMessage(socket, {data, sizeof data}, MSG_DONTWAIT, parts);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Answer::waiting;
    if (got <= 0) {
        refuse(why, "the caller closed its end before it answered");
        return Answer::wrong;
    }
    // Stamped with the proof's pid while the proof's pidfd is still alive:
    // the process that proved the call sent this, and nobody else.
    if (!parts.credentials || parts.credentials->pid != pid || !pidfdAlive(pidfd)) {
        refuse(why, "the challenge was answered by another process");
        return Answer::wrong;
    }
    if (parts.truncated ||
        std::string_view(data, static_cast<std::size_t>(got)) != text + " " + challenge) {
        refuse(why, "the challenge was answered wrongly");
        return Answer::wrong;
    }
    return Answer::right;
}

void endProof(int socket) { ::shutdown(socket, SHUT_RDWR); }

}  // namespace vorsel::linux_platform
