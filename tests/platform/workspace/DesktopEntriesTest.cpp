// Desktop entries and content-type handlers read from real files in private
// XDG folders, passed in explicitly so the process environment stays as the
// other workspace tests set it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "Platform/Linux/Workspace/AppIndex.h"
#include "Platform/Linux/Workspace/DesktopEntries.h"
#include "Platform/Linux/Workspace/KeyFile.h"
#include "TestApps.h"

namespace vorsel::linux_platform {
namespace {

using testing::TempDir;

std::string entry(const std::string& more, const std::string& exec = "/bin/true %u") {
    return "[Desktop Entry]\nType=Application\nName=App\nExec=" + exec + "\n" + more;
}

class DesktopEntriesTest : public ::testing::Test {
  protected:
    DesktopEntriesTest() {
        folders.config = {root.path() + "/config", root.path() + "/etc-xdg"};
        folders.data = {root.path() + "/home-data", root.path() + "/usr-share"};
    }

    // `file` under the data folder `rank`'s "applications".
    void install(std::size_t rank, const std::string& file, const std::string& text) {
        const std::string path = folders.data[rank] + "/applications/" + file;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ASSERT_TRUE(testing::writeFile(path, text));
    }

    void writeList(const std::string& folder, const std::string& name, const std::string& text) {
        std::filesystem::create_directories(folder);
        ASSERT_TRUE(testing::writeFile(folder + "/" + name, text));
    }

    std::vector<std::string> https() { return handlersOf("x-scheme-handler/https", folders); }

    TempDir root{"vorsel-entries"};
    XdgFolders folders;
};

TEST(KeyFileTest, ReadsOnlyTheUnlocalisedKeysOfTheGroupsAskedFor) {
    const auto groups = parseKeyFile(
        "# comment\n[Other]\nName=other\n[Desktop Entry]\n  Name = First \nName[de]=Erste\n"
        "Name=Second\nno equals sign here\n=empty key\n[broken\nExec=after a broken header\n"
        "[Desktop Entry]\nHidden=true",
        {"Desktop Entry"});
    ASSERT_EQ(groups.size(), 1u);
    const auto& keys = groups.at("Desktop Entry");
    EXPECT_EQ(keys.at("Name"), "First");
    EXPECT_EQ(keys.count("Exec"), 0u);  // under a header that never closed
    EXPECT_EQ(keys.at("Hidden"), "true");
    EXPECT_EQ(keys.size(), 2u);

    EXPECT_EQ(keyFileString(R"(a\sb\tc\\d\qe\)"), "a b\tc\\d\\qe\\");
    EXPECT_EQ(keyFileList(R"(one;two\;still two;;three\s3;)"),
              (std::vector<std::string>{"one", "two;still two", "three 3"}));
    EXPECT_EQ(keyFileList(R"(ends\\;next)"), (std::vector<std::string>{"ends\\", "next"}));
    EXPECT_TRUE(keyFileBoolean("true"));
    EXPECT_TRUE(keyFileBoolean("1"));
    EXPECT_FALSE(keyFileBoolean("True "));
    EXPECT_FALSE(keyFileBoolean("yes"));

    // Binary junk and one endless line give nothing, and no crash.
    std::string junk(70000, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7919 % 251);
    parseKeyFile(junk, {"Desktop Entry"});
    EXPECT_TRUE(
        parseKeyFile("[Desktop Entry" + std::string(1 << 20, 'x'), {"Desktop Entry"}).empty());
}

// Sets the variables given (nothing unsets one) and puts them back after.
class Variables {
  public:
    explicit Variables(const std::map<std::string, std::optional<std::string>>& values) {
        for (const auto& [name, value] : values) {
            const char* was = std::getenv(name.c_str());
            saved[name] = was ? std::optional<std::string>(was) : std::nullopt;
            set(name, value);
        }
    }
    ~Variables() {
        for (const auto& [name, value] : saved) set(name, value);
    }

