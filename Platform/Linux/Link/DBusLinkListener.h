// The LinkListener port on the D-Bus session bus.
//
// The agent owns the bus name made from its service name (BusName.h) and
// serves the object /com/ordwyn/Guard with the interface
// com.ordwyn.GuardLink (LinkNames.h), through the adaptor generated from its
// description: Version(h proof) -> x, Hold(ay rules, h proof) -> (b present,
// ay rules), Held(h proof) -> ay. Every call gets a delayed reply, sent when
// the handler answers. Calls of the older forms without a
// proof are unknown methods.
//
// Each call proves which process sends it (DBusLinkProof.h); a call without
// a valid proof is refused with org.freedesktop.DBus.Error.AccessDenied.
// Peers are unique bus names, each set up once by the delegate; what is
// judged is the sender of each call. A sender is judged on its first call
// on a connection (the caller check, on a worker thread, with the uid and
// pid its proof names), and again whenever the sender on that connection
// changes or maps other code than at its verdict (DBusLinkJudge.h); until
// then its calls wait, in order. A genuine sender's calls go to the
// handler; a refused one's, and those of a sender found traced, are
// answered with AccessDenied without the handler ever seeing them. What is
// known of a connection is forgotten when its name leaves the bus.
//
// Waiting is bounded (LinkLimits): a call that would take the calls or bytes
// waiting for verdicts, of its connection or in all, past the limits is
// refused at once with org.freedesktop.DBus.Error.LimitsExceeded; but a call
// larger than all the bytes of its size that may wait comes in while none
// of them waits, as trying again could never help it.
//
// The listener ends the process through the run loop, with status 1 and an
// error in the log, when it cannot reach the bus, cannot own its name
// (another process has it) or loses its bus connection. Once it listens, it
// logs where the kernel lets any process of the user trace another (no Yama,
// or kernel.yama.ptrace_scope 0): a tracer can make the genuine app say
// anything, and no check from outside can tell.
//
// Main thread only, after the QCoreApplication exists.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/LinkListener.h"
#include "Platform/Linux/Link/DBusLinkProof.h"
#include "Platform/Linux/Link/LinkNames.h"
#include "Platform/Log.h"
#include "Platform/RunLoop.h"

class QDBusConnection;

namespace vorsel::linux_platform {

class DBusLinkService;

// Whether the process `pid` of user `uid` satisfies `requirement`. Called on
// a worker thread, so it must be thread-safe.
using CallerCheck =
    std::function<bool(std::uint32_t uid, std::int32_t pid, const std::string& requirement)>;

// What may wait for verdicts. Each call counts its arguments' bytes plus
// kCallOverhead, for the message around them. Calls up to kSmallCall (what
// the app sends) and larger ones draw on budgets of their own, so that
// strangers' huge calls never crowd out the app's first one.
struct LinkLimits {
    std::size_t callsPerCaller = 2048;
    std::size_t bytesPerCaller = 16u << 20;
    std::size_t calls = 8192;
    std::size_t bytes = 64u << 20;       // in all, of calls larger than kSmallCall
    std::size_t smallBytes = 16u << 20;  // in all, of the others
};
inline constexpr std::size_t kCallOverhead = 1024;
inline constexpr std::size_t kSmallCall = 64 * 1024;
// Rules larger than this are never held: such a Hold is answered
// present=false once its sender is judged: the handler gets it unread, as an
// empty text.
inline constexpr std::size_t kLargestRules = std::size_t{1} << 20;

struct LinkOptions {
    LinkLimits waiting;
    // Where the kernel says who may trace whom; empty: never say.
    std::string ptraceScope = "/proc/sys/kernel/yama/ptrace_scope";
    KernelPidfd kernelPidfd = KernelPidfd::use;
    // How long a judged sender has to answer its call's challenge.
    std::chrono::milliseconds challengeLimit{10000};
    // How old a proof may be when its call reaches the agent: a call
    // captured from the app and replayed later is refused.
    std::chrono::seconds proofLife{60};
};

class DBusLinkListener final : public LinkListener {
  public:
    // On the session bus of DBUS_SESSION_BUS_ADDRESS.
    DBusLinkListener(RunLoop& runLoop, Log& log, CallerCheck check);
    // On `bus`, a connection the caller made (tests use private buses).
    DBusLinkListener(RunLoop& runLoop, Log& log, CallerCheck check, const QDBusConnection& bus,
                     LinkOptions options = {});
    ~DBusLinkListener() override;

    DBusLinkListener(const DBusLinkListener&) = delete;
    DBusLinkListener& operator=(const DBusLinkListener&) = delete;

    // Owns busName(serviceName) and starts serving; see the file comment for
    // how it gives up.
    bool listen(const std::string& serviceName, LinkListenerDelegate& delegate) override;

    // How many connections are known (for tests).
    std::size_t peersKnown() const;

  private:
    std::unique_ptr<DBusLinkService> service;
};

}  // namespace vorsel::linux_platform
