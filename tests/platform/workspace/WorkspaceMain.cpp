// The workspace tests' entry: installs test desktop entries into a private
// $XDG_DATA_HOME and $XDG_DATA_DIRS before anything looks for entries,
// keeps the machine's own entries and session bus out (a private bus takes
// its place), then runs the tests under a QCoreApplication.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>

#include "FakeSystemd.h"
#include "TestApps.h"

namespace vorsel::testing {
namespace {
std::string applications;

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

}  // namespace vorsel::testing

int main(int argc, char** argv) {
    using namespace vorsel::testing;
    ::testing::InitGoogleTest(&argc, argv);
    TempDir data("vorsel-ws-data");
    TempDir systemData("vorsel-ws-sysdata");
    applications = data.path() + "/applications";
    std::filesystem::create_directories(applications);
    for (const auto& entry : kEntries) writeFile(applications + "/" + entry[0], entry[1]);
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
    int status;
    {
        QCoreApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    stopPrivateBus();
    return status;
}
