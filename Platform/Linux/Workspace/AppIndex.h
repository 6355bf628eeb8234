// The installed desktop entries, indexed by the programs they run, so that a
// running process can be recognised by its executable (an app typed in a
// terminal carries nothing else). Each entry names the file its TryExec=
// and Exec= run, resolved through $PATH and symbolic links; an interpreter
// run on a file ("python3 /opt/tool/main.py", or a "#!" script named
// directly) names that file and its interpreter instead; a DBusActivatable
// entry also names the Exec= of its session-bus service file
// ("dbus-1/services/<id>.service" in the data folders).
//
// The index is built on first use and built again on the first use after a
// change in any folder it read. Changes are seen through an inotify
// descriptor that is never polled, only read when the index is consulted: a
// desktop whose entries do not change costs nothing, and nothing runs on
// their account while nobody asks. Main thread only.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/Linux/Workspace/DesktopEntries.h"

namespace vorsel::linux_platform {

class AppIndex {
  public:
    struct Entry {
        std::string id;        // the desktop file ID without ".desktop"
        std::size_t rank = 0;  // of its data folder, 0 first
        bool shown = false;    // entryShown on the folders' desktops
        bool dbusActivatable = false;
        std::string wmClass;  // StartupWMClass=
    };
    // An entry that names a program, with the arguments its command always
    // passes (field codes left out, and for a script the script itself).
    struct Claim {
        const Entry* entry = nullptr;
        std::vector<std::string> fixed;
    };
    // An entry that names a file an interpreter runs.
    struct ScriptClaim {
        Claim claim;
        std::string interpreter;  // resolved like a program
    };

    explicit AppIndex(XdgFolders folders);
    ~AppIndex();
    AppIndex(const AppIndex&) = delete;
    AppIndex& operator=(const AppIndex&) = delete;

    // The process-wide index for the folders the environment names now,
    // brought up to date: built again when those folders or anything in
    // them changed since it was built.
    static AppIndex& current();

    // Builds the index again if anything it read has changed since.
    void refresh();

    const XdgFolders& folders() const { return xdgFolders; }
    // The first installed entry with `id`, or null.
    const Entry* entry(const std::string& id) const;
    // What names the executable at the resolved path `program`; empty when
    // nothing does. Pointers stay valid until the next refresh().
    const std::vector<Claim>& byProgram(const std::string& program) const;
    const std::vector<ScriptClaim>& byScript(const std::string& file) const;
    // What the service files of DBusActivatable entries name.
    const std::vector<Claim>& byService(const std::string& program) const;
    // The entry a window of this class and instance (X11's WM_CLASS; on
    // Wayland the app_id, with no instance) belongs to, as desktops match
    // them: an entry whose StartupWMClass is the class or the instance,
    // exactly; else one whose desktop ID is either, ignoring case, or, for
    // a reverse-DNS ID, whose last part is. Among several entries of one
    // kind of match, a shown one wins, then the first data folder's, then
    // the first ID in order. Null when none.
    const Entry* byWindowClass(const std::string& windowClass, const std::string& instance) const;

    // How often it was built (for tests and the benchmark).
    unsigned builds() const { return buildCount; }

  private:
    class Watch;
    void build();
    void add(const Entry& entry, const std::string& exec, const std::string& folder, bool service);

    XdgFolders xdgFolders;
    std::unique_ptr<Watch> watch;
    std::chrono::steady_clock::time_point built;
    unsigned buildCount = 0;
    std::vector<std::unique_ptr<Entry>> entries;
    std::unordered_map<std::string, const Entry*> byId;
    std::unordered_map<std::string, std::vector<Claim>> claimsByProgram;
    std::unordered_map<std::string, std::vector<ScriptClaim>> claimsByScript;
    std::unordered_map<std::string, std::vector<Claim>> claimsByService;
    // StartupWMClass, the lowercased ID and its lowercased last dotted part.
    std::unordered_map<std::string, std::vector<const Entry*>> byWmClass;
    std::unordered_map<std::string, std::vector<const Entry*>> byLowerId;
    std::unordered_map<std::string, std::vector<const Entry*>> byLastPart;
};

}  // namespace vorsel::linux_platform
