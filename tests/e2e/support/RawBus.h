// A bare D-Bus client over a unix socket, for the programs that attack the
// link: it can talk on a connection it did not make (one inherited, or taken
// from another process), send exactly the bytes and descriptors it wants, and
// stream a large argument from one buffer. Little-endian messages only.
//
// One thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Linux/Runtime/FileDescriptors.h"

namespace vorsel::e2e {

class RawBus {
  public:
    // Connects to `address` (unix:path=… or unix:abstract=…), authenticates
    // as our uid with descriptor passing, and says Hello. Nothing, with `why`
    // set, on failure.
    static std::unique_ptr<RawBus> connect(const std::string& address, std::string* why);
    // Talks on `fd`, a connection that is already past Hello (inherited, or
    // taken from another process). Takes it over.
    static std::unique_ptr<RawBus> adopt(int fd);
    ~RawBus();
    RawBus(const RawBus&) = delete;
    RawBus& operator=(const RawBus&) = delete;

    int fd() const { return fileDescriptor; }
    // The unique name the bus gave, for a connection made here.
    const std::string& uniqueName() const { return assignedName; }

    // Calls `member` of the link on `destination`: Hold with `rules`, the
    // others without; with `proof` (a descriptor, or -1 for the bare form of
    // before, which carries none). The call's serial, or 0 when the write
    // failed.
    std::uint32_t callLink(const std::string& destination, const std::string& member,
                           std::string_view rules, int proof);

    // Waits up to `timeout` seconds for the reply to `serial`: empty for a
    // return, else "<error name>: <its message>". Nothing when none came.
    std::optional<std::string> reply(std::uint32_t serial, double timeout);

    // Owns `name` on this bus, as a service would: whether the bus says we
    // are its primary owner.
    bool ownName(const std::string& name, double timeout);

    // A link call made to us, as a service receives it.
    struct Call {
        std::string sender;
        std::uint32_t serial = 0;
        std::string member;
        std::string rules;               // Hold's
        linux_platform::UniqueFd proof;  // the descriptor it carried, if any
    };
    // Waits up to `timeout` seconds for the next method call to us; other
    // messages are dropped.
    std::optional<Call> nextCall(double timeout);
    // Answers `call` with an error.
    bool replyError(const Call& call, const std::string& name, const std::string& message);

  private:
    explicit RawBus(int fd) : fileDescriptor(fd) {}
    std::uint32_t send(const std::string& fields, std::initializer_list<std::string_view> body,
                       int fd, unsigned char type = 1);
    bool readMore(double timeout);
    template <class Found>
    bool await(double timeout, Found&& found);

    int fileDescriptor;
    std::uint32_t serial = 0;
    std::string assignedName;
    std::string in;  // bytes read but not yet parsed
    // Descriptors read but not yet taken by the message they came with: the
    // bus sends them with that message's first bytes, so in order.
    std::deque<linux_platform::UniqueFd> passed;
};

}  // namespace vorsel::e2e
