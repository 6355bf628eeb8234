// The D-Bus link on a private bus, with a stand-in caller check: peers are
// judged once, refused ones never reach the handler, replies wait for the
// handler, verdicts are forgotten with their names, and the listener gives
// up when the name is taken or the bus goes away.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QXmlStreamReader>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include "Platform/Linux/BusName.h"
#include "Platform/Linux/System/DBusLinkListener.h"
#include "tests/e2e/support/PrivateBus.h"
#include "tests/platform/system/SystemTesting.h"

using namespace vorsel;
using linux_platform::DBusLinkListener;
using vorsel::testing::spinFor;
using vorsel::testing::spinUntil;

namespace {

constexpr const char* kService = ".com.ordwyn.app.guard";
constexpr const char* kName = "com.ordwyn.app.guard";
constexpr const char* kRequirement = "identifier \"com.ordwyn.app\"";

class RecordingLoop final : public RunLoop {
  public:
    std::unique_ptr<Timer> schedule(double, double, bool, std::function<void()>) override {
        return nullptr;
    }
    void post(std::function<void()> work) override { work(); }
    void exit(int status) override { exits.push_back(status); }
    std::vector<int> exits;
};

class RecordingLog final : public Log {
  public:
    void write(LogLevel level, std::string_view message) override {
        lines.push_back((level == LogLevel::error ? "error: " : "") + std::string(message));
    }
    std::vector<std::string> lines;
};

// Records each call and keeps its reply until the test sends it.
class Handler final : public LinkHandler {
  public:
    void version(std::function<void(std::int64_t)> reply) override {
        calls.push_back("version");
        replies.push_back([reply] { reply(1); });
    }
    void hold(std::string rules, std::function<void(std::optional<std::string>)> reply) override {
        calls.push_back("hold " + rules);
        replies.push_back([reply, rules] {
            reply(rules == "bad" ? std::nullopt : std::optional("held " + rules));
        });
    }
    void held(std::function<void(std::string)> reply) override {
        calls.push_back("held");
        replies.push_back([reply] { reply("the rules"); });
    }
    void replyAll() {
        while (!replies.empty()) {
            replies.front()();
            replies.pop_front();
        }
    }
    std::vector<std::string> calls;
    std::deque<std::function<void()>> replies;
};

class Delegate final : public LinkListenerDelegate {
  public:
    explicit Delegate(LinkHandler& handler) : handler_(handler) {}
    bool shouldAcceptNewConnection(LinkConnection& connection) override {
        ++accepted;
        connection.setCodeSigningRequirement(kRequirement);
        connection.setExportedObject(&handler_);
        connection.resume();
        return true;
    }
    int accepted = 0;

  private:
    LinkHandler& handler_;
};

// The methods of the link's interface in a D-Bus introspection text, each as
// "<in signature> -> <out signature>"; names of arguments do not matter to callers.
std::map<std::string, std::string> linkMethods(const QString& xml) {
    std::map<std::string, std::string> methods;
    QXmlStreamReader reader(xml);
    bool inLink = false;
    std::string method, in, out;
    while (!reader.atEnd()) {
        reader.readNext();
        const auto name = reader.name();
        const auto attribute = [&](const char* key) {
            return reader.attributes().value(QLatin1String(key)).toString().toStdString();
        };
        if (reader.isStartElement() && name == QLatin1String("interface")) {
            inLink = attribute("name") == linux_platform::kLinkInterface;
        } else if (inLink && reader.isStartElement() && name != QLatin1String("arg") &&
                   name != QLatin1String("annotation")) {
            method = name.toString().toStdString() + " " + attribute("name");
            in.clear();
            out.clear();
        } else if (inLink && reader.isStartElement() && name == QLatin1String("arg")) {
            (attribute("direction") == "in" ? in : out) += attribute("type");
        } else if (inLink && reader.isEndElement() && !method.empty() &&
                   name != QLatin1String("arg") && name != QLatin1String("annotation")) {
            methods[method] = in + " -> " + out;
            method.clear();
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return methods;
}

struct Judgement {
    std::uint32_t uid;
    std::int32_t pid;
    std::string requirement;
};

class LinkListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_ = std::make_unique<e2e::PrivateBus>(folder_.path(), folder_.path() + "/services",
                                                 e2e::Environment{{"PATH", "/usr/bin:/bin"}});
        ASSERT_TRUE(bus_->ready()) << bus_->problem();
        server_ = std::make_unique<QDBusConnection>(connect("server"));
        ASSERT_TRUE(server_->isConnected());
        listener_ = std::make_unique<DBusLinkListener>(
            loop_, log_,
            [this](std::uint32_t uid, std::int32_t pid, const std::string& requirement) {
                std::lock_guard lock(mutex_);
                judgements_.push_back({uid, pid, requirement});
                return genuine_.load();
            },
            *server_);
    }

    void TearDown() override {
        listener_.reset();
        for (const auto& name : names_) QDBusConnection::disconnectFromBus(name);
    }

    QDBusConnection connect(const std::string& role) {
        static int count = 0;
        const QString name = QString::fromStdString(role + std::to_string(++count));
        names_.push_back(name);
        return QDBusConnection::connectToBus(QString::fromStdString(bus_->address()), name);
    }

    QDBusPendingCall call(const QDBusConnection& client, const QString& member,
                          const QVariantList& arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            kName, linux_platform::kLinkPath, linux_platform::kLinkInterface, member);
        message.setArguments(arguments);
        return client.asyncCall(message);
    }

