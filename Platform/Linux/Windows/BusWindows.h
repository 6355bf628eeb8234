// What the desktops reached over the session bus have in common (a GNOME
// Shell extension, a KWin script): a blocking sd-bus connection of the
// windows thread's own, and the descriptor the thread waits on to hear that
// a window appeared.
//
// The descriptor is an epoll set holding the bus's socket and an eventfd:
// calls that wait for a reply read whatever else arrives meanwhile into the
// connection's queue, where the socket no longer shows it, so a notice read
// that way is passed on through the eventfd.
//
// One thread at a time, except shutdown().
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>
#include <string>

#include "Platform/Linux/Windows/DesktopWindows.h"

namespace vorsel::linux_platform {

class BusWindows : public DesktopWindows {
  public:
    ~BusWindows() override;
    BusWindows(const BusWindows&) = delete;
    BusWindows& operator=(const BusWindows&) = delete;

    int descriptor() const override { return events; }
    bool appeared() override;
    bool broken() const override { return isBroken.load(); }
    void shutdown() override;

  protected:
    BusWindows() = default;
    // Connects to the bus at `address` (empty: the user's session bus) and
    // sets the descriptor up; false when it cannot.
    bool connect(const std::string& address);
    sd_bus* bus() const { return busConnection; }

    // Calls `method` and waits for the reply (a few seconds at most); null
    // when it failed, with the D-Bus error's name in `error` (empty when the
    // connection itself failed, which breaks it). The caller frees the reply
    // with sd_bus_message_unref.
    sd_bus_message* call(sd_bus_message* method, std::string* error = nullptr);
    // Reads and handles whatever the bus has sent, without waiting.
    void dispatch();
    // Handles what arrives for up to `seconds`, until `done()` says so.
    bool dispatchUntil(double seconds, const std::function<bool()>& done);
    // A handler saw a new window: appeared() says so, and the descriptor
    // becomes readable even when the message was read during a call.
    void noteAppeared();
    void markBroken() { isBroken = true; }
    // The unique name of `name`'s owner on the bus, or empty.
    std::string ownerOf(const std::string& name);

  private:
    sd_bus* busConnection = nullptr;
    int socket = -1;
    int events = -1;
    int wake = -1;
    bool hasAppeared = false;
    std::atomic<bool> isBroken{false};
};

}  // namespace vorsel::linux_platform
