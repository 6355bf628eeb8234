// The clock adapter against a wall clock and a boot clock set by hand: a
// clock moved forward is not followed, one moved back at most by a day; the
// trust carries over to a restarted agent and to the window through the
// anchor beside the memory file, unless that anchor cannot be believed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Platform/Linux/Runtime/LinuxClock.h"
#include "tests/e2e/support/E2eProcess.h"
#include "tests/support/RawClocks.h"

using vorsel::TimePoint;
using vorsel::e2e::readText;
using vorsel::e2e::TempFolder;
using vorsel::e2e::writeText;
using vorsel::linux_platform::ClockSide;
using vorsel::linux_platform::LinuxClock;
using vorsel::testing::RawClocks;

namespace {

constexpr double kDay = 86400.0;

class ClockTest : public ::testing::Test {
  protected:
    // The agent's clock or the window's, over `raw`.
    std::unique_ptr<LinuxClock> clock(ClockSide side = ClockSide::agent) {
        return std::make_unique<LinuxClock>(side, memoryFile, raw.readings());
    }
    // A Hardcore session on disk, as far as the clock cares: the file exists.
    void saveSession() {
        std::filesystem::create_directories(folder.path() + "/own");
        ASSERT_TRUE(writeText(memoryFile, "{}"));
    }
    std::string anchorFile() const { return folder.path() + "/own/guard-clock.json"; }

