// Apps that answer a request to quit with a dialog: paused instead of forced,
// thawed when the rules let them go, remembered across a restart.
#include "tests/unit/AgentTest.h"

namespace vorsel::fakes {
namespace {

using A = AppAction;

constexpr const char* kWhy =
    ": it showed a dialog when asked to quit, so it waits frozen with its windows hidden until "
    "the session lets it go";

class Pause : public AgentTest {
  protected:
    void SetUp() override { signTheApp(); }

    std::string pausesFile() const {
        return std::string(kFakeDataFolder) + "/com.ordwyn.guard/guard-paused.json";
    }
    std::shared_ptr<FakeApp> editor(const std::string& id = "org.example.Editor") {
        auto running = world.workspace.launch(id);
        running->showsDialog = true;
        return running;
    }
    static std::string pinOf(const std::shared_ptr<FakeApp>& running) {
        return "pin-" + std::to_string(running->pid);
    }
};

TEST_F(Pause, AnAppAnsweringWithADialogIsPausedNotForcedUntilTheRulesLetItGo) {
    startAgent();
    auto typed = editor();
    auto stubborn = world.workspace.launch("org.example.Stubborn");
    stubborn->ignoresTerminate = true;
    auto surfer = editor("org.example.Surfer");
    world.workspace.webApps = {"org.example.Surfer"};
    hold(listed({"org.example.Editor", "org.example.Stubborn", "org.example.Surfer"}, now() + 600));

    advance(10);
    EXPECT_EQ(world.workspace.count(A::forceTerminate, typed->pid), 0u);
    const std::vector<double> paused = timesOf(A::pause, typed);
    ASSERT_FALSE(paused.empty());
    EXPECT_GE(paused.front(), 3.0) << "paused where it would have been forced";
    EXPECT_LT(timesOf(A::terminate, typed).back(), paused.front()) << "never asked once paused";
    EXPECT_GE(paused.size(), 3u) << "each pass pauses again what the user may have resumed";
    EXPECT_EQ(world.log.count("paused org.example.Editor" + std::string(kWhy)), 1u);
    EXPECT_TRUE(world.files.exists(pausesFile()));
    EXPECT_EQ(world.workspace.count(A::forceTerminate, stubborn->pid), 1u) << "no dialog: forced";
    EXPECT_EQ(world.workspace.count(A::pause, surfer->pid), 0u) << "a browser is only asked";
    EXPECT_TRUE(world.workspace.thawed.empty());

    // A session that no longer closes it lets it go.
    hold(listed({"org.example.Stubborn"}, now() + 600));
    EXPECT_EQ(world.workspace.thawed, std::vector<std::string>{pinOf(typed)});
    EXPECT_EQ(world.log.count("thawed org.example.Editor"), 1u);
    EXPECT_FALSE(world.files.exists(pausesFile()));
    const std::size_t actions = actionsOn(typed).size();
    advance(10);
    EXPECT_EQ(actionsOn(typed).size(), actions);
    EXPECT_EQ(world.workspace.thawed.size(), 1u);
}

TEST_F(Pause, TheEndOfTheSessionThawsAndAnAppThatCannotBePausedIsForced) {
    startAgent();
    auto typed = editor();
    auto unhideable = editor("org.example.Painter");
    unhideable->pausable = false;
    hold(listed({"org.example.Editor", "org.example.Painter"}, now() + 60));
    advance(5);
    EXPECT_EQ(world.workspace.count(A::forceTerminate, unhideable->pid), 1u);
    EXPECT_EQ(world.log.count("couldn't pause org.example.Painter, which showed a dialog, as its "
                              "windows can't be hidden: forcing it to quit"),
              1u);
    EXPECT_TRUE(world.workspace.thawed.empty());

    advance(60);
    EXPECT_EQ(world.workspace.thawed, std::vector<std::string>{pinOf(typed)});
    EXPECT_FALSE(world.files.exists(pausesFile()));
    advance(20);
    EXPECT_TRUE(left());
}

// Killed while it held an app paused: the next agent thaws it, unless the
// Hardcore session it restores still closes it.
TEST_F(Pause, ANewAgentThawsWhatTheRestoredRulesNoLongerClose) {
    startAgent();
    auto typed = editor();
    auto other = editor("org.example.Notes");
    hold(hardcore(listed({"org.example.Editor", "org.example.Notes"}, now() + 600), now() + 600));
    advance(5);
    ASSERT_GT(world.workspace.count(A::pause, typed->pid), 0u);
    agent.reset();  // killed: nothing is thawed
    EXPECT_TRUE(world.workspace.thawed.empty());

    // The Hardcore session still closes the editor but no longer the notes.
    world.files.contents[memoryFile()] =
        *hardcore(listed({"org.example.Editor"}, now() + 600), now() + 600).written();
    const std::size_t asked = world.workspace.count(A::terminate, typed->pid);
    startAgent();
    EXPECT_EQ(world.workspace.thawed, std::vector<std::string>{pinOf(other)});
    advance(5);
    EXPECT_EQ(world.workspace.count(A::terminate, typed->pid), asked) << "still paused";
    EXPECT_EQ(world.workspace.count(A::forceTerminate, typed->pid), 0u);

    // Killed again, and the memory file is gone (the session ended meanwhile).
    agent.reset();
    world.files.contents.erase(memoryFile());
    startAgent();
    EXPECT_EQ(world.workspace.thawed.back(), pinOf(typed));
    EXPECT_FALSE(world.files.exists(pausesFile()));
}

TEST_F(Pause, AFileOfPausedAppsThatDoesNotReadIsLeftAside) {
    for (const char* text :
         {"", "{", "[]", R"({"paused":7})",
          R"({"paused":[1,{"pid":-3,"app":"a","pin":"p"},{"pid":5,"app":2}]})"}) {
        world.files.contents[pausesFile()] = text;
        startAgent();
        EXPECT_TRUE(world.workspace.thawed.empty()) << text;
        agent.reset();
    }
    world.files.contents[pausesFile()] = R"({"paused":[{"pid":5,"app":"a","pin":"p"}]})";
    startAgent();
    EXPECT_EQ(world.workspace.thawed, std::vector<std::string>{"p"});
}

}  // namespace
}  // namespace vorsel::fakes
