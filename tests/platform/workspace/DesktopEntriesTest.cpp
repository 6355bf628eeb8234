// Desktop entries and content-type handlers read from real files in private
// XDG folders, passed in explicitly so the process environment stays as the
// other workspace tests set it.
#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
}  // namespace vorsel::linux_platform
