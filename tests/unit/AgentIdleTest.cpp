// Idle life: an agent with nothing to hold leaves 20 s after the last thing
// that kept it, and stays for as long as rules hold.
#include <thread>

#include "tests/unit/AgentTest.h"

namespace vorsel::fakes {
namespace {

using Idle = AgentTest;

TEST_F(Idle, AFreshAgentWithNoMemoryFileListensAndLeavesTwentySecondsAfterStart) {
    startAgent();
    EXPECT_EQ(world.listener.service, "TEAM42.com.ordwyn.app.guard");
    ASSERT_FALSE(world.log.lines.empty());
    EXPECT_EQ(world.log.lines.front(),
              (FakeLog::Line{LogLevel::standard, "listening as TEAM42.com.ordwyn.app.guard"}));
    EXPECT_FALSE(agent->isWatching());
    ASSERT_EQ(world.runLoop.liveTimers().size(), 1u);
    const auto timer = world.runLoop.liveTimers().front();
    EXPECT_EQ(timer.interval, 20.0);
    EXPECT_EQ(timer.tolerance, 0.0);
    EXPECT_FALSE(timer.repeats);

    advance(19.9);
    EXPECT_FALSE(left());
    advance(0.1);
    ASSERT_TRUE(left());
    EXPECT_EQ(*world.runLoop.exitStatus, 0);
    EXPECT_EQ(*world.runLoop.exitedAt, started + 20);
    EXPECT_EQ(world.log.lines.back(),
              (FakeLog::Line{LogLevel::standard, "nothing to hold: leaving until the app calls"}));
    EXPECT_EQ(world.files.writes, 0);
}

TEST_F(Idle, EachMessageRestartsTheFullCountdown) {
    startAgent();
    advance(15);
    app->version();
    world.runLoop.drain();
    EXPECT_EQ(app->versionReplies, std::vector<std::int64_t>{1});

    advance(19.5);
    app->held();
    world.runLoop.drain();
    ASSERT_EQ(app->heldReplies.size(), 1u);
    EXPECT_EQ(app->heldReplies[0], *GuardRules::none.written());

    advance(19.5);
    EXPECT_EQ(holdJson("{\"closing\": 3}"), std::nullopt);
    EXPECT_EQ(holdJson(""), std::nullopt);
    EXPECT_EQ(world.log.count(LogLevel::error, "rules it couldn't read were handed over"), 2u);
    EXPECT_EQ(agent->heldRules(), GuardRules::none);

    advance(19.9);
    EXPECT_FALSE(left());
    advance(0.1);
    ASSERT_TRUE(left());
    EXPECT_EQ(*world.runLoop.exitedAt, started + 15 + 19.5 + 19.5 + 20);
    EXPECT_EQ(world.runLoop.liveTimers().size(), 0u)
        << "no timer is left behind the one that fired";
}

TEST_F(Idle, WhileRulesHoldMessagesChangeNothingAndTheAgentLeavesTwentySecondsAfterTheyEnd) {
    startAgent();
    const GuardRules rules = listed({"com.example.chat"}, now() + 61);
    hold(rules);
    EXPECT_TRUE(agent->isWatching());
    EXPECT_FALSE(agent->isLeaving());

    for (int i = 0; i < 3; ++i) {
        advance(1);
        app->version();
        app->held();
        EXPECT_EQ(holdJson("not json"), std::nullopt);
    }
    EXPECT_FALSE(agent->isLeaving());
    ASSERT_EQ(world.runLoop.liveTimers().size(), 1u) << "only the sweep";
    EXPECT_TRUE(world.runLoop.liveTimers().front().repeats);
    EXPECT_EQ(agent->heldRules(), rules);
    EXPECT_EQ(app->heldReplies.back(), *rules.written());
    EXPECT_EQ(app->versionReplies, (std::vector<std::int64_t>{1, 1, 1}));

    // The pass at the first tick at or after the end finds the rules over.
    advanceTo(started + 62);
    EXPECT_EQ(agent->heldRules(), GuardRules::none);
    EXPECT_TRUE(agent->isLeaving());
    advance(10);
    app->version();  // pushes the exit back to 20 s after this call
    world.runLoop.drain();
    advance(19.9);
    EXPECT_FALSE(left());
    advance(0.1);
    ASSERT_TRUE(left());
    EXPECT_EQ(*world.runLoop.exitedAt, started + 62 + 10 + 20);
}

TEST_F(Idle, ALeaveTimerThatFiresWhileRulesHoldDoesNothing) {
    startAgent();
    ASSERT_TRUE(agent->isLeaving());
    // Rules that hold without a pass having run: only reachable from inside.
    GuardAgentTestPeer::setRules(*agent, listed({"com.example.chat"}, now() + 100));
    advance(20);
    EXPECT_FALSE(left());
    EXPECT_EQ(world.log.count("nothing to hold: leaving until the app calls"), 0u);
    EXPECT_FALSE(agent->isLeaving()) << "the spent timer is not re-armed";
    advance(100);
    EXPECT_FALSE(left());
}

TEST_F(Idle, MessagesRunOnTheMainThreadInArrivalOrderAndNotBefore) {
    startAgent();
    signTheApp();
    std::thread peerThread([&] {
        app->hold(*listed({"a"}, now() + 100).written());
        app->held();
        app->hold(*hardcore(listed({"a"}, now() + 100), now() + 50).written());
        app->version();
        app->held();
    });
    peerThread.join();
    EXPECT_EQ(agent->heldRules(), GuardRules::none) << "no work on the caller's thread";
    EXPECT_TRUE(app->heldReplies.empty());
    EXPECT_EQ(world.runLoop.pendingWork(), 5u);

    world.runLoop.drain();
    ASSERT_EQ(app->heldReplies.size(), 2u);
    EXPECT_EQ(app->heldReplies[0], *listed({"a"}, started + 100).written());
    EXPECT_EQ(app->heldReplies[1], *hardcore(listed({"a"}, started + 100), started + 50).written());
    EXPECT_EQ(app->versionReplies, std::vector<std::int64_t>{1});
}

TEST_F(Idle, AnAgentThatIsGoneIgnoresItsTimersAndQueuedMessages) {
    startAgent();
    app->version();
    app->hold(*listed({"a"}, now() + 100).written());
    agent.reset();
    advance(60);
    EXPECT_FALSE(left());
    EXPECT_TRUE(app->versionReplies.empty());
    EXPECT_TRUE(app->holdReplies.empty());
}

}  // namespace
}  // namespace vorsel::fakes