    std::vector<Judgement> judgements() {
        std::lock_guard lock(mutex_);
        return judgements_;
    }

    e2e::TempFolder folder_{"vorsel-link"};
    std::unique_ptr<e2e::PrivateBus> bus_;
    std::vector<QString> names_;
    std::unique_ptr<QDBusConnection> server_;
    RecordingLoop loop_;
    RecordingLog log_;
    Handler handler_;
    Delegate delegate_{handler_};
    std::atomic<bool> genuine_{true};
    std::mutex mutex_;
    std::vector<Judgement> judgements_;
    std::unique_ptr<DBusLinkListener> listener_;
};

}  // namespace

TEST_F(LinkListenerTest, AGenuineCallerIsJudgedOnceAndAnsweredWhenTheHandlerReplies) {
    listener_->listen(kService, delegate_);
    ASSERT_TRUE(loop_.exits.empty()) << log_.lines.front();
    const QDBusConnection client = connect("client");

    auto version = call(client, "Version");
    auto hold = call(client, "Hold", {QByteArray("rules")});
    auto bad = call(client, "Hold", {QByteArray("bad")});
    auto held = call(client, "Held");
    ASSERT_TRUE(spinUntil([&] { return handler_.calls.size() == 4; }));
    EXPECT_EQ(handler_.calls,
              (std::vector<std::string>{"version", "hold rules", "hold bad", "held"}));

    // Nothing is answered before the handler replies.
    spinFor(0.1);
    EXPECT_FALSE(version.isFinished());
    EXPECT_FALSE(held.isFinished());
    handler_.replyAll();
    ASSERT_TRUE(spinUntil([&] { return held.isFinished(); }));
    ASSERT_FALSE(version.isError()) << version.error().message().toStdString();
    EXPECT_EQ(version.reply().arguments().value(0).toLongLong(), 1);
    EXPECT_EQ(hold.reply().arguments(), (QVariantList{true, QByteArray("held rules")}));
    EXPECT_EQ(bad.reply().arguments(), (QVariantList{false, QByteArray()}));
    EXPECT_EQ(held.reply().arguments(), (QVariantList{QByteArray("the rules")}));

    const auto judged = judgements();
    ASSERT_EQ(judged.size(), 1u);
    EXPECT_EQ(judged[0].uid, ::getuid());
    EXPECT_EQ(judged[0].pid, ::getpid());
    EXPECT_EQ(judged[0].requirement, kRequirement);
    EXPECT_EQ(delegate_.accepted, 1);
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(LinkListenerTest, ARefusedCallerIsDeniedAndTheHandlerNeverHearsOfIt) {
    genuine_ = false;
    listener_->listen(kService, delegate_);
    const QDBusConnection client = connect("client");

    std::vector<QDBusPendingCall> calls{
        call(client, "Version"), call(client, "Hold", {QByteArray("rules")}), call(client, "Held")};
    ASSERT_TRUE(spinUntil([&] { return calls.back().isFinished(); }));
    calls.push_back(call(client, "Version"));  // a verdict, once given, stands
    ASSERT_TRUE(spinUntil([&] { return calls.back().isFinished(); }));
    for (const auto& answered : calls)
        EXPECT_EQ(answered.error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_TRUE(handler_.calls.empty());
    EXPECT_EQ(judgements().size(), 1u);
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(LinkListenerTest, CallsThatDoNotFitTheInterfaceNeverReachTheHandler) {
    listener_->listen(kService, delegate_);
    const QDBusConnection client = connect("client");
    auto wrongType = call(client, "Hold", {QString("text, not bytes")});
    auto unknown = call(client, "Quit");
    ASSERT_TRUE(spinUntil([&] { return wrongType.isFinished() && unknown.isFinished(); }));
    EXPECT_TRUE(wrongType.isError());
    EXPECT_TRUE(unknown.isError());
    spinFor(0.05);
    EXPECT_TRUE(handler_.calls.empty());
}

// The description that the package installs for callers is the interface the
// link really serves, and reading it is nobody's call.
TEST_F(LinkListenerTest, TheInstalledDescriptionIsTheServedInterface) {
    listener_->listen(kService, delegate_);
    const QDBusConnection client = connect("client");
    QDBusMessage introspect = QDBusMessage::createMethodCall(
        kName, linux_platform::kLinkPath, "org.freedesktop.DBus.Introspectable", "Introspect");
    auto served = client.asyncCall(introspect);
    ASSERT_TRUE(spinUntil([&] { return served.isFinished(); }));
    ASSERT_FALSE(served.isError()) << served.error().message().toStdString();

    QFile file(VORSEL_LINK_DESCRIPTION);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << VORSEL_LINK_DESCRIPTION;
    const auto described = linkMethods(QString::fromUtf8(file.readAll()));
    EXPECT_EQ(described.at("method Hold"), "ay -> bay");
    EXPECT_EQ(linkMethods(served.reply().arguments().value(0).toString()), described);
    EXPECT_TRUE(handler_.calls.empty());
    EXPECT_TRUE(judgements().empty());
}

TEST_F(LinkListenerTest, EachPeerIsJudgedAndItsVerdictForgottenWhenItLeaves) {
    listener_->listen(kService, delegate_);
    {
        const QDBusConnection first = connect("first");
        const QDBusConnection second = connect("second");
        auto a = call(first, "Version");
        auto b = call(second, "Version");
        ASSERT_TRUE(spinUntil([&] { return handler_.calls.size() == 2; }));
        handler_.replyAll();
        ASSERT_TRUE(spinUntil([&] { return a.isFinished() && b.isFinished(); }));
        EXPECT_EQ(judgements().size(), 2u);
        EXPECT_EQ(delegate_.accepted, 2);
        EXPECT_EQ(listener_->peersKnown(), 2u);
    }
    for (const auto& name : names_)
        if (!name.startsWith("server")) QDBusConnection::disconnectFromBus(name);
    EXPECT_TRUE(spinUntil([&] { return listener_->peersKnown() == 0; }));
}

TEST_F(LinkListenerTest, ACallerThatLeavesRightAfterItsCallIsForgotten) {
    listener_->listen(kService, delegate_);
    {
        const QDBusConnection client = connect("brief");
        call(client, "Version");
    }
    QDBusConnection::disconnectFromBus(names_.back());  // gone with its last user
    // Whatever the order of call, verdict and farewell, nothing stays behind.
    spinFor(0.2);
    EXPECT_TRUE(spinUntil([&] { return listener_->peersKnown() == 0; }));
    spinFor(0.1);
    EXPECT_EQ(listener_->peersKnown(), 0u);
}

TEST_F(LinkListenerTest, ATakenNameEndsTheProcessWithAnError) {
    QDBusConnection other = connect("other");
    ASSERT_TRUE(other.interface()->registerService(kName).isValid());
    EXPECT_FALSE(listener_->listen(kService, delegate_));
    EXPECT_EQ(loop_.exits, std::vector<int>{1});
    ASSERT_EQ(log_.lines.size(), 1u);
    EXPECT_EQ(log_.lines[0], std::string("error: another process owns ") + kName + ": leaving");
}

TEST_F(LinkListenerTest, LosingTheBusEndsTheProcess) {
    listener_->listen(kService, delegate_);
    ASSERT_TRUE(loop_.exits.empty());
    EXPECT_EQ(linux_platform::busName(kService), kName);
    bus_->stop();
    ASSERT_TRUE(spinUntil([&] { return !loop_.exits.empty(); }));
    EXPECT_EQ(loop_.exits, std::vector<int>{1});
    EXPECT_EQ(log_.lines, std::vector<std::string>{"error: lost the session bus: leaving"});
}
