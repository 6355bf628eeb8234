// The Linux login items against real files in a temporary data folder: the
// agent declaration, the activation file and the user unit.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <fstream>

#include "Platform/Linux/Install/AgentDeclaration.h"
#include "Platform/Linux/Install/ExecLine.h"
#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/LinuxFiles.h"
#include "WindowTestSupport.h"
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
        QCoreApplication::processEvents();
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

TEST(ExecLine, OddPathsSurviveBothFormats) {
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
