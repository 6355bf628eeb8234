#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Guard/Identity/GuardIdentity.h"
#include "Platform/Linux/Runtime/LinuxBundles.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"
#include "tests/support/TempFolder.h"

namespace vorsel {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

// Writes Name.app with the given dictionary body and returns its executable.
std::string makeBundle(const fs::path& folder, const std::string& dictionary) {
    const fs::path bundle = folder / "Vorsel.app";
    fs::create_directories(bundle / "Contents/Linux");
    std::ofstream(bundle / "Contents/Info.plist")
        << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" << dictionary
        << "</dict></plist>";
    return (bundle / "Contents/Linux/vorsel").string();
}

TEST(ModeTest, OnlyTheExactArgumentOrServiceNameSelectsTheAgent) {
    const std::string own = "com.ordwyn.guard";
    EXPECT_TRUE(GuardMain::startedAsAgent({"vorsel", "--agent"}, nullptr, own));
    EXPECT_TRUE(GuardMain::startedAsAgent({"--agent"}, nullptr, own)) << "the program path counts";
    EXPECT_TRUE(GuardMain::startedAsAgent({"vorsel", "x", "--agent"}, "other", own));
    EXPECT_TRUE(GuardMain::startedAsAgent({"vorsel"}, "com.ordwyn.guard.agent", own));

    EXPECT_FALSE(GuardMain::startedAsAgent({"vorsel"}, nullptr, own));
    for (const char* near : {"--agentx", "-agent", "--age", "agent", "--AGENT", " --agent"})
        EXPECT_FALSE(GuardMain::startedAsAgent({"vorsel", near}, nullptr, own)) << near;
    for (const char* near : {"com.ordwyn.guard.agentx", "com.ordwyn.guard", "com.ordwyn.guard.",
                             "xcom.ordwyn.guard.agent", "", "com.ordwyn.guardxagent"})
        EXPECT_FALSE(GuardMain::startedAsAgent({"vorsel"}, near, own)) << near;
}

TEST(IdentityTest, ReadsTheBundleAroundTheExecutableAndFallsBackPerKey) {
    TempFolder folder;
    auto full = makeBundle(fs::path(folder.path()), R"(
        <key>CFBundleIdentifier</key><string>com.example.guard</string>
        <key>OWAppIdentifier</key><string>com.example.app</string>
        <key>OWTeam</key><string>TEAM123</string>)");
    linux_platform::LinuxBundles bundles(full);
    EXPECT_EQ(bundles.mainPath(), (fs::path(folder.path()) / "Vorsel.app").string());
    GuardIdentity identity = GuardIdentity::of(bundles);
    EXPECT_EQ(identity, (GuardIdentity{"com.example.guard", "com.example.app", "TEAM123"}));
    EXPECT_EQ(identity.machService(), "TEAM123.com.example.app.guard");

    TempFolder other;
    auto wrongTypes = makeBundle(fs::path(other.path()), R"(
        <key>OWAppIdentifier</key><integer>7</integer>
        <key>OWTeam</key><array><string>T</string></array>)");
    identity = GuardIdentity::of(linux_platform::LinuxBundles(wrongTypes));
    EXPECT_EQ(identity, (GuardIdentity{"com.ordwyn.guard", "com.ordwyn.app", ""}));
    EXPECT_EQ(identity.machService(), ".com.ordwyn.app.guard");

    // Outside a bundle, or with an Info.plist that is not one, every default holds.
    for (const std::string& executable :
         {std::string("/usr/bin/vorsel"), makeBundle(fs::path(other.path()), "<key>broken")}) {
        EXPECT_EQ(GuardIdentity::of(linux_platform::LinuxBundles(executable)),
                  (GuardIdentity{"com.ordwyn.guard", "com.ordwyn.app", ""}))
            << executable;
    }
    EXPECT_FALSE(linux_platform::LinuxBundles("/usr/bin/vorsel").mainPath());
}

TEST(IdentityTest, AskingForTheMemoryFileCreatesItsFolderEveryTime) {
    TempFolder data;
    ::setenv("XDG_DATA_HOME", fs::path(data.path()).c_str(), 1);
    linux_platform::LinuxFiles files;
    GuardIdentity identity{"com.ordwyn.guard", "com.ordwyn.app", ""};

    const std::string expected = (fs::path(data.path()) / "com.ordwyn.guard/guard.json").string();
    EXPECT_EQ(identity.memoryFile(files), expected);
    EXPECT_TRUE(fs::is_directory(fs::path(data.path()) / "com.ordwyn.guard"));
    EXPECT_FALSE(fs::exists(expected)) << "no file is written";
    fs::remove_all(fs::path(data.path()) / "com.ordwyn.guard");
    EXPECT_EQ(identity.memoryFile(files), expected);
    EXPECT_TRUE(fs::is_directory(fs::path(data.path()) / "com.ordwyn.guard"));
    ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace vorsel
