// Hand-over: what the agent takes from the main app, what it saves and logs,
// and what it replies.
#include "tests/unit/AgentTest.h"

namespace vorsel::fakes {
namespace {

class HandOver : public AgentTest {
  protected:
    void SetUp() override {
        signTheApp();
        startAgent();
    }
};

TEST_F(HandOver, EveryConnectionMustBeTheGenuineMainAppAndIsServedByTheAgent) {
    FakeMainApp& second = world.listener.connect();
    for (FakeMainApp* peer : {app, &second}) {
        EXPECT_TRUE(peer->accepted);
        EXPECT_TRUE(peer->connection.resumed);
        EXPECT_EQ(peer->connection.exported, agent.get());
        EXPECT_EQ(peer->connection.requirement,
                  GuardNames::appRequirement("com.ordwyn.app", "TEAM42"));
    }
    second.version();
    world.runLoop.drain();
    EXPECT_EQ(second.versionReplies, std::vector<std::int64_t>{1});
}

TEST_F(HandOver, EveryEndIsCappedAtADayAfterTheHandOver) {
    advance(7);
    const auto held = holdAndRead(hardcore(listed({"a"}, now() + 3 * kDay), now() + 2 * kDay));
    ASSERT_TRUE(held);
    EXPECT_EQ(held->closingEnds, now() + kDay);
    EXPECT_EQ(held->keepOpen->until, now() + kDay);
    EXPECT_EQ(held->keepOpen->path, kAppPath);
    EXPECT_EQ(agent->heldRules(), *held);
    EXPECT_EQ(world.files.contents[memoryFile()], *held->written()) << "the capped rules are saved";

    const auto shorter = holdAndRead(listed({"a"}, now() + 3600));
    EXPECT_EQ(shorter->closingEnds, now() + 3600) << "an earlier end stays";
}

TEST_F(HandOver, RulesLongerThanAMegabyteAreRefusedUnreadAndChangeNothing) {
    const GuardRules rules = hardcore(listed({"com.example.chat"}, now() + 600), now() + 600);
    hold(rules);
    const std::string memory = world.files.contents[memoryFile()];

    // Valid rules padded with white space: still valid JSON, just too long.
    const std::string other = *listed({"com.example.game"}, now() + 600).written();
    EXPECT_EQ(holdJson(other + std::string(kMaxRulesSize + 1 - other.size(), ' ')), std::nullopt);
    EXPECT_EQ(agent->heldRules(), rules);
    EXPECT_EQ(world.files.contents[memoryFile()], memory);
    EXPECT_EQ(world.log.count(LogLevel::error, "rules it couldn't read were handed over"), 1u);

    // Up to the limit they are read as usual.
    const auto taken = holdJson(other + std::string(kMaxRulesSize - other.size(), ' '));
    EXPECT_EQ(taken, other);
}

TEST_F(HandOver, TheSameRulesAgainAreNeitherSavedNorLoggedButStillEnforced) {
    const GuardRules rules = hardcore(listed({"com.example.chat"}, now() + 600), now() + 600);
    hold(rules);
    EXPECT_EQ(
        world.log.count(LogLevel::standard, "holding: closing 1 listed apps, keeping the app open"),
        1u);
    const int writes = world.files.writes;
    const int removals = world.files.removals;

    auto chat = world.workspace.launch("com.example.chat");
    advance(0.5);  // between ticks: only the hand-over's own pass can act
    const auto reply = hold(rules);
    EXPECT_EQ(reply, rules.written());
    EXPECT_EQ(world.files.writes, writes);
    EXPECT_EQ(world.files.removals, removals);
    EXPECT_EQ(
        world.log.count(LogLevel::standard, "holding: closing 1 listed apps, keeping the app open"),
        1u);
    EXPECT_EQ(timesOf(AppAction::terminate, chat), std::vector<double>{0.5});
}

TEST_F(HandOver, ChangedRulesWithTheSameDescriptionAreSavedWithoutALogLine) {
    hold(hardcore(listed({"a"}, now() + 600), now() + 600));
    const auto linesBefore = world.log.lines.size();
    const GuardRules later = hardcore(listed({"b"}, now() + 900), now() + 900);
    hold(later);
    EXPECT_EQ(world.log.lines.size(), linesBefore);
    EXPECT_EQ(world.files.contents[memoryFile()], *later.written());

    hold(hardcore(listed({"b", "c"}, now() + 900), now() + 900));
    EXPECT_EQ(world.log.lines.back(),
              (FakeLog::Line{LogLevel::standard,
                             "holding: closing 2 listed apps, keeping the app open"}));
}

TEST_F(HandOver, AKeepOpenThatIsNotTheAppIsDroppedAndTheRestTaken) {
    auto chat = world.workspace.launch("com.example.chat");
    const std::string refused = "asked to keep open something that isn't the app: left aside";
    GuardRules rules = listed({"com.example.chat"}, now() + 600);

    GuardRules otherApp = rules;
    otherApp.keepOpen = Kept{"com.ordwyn.App", kAppPath, now() + 600};
    EXPECT_EQ(holdAndRead(otherApp), rules);
    EXPECT_EQ(world.log.count(LogLevel::error, refused), 1u);
    EXPECT_EQ(world.log.count(LogLevel::standard, "holding: closing 1 listed apps"), 1u);
    EXPECT_EQ(actionsOn(chat), std::vector<AppAction>{AppAction::terminate});

    EXPECT_EQ(holdAndRead(hardcore(rules, now() + 600, "/opt/Unsigned.app")), rules);
    signTheApp("opt/Ordwyn.app");
    EXPECT_EQ(holdAndRead(hardcore(rules, now() + 600, "opt/Ordwyn.app")), rules)
        << "a relative path names no bundle";
    EXPECT_EQ(world.log.count(LogLevel::error, refused), 3u);
    EXPECT_FALSE(world.files.exists(memoryFile()));
    EXPECT_TRUE(world.workspace.opened.empty());
}

TEST_F(HandOver, RulesThatAreAlreadyOverLeaveNothingHeldAndTheAgentLeaves) {
    advance(5);
    const TimePoint handedOver = now();
    const auto reply = hold(hardcore(listed({"a"}, now() - 1), now()));
    EXPECT_EQ(reply, GuardRules::none.written());
    EXPECT_EQ(agent->heldRules(), GuardRules::none);
    EXPECT_FALSE(agent->isWatching());
    EXPECT_EQ(world.workspace.liveObservations(), 0u);
    EXPECT_FALSE(world.files.exists(memoryFile()));
    advance(19.9);
    EXPECT_FALSE(left());
    advance(0.1);
    ASSERT_TRUE(left());
    EXPECT_EQ(*world.runLoop.exitedAt, handedOver + 20);
}

TEST_F(HandOver, AHandOverReadsTheClockOnceAndItsPassOnceMore) {
    advance(1);
    const int before = world.clock.reads;
    hold(hardcore(listed({"a"}, now() + 600), now() + 600));
    EXPECT_EQ(world.clock.reads - before, 2);
}

}  // namespace
}  // namespace vorsel::fakes
