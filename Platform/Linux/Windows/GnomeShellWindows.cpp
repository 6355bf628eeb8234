#include "Platform/Linux/Windows/GnomeShellWindows.h"

#include <new>

namespace vorsel::linux_platform {
namespace {

std::string text(const char* value) { return value != nullptr ? value : ""; }

bool readWindow(sd_bus_message* reply, TopLevel* window) {
    std::uint64_t id = 0;
    std::int32_t pid = 0;
    const char *windowClass = nullptr, *instance = nullptr, *appId = nullptr, *title = nullptr;
    int dialog = 0, minimised = 0, closable = 0;
    if (sd_bus_message_read(reply, "(tissssbbb)", &id, &pid, &windowClass, &instance, &appId,
                            &title, &dialog, &minimised, &closable) <= 0)
        return false;
    window->id = std::to_string(id);
    window->pid = pid > 0 ? pid : 0;
    // The shell's app id (a sandbox's, or the toolkit's application id)
    // names the app where the window's class may not.
    window->windowClass = text(windowClass).empty() ? text(appId) : text(windowClass);
    window->instance = text(instance);
    window->title = text(title);
    window->dialog = dialog != 0;
    window->minimised = minimised != 0;
    window->closable = closable != 0;
    return true;
}

}  // namespace

std::unique_ptr<GnomeShellWindows> GnomeShellWindows::open(const std::string& address,
                                                           std::string* why) {
    auto say = [&](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return nullptr;
    };
    std::unique_ptr<GnomeShellWindows> windows(new (std::nothrow) GnomeShellWindows);
    if (!windows || !windows->connect(address)) return say("the session bus cannot be reached");
    windows->shell = windows->ownerOf(kGnomeShellName);
    if (windows->shell.empty()) return say("GNOME Shell does not run");
    // Notices from this shell only; a shell that ends or restarts breaks the
    // connection's use, and the windows thread opens it again.
    const std::string created = "type='signal',sender='" + windows->shell + "',path='" +
                                kWindowsObjectPath + "',interface='" + kWindowsInterface +
                                "',member='WindowCreated'";
    const std::string owner = std::string("type='signal',sender='org.freedesktop.DBus',") +
                              "member='NameOwnerChanged',arg0='" + kGnomeShellName + "'";
    if (sd_bus_add_match(windows->bus(), &windows->created, created.c_str(), &onSignal,
                         windows.get()) < 0 ||
        sd_bus_add_match(windows->bus(), &windows->owner, owner.c_str(), &onSignal, windows.get()) <
            0)
        return say("the session bus refused to pass GNOME Shell's notices");
    std::vector<TopLevel> listed;
    std::string error;
    if (!windows->list(&listed, &error)) {
        if (error == SD_BUS_ERROR_UNKNOWN_METHOD || error == SD_BUS_ERROR_UNKNOWN_OBJECT ||
            error == SD_BUS_ERROR_UNKNOWN_INTERFACE)
            return say("the Vorsel windows extension of GNOME Shell is not enabled");
        if (error == SD_BUS_ERROR_ACCESS_DENIED)
            return say("the Vorsel windows extension of GNOME Shell refused to answer");
        return say("GNOME Shell does not answer");
    }
    return windows;
}

GnomeShellWindows::~GnomeShellWindows() {
    sd_bus_slot_unref(created);
    sd_bus_slot_unref(owner);
}

int GnomeShellWindows::onSignal(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* windows = static_cast<GnomeShellWindows*>(self);
    if (sd_bus_message_is_signal(message, kWindowsInterface, "WindowCreated")) {
        windows->noteAppeared();
    } else if (sd_bus_message_is_signal(message, "org.freedesktop.DBus", "NameOwnerChanged")) {
        windows->markBroken();
        windows->noteAppeared();  // so the thread looks, and finds it broken
    }
    return 0;
}

bool GnomeShellWindows::list(std::vector<TopLevel>* windows, std::string* error) {
    sd_bus_message* method = nullptr;
    if (sd_bus_message_new_method_call(bus(), &method, shell.c_str(), kWindowsObjectPath,
                                       kWindowsInterface, "List") < 0)
        return false;
    sd_bus_message* reply = call(method, error);
    sd_bus_message_unref(method);
    if (reply == nullptr) return false;
    bool read = sd_bus_message_enter_container(reply, 'a', "(tissssbbb)") > 0;
    for (TopLevel window; read && readWindow(reply, &window); window = {})
        windows->push_back(std::move(window));
    sd_bus_message_unref(reply);
    return read;
}

std::vector<TopLevel> GnomeShellWindows::windows() {
    std::vector<TopLevel> listed;
    if (!list(&listed, nullptr)) return {};
    return listed;
}

bool GnomeShellWindows::request(const char* member, const TopLevel& window) {
    std::uint64_t id = 0;
    try {
        id = std::stoull(window.id);
    } catch (const std::exception&) {
        return false;
    }
    sd_bus_message* method = nullptr;
    if (sd_bus_message_new_method_call(bus(), &method, shell.c_str(), kWindowsObjectPath,
                                       kWindowsInterface, member) < 0)
        return false;
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_append(method, "t", id) >= 0) reply = call(method);
    sd_bus_message_unref(method);
    int done = 0;
    if (reply != nullptr && sd_bus_message_read(reply, "b", &done) < 0) done = 0;
    sd_bus_message_unref(reply);
    return done != 0;
}

bool GnomeShellWindows::close(const TopLevel& window) { return request("Close", window); }

bool GnomeShellWindows::minimise(const TopLevel& window) { return request("Minimise", window); }

}  // namespace vorsel::linux_platform
