// The windows of a GNOME Shell session, through the extension Vorsel
// installs (packaging/gnome-shell): it exports them on the session bus, on
// the shell's own connection, with their pid and app id, closes one as its
// close button would, minimises one, and says when a window appears. No
// client of the display protocol may do any of that on GNOME.
//
// Windows thread only, except shutdown() (BusWindows.h).
#pragma once

#include <memory>
#include <string>

#include "Platform/Linux/Windows/BusWindows.h"

namespace vorsel::linux_platform {

inline constexpr const char* kGnomeShellName = "org.gnome.Shell";
inline constexpr const char* kWindowsObjectPath = "/com/ordwyn/GuardWindows";
inline constexpr const char* kWindowsInterface = "com.ordwyn.GuardWindows";

class GnomeShellWindows final : public BusWindows {
  public:
    // The shell's windows on the bus at `address` (empty: the user's session
    // bus), or null when the shell does not run or the extension does not
    // answer (not installed, not enabled, or a shell version it does not
    // declare); `why` then says which, for the log.
    static std::unique_ptr<GnomeShellWindows> open(const std::string& address,
                                                   std::string* why = nullptr);

    ~GnomeShellWindows() override;

    std::string name() const override { return "GNOME Shell"; }
    std::vector<TopLevel> windows() override;
    bool close(const TopLevel& window) override;
    bool minimise(const TopLevel& window) override;

  private:
    GnomeShellWindows() = default;
    bool list(std::vector<TopLevel>* windows, std::string* error);
    bool request(const char* member, const TopLevel& window);
    static int onSignal(sd_bus_message* message, void* self, sd_bus_error* error);

    std::string shell;  // the shell's unique name, which sends the notices
    sd_bus_slot* created = nullptr;
    sd_bus_slot* owner = nullptr;
};

}  // namespace vorsel::linux_platform
