// Enforcement: which running apps a pass closes, how politely, and how the
// sweep winds down when the rules run out.
#include "tests/unit/AgentTest.h"

namespace vorsel::fakes {
namespace {

using A = AppAction;

class Enforcement : public AgentTest {
  protected:
    void SetUp() override { startAgent(); }

    std::shared_ptr<FakeApp> stubborn(const std::string& id) {
        auto running = world.workspace.launch(id);
        running->ignoresTerminate = true;
        return running;
    }
};

TEST_F(Enforcement, ListedRulesCloseOnlyListedAppsAndNeverProtectedOnes) {
    world.workspace.platformSystemApps = {"org.example.Files"};
    auto chat = world.workspace.launch("com.example.chat");
    auto game = world.workspace.launch("com.example.game");
    auto notes = world.workspace.launch("com.example.notes");
    std::vector<std::shared_ptr<FakeApp>> spared;
    const std::vector<std::string> protectedIDs = {"com.apple.finder",     "com.ordwyn.app",
                                                   "com.ordwyn.app.dev",   "com.ordwyn.guard",
                                                   "com.ordwyn.guard.dev", "org.example.Files"};
    for (const auto& id : protectedIDs) spared.push_back(world.workspace.launch(id));

    std::vector<std::string> list = {"com.example.chat", "com.example.game", "com.example.chat"};
    list.insert(list.end(), protectedIDs.begin(), protectedIDs.end());
    hold(listed(list, now() + 600));

    EXPECT_EQ(actionsOn(chat), std::vector<A>{A::terminate});
    EXPECT_EQ(actionsOn(game), std::vector<A>{A::terminate});
    EXPECT_TRUE(actionsOn(notes).empty());
    for (const auto& running : spared) EXPECT_TRUE(actionsOn(running).empty()) << *running->id;
}

TEST_F(Enforcement, EveryAppButClosesAllRegularAppsExceptTheListedAndProtectedOnes) {
    auto chat = world.workspace.launch("com.example.chat");
    auto notes = world.workspace.launch("com.example.notes");
    auto finder = world.workspace.launch("com.apple.finder");
    auto ownAgentTwin = world.workspace.launch("com.ordwyn.guard");
    auto tray = world.workspace.launch("com.example.tray", ActivationPolicy::accessory);
    auto daemon = world.workspace.launch("com.example.daemon", ActivationPolicy::prohibited);
    auto anonymous = world.workspace.launch(std::nullopt);
    auto ending = world.workspace.launch("com.example.ending");
    ending->terminated = true;  // still in the snapshot, already gone

    hold(allBut({"com.example.notes"}, now() + 600));
    EXPECT_EQ(actionsOn(chat), std::vector<A>{A::terminate});
    for (const auto& running : {notes, finder, ownAgentTwin, tray, daemon, anonymous, ending})
        EXPECT_TRUE(actionsOn(running).empty()) << running->id.value_or("(no identifier)");

    hold(allBut({}, now() + 600));
    EXPECT_EQ(actionsOn(notes), std::vector<A>{A::terminate});
    EXPECT_TRUE(actionsOn(tray).empty());
}

TEST_F(Enforcement, AnAppKnownByOtherNamesTooIsNamedByAnyOfThem) {
    // One program behind two installed entries: either name is the app.
    auto editor = world.workspace.launch("org.example.Editor");
    editor->aliases = {"org.example.EditorSettings"};
    auto viewer = world.workspace.launch("org.example.Viewer");
    viewer->aliases = {"org.example.Files"};  // may be a protected app
    auto surfer = world.workspace.launch("org.example.Surfer");
    surfer->aliases = {"org.example.Web"};
    surfer->ignoresTerminate = true;
    world.workspace.platformSystemApps = {"org.example.Files"};
    world.workspace.webApps = {"org.example.Web"};

    hold(listed({"org.example.EditorSettings", "org.example.Viewer", "org.example.Surfer"},
                now() + 600));
    EXPECT_EQ(actionsOn(editor), std::vector<A>{A::terminate});
    EXPECT_TRUE(actionsOn(viewer).empty());
    advance(4);
    EXPECT_EQ(actionsOn(surfer),
              (std::vector<A>{A::hide, A::terminate, A::hide, A::terminate, A::hide, A::terminate}))
        << "a browser by any of its names is never forced";

    auto spared = world.workspace.launch("org.example.Editor");
    spared->aliases = {"org.example.EditorSettings"};
    hold(allBut({"org.example.EditorSettings"}, now() + 600));
    EXPECT_TRUE(actionsOn(spared).empty());
}

TEST_F(Enforcement, AnAppIsAskedOnEachPassForThreeSecondsAndForcedFromThreeSecondsExactly) {
    auto ignoring = stubborn("com.example.game");
    hold(listed({"com.example.game"}, now() + 600));
    advance(2);  // tick
    advance(0.75);
    world.workspace.fireLaunch();
    EXPECT_EQ(timesOf(A::terminate, ignoring), (std::vector<double>{0, 2, 2.75}));
    EXPECT_TRUE(timesOf(A::forceTerminate, ignoring).empty());
    advance(0.25);
    world.workspace.fireTermination();
    EXPECT_EQ(timesOf(A::forceTerminate, ignoring), std::vector<double>{3});
    advance(10);
    EXPECT_EQ(actionsOn(ignoring).size(), 4u) << "a forced app is gone";

    // With ticks alone, a stubborn app is asked at 0 and 2 and forced at 4.
    auto another = stubborn("com.example.chat");
    advanceTo(started + 100.5);
    const TimePoint firstAsked = now() - started;
    hold(listed({"com.example.chat"}, now() + 600));
    advance(4);
    EXPECT_EQ(timesOf(A::terminate, another), (std::vector<double>{firstAsked, firstAsked + 1.5}));
    EXPECT_EQ(timesOf(A::forceTerminate, another), std::vector<double>{firstAsked + 3.5});
}

TEST_F(Enforcement, BrowsersFixedOrLookedUpAreHiddenAndAskedButNeverForced) {
    world.workspace.webApps = {"org.example.Web"};
    auto fixed = stubborn("org.mozilla.firefox");
    auto lookedUp = stubborn("org.example.Web");
    hold(allBut({}, now() + 600));
    advance(10);
    const std::vector<A> everyPass = {A::hide, A::terminate, A::hide, A::terminate,
                                      A::hide, A::terminate, A::hide, A::terminate,
                                      A::hide, A::terminate, A::hide, A::terminate};
    EXPECT_EQ(actionsOn(fixed), everyPass);
    EXPECT_EQ(actionsOn(lookedUp), everyPass);
    ASSERT_EQ(world.workspace.probes.size(), 1u);
    EXPECT_TRUE(world.workspace.probes.front().starts_with("https://"));
}

TEST_F(Enforcement, TheBrowserLookupIsRefreshedOnlyAfterMoreThanThreeHundredSeconds) {
    world.workspace.webApps = {"org.example.Web"};
    hold(allBut({}, now() + 3600));
    ASSERT_EQ(world.workspace.probes.size(), 1u);

    world.workspace.webApps = {};  // the next lookup finds nothing
    advanceTo(started + 300);      // a tick exactly 300 s after the lookup
    EXPECT_EQ(world.workspace.probes.size(), 1u);
    auto web = stubborn("org.example.Web");
    advanceTo(started + 302);  // more than 300 s: refreshed, and the app is no browser any more
    EXPECT_EQ(world.workspace.probes.size(), 2u);
    advanceTo(started + 306);
    EXPECT_EQ(timesOf(A::terminate, web), (std::vector<double>{302, 304}));
    EXPECT_EQ(timesOf(A::forceTerminate, web), std::vector<double>{306});
    EXPECT_TRUE(timesOf(A::hide, web).empty());
}

TEST_F(Enforcement, AProcessThatStopsBeingSelectedStartsItsThreeSecondsAgain) {
    auto ignoring = stubborn("com.example.game");
    hold(listed({"com.example.game"}, now() + 600));
    advance(2.5);
    hold(listed({"com.example.chat"}, now() + 600));  // no longer selected
    advance(2);
    hold(listed({"com.example.game"}, now() + 600));  // selected anew at 4.5
    advance(3.5);
    EXPECT_EQ(timesOf(A::terminate, ignoring), (std::vector<double>{0, 2, 4.5, 6}));
    EXPECT_EQ(timesOf(A::forceTerminate, ignoring), std::vector<double>{8});
}

TEST_F(Enforcement, WhenOnlyTheClosingPartEndsItsMemoryOfRequestsGoesWithIt) {
    signTheApp();
    world.workspace.launch("com.ordwyn.app", ActivationPolicy::regular, kAppPath);
    auto ignoring = stubborn("com.example.game");
    hold(hardcore(listed({"com.example.game"}, now() + 4), now() + 600));
    advance(4.5);  // the tick at 4 is the closing part's end: nothing closed
    hold(hardcore(listed({"com.example.game"}, now() + 100), now() + 600));
    EXPECT_EQ(timesOf(A::terminate, ignoring), (std::vector<double>{0, 2, 4.5}));
    EXPECT_TRUE(timesOf(A::forceTerminate, ignoring).empty());
}

TEST_F(Enforcement, ALaunchNoticeRightAfterATickActsOnTheSameFirstRequestTimes) {
    auto ignoring = stubborn("com.example.game");
    hold(listed({"com.example.game"}, now() + 600));
    advance(2);
    world.workspace.fireLaunch();
    EXPECT_EQ(timesOf(A::terminate, ignoring), (std::vector<double>{0, 2, 2}));
    advance(1);
    world.workspace.fireLaunch();
    EXPECT_EQ(timesOf(A::forceTerminate, ignoring), std::vector<double>{3});
}

TEST_F(Enforcement, RulesRunningOutStopTheSweepSaveOnceAndLetTheAgentLeave) {
    signTheApp();
    world.workspace.launch("com.ordwyn.app", ActivationPolicy::regular, kAppPath);
    hold(hardcore(listed({"com.example.game"}, now() + 5), now() + 9));
    EXPECT_TRUE(world.files.exists(memoryFile()));
    EXPECT_EQ(world.workspace.liveObservations(), 2u);
    ASSERT_EQ(world.runLoop.liveTimers().size(), 1u);
    const auto sweep = world.runLoop.liveTimers().front();
    EXPECT_EQ(sweep.interval, 2.0);
    EXPECT_EQ(sweep.tolerance, 0.5);
    EXPECT_TRUE(sweep.repeats);
    const int removals = world.files.removals;
    const int writes = world.files.writes;

    advanceTo(started + 10);  // the tick at 10 finds both parts over
    EXPECT_FALSE(agent->isWatching());
    EXPECT_EQ(world.workspace.liveObservations(), 0u);
    EXPECT_EQ(agent->heldRules(), GuardRules::none);
    EXPECT_FALSE(world.files.exists(memoryFile()));
    EXPECT_EQ(world.files.removals, removals + 1);
    EXPECT_EQ(world.files.writes, writes);
    EXPECT_EQ(world.log.count(LogLevel::standard, "nothing holds any more"), 1u);
    ASSERT_EQ(world.runLoop.liveTimers().size(), 1u);
    EXPECT_FALSE(world.runLoop.liveTimers().front().repeats);

    advance(19.9);
    EXPECT_FALSE(left());
    advance(0.1);
    EXPECT_TRUE(left());
    EXPECT_EQ(world.files.removals, removals + 1) << "saved once";
    EXPECT_EQ(world.log.count("nothing holds any more"), 1u);
}

TEST_F(Enforcement, ANewSessionAsksAnewAnAppThatOutlivedTheLastOne) {
    auto ignoring = stubborn("com.example.game");
    hold(listed({"com.example.game"}, now() + 3));
    advance(4);  // asked at 0 and 2; the tick at 4 finds the rules over
    EXPECT_EQ(agent->heldRules(), GuardRules::none);
    hold(listed({"com.example.game"}, now() + 600));
    advance(2);
    EXPECT_EQ(timesOf(AppAction::terminate, ignoring), (std::vector<double>{0, 2, 4, 6}));
    EXPECT_TRUE(timesOf(AppAction::forceTerminate, ignoring).empty());
}

TEST_F(Enforcement, NothingIsSavedOrLoggedWhenRulesThatAreOverAlreadyAreNone) {
    const int removals = world.files.removals;
    world.workspace.fireLaunch();  // nobody listens while idle
    hold(GuardRules::none);
    EXPECT_EQ(world.files.removals, removals);
    EXPECT_EQ(world.log.count("nothing holds any more"), 0u);
    EXPECT_TRUE(agent->isLeaving());
}

}  // namespace
}  // namespace vorsel::fakes
