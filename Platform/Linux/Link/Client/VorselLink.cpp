// The caller's side of the link's proof (VorselLink.h). Kept free of any
// library but the C one, so that the main app links nothing else for it.
#include "Platform/Linux/Link/Client/VorselLink.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Linux 6.5 and later; older headers predate it.
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif

namespace {

// SHA-256, as the proof names the call's arguments by it.
class Sha256 {
  public:
    void add(const unsigned char* data, std::size_t size) {
        length += size;
        while (size > 0) {
            const std::size_t room = 64 - filled;
            const std::size_t take = size < room ? size : room;
            std::memcpy(block.data() + filled, data, take);
            filled += take;
            data += take;
            size -= take;
            if (filled == 64) {
                compress(block.data());
                filled = 0;
            }
        }
    }

    std::array<unsigned char, 32> finish() {
        const std::uint64_t bits = length * 8;
        const unsigned char one = 0x80, zero = 0;
        add(&one, 1);
        while (filled != 56) add(&zero, 1);
        unsigned char size[8];
        for (int i = 0; i < 8; ++i) size[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        add(size, 8);
        std::array<unsigned char, 32> digest{};
        for (int i = 0; i < 32; ++i)
            digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
        return digest;
    }

  private:
    static std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void compress(const unsigned char* givenBlock) {
        static constexpr std::uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
            0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
            0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
            0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
            0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
            0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
            0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
            0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
            0xc67178f2};
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t(givenBlock[4 * i]) << 24 |
                   std::uint32_t(givenBlock[4 * i + 1]) << 16 |
                   std::uint32_t(givenBlock[4 * i + 2]) << 8 | std::uint32_t(givenBlock[4 * i + 3]);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 =
                rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4],
                      f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) +
                                     ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 =
                (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const std::uint32_t add[8] = {a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i) state[i] += add[i];
    }

    std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block{};
    std::size_t filled = 0;
    std::uint64_t length = 0;
};

// The challenge: this many hex digits.
constexpr std::size_t kChallenge = 32;

bool isChallenge(const char* text, ssize_t size) {
    if (size != static_cast<ssize_t>(kChallenge)) return false;
    for (ssize_t i = 0; i < size; ++i)
        if (!std::strchr("0123456789abcdef", text[i]) || text[i] == '\0') return false;
    return true;
}

int fail(VorselLinkProof* proof, int error) {
    vorselLinkCloseProof(proof);
    return error;
}

// Sends `text` with a pidfd of this process, on a socket whose receiving end
// has been told to stamp it.
int sendProof(int socket, const char* text, std::size_t size) {
    const int self = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
    if (self < 0) return errno;
    iovec data{const_cast<char*>(text), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &self, sizeof self);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    const int error = sent < 0 ? errno : 0;
    ::close(self);
    return sent == static_cast<ssize_t>(size) ? 0 : (error ? error : EMSGSIZE);
}

}  // namespace

extern "C" int vorselLinkProveCall(VorselLinkProof* proof, int busSocket, const char* busName,
                                   const char* member, const void* arguments, size_t size) {
    if (!proof) return EINVAL;
    proof->passed = proof->kept = -1;
    proof->text[0] = '\0';
    if (!busName || !member || (!arguments && size > 0)) return EINVAL;
    ucred listener{};
    socklen_t credentialsSize = sizeof listener;
    if (::getsockopt(busSocket, SOL_SOCKET, SO_PEERCRED, &listener, &credentialsSize) != 0)
        return errno;

    Sha256 hash;
    hash.add(static_cast<const unsigned char*>(arguments), size);
    const auto digest = hash.finish();
    char hex[65];
    for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    const int length = std::snprintf(proof->text, sizeof proof->text, "%s %s %s %d", member, hex,
                                     busName, static_cast<int>(listener.pid));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof proof->text) return EINVAL;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return fail(proof, errno);
    proof->kept = pair[0];
    proof->passed = pair[1];
    // Before the packet is sent: the kernel stamps it with who sent it, and
    // when, only if the receiving end asked by then.
    const int on = 1;
    if (::setsockopt(proof->passed, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::setsockopt(proof->passed, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        return fail(proof, errno);
    // Refused by kernels that do not know it: they pass no pidfd of their own.
    ::setsockopt(proof->passed, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
    const int error = sendProof(proof->kept, proof->text, static_cast<std::size_t>(length));
    return error ? fail(proof, error) : 0;
}

extern "C" int vorselLinkAnswerChallenge(const VorselLinkProof* proof, int timeoutMs) {
    if (!proof || proof->kept < 0) {
        errno = EINVAL;
        return -1;
    }
    pollfd waiting{proof->kept, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&waiting, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    char challenge[64];
    ssize_t got;
    do {
        got = ::recv(proof->kept, challenge, sizeof challenge, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got == 0 || (got < 0 && (errno == EAGAIN || errno == ECONNRESET))) return 0;
    if (got < 0) return -1;
    if (!isChallenge(challenge, got)) {
        errno = EPROTO;
        return -1;
    }
    char answer[VORSEL_LINK_PROOF_TEXT + kChallenge + 2];
    const int length = std::snprintf(answer, sizeof answer, "%s %.*s", proof->text,
                                     static_cast<int>(got), challenge);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof answer) {
        errno = EINVAL;
        return -1;
    }
    ssize_t sent;
    do {
        sent = ::send(proof->kept, answer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == length) return 1;
    return sent < 0 && errno != EPIPE && errno != ECONNRESET ? -1 : 0;
}

extern "C" void vorselLinkCloseEnd(int* end) {
    if (end && *end >= 0) {
        ::close(*end);
        *end = -1;
    }
}

extern "C" void vorselLinkCloseProof(VorselLinkProof* proof) {
    if (!proof) return;
    vorselLinkCloseEnd(&proof->passed);
    vorselLinkCloseEnd(&proof->kept);
}
