// The /proc and unit-name readers on text a process can shape itself.
#include <gtest/gtest.h>

#include "Platform/Linux/Workspace/AppUnit.h"
#include "Platform/Linux/Workspace/DesktopEntries.h"
#include "Platform/Linux/Workspace/ProcFs.h"

namespace vorsel::linux_platform {
namespace {

std::string statLine(const std::string& comm, char state = 'S', unsigned long flags = 4194560) {
    return "4242 (" + comm + ") " + state + " 17 4242 4242 0 -1 " + std::to_string(flags) +
           " 100 0 0 0 5 3 0 0 20 0 1 0 987654 12345 678 18446744073709551615\n";
}

TEST(ProcParsing, StatSurvivesHostileNamesAndRejectsGarbage) {
    auto stat = parseStat(statLine("a) (b c) Z 1"));
    ASSERT_TRUE(stat.has_value());
    EXPECT_EQ(stat->pid, 4242);
    EXPECT_EQ(stat->comm, "a) (b c) Z 1");
    EXPECT_EQ(stat->state, 'S');
    EXPECT_EQ(stat->ppid, 17);
    EXPECT_EQ(stat->startTime, 987654u);
    EXPECT_FALSE(stat->isZombie());
    EXPECT_FALSE(stat->isKernelThread());

    EXPECT_TRUE(parseStat(statLine("gone", 'Z'))->isZombie());
    EXPECT_TRUE(parseStat(statLine("kworker/0:1", 'I', 0x00208040))->isKernelThread());

    for (const char* bad : {"", "4242", "4242 (x", "x (y) S 1", "4242 (x) S 1 2 3",
                            "4242 (x) SS 17 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 1 1"})
        EXPECT_FALSE(parseStat(bad).has_value()) << bad;
}

TEST(ProcParsing, RealUidAndEnvironment) {
    EXPECT_EQ(parseRealUid("Name:\tx\nUmask:\t0022\nUid:\t1000\t0\t0\t0\nGid:\t1\n"), 1000u);
    EXPECT_EQ(parseRealUid("Name:\tx\n"), std::nullopt);
    EXPECT_EQ(parseRealUid("Uid:\tnope\t1\n"), std::nullopt);

    std::string block("A=1\0GIO_LAUNCHED_DESKTOP_FILE=/x.desktop\0B\0NAME=cut", 48);
    auto found = parseEnviron(block, {"GIO_LAUNCHED_DESKTOP_FILE", "NAME", "B"});
    EXPECT_EQ(found.size(), 1u);
    EXPECT_EQ(found["GIO_LAUNCHED_DESKTOP_FILE"], "/x.desktop");
}

TEST(AppUnits, TheDesktopConventionAndNothingElse) {
    const std::pair<const char*, const char*> good[] = {
        {"app-org.gnome.Terminal.service", "org.gnome.Terminal"},
        {"app-gnome-org.gnome.Nautilus-4242.scope", "org.gnome.Nautilus"},
        {"app-org.kde.dolphin-2b7c.scope", "org.kde.dolphin"},
        {"app-flatpak-org.mozilla.firefox@12.service", "org.mozilla.firefox"},
        {"app-kde-my\\x2dapp-99.scope", "my-app"},
        {"dbus-:1.2-org.gnome.Calculator@0.service", "org.gnome.Calculator"},
        {"dbus-:1.17-org.example.my\\x2dtool@3.service", "org.example.my-tool"},
    };
    for (const auto& [unit, id] : good) EXPECT_EQ(appIdOfUnit(unit), id) << unit;
    for (const char* bad :
         {"session-2.scope", "app-.scope", "app-foo.scope", "app-a-b-c-d.scope", "app-x\\x2.scope",
          "app-a\\x2fb-1.scope", "app--x-1.scope", "dbus.service", "app-foo.slice", "app-",
          "dbus-broker.service", "dbus-:1.2-org.gnome.Calculator.service",
          "dbus-1.2-org.gnome.Calculator@0.service", "dbus-:1.2-nodots@0.service",
          "dbus-:1.2-a-b.c@0.service", "dbus-:1.2-org.x@0.scope"})
        EXPECT_EQ(appIdOfUnit(bad), std::nullopt) << bad;

    for (std::string id : {"plain", "with-dash", "odd\\name/x y"}) {
        auto unit = "app-vorsel-" + escapeUnitPiece(id) + "-7.scope";
        EXPECT_EQ(appIdOfUnit(unit),
                  id.find('/') == std::string::npos ? std::optional<std::string>(id) : std::nullopt)
            << unit;
    }
}

TEST(AppUnits, TheInnermostUnitOfTheUnifiedHierarchyCounts) {
    EXPECT_EQ(
        appIdOfCgroup("12:cpu:/app-x-1.scope\n0::/user.slice/user-1000.slice/"
                      "user@1000.service/app.slice/app-gnome-org.gnome.Nautilus-4242.scope\n"),
        "org.gnome.Nautilus");
    EXPECT_EQ(appIdOfCgroup("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                            "app-org.example.Tool.service/worker\n"),
              "org.example.Tool");
    EXPECT_EQ(appIdOfCgroup("0::/user.slice/user-1000.slice/user@1000.service/session.slice/"
                            "org.gnome.Shell@wayland.service\n"),
              std::nullopt);
    EXPECT_EQ(appIdOfCgroup("0::/\n"), std::nullopt);
    EXPECT_EQ(appIdOfCgroup("1:name=systemd:/app-x-1.scope\n"), std::nullopt);
}

TEST(DesktopIds, FromTheEntryPath) {
    EXPECT_EQ(desktopIdOfPath("/usr/share/applications/org.gnome.gedit.desktop"),
              "org.gnome.gedit");
    EXPECT_EQ(desktopIdOfPath("/usr/share/applications/kde4/konsole.desktop"), "kde4-konsole");
    EXPECT_EQ(desktopIdOfPath("/opt/somewhere/tool.desktop"), "tool");
    EXPECT_EQ(desktopIdOfPath("/usr/share/applications/readme.txt"), std::nullopt);
    EXPECT_EQ(desktopIdOfPath("/usr/share/applications/.desktop"), std::nullopt);
}

}  // namespace
}  // namespace vorsel::linux_platform
