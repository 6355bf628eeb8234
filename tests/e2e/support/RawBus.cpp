#include "tests/e2e/support/RawBus.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <span>
#include <vector>

#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::e2e {

namespace {

constexpr unsigned char kCall = 1, kReturn = 2, kError = 3;
constexpr unsigned char kPath = 1, kInterface = 2, kMember = 3, kErrorName = 4, kReplySerial = 5,
                        kDestination = 6, kSender = 7, kSignature = 8, kUnixFds = 9;

// Little-endian D-Bus marshalling, aligned from the start of what it writes.
class Writer {
  public:
    void pad(std::size_t to) {
        while (out.size() % to) out += '\0';
    }
    void byte(unsigned char value) { out += static_cast<char>(value); }
    void u32(std::uint32_t value) {
        pad(4);
        for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
    void text(std::string_view value) {
        u32(static_cast<std::uint32_t>(value.size()));
        out += value;
        out += '\0';
    }
    void signature(std::string_view value) {
        byte(static_cast<unsigned char>(value.size()));
        out += value;
        out += '\0';
    }
    void field(unsigned char code, char type, const std::string& value) {
        pad(8);
        byte(code);
        signature(std::string(1, type));
        if (type == 'g')
            signature(value);
        else
            text(value);
    }
    void field(unsigned char code, std::uint32_t value) {
        pad(8);
        byte(code);
        signature("u");
        u32(value);
    }
    std::string out;
};

std::uint32_t u32At(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

std::size_t aligned(std::size_t at, std::size_t to) { return (at + to - 1) / to * to; }

struct Parsed {
    unsigned char type = 0;
    std::uint32_t serial = 0;
    std::uint32_t replySerial = 0;
    std::uint32_t descriptors = 0;
    std::string errorName;
    std::string member;
    std::string sender;
    std::string body;
};

// The first whole message in `in`, removed from it; nothing until one is in.
std::optional<Parsed> takeMessage(std::string& in, bool& broken) {
    if (in.size() < 16) return std::nullopt;
    if (in[0] != 'l') {
        broken = true;
        return std::nullopt;
    }
    const std::size_t fields = u32At(in, 12);
    const std::size_t header = aligned(16 + fields, 8);
    const std::size_t total = header + u32At(in, 4);
    if (in.size() < total) return std::nullopt;
    Parsed message;
    message.type = static_cast<unsigned char>(in[1]);
    message.serial = u32At(in, 8);
    std::size_t at = 16;
    while (at < 16 + fields) {
        at = aligned(at, 8);
        const auto code = static_cast<unsigned char>(in[at++]);
        const std::size_t signatureLength = static_cast<unsigned char>(in[at++]);
        const char type = in[at];
        at += signatureLength + 1;
        if (type == 'u') {
            at = aligned(at, 4);
            if (code == kReplySerial) message.replySerial = u32At(in, at);
            if (code == kUnixFds) message.descriptors = u32At(in, at);
            at += 4;
        } else if (type == 's' || type == 'o') {
            at = aligned(at, 4);
            const std::size_t length = u32At(in, at);
            const std::string value = in.substr(at + 4, length);
            if (code == kErrorName) message.errorName = value;
            if (code == kMember) message.member = value;
            if (code == kSender) message.sender = value;
            at += 4 + length + 1;
        } else if (type == 'g') {
            at += static_cast<unsigned char>(in[at]) + 2;
        } else {
            broken = true;
            return std::nullopt;
        }
    }
    message.body = in.substr(header, total - header);
    in.erase(0, total);
    return message;
}

// "<name>: <message>" of an error reply, whose body starts with its message.
std::string errorOf(const Parsed& message) {
    if (message.body.size() < 4) return message.errorName;
    const std::size_t length = u32At(message.body, 0);
    return message.errorName + ": " + message.body.substr(4, length);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

std::optional<std::string> readLine(int fd) {
    std::string line;
    char c;
    while (line.size() < 4096) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        line += c;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return line;
    }
    return std::nullopt;
}

int connectTo(const std::string& address) {
    std::map<std::string, std::string> keys;
    if (address.rfind("unix:", 0) != 0) return -1;
    std::size_t at = 5;
    while (at < address.size()) {
        std::size_t end = address.find(',', at);
        if (end == std::string::npos) end = address.size();
        const std::string pair = address.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos) keys[pair.substr(0, equals)] = pair.substr(equals + 1);
        at = end + 1;
    }
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    socklen_t size = sizeof where;
    if (keys.count("path") && keys["path"].size() < sizeof where.sun_path) {
        std::memcpy(where.sun_path, keys["path"].data(), keys["path"].size());
    } else if (keys.count("abstract") && keys["abstract"].size() + 1 < sizeof where.sun_path) {
        std::memcpy(where.sun_path + 1, keys["abstract"].data(), keys["abstract"].size());
        size =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + keys["abstract"].size());
    } else {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&where), size) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<RawBus> RawBus::connect(const std::string& address, std::string* why) {
    const int fd = connectTo(address);
    if (fd < 0) {
        if (why) *why = "cannot connect to " + address;
        return nullptr;
    }
    std::unique_ptr<RawBus> bus(new RawBus(fd));
    std::string uid = std::to_string(::getuid()), hex;
    for (char c : uid) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[static_cast<unsigned char>(c) & 0xf];
    }
    const bool authed =
        writeAll(fd, std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n") &&
        readLine(fd).value_or("").rfind("OK ", 0) == 0 && writeAll(fd, "NEGOTIATE_UNIX_FD\r\n") &&
        readLine(fd).value_or("").rfind("AGREE_UNIX_FD", 0) == 0 && writeAll(fd, "BEGIN\r\n");
    if (!authed) {
        if (why) *why = "the bus refused to authenticate us";
        return nullptr;
    }
    Writer fields;
    fields.field(kPath, 'o', "/org/freedesktop/DBus");
    fields.field(kInterface, 's', "org.freedesktop.DBus");
    fields.field(kMember, 's', "Hello");
    fields.field(kDestination, 's', "org.freedesktop.DBus");
    const std::uint32_t hello = bus->send(fields.out, {}, -1);
    // The reply's body is the name: its length, then the text.
    const bool named = bus->await(10, [&](const Parsed& message, auto&) {
        if (message.replySerial != hello || message.type != kReturn || message.body.size() <= 4)
            return false;
        bus->assignedName = message.body.substr(4, u32At(message.body, 0));
        return true;
    });
    if (named) return bus;
    if (why) *why = "the bus said no Hello";
    return nullptr;
}

std::unique_ptr<RawBus> RawBus::adopt(int fd) {
    std::unique_ptr<RawBus> bus(new RawBus(fd));
    // Serials need only be ours to match replies with: start far from any
    // the owner of the connection uses.
    bus->serial = 0x40000000;
    return bus;
}

RawBus::~RawBus() {
    if (fileDescriptor >= 0) ::close(fileDescriptor);
}

std::uint32_t RawBus::callLink(const std::string& destination, const std::string& member,
                               std::string_view rules, int proof) {
    const bool hold = member == "Hold";
    const std::string signature = std::string(hold ? "ay" : "") + (proof >= 0 ? "h" : "");
    Writer lead;  // the bytes' length, before them
    if (hold) lead.u32(static_cast<std::uint32_t>(rules.size()));
    const std::size_t used = lead.out.size() + (hold ? rules.size() : 0);
    std::string trail;  // the descriptor's index, aligned from the body's start
    if (proof >= 0) trail = std::string(aligned(used, 4) - used + 4, '\0');
    Writer fields;
    fields.field(kPath, 'o', "/com/ordwyn/Guard");
    fields.field(kInterface, 's', "com.ordwyn.GuardLink");
    fields.field(kMember, 's', member);
    fields.field(kDestination, 's', destination);
    if (!signature.empty()) fields.field(kSignature, 'g', signature);
    if (proof >= 0) fields.field(kUnixFds, 1);
    return send(fields.out, {lead.out, hold ? rules : std::string_view(), trail}, proof);
}

std::uint32_t RawBus::send(const std::string& fieldBytes,
                           std::initializer_list<std::string_view> body, int fd,
                           unsigned char type) {
    const std::uint32_t localSerial = ++serial;
    std::size_t bodySize = 0;
    for (const auto part : body) bodySize += part.size();
    Writer header;
    header.byte('l');
    header.byte(type);
    header.byte(type == kCall ? 0 : 1);  // a reply wants none
    header.byte(1);
    header.u32(static_cast<std::uint32_t>(bodySize));
    header.u32(localSerial);
    header.u32(static_cast<std::uint32_t>(fieldBytes.size()));
    header.out += fieldBytes;
    header.pad(8);

    // The descriptor goes with the message's first bytes; the rest follows.
    const ssize_t sent = linux_platform::sendWithDescriptors(
        fileDescriptor, header.out,
        fd >= 0 ? std::span<const int>(&fd, 1) : std::span<const int>());
    if (sent < 0) return 0;
    const std::string_view rest =
        std::string_view(header.out).substr(static_cast<std::size_t>(sent));
    bool written = writeAll(fileDescriptor, rest);
    for (const auto part : body) written = written && writeAll(fileDescriptor, part);
    return written ? localSerial : 0;
}

bool RawBus::readMore(double timeout) {
    pollfd wait{fileDescriptor, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(timeout * 1000)) <= 0) return false;
    char buffer[65536];
    std::vector<linux_platform::UniqueFd> received;
    const ssize_t got = linux_platform::receiveWithDescriptors(fileDescriptor, buffer, received);
    if (got <= 0) return false;
    in.append(buffer, static_cast<std::size_t>(got));
    for (auto& fd : received) passed.push_back(std::move(fd));
    return true;
}

