// The memory file: a Hardcore session's rules on disk, so that a new agent
// process takes them up again; nothing else is ever kept there.
#include "tests/unit/AgentTest.h"

namespace vorsel::fakes {
namespace {

class Memory : public AgentTest {
  protected:
    void SetUp() override { signTheApp(); }

    void writeMemory(const GuardRules& rules) {
        world.files.contents[memoryFile()] = *rules.written();
    }

    // Starts an agent on the memory file as it is and expects it to come up
    // with nothing held, the file gone, and to leave 20 s later.
    void expectStartsEmpty() {
        startAgent();
        EXPECT_EQ(agent->heldRules(), GuardRules::none);
        EXPECT_FALSE(world.files.exists(memoryFile()));
        EXPECT_FALSE(agent->isWatching());
        advance(20);
        EXPECT_TRUE(left());
    }
};

TEST_F(Memory, TheFileExistsExactlyWhileTheRulesKeepTheAppOpen) {
    startAgent();
    hold(listed({"a"}, now() + 600));
    EXPECT_FALSE(world.files.exists(memoryFile()));
    EXPECT_EQ(world.files.writes, 0);

    const GuardRules session = hardcore(listed({"a"}, now() + 600), now() + 900);
    const auto reply = hold(session);
    ASSERT_TRUE(world.files.exists(memoryFile()));
    EXPECT_EQ(world.files.contents[memoryFile()], reply);
    EXPECT_EQ(GuardRules::read(world.files.contents[memoryFile()]), session);
    EXPECT_TRUE(world.files.folders.contains(std::string(kFakeDataFolder) + "/com.ordwyn.guard"));

    hold(listed({"a"}, now() + 600));
    EXPECT_FALSE(world.files.exists(memoryFile())) << "closing alone is never kept";

    hold(session);
    hold(hardcore(listed({"a"}, now() + 600), now()));  // keep-open ends right now
    EXPECT_FALSE(world.files.exists(memoryFile()));
    EXPECT_TRUE(agent->isWatching()) << "the closing part still holds";
}

// A second agent, started while the first still serves, must not disturb it:
// not even a file it would have thrown away is touched.
TEST_F(Memory, AnAgentThatFindsItsServiceTakenLeavesNoTrace) {
    world.listener.taken = true;
    for (const GuardRules& onDisk : {keepingOnly(now() + 600), keepingOnly(now() - 1)}) {
        writeMemory(onDisk);
        agent = std::make_unique<GuardAgent>(identity, world.agentPorts());
        agent->start();
        world.runLoop.drain();
        EXPECT_EQ(world.files.contents[memoryFile()], *onDisk.written());
        EXPECT_EQ(world.files.reads + world.files.writes + world.files.removals, 0);
        EXPECT_EQ(world.workspace.snapshots, 0);
        EXPECT_TRUE(world.workspace.opened.empty());
        EXPECT_TRUE(world.log.lines.empty());
        EXPECT_TRUE(world.runLoop.liveTimers().empty());
        EXPECT_EQ(agent->heldRules(), GuardRules::none);
    }
}

TEST_F(Memory, AFailedWriteKeepsTheEarlierFileUntilALaterPassWritesIt) {
    startAgent();
    const GuardRules first = keepingOnly(now() + 600);
    hold(first);
    world.files.failWrites = true;
    const GuardRules second = hardcore(listed({"a"}, now() + 600), now() + 600);
    EXPECT_EQ(holdAndRead(second), second) << "the agent holds them all the same";
    EXPECT_EQ(world.files.contents[memoryFile()], *first.written());

    // Later passes try again until the disk takes it, then stop writing.
    advance(2);
    EXPECT_EQ(world.files.contents[memoryFile()], *first.written());
    world.files.failWrites = false;
    advance(2);
    EXPECT_EQ(world.files.contents[memoryFile()], *second.written());
    const int writes = world.files.writes;
    advance(10);
    EXPECT_EQ(world.files.writes, writes);
    agent.reset();
    startAgent();
    EXPECT_EQ(agent->heldRules(), second) << "a restart takes up the session last handed over";
}

TEST_F(Memory, AHardcoreSessionIsRestoredCappedAndEnforcedOnStart) {
    const GuardRules onDisk =
        hardcore(listed({"com.example.game"}, now() + 2 * kDay), now() + 3 * kDay);
    writeMemory(onDisk);
    auto game = world.workspace.launch("com.example.game");
    startAgent();
    EXPECT_EQ(agent->heldRules(),
              hardcore(listed({"com.example.game"}, started + kDay), started + kDay));
    EXPECT_EQ(world.files.contents[memoryFile()], *onDisk.written())
        << "the file is left as it was";
    EXPECT_TRUE(agent->isWatching());
    EXPECT_FALSE(agent->isLeaving());
    EXPECT_EQ(actionsOn(game), std::vector<AppAction>{AppAction::terminate});
    EXPECT_EQ(world.workspace.opened.size(), 1u);
    EXPECT_EQ(world.log.lines.front().text, "listening as TEAM42.com.ordwyn.app.guard");
    EXPECT_EQ(world.codeSigning.validationsOf(kAppPath), 1);
}

TEST_F(Memory, AKeepOpenPartStillLiveIsRestoredWholeAfterTheClosingPartEnded) {
    const GuardRules onDisk = hardcore(listed({"com.example.game"}, now() - 60), now() + 600);
    writeMemory(onDisk);
    auto game = world.workspace.launch("com.example.game");
    startAgent();
    EXPECT_EQ(agent->heldRules(), onDisk);
    EXPECT_TRUE(actionsOn(game).empty());
}

TEST_F(Memory, AStaleFileIsRemovedAndNothingHeld) {
    writeMemory(hardcore(listed({"a"}, now() + 600), now()));
    expectStartsEmpty();
}

TEST_F(Memory, AnUnreadableFileIsRemovedAndNothingHeld) {
    writeMemory(keepingOnly(now() + 600));
    world.files.failReads = true;
    expectStartsEmpty();
}

TEST_F(Memory, ATruncatedOrEmptyFileIsRemovedAndNothingHeld) {
    const std::string whole = *keepingOnly(now() + 600).written();
    world.files.contents[memoryFile()] = whole.substr(0, whole.size() - 3);
    expectStartsEmpty();
}

TEST_F(Memory, AnEmptyFileIsRemovedAndNothingHeld) {
    world.files.contents[memoryFile()] = "";
    expectStartsEmpty();
}

TEST_F(Memory, AFileWhoseAppNoLongerPassesIsRemovedAndNothingHeld) {
    writeMemory(keepingOnly(now() + 600));
    world.codeSigning.sign(kAppPath, 700000123, false);
    expectStartsEmpty();
}

TEST_F(Memory, AFileKeepingAnotherAppOpenIsRemovedAndNothingHeld) {
    GuardRules other = keepingOnly(now() + 600);
    other.keepOpen->bundleID = "com.example.game";
    writeMemory(other);
    expectStartsEmpty();
}

TEST_F(Memory, NoFileAtAllStartsEmptyAndTheFailedRemovalGoesUnnoticed) {
    expectStartsEmpty();
    EXPECT_EQ(world.files.removals, 1);
    EXPECT_EQ(world.log.lines.size(), 2u) << "listening, leaving: nothing about the file";
}

TEST_F(Memory, AFileThatCannotBeRemovedStaysButIsNotTakenUp) {
    writeMemory(keepingOnly(now() - 1));
    world.files.failRemoves = true;
    startAgent();
    EXPECT_EQ(agent->heldRules(), GuardRules::none);
    EXPECT_TRUE(world.files.exists(memoryFile()));
}

}  // namespace
}  // namespace vorsel::fakes
