// With a systemd user manager on the session bus, notices come from its unit
// signals (no /proc timer) and the opened app gets a scope of its own. The
// manager is a fake on the tests' private bus.
#include <QDBusArgument>
#include <QDBusVariant>
#include <filesystem>

#include "FakeSystemd.h"
#include "Platform/Linux/Workspace/SystemdUser.h"
#include "WorkspaceFixture.h"

namespace vorsel::testing {
namespace {

class SystemdTest : public WorkspaceTest {
  protected:
    linux_platform::LinuxWorkspace managed{loop, {0.5, true, 0, WINDOWS_MODULES}};
};

TEST_F(SystemdTest, WithoutAManagerTheProcCheckRuns) {
    auto observation = managed.observeLaunches([] {});
    EXPECT_EQ(loop.liveTimers(), 1);
}

TEST_F(SystemdTest, NoticesComeFromAppUnitsOnly) {
    FakeSystemd manager;
    ASSERT_TRUE(manager.present());
    EXPECT_TRUE(linux_platform::systemdUserManagerRuns());
    int launches = 0, terminations = 0;
    auto launched = managed.observeLaunches([&] { ++launches; });
    auto terminated = managed.observeTerminations([&] { ++terminations; });
    EXPECT_EQ(loop.liveTimers(), 0);
    ASSERT_TRUE(spinUntil([&] { return manager.callNames().contains("Subscribe"); }, 5));

    // A unit that appears has no processes yet: its start job moves them in.
    manager.sendUnitNew("app-gnome-org.example.Shown-42.scope");
    manager.sendJobRemoved("session-3.scope");
    manager.sendJobRemoved("app-gnome-org.example.Shown-41.scope", "failed");
    spinUntil([] { return false; }, 0.2);
    EXPECT_EQ(launches, 0);
    manager.sendJobRemoved("app-gnome-org.example.Shown-42.scope");
    EXPECT_TRUE(spinUntil([&] { return launches > 0; }, 5));
    manager.sendUnitRemoved("app-gnome-org.example.Shown-42.scope");
    EXPECT_TRUE(spinUntil([&] { return terminations > 0; }, 5));
    spinUntil([] { return false; }, 0.2);
    EXPECT_EQ(launches, 1);
    EXPECT_EQ(terminations, 1);

    launched.reset();
    terminated.reset();
    EXPECT_TRUE(spinUntil([&] { return manager.callNames().contains("Unsubscribe"); }, 5));
    manager.sendJobRemoved("app-gnome-org.example.Shown-43.scope");
    spinUntil([] { return false; }, 0.3);
    EXPECT_EQ(launches, 1);
}

TEST_F(SystemdTest, ANoticeMayStopTheWatchAndALaterOneStartsItAgain) {
    FakeSystemd manager;
    ASSERT_TRUE(manager.present());
    std::unique_ptr<Observation> observation;
    int calls = 0;
    observation = managed.observeLaunches([&] {
        ++calls;
        observation.reset();  // from inside the manager's signal
    });
    ASSERT_TRUE(spinUntil([&] { return manager.callNames().contains("Subscribe"); }, 5));
    manager.sendJobRemoved("app-org.example.Shown@1.service");
    manager.sendJobRemoved("app-org.example.Shown@2.service");
    ASSERT_TRUE(spinUntil([&] { return manager.callNames().contains("Unsubscribe"); }, 5));
    spinUntil([] { return false; }, 0.2);
    EXPECT_EQ(calls, 1);

    auto again = managed.observeTerminations([] {});
    ASSERT_TRUE(spinUntil([&] { return manager.callNames().count("Subscribe") == 2; }, 5));
    EXPECT_EQ(manager.callNames(), (QStringList{"Subscribe", "Unsubscribe", "Subscribe"}));
}

TEST_F(SystemdTest, TheOpenedAppIsMovedIntoAScopeOfItsOwn) {
    FakeSystemd manager;
    ASSERT_TRUE(manager.present());
    std::string app = bundle({"Scoped", "test.scoped-app"});
    std::string pidFile = dir.path() + "/scoped.pid";
    ::setenv("WAITER_PIDFILE", pidFile.c_str(), 1);
    managed.openInBackground(app);
    ::unsetenv("WAITER_PIDFILE");
    ASSERT_TRUE(spinUntil([&] { return std::filesystem::exists(pidFile); }, 5));
    uint pid = static_cast<uint>(std::stoi(readFile(pidFile)));
    ASSERT_TRUE(spinUntil([&] { return manager.callNames().contains("StartTransientUnit"); }, 5));

    QDBusMessage call = manager.calls().back();
    ASSERT_EQ(call.signature(), "ssa(sv)a(sa(sv))");
    EXPECT_EQ(call.arguments()[0].toString(),
              QStringLiteral("app-vorsel-test.scoped\\x2dapp-%1.scope").arg(pid));
    EXPECT_EQ(call.arguments()[1].toString(), "fail");
    QList<uint> pids;
    const QDBusArgument properties = call.arguments()[2].value<QDBusArgument>();
    properties.beginArray();
    while (!properties.atEnd()) {
        QString name;
        QDBusVariant value;
        properties.beginStructure();
        properties >> name >> value;
        properties.endStructure();
        if (name == "PIDs") pids = qdbus_cast<QList<uint>>(value.variant());
    }
    properties.endArray();
    EXPECT_EQ(pids, QList<uint>{pid});
    ::kill(static_cast<pid_t>(pid), SIGKILL);  // the process this test opened
}

}  // namespace
}  // namespace vorsel::testing
