// The Linux login items against real files in a temporary data folder: the
// agent declaration, the activation file and the user unit; how the session's
// user manager is found; and the window staying responsive while a slow
// manager takes its time over turning off.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>

#include "Guard/App/GuardWindow.h"
#include "Guard/Identity/GuardIdentity.h"
#include "Platform/Linux/Install/ActivationExec.h"
#include "Platform/Linux/Install/AgentDeclaration.h"
#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"
#include "WindowTestSupport.h"
#include "tests/fakes/FakeClock.h"
#include "tests/fakes/FakeFiles.h"

namespace vorsel::window_tests {
namespace {

using linux_platform::AgentDeclaration;
using linux_platform::LinuxLoginItems;

std::string declarationXml(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
           "</dict></plist>\n";
}

const std::string kGoodBody =
    "<key>Label</key><string>com.ordwyn.guard.agent</string>"
    "<key>BundleProgram</key><string>Contents/Linux/vorsel</string>"
    "<key>ProgramArguments</key><array><string>--agent</string></array>"
    "<key>MachServices</key><dict><key>.com.ordwyn.app.guard</key><true/></dict>";

class FakeSession final : public linux_platform::UserSession {
  public:
    bool managerRunning() override { return manager; }
    std::optional<std::string> reloadUnits() override {
        ++reloads;
        return reloadError;
    }
    void reloadServices() override { ++busReloads; }
    bool manager = true;
    int reloads = 0;
    int busReloads = 0;
    std::optional<std::string> reloadError;
};

class LoginItems : public TempDataTest {
  protected:
    void SetUp() override {
        TempDataTest::SetUp();
        // A bundle in a folder with a space, carrying the build's declaration.
        bundle = dataFolder() + "/My Apps/Vorsel.app";
        putDeclaration(bundle, readBuilt());
    }

    static std::string readBuilt() {
        std::ifstream in(VORSEL_BUILT_DECLARATION);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void putDeclaration(const std::string& at, const std::string& xml) {
        const std::string path = AgentDeclaration::pathIn(at);
        QDir().mkpath(QString::fromStdString(path.substr(0, path.rfind('/'))));
        std::ofstream(path) << xml;
    }
    std::string serviceFile() const {
        return dataFolder() + "/dbus-1/services/com.ordwyn.app.guard.service";
    }
    std::string unitFile() const {
        return dataFolder() + "/systemd/user/com.ordwyn.guard.agent.service";
    }
    std::optional<std::string> unregister(vorsel::LoginItems& items) {
        std::optional<std::optional<std::string>> result;
        items.unregisterAgent([&](std::optional<std::string> error) { result = error; });
        EXPECT_FALSE(result.has_value()) << "completes later, on the event loop";
        QElapsedTimer waited;
        waited.start();
        while (!result && waited.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_TRUE(result.has_value());
        return result.value_or("never completed");
    }

    std::string bundle;
    linux_platform::LinuxFiles files;
};

TEST_F(LoginItems, TheBuiltDeclarationReadsAsTheAgent) {
    const auto agent = AgentDeclaration::load(bundle);
    ASSERT_TRUE(agent.has_value());
    EXPECT_EQ(agent->label, "com.ordwyn.guard.agent");
    EXPECT_EQ(agent->program, "Contents/Linux/vorsel");
    EXPECT_EQ(agent->arguments, std::vector<std::string>{"--agent"});
    EXPECT_TRUE(agent->machService.ends_with(".com.ordwyn.app.guard")) << agent->machService;
}

TEST_F(LoginItems, UnusableDeclarationsAreNotFound) {
    const std::vector<std::string> bad = {
        "",  // not a plist at all
        "<key>Label</key><string>a label/with slash</string>"
        "<key>BundleProgram</key><string>Contents/Linux/vorsel</string>"
        "<key>MachServices</key><dict><key>.a.guard</key><true/></dict>",
        "<key>Label</key><string>com.ordwyn.guard.agent</string>"
        "<key>BundleProgram</key><string>/usr/bin/sh</string>"
        "<key>MachServices</key><dict><key>.a.guard</key><true/></dict>",
        "<key>Label</key><string>com.ordwyn.guard.agent</string>"
        "<key>BundleProgram</key><string>Contents/../../evil</string>"
        "<key>MachServices</key><dict><key>.a.guard</key><true/></dict>",
        "<key>Label</key><string>com.ordwyn.guard.agent</string>"
        "<key>BundleProgram</key><string>Contents/Linux/vorsel</string>"
        "<key>MachServices</key><dict><key>.a.guard</key><true/><key>.b.guard</key><true/></dict>",
        "<key>Label</key><string>com.ordwyn.guard.agent</string>"
        "<key>BundleProgram</key><string>Contents/Linux/vorsel</string>"
        "<key>ProgramArguments</key><string>--agent</string>"
        "<key>MachServices</key><dict><key>.a.guard</key><true/></dict>",
    };
    for (const auto& body : bad) {
        const std::string xml = body.empty() ? "not a plist" : declarationXml(body);
        EXPECT_FALSE(AgentDeclaration::parse(xml).has_value()) << body;
        putDeclaration(bundle, xml);
        LinuxLoginItems items(bundle, files, nullptr);
        EXPECT_EQ(items.status(), LoginItemStatus::notFound) << body;
        const auto error = items.registerAgent();
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->find("guard-agent.plist"), std::string::npos) << *error;
    }
    EXPECT_TRUE(AgentDeclaration::parse(declarationXml(kGoodBody)).has_value());

    LinuxLoginItems outside(std::nullopt, files, nullptr);
    EXPECT_EQ(outside.status(), LoginItemStatus::notFound);
    EXPECT_EQ(unregister(outside), std::nullopt);
}

TEST_F(LoginItems, RegisterWritesTheActivationFileAndUnregisterTakesItBack) {
    auto session = std::make_unique<FakeSession>();
    session->manager = false;
    FakeSession& recorded = *session;
    LinuxLoginItems items(bundle, files, std::move(session));
    EXPECT_EQ(items.status(), LoginItemStatus::notRegistered);

    ASSERT_EQ(items.registerAgent(), std::nullopt);
    EXPECT_EQ(items.status(), LoginItemStatus::enabled);
    const auto written = files.read(serviceFile());
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, "[D-BUS Service]\nName=com.ordwyn.app.guard\nExec=\"" + bundle +
                            "/Contents/Linux/vorsel\" --agent\n");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(unitFile())))
        << "no unit without a user manager";
    EXPECT_EQ(recorded.reloads, 0);
    EXPECT_EQ(recorded.busReloads, 1);

