// The /proc and unit-name readers on text a process can shape itself.
#include <gtest/gtest.h>

#include "Platform/Linux/Workspace/AppUnit.h"
#include "Platform/Linux/Workspace/DesktopEntries.h"
#include "Platform/Linux/Workspace/ExecTarget.h"
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
        {"app-org.kde.konsole-3f2a9c3e1b8d4e5fa0b1c2d3e4f5a6b7.scope", "org.kde.konsole"},
        {"app-org.kde.kate@0f3c1d2e4b5a69788796a5b4c3d2e1f0.service", "org.kde.kate"},
        {"snap.firefox.firefox-7b4d1c2e-9f3a-4e5b-8c6d-0a1b2c3d4e5f.scope", "firefox_firefox"},
        {"snap.my-snap.tool-7b4d1c2e-9f3a-4e5b-8c6d-0a1b2c3d4e5f.scope", "my-snap_tool"},
    };
    for (const auto& [unit, id] : good) EXPECT_EQ(appIdOfUnit(unit), id) << unit;
    for (const char* bad : {"session-2.scope",
                            "app-.scope",
                            "app-foo.scope",
                            "app-a-b-c-d.scope",
                            "app-x\\x2.scope",
                            "app-a\\x2fb-1.scope",
                            "app--x-1.scope",
                            "dbus.service",
                            "app-foo.slice",
                            "app-",
                            "dbus-broker.service",
                            "dbus-:1.2-org.gnome.Calculator.service",
                            "dbus-1.2-org.gnome.Calculator@0.service",
                            "dbus-:1.2-nodots@0.service",
                            "dbus-:1.2-a-b.c@0.service",
                            "dbus-:1.2-org.x@0.scope",
                            "snap.firefox.firefox.service",
                            "snap.firefox.firefox-1234.scope",
                            "snap.x_key.app-7b4d1c2e-9f3a-4e5b-8c6d-0a1b2c3d4e5f.scope",
                            "snap.firefox.firefox-7b4d1c2e-9f3a-4e5b-8c6d-0a1b2c3d4e5fxx.scope",
                            "snap..app-7b4d1c2e-9f3a-4e5b-8c6d-0a1b2c3d4e5f.scope"})
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
    // The desktop session's own slice, and the unit a process shares with
    // what it started.
    const auto shell = unitOfCgroup(
        "0::/user.slice/user-1000.slice/user@1000.service/session.slice/"
        "org.gnome.Shell@x11.service\n");
    ASSERT_TRUE(shell.has_value());
    EXPECT_TRUE(shell->sessionSlice);
    const auto tool = unitOfCgroup(
        "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
        "app-org.example.Tool.service/worker\n");
    ASSERT_TRUE(tool.has_value());
    EXPECT_FALSE(tool->sessionSlice);
    EXPECT_EQ(
        tool->path,
        "/user.slice/user-1000.slice/user@1000.service/app.slice/app-org.example.Tool.service");
    EXPECT_EQ(appIdOfCgroup("1:name=systemd:/app-x-1.scope\n"), std::nullopt);
}

TEST(ExecTarget, WordsAsLaunchersReadThemAndTheProgramBehindWrappers) {
    EXPECT_EQ(splitExec(R"(  "/opt/My App/run" --name "a \"b\" \$c" %U --file=%f 100%% )"),
              (std::vector<std::string>{"/opt/My App/run", "--name", R"(a "b" $c)", "100%"}));
    EXPECT_EQ(splitExec(R"(x "open)"), std::nullopt);
    EXPECT_EQ(splitExec("x %"), (std::vector<std::string>{"x", "%"}));
    EXPECT_EQ(splitExec(""), std::vector<std::string>{});

    const auto target = [](const char* exec) { return execTargetOf(exec); };
    EXPECT_EQ(target("tool --flag %u")->program, "tool");
    EXPECT_EQ(target("tool --flag %u")->fixed, std::vector<std::string>{"--flag"});
    EXPECT_EQ(target("env -i A=1 -u B --chdir /tmp tool x")->program, "tool");
    EXPECT_EQ(target("env -S \"A=1 tool -v\" y")->fixed, (std::vector<std::string>{"-v", "y"}));
    EXPECT_EQ(target("/usr/bin/env --split-string=tool")->program, "tool");
    EXPECT_EQ(target(R"(sh -c "A=1 exec '/opt/my tool' --x; echo done")")->program, "/opt/my tool");
    EXPECT_EQ(target(R"(bash -l -c "tool \"a b\" | tee log")")->fixed,
              std::vector<std::string>{"a b"});
    EXPECT_EQ(target("python3 -u /opt/tool/main.py --debug")->file, "/opt/tool/main.py");
    EXPECT_EQ(target("tool -x")->file, std::nullopt);
    // Nothing is left to run.
    for (const char* none : {"", "env", "env A=1", "sh -c", "sh -c 'exec'", R"(sh -c "unclosed)"})
        EXPECT_EQ(target(none), std::nullopt) << none;
    // "-c" names a command only before the first plain argument.
    EXPECT_EQ(target("sh script.sh -c x")->program, "sh");
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
