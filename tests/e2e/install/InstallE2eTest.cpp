// Turning Vorsel on and off end to end: GuardInstall over the real Linux
// login items registers a copy of the built Vorsel.app (in a folder whose
// name needs quoting) on a private session bus; the stand-in's next call
// starts that agent through the bus, and after turning off nothing does.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <filesystem>

#include "Guard/App/GuardInstall.h"
#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/Runtime/LinuxBundles.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"
#include "tests/e2e/support/E2eWorld.h"

namespace fs = std::filesystem;
using namespace vorsel;
using namespace vorsel::e2e;

namespace {

// The pid that owns `name` on the bus at `address`, or 0.
pid_t ownerOf(const std::string& address, const std::string& name) {
    const QString connection = QStringLiteral("install-e2e");
    pid_t pid = 0;
    {
        QDBusConnection bus =
            QDBusConnection::connectToBus(QString::fromStdString(address), connection);
        if (bus.isConnected() && bus.interface()) {
            const auto reply = bus.interface()->servicePid(QString::fromStdString(name));
            if (reply.isValid()) pid = static_cast<pid_t>(reply.value());
        }
    }
    QDBusConnection::disconnectFromBus(connection);
    return pid;
}

std::optional<std::string> unregister(LoginItems& service) {
    std::optional<std::optional<std::string>> result;
    service.unregisterAgent([&](std::optional<std::string> error) { result = error; });
    waitUntil(
        [&] {
            QCoreApplication::processEvents();
            return result.has_value();
        },
        5);
    return result.value_or("never completed");
}

}  // namespace

TEST(InstallE2e, TurningOnLetsTheNextCallStartTheAgentAndTurningOffStopsThat) {
    E2eWorld world(E2eWorld::Options{.activation = false});
    ASSERT_TRUE(world.ready()) << world.problem();

    // A user's session bus reads $XDG_DATA_HOME/dbus-1/services; this private
    // bus reads the world's service folder, so that is where it points.
    std::error_code ec;
    fs::create_directories(world.dataHome() + "/dbus-1", ec);
    fs::create_directory_symlink(world.root() + "/services", world.dataHome() + "/dbus-1/services",
                                 ec);
    ASSERT_FALSE(ec) << ec.message();
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(world.dataHome()));
    // The registration asks the session bus whether a systemd user manager
    // runs: let it ask the private one, where none does.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(world.busAddress()));

    const std::string folder = world.root() + "/My \"Apps\"";
    fs::create_directories(folder, ec);
    fs::copy(world.vorsel(), folder + "/Vorsel.app",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    ASSERT_FALSE(ec) << ec.message();
    const std::string program = folder + "/Vorsel.app/Contents/Linux/vorsel";

    const Outcome before = world.standin({"version"});
    EXPECT_NE(before.out, "1\n") << "nothing may answer before Vorsel is turned on";

    linux_platform::LinuxBundles bundles(program);
    linux_platform::LinuxFiles files;
    GuardInstall install(bundles,
                         [&] { return linux_platform::makeLoginItems(bundles.mainPath(), files); });
    ASSERT_EQ(install.turnOn(), std::nullopt);
    EXPECT_EQ(install.service().status(), LoginItemStatus::enabled);
    EXPECT_EQ(install.state(), GuardInstall::State::misplaced) << "the world lies under /tmp";

    const Outcome first = world.standin({"version"});
    ASSERT_EQ(first.out, "1\n") << first.err;
    const pid_t agent = ownerOf(world.busAddress(), world.busName());
    ASSERT_GT(agent, 0);
    EXPECT_EQ(executableOf(agent), program);

    // Turning off takes the activation file away but leaves the running agent
    // to its own lifetime rules.
    EXPECT_EQ(unregister(install.service()), std::nullopt);
    EXPECT_EQ(install.service().status(), LoginItemStatus::notRegistered);
    EXPECT_TRUE(fs::is_empty(world.root() + "/services"));
    EXPECT_FALSE(processGone(agent));
    EXPECT_EQ(world.standin({"version"}).out, "1\n");

    // Once it leaves, idle, nothing starts it again.
    ASSERT_TRUE(waitUntil([agent] { return processGone(agent); }, 30)) << "the agent stayed";
    const Outcome after = world.standin({"version"});
    EXPECT_NE(after.out, "1\n");
    EXPECT_NE(after.out.find("ServiceUnknown"), std::string::npos) << after.out << after.err;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
