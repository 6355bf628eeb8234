// Pausing instead of forcing: an app that answers a request to quit with a
// dialog of its own is most often offering to save what its user typed, and
// forcing it would throw that away. It is frozen with its windows hidden
// instead, and thawed when the rules no longer select it. What is paused is
// kept in a file beside the memory file, so that an agent that was killed
// meanwhile lets the apps go at its next start unless the rules it restores
// still close them.
#include <nlohmann/json.hpp>
#include <utility>

#include "Guard/Agent/GuardAgent.h"

namespace vorsel {

namespace {

using Json = nlohmann::json;

constexpr const char* kPausedWhy =
    ": it showed a dialog when asked to quit, so it waits frozen with its windows hidden until "
    "the session lets it go";

// Entries past this many are dropped unread: one app per paused process.
constexpr std::size_t kMaxRemembered = 4096;

}  // namespace

std::string GuardAgent::pausesFile() const {
    const std::string folder = ports.files.dataFolder() + "/" + identity.own;
    (void)ports.files.createFolders(folder);
    return folder + "/guard-paused.json";
}

// True when `app` is paused rather than asked or forced this pass: it was
// paused before, or it answered with a dialog and is due to be forced. An
// app that cannot be paused is left to be forced, as any other.
bool GuardAgent::pausedInstead(RunningApp& app, const std::string& id, bool due,
                               std::unordered_map<std::int32_t, Paused>& kept) {
    const std::int32_t pid = app.processIdentifier();
    const auto known = pauses.apps.find(pid);
    const bool already = known != pauses.apps.end() && known->second.app == id;
    if (!already && !(due && app.answeredWithDialog())) return false;
    const std::optional<std::string> pin = app.pause();
    if (!pin) {
        ports.log.write(LogLevel::standard, "couldn't pause " + id +
                                                ", which showed a dialog, as its windows can't "
                                                "be hidden: forcing it to quit");
        return false;
    }
    if (!already) ports.log.write(LogLevel::standard, "paused " + id + kPausedWhy);
    kept[pid] = Paused{id, *pin};
    return true;
}

// Thaws every paused app that is not in `kept`, and remembers `kept`.
void GuardAgent::thawAllBut(std::unordered_map<std::int32_t, Paused> kept) {
    for (const auto& [pid, paused] : pauses.apps) {
        const auto still = kept.find(pid);
        if (still != kept.end() && still->second.app == paused.app) continue;
        ports.workspace.thaw(paused.pin);
        ports.log.write(LogLevel::standard, "thawed " + paused.app);
    }
    if (kept != pauses.apps) {
        pauses.apps = std::move(kept);
        pauses.unsaved = true;
    }
    if (pauses.unsaved) savePauses();
}

void GuardAgent::savePauses() {
    const std::string path = pausesFile();
    if (pauses.apps.empty()) {
        (void)ports.files.remove(path);
        pauses.unsaved = false;
        return;
    }
    Json list = Json::array();
    for (const auto& [pid, paused] : pauses.apps)
        list.push_back({{"pid", pid}, {"app", paused.app}, {"pin", paused.pin}});
    const std::string data = Json{{"paused", std::move(list)}}.dump();
    pauses.unsaved = !ports.files.writeAtomically(path, data);
}

// Whatever does not read is skipped: at worst an app stays frozen until its
// user thaws it by hand, which the troubleshooting guide tells how.
void GuardAgent::restorePauses() {
    const std::optional<std::string> data = ports.files.read(pausesFile());
    if (!data) return;
    const Json json = Json::parse(*data, nullptr, false);
    if (!json.is_object() || !json.contains("paused") || !json["paused"].is_array()) return;
    for (const Json& entry : json["paused"]) {
        if (pauses.apps.size() >= kMaxRemembered) break;
        if (!entry.is_object()) continue;
        const auto pid = entry.find("pid");
        const auto app = entry.find("app");
        const auto pin = entry.find("pin");
        if (pid == entry.end() || app == entry.end() || pin == entry.end() ||
            !pid->is_number_integer() || !app->is_string() || !pin->is_string())
            continue;
        const auto number = pid->get<std::int64_t>();
        if (number <= 0 || number > INT32_MAX) continue;
        pauses.apps[static_cast<std::int32_t>(number)] =
            Paused{app->get<std::string>(), pin->get<std::string>()};
    }
}

}  // namespace vorsel