  private:
    static void set(const std::string& name, const std::optional<std::string>& value) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    std::map<std::string, std::optional<std::string>> saved;
};

TEST(XdgFoldersTest, TheDataFoldersAreTheBaseDirectoriesWithFlatpaksAndSnapsExportsByDefault) {
    {
        Variables set({{"HOME", "/home/u"},
                       {"XDG_DATA_HOME", "/d/home"},
                       {"XDG_DATA_DIRS", "/d/one:relative::/d/two"},
                       {"XDG_CONFIG_HOME", std::nullopt},
                       {"XDG_CONFIG_DIRS", "/c/sys"},
                       {"XDG_CURRENT_DESKTOP", "GNOME:ubuntu"}});
        const auto folders = XdgFolders::fromEnvironment();
        // A session names flatpak's exports in XDG_DATA_DIRS itself.
        EXPECT_EQ(folders.data, (std::vector<std::string>{"/d/home", "/d/one", "/d/two"}));
        EXPECT_EQ(folders.config, (std::vector<std::string>{"/home/u/.config", "/c/sys"}));
        EXPECT_EQ(folders.desktops, (std::vector<std::string>{"gnome", "ubuntu"}));
    }
    Variables unset({{"HOME", "/home/u"},
                     {"XDG_DATA_HOME", "not/absolute"},
                     {"XDG_DATA_DIRS", std::nullopt},
                     {"XDG_CURRENT_DESKTOP", std::nullopt}});
    const auto folders = XdgFolders::fromEnvironment();
    EXPECT_EQ(folders.data, (std::vector<std::string>{
                                "/home/u/.local/share", "/usr/local/share", "/usr/share",
                                "/home/u/.local/share/flatpak/exports/share",
                                "/var/lib/flatpak/exports/share", "/var/lib/snapd/desktop"}));
    EXPECT_TRUE(folders.desktops.empty());
}

TEST_F(DesktopEntriesTest, AnEntryIsShownWhenItsFirstInstanceRunsAndIsNotNoDisplay) {
    install(1, "plain.desktop", entry(""));
    install(1, "kde4/konsole.desktop", entry(""));
    install(1, "quiet.desktop", entry("NoDisplay=true\n"));
    install(1, "deleted.desktop", entry(""));
    install(0, "deleted.desktop", entry("Hidden=true\n"));  // the user's copy hides it
    install(1, "gone.desktop", entry("", "/nonexistent/program --flag"));
    install(1, "tried.desktop", entry("TryExec=/nonexistent/program\n"));
    install(1, "searched.desktop", entry("TryExec=true\n", "\"/bin/true\" %U"));
    install(1, "link.desktop", "[Desktop Entry]\nType=Link\nURL=https://x.invalid/\n");
    install(1, "bus.desktop", "[Desktop Entry]\nType=Application\nDBusActivatable=true\n");
    install(1, "ours.desktop", entry("OnlyShowIn=Other;TestDesk;\n"));
    install(1, "theirs.desktop", entry("OnlyShowIn=Other;\n"));
    install(1, "notours.desktop", entry("NotShowIn=TESTDESK;\n"));

    EXPECT_TRUE(isShownEntry("plain", folders));
    EXPECT_TRUE(isShownEntry("plain.desktop", folders));
    EXPECT_TRUE(isShownEntry("kde4-konsole", folders));
    EXPECT_TRUE(isShownEntry("searched", folders));
    EXPECT_TRUE(isShownEntry("bus", folders));
    EXPECT_FALSE(isShownEntry("quiet", folders));
    EXPECT_FALSE(isShownEntry("deleted", folders));
    EXPECT_FALSE(isShownEntry("gone", folders));
    EXPECT_FALSE(isShownEntry("tried", folders));
    EXPECT_FALSE(isShownEntry("link", folders));
    EXPECT_FALSE(isShownEntry("absent", folders));
    // Only on the desktops it names, never on those it excludes, and an
    // entry for some desktops is shown on none when none is current.
    folders.desktops = {"testdesk"};
    EXPECT_TRUE(isShownEntry("ours", folders));
    EXPECT_FALSE(isShownEntry("theirs", folders));
    EXPECT_FALSE(isShownEntry("notours", folders));
    folders.desktops = {};
    EXPECT_FALSE(isShownEntry("ours", folders));
    EXPECT_TRUE(isShownEntry("notours", folders));
    EXPECT_TRUE(isShownEntryFile(folders.data[1] + "/applications/deleted.desktop"));
    EXPECT_FALSE(isShownEntryFile(folders.data[0] + "/applications/deleted.desktop"));
    EXPECT_FALSE(isShownEntryFile(folders.data[1] + "/applications"));  // a folder

    // IDs name files under "applications", never anything outside it.
    install(1, "../outside.desktop", entry(""));
    EXPECT_EQ(entryPath("../outside", folders), std::nullopt);
    EXPECT_EQ(entryPath("", folders), std::nullopt);
    EXPECT_EQ(entryPath("deleted", folders), folders.data[0] + "/applications/deleted.desktop");
}

TEST_F(DesktopEntriesTest, HandlersComeDefaultFirstThenAddedThenDeclared) {
    const std::string declares = "MimeType=text/html;x-scheme-handler/https;\n";
    install(1, "zeta.desktop", entry(declares));
    install(1, "alpha.desktop", entry(declares));
    install(0, "mine.desktop", entry("MimeType=X-Scheme-Handler/HTTPS;\n"));
    install(1, "chosen.desktop", entry(""));
    install(1, "extra.desktop", entry("NoDisplay=true\n"));
    install(1, "broken.desktop", entry(declares, "/nonexistent/browser"));
    install(1, "mailer.desktop", entry("MimeType=x-scheme-handler/mailto;\n"));
    writeList(folders.config[0], "mimeapps.list",
              "[Default Applications]\nx-scheme-handler/https=missing.desktop;chosen.desktop;\n"
              "[Added Associations]\nx-scheme-handler/https=extra.desktop;broken.desktop;\n");

    // Folder order before name order for what the entries declare; entries
    // that cannot run are left out wherever they are named.
    EXPECT_EQ(https(), (std::vector<std::string>{"chosen", "extra", "mine", "alpha", "zeta"}));
    EXPECT_EQ(handlersOf("X-SCHEME-HANDLER/HTTPS", folders), https());
    EXPECT_EQ(handlersOf("x-scheme-handler/mailto", folders), std::vector<std::string>{"mailer"});
    EXPECT_TRUE(handlersOf("x-scheme-handler/gopher", folders).empty());
}

TEST_F(DesktopEntriesTest, RemovalsHideOnlyWhatLessImportantFilesAssociate) {
    const std::string declares = "MimeType=x-scheme-handler/https;\n";
    install(1, "browser.desktop", entry(declares));
    install(1, "other.desktop", entry(declares));
    install(1, "kept.desktop", entry(""));
    install(1, "late.desktop", entry(""));
    // The user removes "browser" and adds and removes "kept" in one file; a
    // system-wide file adds "late" and makes "other" the default.
    writeList(folders.config[0], "mimeapps.list",
              "[Added Associations]\nx-scheme-handler/https=kept.desktop;\n"
              "[Removed Associations]\nx-scheme-handler/https=browser.desktop;kept.desktop;"
              "late.desktop;\n");
    writeList(folders.config[1], "mimeapps.list",
              "[Default Applications]\nx-scheme-handler/https=other.desktop\n"
              "[Added Associations]\nx-scheme-handler/https=late.desktop;browser.desktop;\n");
    EXPECT_EQ(https(), (std::vector<std::string>{"other", "kept"}));

    // A list for the running desktop comes before the plain one.
    folders.desktops = {"testdesk"};
    writeList(folders.data[1] + "/applications", "testdesk-mimeapps.list",
              "[Added Associations]\nx-scheme-handler/https=late.desktop;\n");
    writeList(folders.config[0], "testdesk-mimeapps.list",
              "[Default Applications]\nx-scheme-handler/https=kept.desktop;\n");
    EXPECT_EQ(https(), (std::vector<std::string>{"kept", "other"}));
}

TEST_F(DesktopEntriesTest, UnreadableOrBrokenFilesAreSkipped) {
    install(1, "good.desktop", entry("MimeType=x-scheme-handler/https;\n"));
    install(1, "nogroup.desktop",
            "Type=Application\nExec=/bin/true\n"
            "MimeType=x-scheme-handler/https;\n");
    install(1, "huge.desktop",
            entry("MimeType=x-scheme-handler/https;\nComment=" + std::string(2 << 20, 'x') + "\n"));
    std::filesystem::create_directories(folders.data[1] + "/applications/folder.desktop");
    writeList(folders.config[0], "mimeapps.list", std::string(100, '\0') + "[[[\n=\n;;;");
    EXPECT_EQ(https(), std::vector<std::string>{"good"});
    EXPECT_FALSE(isShownEntry("huge", folders));
    EXPECT_FALSE(isShownEntry("folder", folders));
}

std::vector<std::string> idsOf(const std::vector<AppIndex::Claim>& claims) {
    std::vector<std::string> ids;
    for (const auto& claim : claims) ids.push_back(claim.entry->id);
    return ids;
}

TEST_F(DesktopEntriesTest, TheIndexNamesTheProgramsEntriesRun) {
    const std::string bin = root.path() + "/bin";
    std::filesystem::create_directories(bin);
    const auto program = [&](const std::string& name, const std::string& text = {}) {
        const std::string path = bin + "/" + name;
        if (text.empty())
            std::filesystem::copy_file("/bin/true", path);
        else
            testing::writeFile(path, text);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    };
    const std::string tool = program("tool");
    const std::string script = program("script", "#!/bin/sh\n:\n");
    const std::string envScript = program("envscript", "#!/usr/bin/env sh\n:\n");
    const std::string data = root.path() + "/main.py";
    testing::writeFile(data, "print()\n");
    std::filesystem::create_symlink(tool, bin + "/linked");
    const std::string sh = *resolveProgram("sh");

    install(1, "plain.desktop", entry("", tool + " --flag %U"));
    install(1, "linked.desktop",
            entry("TryExec=" + bin + "/linked\nNoDisplay=true\n", "/bin/true"));
    install(1, "wrapped.desktop", entry("", "env A=1 -u B " + tool + " --wrapped"));
    install(1, "shelled.desktop", entry("", "sh -c \"A=2 exec '" + tool + "' --shelled\""));
    install(1, "shellonly.desktop", entry("", "sh -c \"cd /tmp && x\""));
    install(1, "script.desktop", entry("", script));
    install(1, "envscript.desktop", entry("", envScript));
    install(1, "pair.desktop", entry("Path=" + root.path() + "\n", "sh -u main.py"));
    install(1, "sub/nested.desktop", entry("", "\"" + tool + "\" --nested"));
    install(1, "deleted.desktop", entry("Hidden=true\n", tool));
    install(1, "org.example.Bus.desktop",
            "[Desktop Entry]\nType=Application\nName=Bus\nDBusActivatable=true\n");
    install(0, "../dbus-1/services/org.example.Bus.service",
            "[D-BUS Service]\nName=org.example.Bus\nExec=" + tool + " --gapplication-service\n");
    install(1, "link.desktop", "[Desktop Entry]\nType=Link\nExec=" + tool + "\n");

    AppIndex index(folders);
    EXPECT_EQ(idsOf(index.byProgram(tool)),
              (std::vector<std::string>{"deleted", "linked", "org.example.Bus", "plain", "shelled",
                                        "sub-nested", "wrapped"}));
    for (const auto& claim : index.byProgram(tool)) {
        const std::map<std::string, std::vector<std::string>> fixed = {
            {"deleted", {}},
            {"linked", {}},
            {"sub-nested", {"--nested"}},
            {"org.example.Bus", {"--gapplication-service"}},
            {"plain", {"--flag"}},
            {"shelled", {"--shelled"}},
            {"wrapped", {"--wrapped"}}};
        EXPECT_EQ(claim.fixed, fixed.at(claim.entry->id)) << claim.entry->id;
    }
    EXPECT_EQ(idsOf(index.byService(tool)), std::vector<std::string>{"org.example.Bus"});
    // The shell is no app's program: only what it runs is.
    EXPECT_TRUE(index.byProgram(sh).empty());
    // TryExec and Exec both name a program ("linked" is a link to the tool).
    EXPECT_EQ(idsOf(index.byProgram(*resolveProgram("true"))), std::vector<std::string>{"linked"});

    ASSERT_EQ(index.byScript(script).size(), 1u);
    EXPECT_EQ(index.byScript(script)[0].claim.entry->id, "script");
    EXPECT_EQ(index.byScript(script)[0].interpreter, sh);
    ASSERT_EQ(index.byScript(envScript).size(), 1u);
    EXPECT_EQ(index.byScript(envScript)[0].interpreter, sh);
    ASSERT_EQ(index.byScript(data).size(), 1u);
    EXPECT_EQ(index.byScript(data)[0].claim.entry->id, "pair");
    EXPECT_EQ(index.byScript(data)[0].interpreter, sh);

    ASSERT_NE(index.entry("plain"), nullptr);
    EXPECT_TRUE(index.entry("plain")->shown);
    EXPECT_FALSE(index.entry("linked")->shown);
    EXPECT_FALSE(index.entry("deleted")->shown);
    EXPECT_TRUE(index.entry("org.example.Bus")->dbusActivatable);
    EXPECT_EQ(index.entry("link"), nullptr);
}

TEST_F(DesktopEntriesTest, TheIndexIsBuiltAgainOnlyAfterAChangeWhereItReads) {
    install(1, "first.desktop", entry(""));
    AppIndex index(folders);  // data folder 0 does not exist yet
    ASSERT_EQ(index.builds(), 1u);
    index.refresh();
    EXPECT_EQ(index.builds(), 1u);

    const auto changes = [&](const std::function<void()>& change) {
        const unsigned before = index.builds();
        change();
        index.refresh();
        return index.builds() > before;
    };
    // The missing folder and its parent.
    EXPECT_FALSE(changes([&] { testing::writeFile(root.path() + "/unrelated", "x"); }));
    EXPECT_TRUE(changes([&] { install(0, "mine.desktop", entry("")); }));
    EXPECT_NE(index.entry("mine"), nullptr);
    EXPECT_FALSE(changes([&] { testing::writeFile(folders.data[0] + "/unrelated", "x"); }));
    EXPECT_TRUE(changes([&] { install(1, "sub/deep.desktop", entry("")); }));
    EXPECT_NE(index.entry("sub-deep"), nullptr);
    EXPECT_TRUE(changes([&] { install(1, "sub/deep.desktop", entry("NoDisplay=true\n")); }));
    EXPECT_FALSE(index.entry("sub-deep")->shown);
    EXPECT_TRUE(
        changes([&] { std::filesystem::remove(folders.data[1] + "/applications/first.desktop"); }));
    EXPECT_EQ(index.entry("first"), nullptr);
    EXPECT_TRUE(changes([&] { install(0, "../dbus-1/services/x.service", "[D-BUS Service]\n"); }));
    EXPECT_FALSE(changes([] {}));
}

}  // namespace
}  // namespace vorsel::linux_platform