// Reads until `found` takes a message (it sees each whole one, with the
// descriptors that came with it, and says whether it was the one wanted) or
// `timeout` seconds have passed. Messages before it are dropped.
template <class Found>
bool RawBus::await(double timeout, Found&& found) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    bool broken = false;
    for (;;) {
        while (auto message = takeMessage(in, broken)) {
            std::vector<linux_platform::UniqueFd> fds;
            for (std::uint32_t i = 0; i < message->descriptors && !passed.empty(); ++i) {
                fds.push_back(std::move(passed.front()));
                passed.pop_front();
            }
            if (found(*message, fds)) return true;
        }
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (broken || left <= 0 || !readMore(left)) return false;
    }
}

std::optional<std::string> RawBus::reply(std::uint32_t givenSerial, double timeout) {
    std::optional<std::string> answer;
    await(timeout, [&](const Parsed& message, auto&) {
        if (message.replySerial != givenSerial ||
            (message.type != kReturn && message.type != kError))
            return false;
        answer = message.type == kReturn ? std::string() : errorOf(message);
        return true;
    });
    return answer;
}

bool RawBus::ownName(const std::string& name, double timeout) {
    Writer fields;
    fields.field(kPath, 'o', "/org/freedesktop/DBus");
    fields.field(kInterface, 's', "org.freedesktop.DBus");
    fields.field(kMember, 's', "RequestName");
    fields.field(kDestination, 's', "org.freedesktop.DBus");
    fields.field(kSignature, 'g', "su");
    Writer body;
    body.text(name);
    body.u32(4);  // DBUS_NAME_FLAG_DO_NOT_QUEUE
    const std::uint32_t sent = send(fields.out, {body.out}, -1);
    if (sent == 0) return false;
    bool primary = false;
    await(timeout, [&](const Parsed& message, auto&) {
        if (message.replySerial != sent) return false;
        // DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
        primary =
            message.type == kReturn && message.body.size() >= 4 && u32At(message.body, 0) == 1;
        return true;
    });
    return primary;
}

std::optional<RawBus::Call> RawBus::nextCall(double timeout) {
    std::optional<Call> call;
    await(timeout, [&](const Parsed& message, std::vector<linux_platform::UniqueFd>& fds) {
        if (message.type != kCall) return false;
        call.emplace();
        call->sender = message.sender;
        call->serial = message.serial;
        call->member = message.member;
        if (call->member == "Hold" && message.body.size() >= 4)
            call->rules = message.body.substr(4, u32At(message.body, 0));
        if (!fds.empty()) call->proof = std::move(fds.front());
        return true;
    });
    return call;
}

bool RawBus::replyError(const Call& call, const std::string& name, const std::string& message) {
    Writer fields;
    fields.field(kErrorName, 's', name);
    fields.field(kReplySerial, call.serial);
    fields.field(kDestination, 's', call.sender);
    fields.field(kSignature, 'g', "s");
    Writer body;
    body.text(message);
    return send(fields.out, {body.out}, -1, kError) != 0;
}

}  // namespace vorsel::e2e