    TempFolder folder{"vorsel-clock"};
    const std::string memoryFile = folder.path() + "/own/guard.json";
    RawClocks raw;
};

TEST_F(ClockTest, AWallClockSetForwardIsNotFollowedAndOneSetBackOnlyByADay) {
    auto agent = clock();
    const TimePoint start = raw.wall;
    EXPECT_EQ(agent->now(), start);
    raw.pass(10);
    EXPECT_EQ(agent->now(), start + 10);

    raw.wall += kDay;  // the user's date settings, a day ahead
    raw.pass(5);
    EXPECT_EQ(agent->now(), start + 15) << "elapsed time, not the wall clock";
    raw.pass(8 * 3600);  // a suspended laptop: CLOCK_BOOTTIME counts it
    EXPECT_EQ(agent->now(), start + 15 + 8 * 3600);

    raw.wall = start + 15 + 8 * 3600 - 3600;  // an hour behind what has passed
    EXPECT_EQ(agent->now(), raw.wall) << "a clock set back is followed";
    raw.wall -= 3 * kDay;
    EXPECT_EQ(agent->now(), start + 15 + 8 * 3600 - kDay) << "but by a day at most";
    raw.wall = start + 15 + 8 * 3600;  // and back where it belongs
    EXPECT_EQ(agent->now(), raw.wall);
}

TEST_F(ClockTest, ARestartedAgentAndTheWindowTakeUpTheAnchorWhileASessionIsSaved) {
    const TimePoint start = raw.wall;
    auto first = clock();
    EXPECT_EQ(first->now(), start);
    EXPECT_TRUE(std::filesystem::exists(anchorFile())) << "written at the first reading";
    saveSession();
    const std::string anchor = readText(anchorFile());

    raw.wall += kDay;
    raw.pass(20);
    first.reset();  // the agent is killed
    auto second = clock();
    EXPECT_DOUBLE_EQ(second->now(), start + 20);
    EXPECT_DOUBLE_EQ(clock(ClockSide::window)->now(), start + 20);
    EXPECT_EQ(readText(anchorFile()), anchor) << "the same trust, nothing to rewrite";

    // No session on disk: a new agent trusts the wall clock again, and says so.
    std::filesystem::remove(memoryFile);
    auto third = clock();
    EXPECT_EQ(third->now(), raw.wall);
    saveSession();
    raw.wall += kDay;
    EXPECT_DOUBLE_EQ(clock()->now(), raw.wall - kDay);

    // The window follows the anchor at each reading, and never writes it.
    auto window = clock(ClockSide::window);
    raw.pass(30);
    EXPECT_DOUBLE_EQ(window->now(), raw.wall - kDay);
    ASSERT_TRUE(writeText(anchorFile(), "lost"));
    EXPECT_DOUBLE_EQ(window->now(), raw.wall) << "no anchor: the wall clock";
    EXPECT_EQ(readText(anchorFile()), "lost");
}

TEST_F(ClockTest, AnAnchorOfAnotherBootOrThatCannotBeBelievedIsIgnored) {
    saveSession();
    const TimePoint start = raw.wall;
    auto anchorAt = [&](const nlohmann::json& boot, const nlohmann::json& sinceBoot,
                        const nlohmann::json& wall) {
        return nlohmann::json{{"boot", boot}, {"sinceBoot", sinceBoot}, {"wall", wall}}.dump();
    };
    const std::string id = *raw.bootId;
    raw.wall += kDay;  // set forward while no agent ran
    const struct {
        std::string content;
        const char* why;
    } untrusted[] = {
        {"", "empty"},
        {"{\"boot\":", "cut short"},
        {"[1,2,3]", "not an object"},
        {anchorAt("another-boot", raw.sinceBoot - 60, start), "another boot"},
        {anchorAt(id, raw.sinceBoot + 60, start), "a boot time later than now"},
        {anchorAt(id, -1, start), "a negative boot time"},
        {anchorAt(id, "60", start), "text for a number"},
        {anchorAt(id, raw.sinceBoot - 60, -1e300), "before the distant past"},
        {anchorAt(id, raw.sinceBoot - 60, raw.wall + kDay), "ahead of the wall clock"},
        {anchorAt(id, raw.sinceBoot - 60, start) + std::string(5000, ' '), "far too big"},
    };
    for (const auto& anchor : untrusted) {
        ASSERT_TRUE(writeText(anchorFile(), anchor.content));
        EXPECT_EQ(clock(ClockSide::window)->now(), raw.wall) << anchor.why;
        EXPECT_EQ(clock()->now(), raw.wall) << anchor.why;
        // The agent put its own trust in place of what it ignored.
        raw.wall += kDay;
        EXPECT_DOUBLE_EQ(clock(ClockSide::window)->now(), raw.wall - kDay) << anchor.why;
        raw.wall -= kDay;
    }

    // A FIFO is no anchor, and waiting on it would stall the agent.
    std::filesystem::remove(anchorFile());
    ASSERT_EQ(::mkfifo(anchorFile().c_str(), 0600), 0);
    EXPECT_EQ(clock()->now(), raw.wall);

    // Without a boot id nothing can be checked: the agent trusts only
    // itself, and leaves no anchor for others to misread.
    std::filesystem::remove(anchorFile());
    raw.bootId.reset();
    EXPECT_EQ(clock()->now(), raw.wall);
    EXPECT_FALSE(std::filesystem::exists(anchorFile()));

    // The one that holds: this boot, earlier, a minute back.
    raw.bootId = id;
    ASSERT_TRUE(writeText(anchorFile(), anchorAt(id, raw.sinceBoot - 60, start)));
    EXPECT_DOUBLE_EQ(clock()->now(), start + 60);
}

TEST(SystemClocks, TheTestHookOnlyMovesTheWallClockByWhatItsFileSays) {
    TempFolder folder("vorsel-clock");
    const std::string shift = folder.path() + "/shift";
    ::setenv(vorsel::linux_platform::kWallShiftVariable, shift.c_str(), 1);
    const auto readings = vorsel::linux_platform::systemReadings();
    ::unsetenv(vorsel::linux_platform::kWallShiftVariable);
    const vorsel::linux_platform::WallClock wall;

    EXPECT_NEAR(readings.wall() - wall.now(), 0, 1) << "no file: no shift";
    ASSERT_TRUE(writeText(shift, "86400\n"));
    EXPECT_NEAR(readings.wall() - wall.now(), kDay, 1);
    ASSERT_TRUE(writeText(shift, "a day"));
    EXPECT_NEAR(readings.wall() - wall.now(), 0, 1);

    const double boot = readings.sinceBoot();
    EXPECT_GT(boot, 0);
    EXPECT_GE(readings.sinceBoot(), boot);
    const auto id = readings.bootId();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->size(), 36u) << *id;
}

}  // namespace
