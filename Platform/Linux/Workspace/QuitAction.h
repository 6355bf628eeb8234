// An app's own quit action on the session bus: GApplication apps (and
// DBusActivatable ones in general) own their application ID as a bus name
// and export org.freedesktop.Application there, whose ActivateAction("quit")
// is what the app's own Quit menu item does. Nothing here waits for the bus:
// every call is sent and its reply handled later on the main thread, which
// needs a QCoreApplication. Main thread only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace vorsel::linux_platform {

// The bus name an app with the desktop file ID `appId` would own, when the
// ID is a valid well-known bus name; nothing otherwise ("firefox-esr").
std::optional<std::string> applicationBusName(const std::string& appId);
// The object path of that name's org.freedesktop.Application
// ("org.gnome.TextEditor" → "/org/gnome/TextEditor").
std::string applicationObjectPath(const std::string& busName);

// Whether a session bus is at hand to ask on.
bool sessionBusReachable();

enum class QuitAnswer {
    asked,  // the action was sent to the app and not refused (it may still
            // be showing its own dialog when the reply is late)
    none,   // no such name, not that process's, or no quit action there
};

// Asks the owner of `busName` to quit, if `belongs(owner's pid)` says the
// owner is the app we mean; its unique name is addressed, so the owner
// cannot change between the check and the request, and nothing is started
// by activation. `answered` runs on the main thread: with none, or with
// asked once the request is sent and, should the app then refuse it (it has
// no quit action), a second time with none.
void askToQuit(const std::string& busName, std::function<bool(pid_t)> belongs,
               std::function<void(QuitAnswer)> answered);

}  // namespace vorsel::linux_platform