    // Registering again replaces the file with the same content.
    ASSERT_EQ(items.registerAgent(), std::nullopt);
    EXPECT_EQ(files.read(serviceFile()), written);

    EXPECT_EQ(unregister(items), std::nullopt);
    EXPECT_FALSE(files.read(serviceFile()).has_value());
    EXPECT_EQ(items.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(unregister(items), std::nullopt) << "nothing left to remove is no failure";
}

TEST_F(LoginItems, AnotherCopysRegistrationIsNeitherOursNorRemoved) {
    const std::string other = dataFolder() + "/Elsewhere/Vorsel.app";
    putDeclaration(other, readBuilt());
    LinuxLoginItems theirs(other, files, nullptr);
    ASSERT_EQ(theirs.registerAgent(), std::nullopt);

    LinuxLoginItems ours(bundle, files, nullptr);
    EXPECT_EQ(ours.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(unregister(ours), std::nullopt);
    EXPECT_EQ(theirs.status(), LoginItemStatus::enabled);

    // Turning on from this copy takes the registration over.
    ASSERT_EQ(ours.registerAgent(), std::nullopt);
    EXPECT_EQ(ours.status(), LoginItemStatus::enabled);
    EXPECT_EQ(theirs.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItems, WithAUserManagerAUnitIsWrittenNamedAndReloaded) {
    auto session = std::make_unique<FakeSession>();
    FakeSession& recorded = *session;
    LinuxLoginItems items(bundle, files, std::move(session));
    ASSERT_EQ(items.registerAgent(), std::nullopt);
    EXPECT_EQ(recorded.reloads, 1);
    EXPECT_EQ(recorded.busReloads, 1) << "the bus hears of the new service file";
    EXPECT_EQ(files.read(unitFile()),
              "[Unit]\nDescription=Vorsel guard agent\n\n[Service]\nType=dbus\n"
              "BusName=com.ordwyn.app.guard\nExecStart=\"" +
                  bundle +
                  "/Contents/Linux/vorsel\" --agent\n"
                  "Environment=XPC_SERVICE_NAME=com.ordwyn.guard.agent\nKillMode=process\n");
    const auto service = files.read(serviceFile());
    ASSERT_TRUE(service.has_value());
    EXPECT_NE(service->find("\nSystemdService=com.ordwyn.guard.agent.service\n"),
              std::string::npos);
    EXPECT_EQ(items.status(), LoginItemStatus::enabled);

    EXPECT_EQ(unregister(items), std::nullopt);
    EXPECT_FALSE(files.read(unitFile()).has_value());
    EXPECT_FALSE(files.read(serviceFile()).has_value());
    EXPECT_EQ(recorded.reloads, 2);
    EXPECT_EQ(recorded.busReloads, 2);
}

TEST_F(LoginItems, ARegistrationWithoutItsUnitReadsAsOffWhileAManagerRunsAndTurningOnMendsIt) {
    // Written while no manager was seen: the bus would start the agent itself.
    LinuxLoginItems early(bundle, files, std::make_unique<FakeSession>());
    {
        auto none = std::make_unique<FakeSession>();
        none->manager = false;
        LinuxLoginItems unseen(bundle, files, std::move(none));
        ASSERT_EQ(unseen.registerAgent(), std::nullopt);
        EXPECT_EQ(unseen.status(), LoginItemStatus::enabled) << "right where no manager runs";
    }
    EXPECT_EQ(early.status(), LoginItemStatus::notRegistered);

    ASSERT_EQ(early.registerAgent(), std::nullopt);
    EXPECT_EQ(early.status(), LoginItemStatus::enabled);
    EXPECT_TRUE(files.read(unitFile()).has_value());

    // A unit that went missing is as good as none.
    ASSERT_TRUE(files.remove(unitFile()));
    EXPECT_EQ(early.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItems, AFailedReloadRegistersNothing) {
    auto session = std::make_unique<FakeSession>();
    session->reloadError = "Access denied";
    LinuxLoginItems items(bundle, files, std::move(session));
    EXPECT_EQ(items.registerAgent(), "Access denied");
    EXPECT_FALSE(files.read(unitFile()).has_value());
    EXPECT_FALSE(files.read(serviceFile()).has_value());
    EXPECT_EQ(items.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItems, FileFailuresComeBackAsTheirDescription) {
    // A file where the services folder should be: even root cannot write there.
    std::ofstream(dataFolder() + "/dbus-1");
    LinuxLoginItems items(bundle, files, nullptr);
    const auto error = items.registerAgent();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(dataFolder() + "/dbus-1/services"), std::string::npos) << *error;
    EXPECT_EQ(items.status(), LoginItemStatus::notRegistered);

    fakes::FakeFiles memory;
    LinuxLoginItems failing(bundle, memory, nullptr);
    ASSERT_EQ(failing.registerAgent(), std::nullopt);
    memory.failRemoves = true;
    const auto removal = unregister(failing);
    ASSERT_TRUE(removal.has_value());
    EXPECT_NE(removal->find("Permission denied"), std::string::npos) << *removal;
    EXPECT_EQ(failing.status(), LoginItemStatus::enabled);
}

// A unix socket in `folder`, listening or (when `listen` is false) left
// behind by a program that has gone.
void putSocket(const std::string& path, bool listen, int* kept) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    if (listen) {
        ASSERT_EQ(::listen(fd, 4), 0);
        *kept = fd;
    } else {
        ::close(fd);
    }
}

TEST(UserSession, AManagerIsFoundAtItsOwnSocketOnlyWhileItListens) {
    // No session bus (the tests' main points it nowhere): only the socket tells.
    QTemporaryDir runtime;
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    auto session = linux_platform::currentUserSession();
    EXPECT_FALSE(session->managerRunning());

    const std::string socket = runtime.path().toStdString() + "/systemd/private";
    QDir().mkpath(runtime.path() + "/systemd");
    int listening = -1;
    putSocket(socket, false, &listening);
    EXPECT_FALSE(session->managerRunning()) << "a socket file left behind is no manager";
    ::unlink(socket.c_str());
    putSocket(socket, true, &listening);
    EXPECT_TRUE(session->managerRunning());
    ::close(listening);
    qputenv("XDG_RUNTIME_DIR", saved);
}

// A user manager that answers a reload only when the test lets it, or after
// ten seconds, so that nothing hangs if the caller waits on the main thread.
class SlowSession final : public linux_platform::UserSession {
  public:
    bool managerRunning() override { return true; }
    std::optional<std::string> reloadUnits() override {
        std::unique_lock<std::mutex> hold(lock);
        ++reloads;
        if (slow)
            answeredUnasked =
                !released.wait_for(hold, std::chrono::seconds(10), [this] { return answer; });
        return std::nullopt;
    }
    void reloadServices() override {}
    void letAnswer() {
        std::lock_guard<std::mutex> hold(lock);
        answer = true;
        released.notify_all();
    }

    std::mutex lock;
    std::condition_variable released;
    bool slow = false;
    bool answer = false;
    bool answeredUnasked = false;
    int reloads = 0;
};

TEST_F(LoginItems, TheWindowStaysResponsiveWhileTheManagerTakesItsTimeOverTurningOff) {
    SlowSession* manager = nullptr;
    FakeBundles bundles("/opt/Vorsel.app");  // in place, so the window offers its button
    GuardInstall install(bundles, [&] {
        auto session = std::make_unique<SlowSession>();
        manager = session.get();
        return std::make_unique<LinuxLoginItems>(bundle, files, std::move(session));
    });
    ASSERT_EQ(install.turnOn(), std::nullopt);
    manager->slow = true;
    fakes::FakeClock clock;
    const GuardIdentity identity{"com.ordwyn.guard", "com.ordwyn.app", ""};
    GuardStatusView view({install, files, clock, identity});
    auto* button = view.findChild<QPushButton*>(QStringLiteral("button"));
    ASSERT_EQ(view.shown(), GuardInstall::State::on);

    int ticks = 0;
    QTimer ticking;
    QObject::connect(&ticking, &QTimer::timeout, [&] { ++ticks; });
    ticking.start(10);
    button->click();
    button->click();  // while the first is pending: turning off again
    QElapsedTimer waited;
    waited.start();
    while (ticks < 5 && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_GE(ticks, 5) << "the event loop stalled";
    EXPECT_EQ(view.shown(), GuardInstall::State::on) << "the old state shows until it is done";
    EXPECT_EQ(button->text(), "Turn off");
    EXPECT_FALSE(view.noticeText().has_value());

    manager->letAnswer();
    while (view.foundState() != GuardInstall::State::off && waited.elapsed() < 15000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(manager->answeredUnasked) << "the reload was waited for on the main thread";
    EXPECT_EQ(view.shown(), GuardInstall::State::off);
    EXPECT_FALSE(view.noticeText().has_value()) << view.noticeText()->toStdString();
    EXPECT_FALSE(files.read(unitFile()).has_value());
    EXPECT_FALSE(files.read(serviceFile()).has_value());
    EXPECT_EQ(manager->reloads, 2) << "turning on and the first turning off; the second found "
                                      "nothing left to remove";
}

TEST(ActivationExec, OddPathsSurviveBothFormats) {
    using linux_platform::busExec;
    using linux_platform::busExecProgram;
    using linux_platform::unitExec;
    const std::vector<std::string> paths = {
        "/opt/Vorsel.app/Contents/Linux/vorsel",
        "/opt/My Apps/Vorsel.app/Contents/Linux/vorsel",
        "/opt/a \"quoted\" $HOME `x` back\\slash 100%/vorsel",
        "/opt/it's/vorsel",
    };
    for (const auto& path : paths) {
        const auto line = busExec({path, "--agent"});
        ASSERT_TRUE(line.has_value()) << path;
        EXPECT_EQ(busExecProgram(*line), path) << *line;
        EXPECT_TRUE(unitExec({path, "--agent"}).has_value());
    }
    EXPECT_EQ(busExec({"/opt/Vorsel.app/vorsel", "--agent"}), "/opt/Vorsel.app/vorsel --agent");
    EXPECT_EQ(unitExec({"/opt/100% $HOME/v"}), "\"/opt/100%% $$HOME/v\"");
    EXPECT_EQ(busExec({"/opt/line\nbreak"}), std::nullopt);
    EXPECT_EQ(unitExec({"/opt/tab\there"}), std::nullopt);
    // Hand-written files the daemon reads are understood too.
    EXPECT_EQ(busExecProgram("'/opt/My Apps/v' --agent"), "/opt/My Apps/v");
    EXPECT_EQ(busExecProgram("/opt/My\\\\ Apps/v --agent"), "/opt/My Apps/v");
    EXPECT_EQ(busExecProgram("/opt/My\\sApps/v"), "/opt/My") << "an unquoted space splits";
    EXPECT_EQ(busExecProgram("\"/opt/unterminated"), std::nullopt);
    EXPECT_EQ(busExecProgram("   "), std::nullopt);
}

}  // namespace
}  // namespace vorsel::window_tests
