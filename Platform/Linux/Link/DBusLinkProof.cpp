#include "Platform/Linux/Link/DBusLinkProof.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <QByteArray>
#include <QCryptographicHash>

#include "Platform/Linux/Runtime/PosixError.h"
#include "Platform/Linux/Signing/CallerProcess.h"
#include "Platform/Linux/Signing/Refusal.h"

// Linux 6.5 and later; Debian 12's headers predate them.
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace vorsel::linux_platform {

namespace {

// "Held " and 64 hex digits, with room to spare; longer packets are no proof.
constexpr std::size_t kLongestProof = 128;
constexpr std::size_t kMostDescriptors = 4;

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

}  // namespace

std::string proofText(std::string_view member, std::string_view arguments) {
    const QByteArray bytes =
        QByteArray::fromRawData(arguments.data(), static_cast<qsizetype>(arguments.size()));
    return std::string(member) + " " +
           QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

UniqueFd proveCall(std::string_view member, std::string_view arguments, std::string* why) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        refuse(why, "socketpair: " + posixError(errno));
        return UniqueFd();
    }
    UniqueFd sending(pair[0]), passed(pair[1]);
    // Before the packet is sent: the kernel stamps it only if asked by then.
    passCredentials(passed.get());
    const UniqueFd self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
    if (!self) {
        refuse(why, "pidfd_open: " + posixError(errno));
        return UniqueFd();
    }
    const std::string text = proofText(member, arguments);
    const int descriptor = self.get();
    if (sendWithDescriptors(sending.get(), text, {&descriptor, 1}) !=
        static_cast<ssize_t>(text.size())) {
        refuse(why, "sendmsg: " + posixError(errno));
        return UniqueFd();
    }
    return passed;
}

std::optional<Proof> readProof(int socket, std::string* why, KernelPidfd kernel) {
    if (!isPacketSocket(socket)) return refused(why, "the proof is no packet socket");
    passCredentials(socket);

    char data[kLongestProof + 1];
    iovec buffer{data, sizeof data};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) +
                                  CMSG_SPACE(kMostDescriptors * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = ::recvmsg(socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return refused(why, "no proof was sent before the call");
    if (got < 0) return refused(why, "the proof is unreadable: " + posixError(errno));

    // Every descriptor that came is ours to close, whatever else is wrong.
    std::optional<ucred> credentials;
    UniqueFd kernelPidfd;
    bool kernelPidfdFailed = false;
    std::vector<UniqueFd> passed;
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET) continue;
        const std::size_t size = part->cmsg_len - CMSG_LEN(0);
        if (part->cmsg_type == SCM_CREDENTIALS && size >= sizeof(ucred)) {
            ucred value{};
            std::memcpy(&value, CMSG_DATA(part), sizeof value);
            credentials = value;
        } else if (part->cmsg_type == SCM_PIDFD && size >= sizeof(int)) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(part), sizeof fd);
            // A negative value is the kernel's error: the sender has gone.
            if (fd >= 0) kernelPidfd = UniqueFd(fd);
            kernelPidfdFailed = fd < 0;
        } else if (part->cmsg_type == SCM_RIGHTS) {
            for (std::size_t at = 0; at + sizeof(int) <= size; at += sizeof(int)) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(part) + at, sizeof fd);
                passed.emplace_back(fd);
            }
        }
    }
    if (got == 0) return refused(why, "no proof was sent before the call");
    if (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))
        return refused(why, "the proof is longer than any proof");
    if (!credentials || credentials->pid <= 0)
        return refused(why,
                       "the proof carries no sender: SO_PASSCRED was not set before it was sent");
    if (passed.size() != 1 || !namesSender(passed.front().get(), credentials->pid))
        return refused(why, "the proof carries no pidfd of the live process that sent it");

    Proof proof;
    proof.sender.pid = credentials->pid;
    proof.sender.uid = credentials->uid;
    proof.sender.pidfd = std::move(passed.front());
    if (kernel == KernelPidfd::use && (kernelPidfd || kernelPidfdFailed)) {
        if (!kernelPidfd || !namesSender(kernelPidfd.get(), credentials->pid))
            return refused(why, "the process that sent the proof has ended");
        proof.sender.pidfd = std::move(kernelPidfd);
    }
    proof.text.assign(data, static_cast<std::size_t>(got));
    return proof;
}

bool proves(const Proof& proof, std::string_view member, std::string_view arguments) {
    return proof.text == proofText(member, arguments);
}

}  // namespace vorsel::linux_platform
