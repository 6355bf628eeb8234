#include "Platform/Linux/Windows/KWinWindows.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>

#include "Platform/Linux/Windows/GnomeShellWindows.h"
#include "Platform/Linux/Windows/KWinScripts.h"

namespace vorsel::linux_platform {
namespace {

constexpr double kReportSeconds = 5;
constexpr double kRequestSeconds = 3;

void replace(std::string& text, const std::string& name, const std::string& value) {
    for (auto at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size()))
        text.replace(at, name.size(), value);
}

// KWin's window ids are braced UUIDs; anything else never goes into a script.
bool plainId(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '-' && c != '{' && c != '}')
            return false;
    return true;
}

std::vector<TopLevel> parseWindows(const std::string& text) {
    std::vector<TopLevel> windows;
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array()) return windows;
    for (const auto& entry : json) {
        if (!entry.is_object()) continue;
        TopLevel window;
        window.id = entry.value("id", std::string());
        const auto pid = entry.value("pid", 0LL);
        window.pid = pid > 0 && pid < (1LL << 31) ? static_cast<pid_t>(pid) : 0;
        window.windowClass = entry.value("windowClass", std::string());
        window.instance = entry.value("instance", std::string());
        window.title = entry.value("title", std::string());
        window.dialog = entry.value("dialog", false);
        window.minimised = entry.value("minimised", false);
        window.closable = entry.value("closable", true);
        if (plainId(window.id)) windows.push_back(std::move(window));
    }
    return windows;
}

}  // namespace

std::unique_ptr<KWinWindows> KWinWindows::open(const std::string& address,
                                               const std::string& folder, std::string* why) {
    auto say = [&](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return nullptr;
    };
    std::unique_ptr<KWinWindows> windows(new (std::nothrow) KWinWindows);
    if (!windows || !windows->connect(address)) return say("the session bus cannot be reached");
    windows->folder = folder;
    if (windows->folder.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        windows->folder = runtime != nullptr && *runtime == '/' ? runtime : "/tmp";
    }
    windows->kwin = windows->ownerOf(kKWinName);
    if (windows->kwin.empty()) return say("KWin does not run");
    const std::string owner = std::string("type='signal',sender='org.freedesktop.DBus',") +
                              "member='NameOwnerChanged',arg0='" + kKWinName + "'";
    if (sd_bus_add_object(windows->bus(), &windows->object, kWindowsObjectPath, &onCall,
                          windows.get()) < 0 ||
        sd_bus_add_match(windows->bus(), &windows->owner, owner.c_str(), &onOwner, windows.get()) <
            0)
        return say("the session bus refused KWin's calls");
    const std::string plugin = "vorsel-windows-" + std::to_string(::getpid());
    if (!windows->load(windows->filled(kKWinWatchScript), plugin, &windows->file))
        return say("KWin refused the Vorsel windows script");
    windows->plugin = plugin;
    KWinWindows* self = windows.get();
    if (!windows->dispatchUntil(kReportSeconds, [self] { return self->lastTold.has_value(); }))
        return say("the Vorsel windows script in KWin does not report");
    windows->appeared();  // the first report is no news
    return windows;
}

KWinWindows::~KWinWindows() {
    if (!plugin.empty()) unload(plugin, file);
    sd_bus_slot_unref(object);
    sd_bus_slot_unref(owner);
}

std::string KWinWindows::filled(std::string script) const {
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus(), &unique);
    replace(script, "%AGENT%", unique != nullptr ? unique : "");
    replace(script, "%PATH%", kWindowsObjectPath);
    replace(script, "%INTERFACE%", kWindowsInterface);
    return script;
}

