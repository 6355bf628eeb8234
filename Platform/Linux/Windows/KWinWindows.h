// The windows of a KDE Plasma session (KWin 5.27 or 6), through scripts the
// agent loads into KWin over the session bus (org.kde.kwin.Scripting): one
// that watches, loaded when this opens and unloaded when it goes, which
// calls the agent back on its own connection with the list of windows each
// time one comes, goes or is minimised; and one per request, which closes or
// minimises one window and says whether it could. Calls that come to the
// agent's object from any connection but KWin's are refused.
//
// Windows thread only, except shutdown() (BusWindows.h).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Linux/Windows/BusWindows.h"

namespace vorsel::linux_platform {

inline constexpr const char* kKWinName = "org.kde.KWin";

class KWinWindows final : public BusWindows {
  public:
    // KWin's windows on the bus at `address` (empty: the user's session
    // bus), with the scripts written to `folder` (empty: XDG_RUNTIME_DIR);
    // null when KWin does not run, refuses the script or the script does not
    // report; `why` then says which, for the log.
    static std::unique_ptr<KWinWindows> open(const std::string& address,
                                             const std::string& folder = {},
                                             std::string* why = nullptr);
    ~KWinWindows() override;

    std::string name() const override { return "KWin"; }
    std::vector<TopLevel> windows() override;
    bool close(const TopLevel& window) override;
    bool minimise(const TopLevel& window) override;

  private:
    KWinWindows() = default;
    // Writes `script` and loads it as `plugin`, then runs it; false when
    // KWin refused it.
    bool load(const std::string& script, const std::string& plugin, std::string* file);
    void unload(const std::string& plugin, const std::string& file);
    bool request(const char* action, const TopLevel& window);
    std::string filled(std::string script) const;
    static int onCall(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onOwner(sd_bus_message* message, void* self, sd_bus_error* error);

    std::string kwin;    // KWin's unique name: the only caller heard
    std::string folder;  // where the scripts are written
    std::string plugin;  // the watching script's name while loaded
    std::string file;
    sd_bus_slot* object = nullptr;
    sd_bus_slot* owner = nullptr;
    std::optional<std::vector<TopLevel>> lastTold;  // as last told
    std::map<std::string, bool> answers;            // request token: done
    int requests = 0;
};

}  // namespace vorsel::linux_platform
