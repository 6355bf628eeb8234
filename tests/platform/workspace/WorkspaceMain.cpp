// The workspace tests' entry: installs test desktop entries into a private
// $XDG_DATA_HOME and $XDG_DATA_DIRS before anything looks for entries, with
// the programs some of them run in a folder put first in $PATH, keeps the
// machine's own entries and session bus out (a private bus takes its place),
// then runs the tests under a QCoreApplication.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>

#include "FakeSystemd.h"
#include "TestApps.h"

namespace vorsel::testing {
namespace {
std::string applications;
std::string systemApplications;
std::string programs;

const char* kEntries[][2] = {
    {"test-browser.desktop",
     "[Desktop Entry]\nType=Application\nName=Test Browser\nExec=/bin/true %u\n"
     "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n"},
    {"org.example.Shown.desktop",
     "[Desktop Entry]\nType=Application\nName=Shown\nExec=/bin/true\n"},
    {"org.example.Hidden.desktop",
     "[Desktop Entry]\nType=Application\nName=Hidden\nExec=/bin/true\nNoDisplay=true\n"},
};
}  // namespace

std::string testApplicationsFolder() { return applications; }
std::string testSystemApplicationsFolder() { return systemApplications; }
std::string testProgramsFolder() { return programs; }

namespace {

void installPrograms(const std::string& data) {
    namespace fs = std::filesystem;
    for (const char* name : {"typed", "quiet", "elsewhere", "wrapped", "busapp", "renamed", "late",
                             "panel", "sysapp", "shadowed", "sealed", "pidless"})
        fs::copy_file(WAITER_PROGRAM, programs + "/" + name);
    // A script that its interpreter runs, and one given to an interpreter.
    const std::string loop = "while :; do sleep 0.2; done\n";
    writeFile(programs + "/script.sh", "#!/bin/sh\n" + loop);
    writeFile(programs + "/pair.sh", loop);
    for (const char* name : {"typed", "quiet", "elsewhere", "wrapped", "busapp", "renamed", "late",
                             "panel", "script.sh", "sealed", "pidless"})
        fs::permissions(programs + "/" + name, fs::perms::owner_all);
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Test\n";
    const std::pair<const char*, std::string> entries[] = {
        {"org.example.Typed", "Exec=typed %U\n"},
        {"org.example.TypedSettings", "Exec=typed --settings\n"},
        // A desktop's panel whose one entry is its settings dialog.
        {"org.example.PanelSettings", "Exec=panel --preferences\n"},
        {"org.example.Quiet", "Exec=" + programs + "/quiet\nNoDisplay=true\n"},
        {"org.example.Elsewhere", "Exec=" + programs + "/elsewhere\nOnlyShowIn=OtherDesk;\n"},
        {"org.example.Script", "Exec=" + programs + "/script.sh\n"},
        {"org.example.Pair", "Exec=sh " + programs + "/pair.sh\n"},
        {"org.example.Wrapped", "Exec=env WRAPPED=1 " + programs + "/wrapped\n"},
        {"org.example.Bus", "DBusActivatable=true\n"},
        {"org.example.Sealed", "Exec=sealed\n"},
        // Known by their windows only: a class, a reverse-DNS ID's last
        // part, and two entries claiming one class.
        {"org.example.Windowed", "Exec=/bin/true\nStartupWMClass=VorselWindowed\n"},
        {"org.example.Bravo", "Exec=/bin/true\n"},
        {"twin-b", "Exec=/bin/true\nStartupWMClass=VorselTwin\n"},
        {"twin-a", "Exec=/bin/true\nStartupWMClass=VorselTwin\n"},
        {"org.example.DeskWindow", "Exec=/bin/true\nStartupWMClass=VorselDeskWindow\n"},
    };
    for (const auto& [id, keys] : entries)
        writeFile(applications + "/" + id + ".desktop", entry + keys);
    // The system's entries ($XDG_DATA_DIRS), one of them hidden by the user's.
    fs::create_directories(systemApplications);
    writeFile(systemApplications + "/org.example.System.desktop", entry + "Exec=sysapp\n");
    writeFile(systemApplications + "/org.example.Shadowed.desktop", entry + "Exec=shadowed\n");
    writeFile(applications + "/org.example.Shadowed.desktop",
              entry + "Exec=shadowed\nHidden=true\n");
    fs::create_directories(data + "/dbus-1/services");
    writeFile(data + "/dbus-1/services/org.example.Bus.service",
              "[D-BUS Service]\nName=org.example.Bus\nExec=" + programs +
                  "/busapp --gapplication-service\n");
}

}  // namespace

}  // namespace vorsel::testing

int main(int argc, char** argv) {
    using namespace vorsel::testing;
    ::testing::InitGoogleTest(&argc, argv);
    TempDir data("vorsel-ws-data");
    TempDir systemData("vorsel-ws-sysdata");
    applications = data.path() + "/applications";
    std::filesystem::create_directories(applications);
    for (const auto& entry : kEntries) writeFile(applications + "/" + entry[0], entry[1]);
    TempDir bin("vorsel-ws-bin");
    programs = bin.path();
    systemApplications = systemData.path() + "/applications";
    installPrograms(data.path());
    const char* path = std::getenv("PATH");
    setenv("PATH", (programs + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("XDG_CURRENT_DESKTOP", "TestDesk", 1);
    std::string update = "update-desktop-database '" + applications + "'";
    if (std::system(update.c_str()) != 0) {
        fprintf(stderr, "update-desktop-database failed\n");
        return 1;
    }
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    setenv("XDG_DATA_DIRS", systemData.path().c_str(), 1);
    // Only ever our own bus: the systemd stories put a fake manager on it.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    TempDir bus("vorsel-ws-bus");
    if (!startPrivateBus(bus.path())) {
        fprintf(stderr, "no private dbus-daemon\n");
        return 1;
    }
    unsetenv("GIO_LAUNCHED_DESKTOP_FILE");
    unsetenv("GIO_LAUNCHED_DESKTOP_FILE_PID");
    unsetenv("DBUS_STARTER_BUS_TYPE");
    unsetenv("DBUS_STARTER_ADDRESS");
    int status;
    {
        QCoreApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    stopPrivateBus();
    return status;
}
