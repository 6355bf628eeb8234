// The LinkListener port on the D-Bus session bus.
//
// The agent owns the bus name made from its service name (BusName.h) and
// serves the object /com/ordwyn/Guard with the interface
// com.ordwyn.GuardLink: Version() -> x, Hold(ay rules) -> (b present,
// ay rules), Held() -> ay. Every call gets a delayed reply, sent when the
// handler answers.
//
// Peers are unique bus names. Each one is judged once, on its first call: one
// GetConnectionCredentials call gives its uid and pid, and the caller check
// (run on a worker thread) says whether that process satisfies the
// requirement its connection was given. Until then its calls wait, in order;
// afterwards they go straight to the handler, or are answered with
// org.freedesktop.DBus.Error.AccessDenied without the handler ever seeing
// them. A verdict is forgotten when its name leaves the bus.
//
// The listener ends the process through the run loop, with status 1 and an
// error in the log, when it cannot reach the bus, cannot own its name
// (another process has it) or loses its bus connection.
//
// Main thread only, after the QCoreApplication exists.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/LinkListener.h"
#include "Platform/Log.h"
#include "Platform/RunLoop.h"

class QDBusConnection;

namespace vorsel::linux_platform {

class DBusLinkService;

// Whether the process `pid` of user `uid` satisfies `requirement`. Called on
// a worker thread, so it must be thread-safe.
using CallerCheck =
    std::function<bool(std::uint32_t uid, std::int32_t pid, const std::string& requirement)>;

inline constexpr const char* kLinkPath = "/com/ordwyn/Guard";
inline constexpr const char* kLinkInterface = "com.ordwyn.GuardLink";

class DBusLinkListener final : public LinkListener {
  public:
    // On the session bus of DBUS_SESSION_BUS_ADDRESS.
    DBusLinkListener(RunLoop& runLoop, Log& log, CallerCheck check);
    // On `bus`, a connection the caller made (tests use private buses).
    DBusLinkListener(RunLoop& runLoop, Log& log, CallerCheck check, const QDBusConnection& bus);
    ~DBusLinkListener() override;

    DBusLinkListener(const DBusLinkListener&) = delete;
    DBusLinkListener& operator=(const DBusLinkListener&) = delete;

    // Owns busName(serviceName) and starts serving; see the file comment for
    // how it gives up.
    bool listen(const std::string& serviceName, LinkListenerDelegate& delegate) override;

    // How many peers have a verdict or are being judged (for tests).
    std::size_t peersKnown() const;

  private:
    std::unique_ptr<DBusLinkService> service_;
};

}  // namespace vorsel::linux_platform
