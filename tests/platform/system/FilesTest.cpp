// The Files adapter on real files: the data folder, whole-file reads, atomic
// replacement that keeps the old content when it fails, removal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Platform/Linux/Runtime/LinuxFiles.h"
#include "tests/e2e/support/E2eProcess.h"

using vorsel::e2e::readText;
using vorsel::e2e::TempFolder;
using vorsel::e2e::writeText;
using vorsel::linux_platform::LinuxFiles;
namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the life of the object.
class ScopedVariable {
  public:
    ScopedVariable(const char* givenName, const char* value) : name(givenName) {
        if (const char* givenOld = std::getenv(givenName)) old = givenOld;
        value ? ::setenv(givenName, value, 1) : ::unsetenv(givenName);
    }
    ~ScopedVariable() { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }

  private:
    const char* name;
    std::optional<std::string> old;
};

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(LinuxFiles, TheDataFolderFollowsXdgDataHomeAndIgnoresARelativeOne) {
    LinuxFiles files;
    ScopedVariable home("HOME", "/home/someone");
    {
        ScopedVariable data("XDG_DATA_HOME", "/tmp/data//");
        EXPECT_EQ(files.dataFolder(), "/tmp/data");
    }
    {
        ScopedVariable data("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(files.dataFolder(), "/home/someone/.local/share");
    }
    ScopedVariable data("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(files.dataFolder(), "/home/someone/.local/share");
}

TEST(LinuxFiles, AtomicWritesReplaceWholeFilesWithTheUsualPermissions) {
    TempFolder folder("vorsel-files");
    LinuxFiles files;
    const std::string path = folder.path() + "/guard.json";
    const mode_t old = ::umask(022);
    const std::string binary("a\0b\xff", 4);
    EXPECT_TRUE(files.writeAtomically(path, binary));
    ::umask(old);
    EXPECT_EQ(files.read(path), binary);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    EXPECT_TRUE(files.writeAtomically(path, "{}"));
    EXPECT_EQ(files.read(path), "{}");
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"guard.json"}) << "no leftovers";
}

TEST(LinuxFiles, AFailedWriteLeavesTheOldContentAndNoLeftovers) {
    TempFolder folder("vorsel-files");
    LinuxFiles files;
    // A folder where the file should be: the final rename fails.
    const std::string blocked = folder.path() + "/blocked";
    fs::create_directories(blocked + "/inside");
    ASSERT_TRUE(writeText(blocked + "/inside/old", "old"));
    const auto refused = files.writeAtomically(blocked, "new");
    EXPECT_FALSE(refused);
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_FALSE(refused.error->empty());
    EXPECT_EQ(readText(blocked + "/inside/old"), "old");
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"blocked"});

    // A missing folder: nothing is created anywhere.
    EXPECT_FALSE(files.writeAtomically(folder.path() + "/missing/guard.json", "new"));
    EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"blocked"});
}

TEST(LinuxFiles, AWriteClearsWhatWritersKilledMidWriteLeftBehind) {
    TempFolder folder("vorsel-files");
    LinuxFiles files;
    // A pid that is surely gone: a child that has been reaped.
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    const std::string abandoned = ".guard.json." + std::to_string(dead) + "-a1b2c3";
    const std::string live = ".guard.json." + std::to_string(::getppid()) + "-d4e5f6";
    for (const std::string& name : {abandoned, live, std::string(".other.json.1-xxxxxx"),
                                    std::string(".guard.json.x1-yyyyyy")})
        ASSERT_TRUE(writeText(folder.path() + "/" + name, "partial"));

    EXPECT_TRUE(files.writeAtomically(folder.path() + "/guard.json", "{}"));
    EXPECT_EQ(namesIn(folder.path()),
              (std::vector<std::string>{live, ".guard.json.x1-yyyyyy", ".other.json.1-xxxxxx",
                                        "guard.json"}))
        << "only the dead writer's file goes; live writers' and other files stay";
}

TEST(LinuxFiles, ReadsRemovalsAndFolders) {
    TempFolder folder("vorsel-files");
    LinuxFiles files;
    const std::string path = folder.path() + "/a/b/c";
    EXPECT_TRUE(files.createFolders(path));
    EXPECT_TRUE(files.createFolders(path));  // existing: fine
    EXPECT_EQ(files.read(path), std::nullopt) << "a folder is not a file";
    EXPECT_EQ(files.read(path + "/missing"), std::nullopt);

    ASSERT_TRUE(writeText(folder.path() + "/file", "x"));
    EXPECT_FALSE(files.createFolders(folder.path() + "/file")) << "a file is in the way";
    EXPECT_FALSE(files.createFolders(folder.path() + "/file/below"));
    EXPECT_TRUE(files.remove(folder.path() + "/file"));
    EXPECT_FALSE(files.remove(folder.path() + "/file")) << "a missing file is a failure";
    EXPECT_EQ(files.read(folder.path() + "/file"), std::nullopt);

    // A FIFO in a file's place is refused at once: nobody will ever write it.
    ASSERT_EQ(::mkfifo((folder.path() + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(files.read(folder.path() + "/fifo"), std::nullopt);
    ASSERT_TRUE(writeText(folder.path() + "/five", "12345"));
    EXPECT_EQ(vorsel::linux_platform::readAtMost(folder.path() + "/five", 5), "12345");
    EXPECT_EQ(vorsel::linux_platform::readAtMost(folder.path() + "/five", 4), std::nullopt);
}