bool KWinWindows::load(const std::string& script, const std::string& givenPlugin,
                       std::string* givenFile) {
    *givenFile = folder + "/" + givenPlugin + ".js";
    ::unlink(givenFile->c_str());
    const int out = ::open(givenFile->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) return false;
    const bool written =
        ::write(out, script.data(), script.size()) == static_cast<ssize_t>(script.size());
    ::close(out);
    if (!written) return false;
    sd_bus_message* method = nullptr;
    std::int32_t id = -1;
    if (sd_bus_message_new_method_call(bus(), &method, kwin.c_str(), "/Scripting",
                                       "org.kde.kwin.Scripting", "loadScript") >= 0 &&
        sd_bus_message_append(method, "ss", givenFile->c_str(), givenPlugin.c_str()) >= 0) {
        if (sd_bus_message* reply = call(method)) {
            if (sd_bus_message_read(reply, "i", &id) < 0) id = -1;
            sd_bus_message_unref(reply);
        }
    }
    sd_bus_message_unref(method);
    if (id < 0) {
        ::unlink(givenFile->c_str());
        return false;
    }
    // Each script has an object of its own to run it by (its path changed
    // over the versions); failing both, start every script loaded.
    for (const std::string& path :
         {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)}) {
        int result = sd_bus_call_method(bus(), kwin.c_str(), path.c_str(), "org.kde.kwin.Script",
                                        "run", nullptr, nullptr, "");
        if (result >= 0) return true;
    }
    return sd_bus_call_method(bus(), kwin.c_str(), "/Scripting", "org.kde.kwin.Scripting", "start",
                              nullptr, nullptr, "") >= 0;
}

void KWinWindows::unload(const std::string& givenPlugin, const std::string& givenFile) {
    ::unlink(givenFile.c_str());
    if (broken()) return;
    sd_bus_call_method(bus(), kwin.c_str(), "/Scripting", "org.kde.kwin.Scripting", "unloadScript",
                       nullptr, nullptr, "s", givenPlugin.c_str());
}

int KWinWindows::onCall(sd_bus_message* message, void* self, sd_bus_error* error) {
    auto* windows = static_cast<KWinWindows*>(self);
    const char* sender = sd_bus_message_get_sender(message);
    if (sender == nullptr || windows->kwin != sender)
        return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Only KWin may call");
    const char* first = nullptr;
    if (sd_bus_message_is_method_call(message, kWindowsInterface, "Windows")) {
        const char* list = nullptr;
        if (sd_bus_message_read(message, "ss", &first, &list) < 0)
            return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Expected two strings");
        windows->lastTold = parseWindows(list);
        if (std::string(first) == "added") windows->noteAppeared();
    } else if (sd_bus_message_is_method_call(message, kWindowsInterface, "Done")) {
        int done = 0;
        if (sd_bus_message_read(message, "sb", &first, &done) < 0)
            return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Expected a string, a bool");
        windows->answers[first] = done != 0;
    } else {
        return 0;  // sd-bus answers that there is no such method
    }
    return sd_bus_reply_method_return(message, "");
}

int KWinWindows::onOwner(sd_bus_message*, void* self, sd_bus_error*) {
    auto* windows = static_cast<KWinWindows*>(self);
    windows->markBroken();
    windows->noteAppeared();  // so the thread looks, and finds it broken
    return 0;
}

std::vector<TopLevel> KWinWindows::windows() {
    dispatch();
    return lastTold.value_or(std::vector<TopLevel>{});
}

bool KWinWindows::request(const char* action, const TopLevel& window) {
    if (broken() || !plainId(window.id)) return false;
    const std::string token = std::to_string(++requests);
    std::string script = filled(kKWinRequestScript);
    replace(script, "%WINDOW%", window.id);
    replace(script, "%ACTION%", action);
    replace(script, "%TOKEN%", token);
    const std::string localPlugin = "vorsel-request-" + std::to_string(::getpid()) + "-" + token;
    std::string localFile;
    if (!load(script, localPlugin, &localFile)) return false;
    dispatchUntil(kRequestSeconds, [&] { return answers.count(token) > 0; });
    unload(localPlugin, localFile);
    const auto answer = answers.find(token);
    const bool done = answer != answers.end() && answer->second;
    answers.erase(token);
    return done;
}

bool KWinWindows::close(const TopLevel& window) { return request("close", window); }

bool KWinWindows::minimise(const TopLevel& window) { return request("minimise", window); }

}  // namespace vorsel::linux_platform
