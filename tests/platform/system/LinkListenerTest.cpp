// The D-Bus link on a private bus, with a stand-in caller check: senders are
// judged once per connection and again when they change, calls must prove
// their sender, refused ones never reach the handler, replies wait for the
// handler, waiting is bounded, verdicts are forgotten with their names, and
// the listener gives up when the name is taken or the bus goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QSocketNotifier>
#include <QXmlStreamReader>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "Platform/Linux/Link/BusSocket.h"
#include "Platform/Linux/Link/CallerProcess.h"
#include "Platform/Linux/Link/Client/VorselLink.h"
#include "Platform/Linux/Link/DBusLinkListener.h"
#include "Platform/Linux/Link/DBusLinkProof.h"
#include "Platform/Linux/Runtime/BusName.h"
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
            const bool unreadable = rules == "bad" || rules.empty();
            reply(unreadable ? std::nullopt : std::optional("held " + rules));
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
    explicit Delegate(LinkHandler& handler) : handler(handler) {}
    bool shouldAcceptNewConnection(LinkConnection& connection) override {
        ++accepted;
        connection.setCodeSigningRequirement(kRequirement);
        connection.setExportedObject(&handler);
        connection.resume();
        return true;
    }
    int accepted = 0;

  private:
    LinkHandler& handler;
};

// Proofs made by a child process of ours when asked, for calls on the
// connection `busName` over `busSocket` (ours, which it inherits; by default
// a socket of its own, which names no bus); it answers their challenges and
// stays up until it is ended, and maps a file executable when told, as
// loading a library does.
class ProvingChild {
  public:
    // With `count` proofs made at once.
    explicit ProvingChild(int count = 1, std::string busName = ":none", int busSocket = -1)
        : guardBusName(std::move(busName)) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
        processId = ::fork();
        if (processId == 0) serve(pair[1], busSocket);
        ::close(pair[1]);
        socket = pair[0];
        for (int i = 0; i < count; ++i) prove();
    }
    ~ProvingChild() {
        end();
        for (int fd : proofs)
            if (fd >= 0) ::close(fd);
    }
    void end() {
        if (socket >= 0) ::close(socket);
        socket = -1;
        if (processId <= 0) return;
        ::kill(processId, SIGKILL);
        ::waitpid(processId, nullptr, 0);
        processId = -1;
    }
    pid_t pid() const { return processId; }
    // A proof that the child calls Version.
    int proof(int index = 0) const { return proofs.at(index); }
    // One more such proof, made by the child now.
    int prove() {
        const std::string command = "p" + guardBusName;
        const int fd = ::send(socket, command.data(), command.size(), 0) ==
                               static_cast<ssize_t>(command.size())
                           ? receive(socket)
                           : -1;
        proofs.push_back(fd);
        return fd;
    }
    bool mapExecutable(const std::string& file) {
        const std::string command = "m" + file;
        char done = 0;
        return ::send(socket, command.data(), command.size(), 0) ==
                   static_cast<ssize_t>(command.size()) &&
               ::recv(socket, &done, 1, 0) == 1 && done == 'y';
    }

  private:
    static int receive(int socket) {
        std::vector<linux_platform::UniqueFd> fds;
        char byte = 0;
        if (linux_platform::receiveWithDescriptors(socket, {&byte, 1}, fds) != 1 || fds.size() != 1)
            return -1;
        return fds.front().release();
    }

    [[noreturn]] static void serve(int socket, int busSocket) {
        int own[2];
        if (busSocket < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, own) == 0)
            busSocket = own[0];
        std::vector<VorselLinkProof> kept;
        for (;;) {
            std::vector<pollfd> watched{{socket, POLLIN, 0}};
            for (const auto& proof : kept) watched.push_back({proof.kept, POLLIN, 0});
            if (::poll(watched.data(), watched.size(), -1) < 0) continue;
            for (std::size_t i = kept.size(); i > 0; --i) {
                if (!watched[i].revents) continue;
                vorselLinkAnswerChallenge(&kept[i - 1], 0);
                vorselLinkCloseProof(&kept[i - 1]);
                kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i - 1));
            }
            if (!watched[0].revents) continue;
            char command[4096];
            const ssize_t got = ::recv(socket, command, sizeof command, 0);
            if (got <= 0) ::_exit(0);
            const std::string argument(command + 1, static_cast<std::size_t>(got - 1));
            if (command[0] == 'p') {
                VorselLinkProof proof;
                if (vorselLinkProveCall(&proof, busSocket, argument.c_str(), "Version", nullptr,
                                        0) != 0 ||
                    linux_platform::sendWithDescriptors(socket, "p", {&proof.passed, 1}) != 1)
                    ::_exit(1);
                vorselLinkCloseEnd(&proof.passed);
                kept.push_back(proof);
            } else if (command[0] == 'm') {
                const int fd = ::open(argument.c_str(), O_RDONLY | O_CLOEXEC);
                const bool mapped = fd >= 0 && ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC,
                                                      MAP_PRIVATE, fd, 0) != MAP_FAILED;
                const char done = mapped ? 'y' : 'n';
                if (::send(socket, &done, 1, 0) != 1) ::_exit(1);
            }
        }
    }

    std::string guardBusName;
    pid_t processId = -1;
    int socket = -1;
    std::vector<int> proofs;
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
        busConnection =
            std::make_unique<e2e::PrivateBus>(folder.path(), folder.path() + "/services",
                                              e2e::Environment{{"PATH", "/usr/bin:/bin"}});
        ASSERT_TRUE(busConnection->ready()) << busConnection->problem();
        server = std::make_unique<QDBusConnection>(connect("server"));
        ASSERT_TRUE(server->isConnected());
        listener = makeListener({});
    }

    std::unique_ptr<DBusLinkListener> makeListener(linux_platform::LinkOptions options) {
        if (options.ptraceScope == linux_platform::LinkOptions{}.ptraceScope)
            options.ptraceScope.clear();  // this machine's kernel is no test's business
        return std::make_unique<DBusLinkListener>(
            loop, log,
            [this](std::uint32_t uid, std::int32_t pid, const std::string& requirement) {
                {
                    std::lock_guard lock(mutex);
                    recordedJudgements.push_back({uid, pid, requirement});
                }
                while (holdVerdicts) ::usleep(1000);
                return genuine.load();
            },
            *server, std::move(options));
    }

    void TearDown() override {
        // A story that failed while verdicts were held must not leave the
        // listener waiting for them as it goes.
        holdVerdicts = false;
        listener.reset();
        for (auto& proof : proofs) vorselLinkCloseProof(&proof);
        for (const auto& name : names) QDBusConnection::disconnectFromBus(name);
    }

    QDBusConnection connect(const std::string& role) {
        static int count = 0;
        const QString name = QString::fromStdString(role + std::to_string(++count));
        names.push_back(name);
        return QDBusConnection::connectToBus(QString::fromStdString(busConnection->address()),
                                             name);
    }

    // A call of `member`, with the proof that this process makes it, its
    // challenge answered when it comes unless `answer` is false.
    QDBusPendingCall call(const QDBusConnection& client, const QString& member,
                          const QByteArray& rules = {}, bool answer = true) {
        VorselLinkProof& proof = prove(client, member, rules);
        auto pending = callWith(client, member, rules, proof.passed);
        vorselLinkCloseEnd(&proof.passed);
        if (answer) answerLater(proof);
        return pending;
    }

    VorselLinkProof& prove(const QDBusConnection& client, const QString& member,
                           const QByteArray& rules) {
        return proveOn(linux_platform::busSocketOf(client), client, member, rules);
    }

    // The same, naming the bus that `busSocket` leads to.
    VorselLinkProof& proveOn(int busSocket, const QDBusConnection& client, const QString& member,
                             const QByteArray& rules) {
        VorselLinkProof& proof = proofs.emplace_back();
        EXPECT_EQ(vorselLinkProveCall(&proof, busSocket, client.baseService().toUtf8().constData(),
                                      member.toUtf8().constData(), rules.constData(),
                                      static_cast<size_t>(rules.size())),
                  0);
        return proof;
    }

    // Answers the challenge of `proof` from the loop, as the app does.
    void answerLater(VorselLinkProof& proof) {
        auto* notifier = new QSocketNotifier(proof.kept, QSocketNotifier::Read, &answerers);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [&proof, notifier] {
            vorselLinkAnswerChallenge(&proof, 0);
            notifier->setEnabled(false);
        });
    }

    // A call of `member` carrying `proof` as it is, and `rules` for Hold.
    QDBusPendingCall callWith(const QDBusConnection& client, const QString& member,
                              const QByteArray& rules, int proof) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            kName, linux_platform::kLinkPath, linux_platform::kLinkInterface, member);
        if (member == "Hold") message << rules;
        message << QVariant::fromValue(QDBusUnixFileDescriptor(proof));
        return client.asyncCall(message);
    }

    QDBusPendingCall bareCall(const QDBusConnection& client, const QString& member,
                              const QVariantList& arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            kName, linux_platform::kLinkPath, linux_platform::kLinkInterface, member);
        message.setArguments(arguments);
        return client.asyncCall(message);
    }

    std::vector<Judgement> judgements() {
        std::lock_guard lock(mutex);
        return recordedJudgements;
    }

    e2e::TempFolder folder{"vorsel-link"};
    std::unique_ptr<e2e::PrivateBus> busConnection;
    std::vector<QString> names;
    std::unique_ptr<QDBusConnection> server;
    RecordingLoop loop;
    RecordingLog log;
    Handler handler;
    Delegate delegate{handler};
    std::atomic<bool> genuine{true};
    std::atomic<bool> holdVerdicts{false};
    std::mutex mutex;
    std::vector<Judgement> recordedJudgements;
    std::deque<VorselLinkProof> proofs;
    QObject answerers;
    std::unique_ptr<DBusLinkListener> listener;
};

}  // namespace

TEST_F(LinkListenerTest, AGenuineCallerIsJudgedOnceAndAnsweredWhenTheHandlerReplies) {
    listener->listen(kService, delegate);
    ASSERT_TRUE(loop.exits.empty()) << log.lines.front();
    const QDBusConnection client = connect("client");

    auto version = call(client, "Version");
    auto hold = call(client, "Hold", QByteArray("rules"));
    auto bad = call(client, "Hold", QByteArray("bad"));
    auto held = call(client, "Held");
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 4; }));
    EXPECT_EQ(handler.calls,
              (std::vector<std::string>{"version", "hold rules", "hold bad", "held"}));

    // Nothing is answered before the handler replies.
    spinFor(0.1);
    EXPECT_FALSE(version.isFinished());
    EXPECT_FALSE(held.isFinished());
    handler.replyAll();
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
    EXPECT_EQ(delegate.accepted, 1);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(LinkListenerTest, ARefusedCallerIsDeniedAndTheHandlerNeverHearsOfIt) {
    genuine = false;
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");

    std::vector<QDBusPendingCall> calls{
        call(client, "Version"), call(client, "Hold", QByteArray("rules")), call(client, "Held")};
    ASSERT_TRUE(spinUntil([&] { return calls.back().isFinished(); }));
    calls.push_back(call(client, "Version"));  // a verdict, once given, stands
    ASSERT_TRUE(spinUntil([&] { return calls.back().isFinished(); }));
    for (const auto& answered : calls)
        EXPECT_EQ(answered.error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_TRUE(handler.calls.empty());
    EXPECT_EQ(judgements().size(), 1u);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(LinkListenerTest, CallsThatDoNotFitTheInterfaceNeverReachTheHandler) {
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");
    auto wrongType = bareCall(client, "Hold", {QString("text, not bytes")});
    auto unknown = bareCall(client, "Quit");
    // The forms of before, without a proof of their sender.
    auto unproven = bareCall(client, "Version");
    auto unprovenHold = bareCall(client, "Hold", {QByteArray("rules")});
    ASSERT_TRUE(spinUntil([&] {
        return wrongType.isFinished() && unknown.isFinished() && unproven.isFinished() &&
               unprovenHold.isFinished();
    }));
    for (const auto* refused : {&wrongType, &unknown, &unproven, &unprovenHold})
        EXPECT_EQ(refused->error().name(), "org.freedesktop.DBus.Error.UnknownMethod");
    spinFor(0.05);
    EXPECT_TRUE(handler.calls.empty());
}

TEST_F(LinkListenerTest, ACallMustProveItsSenderAndWhatItSays) {
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");
    // A proof made for other rules; a descriptor that is no proof socket; a
    // socket nobody sent a proof on.
    VorselLinkProof& other = prove(client, "Hold", "other rules");
    auto swapped = callWith(client, "Hold", "rules", other.passed);
    answerLater(other);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    auto notASocket = callWith(client, "Version", {}, pipe[0]);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    auto silent = callWith(client, "Held", {}, pair[1]);
    // A proof whose sender has ended.
    ProvingChild gone;
    ASSERT_GE(gone.proof(), 0);
    gone.end();
    auto ended = callWith(client, "Version", {}, gone.proof());
    // A proof of a call made on another bus (one that another process runs,
    // where the call was captured), brought here on our connection.
    int elsewhere[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, elsewhere), 0);
    VorselLinkProof& otherBus = proveOn(elsewhere[0], client, "Version", {});
    auto relayed = callWith(client, "Version", {}, otherBus.passed);
    answerLater(otherBus);
    ASSERT_TRUE(spinUntil([&] {
        return swapped.isFinished() && notASocket.isFinished() && silent.isFinished() &&
               ended.isFinished() && relayed.isFinished();
    }));
    for (const auto* refused : {&swapped, &notASocket, &silent, &ended, &relayed})
        EXPECT_EQ(refused->error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(swapped.error().message(),
              "the call proves no sender: its proof is for another call");
    EXPECT_EQ(relayed.error().message(), "the call proves no sender: its proof names another bus");
    EXPECT_EQ(silent.error().message(),
              "the call proves no sender: no proof was sent before the call");
    EXPECT_TRUE(handler.calls.empty());
    for (int fd : {pipe[0], pipe[1], pair[0], pair[1], elsewhere[0], elsewhere[1]}) ::close(fd);
}

// A judged sender's call is served only once it answers the challenge on
// its proof, for its own connection, soon after it made the proof; rules too
// large to hold reach the handler unread, and wait even past what one
// connection may have waiting.
TEST_F(LinkListenerTest, ACallIsServedOnlyWhenItsSenderAnswersForIt) {
    linux_platform::LinkOptions options;
    options.challengeLimit = std::chrono::milliseconds(300);
    options.waiting.bytesPerCaller = 1 << 20;
    listener = makeListener(options);
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");
    const QDBusConnection other = connect("other");

    auto unanswered = call(client, "Version", {}, false);
    auto elsewhere = callWith(other, "Version", {}, prove(client, "Version", {}).passed);
    const QByteArray large((1 << 20) + 1, ' ');
    auto tooLarge = call(client, "Hold", large);
    auto answered = call(client, "Held");
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 2; }));
    handler.replyAll();
    ASSERT_TRUE(spinUntil([&] { return answered.isFinished() && tooLarge.isFinished(); }));
    EXPECT_EQ(unanswered.error().message(),
              "the call proves no sender: the challenge went unanswered");
    EXPECT_EQ(elsewhere.error().message(),
              "the call proves no sender: its proof names another connection");
    EXPECT_EQ(tooLarge.reply().arguments(), (QVariantList{false, QByteArray()}));
    EXPECT_FALSE(answered.isError());
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"hold ", "held"}));

    // A proof older than a call may be when it arrives.
    options.proofLife = std::chrono::seconds(0);
    listener = makeListener(options);
    listener->listen(kService, delegate);
    auto late = call(client, "Version");
    ASSERT_TRUE(spinUntil([&] { return late.isFinished(); }));
    EXPECT_EQ(late.error().message(), "the call proves no sender: its proof is too old");
}

TEST_F(LinkListenerTest, AnotherSenderOnTheSameConnectionIsJudgedAgain) {
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");
    auto first = call(client, "Version");
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 1; }));
    auto second = call(client, "Version");  // the same sender: its verdict stands
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 2; }));
    ASSERT_EQ(judgements().size(), 1u);

    // A child's calls on our connection, as a process that inherited or took
    // the socket would make them.
    ProvingChild child(2, client.baseService().toStdString(), linux_platform::busSocketOf(client));
    ASSERT_GE(child.proof(1), 0);
    genuine = false;
    auto borrowed = callWith(client, "Version", {}, child.proof(0));
    ASSERT_TRUE(spinUntil([&] { return borrowed.isFinished(); }));
    EXPECT_EQ(borrowed.error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    auto judged = judgements();
    ASSERT_EQ(judged.size(), 2u);
    EXPECT_EQ(judged[1].pid, child.pid());
    // Refused once, the child's later calls cost no verdict; ours still
    // stand on our own.
    auto again = callWith(client, "Version", {}, child.proof(1));
    auto ours = call(client, "Version");
    ASSERT_TRUE(spinUntil([&] { return again.isFinished() && handler.calls.size() == 3; }));
    EXPECT_EQ(again.error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(again.error().message(), "only the genuine app may call the guard");
    EXPECT_EQ(judgements().size(), 2u);
    handler.replyAll();
    ASSERT_TRUE(spinUntil([&] { return ours.isFinished(); }));
    EXPECT_FALSE(ours.isError());

    // A sender that ends while it is judged is refused, whatever the verdict.
    ProvingChild brief(1, client.baseService().toStdString(), linux_platform::busSocketOf(client));
    holdVerdicts = true;
    auto late = callWith(client, "Version", {}, brief.proof());
    ASSERT_TRUE(spinUntil([&] { return judgements().size() == 3; }));
    brief.end();
    holdVerdicts = false;
    ASSERT_TRUE(spinUntil([&] { return late.isFinished(); }));
    EXPECT_EQ(late.error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(judgements().size(), 3u);
}

// A judged sender that maps other code later (a plugin from the user's
// home, say) is judged again; code its user could have written refuses it,
// as the link sees for itself, whatever the check said.
TEST_F(LinkListenerTest, ASenderThatMapsOtherCodeIsJudgedAgainAndRefused) {
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");
    ProvingChild child(1, client.baseService().toStdString(), linux_platform::busSocketOf(client));
    auto clean = callWith(client, "Version", {}, child.proof());
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 1; }));

    const std::string foreign = folder.path() + "/plugin.so";
    std::ofstream(foreign) << std::string(4096, '\xc3');
    ASSERT_TRUE(child.mapExecutable(foreign));
    auto loaded = callWith(client, "Version", {}, child.prove());
    ASSERT_TRUE(spinUntil([&] { return loaded.isFinished(); }));
    EXPECT_EQ(loaded.error().name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(judgements().size(), 2u);
    EXPECT_EQ(handler.calls.size(), 1u);
}

TEST_F(LinkListenerTest, CallsWaitingForAVerdictAreBoundedAndTheRestRefusedAtOnce) {
    linux_platform::LinkOptions options;
    options.waiting = {3, 128 * 1024, 6, 96 * 1024, 5 * 1024};
    listener = makeListener(options);
    listener->listen(kService, delegate);
    holdVerdicts = true;
    const QByteArray large(70 * 1024, 'x');
    // Each connection's calls arrive in order; the next connection starts
    // once the last refusal of the one before is in.
    // Past the calls one caller may have waiting.
    const QDBusConnection first = connect("first");
    std::vector<QDBusPendingCall> firsts;
    for (int i = 0; i < 5; ++i) firsts.push_back(call(first, "Version"));
    ASSERT_TRUE(spinUntil([&] { return firsts[3].isFinished() && firsts[4].isFinished(); }));
    // Past the bytes of large calls that may wait in all; a small call of the
    // same caller still may.
    const QDBusConnection second = connect("second");
    auto largeHold = call(second, "Hold", large);
    auto smallHeld = call(second, "Held");
    auto tooLarge = call(second, "Hold", large);
    ASSERT_TRUE(spinUntil([&] { return tooLarge.isFinished(); }));
    // Past the bytes one caller may have waiting.
    auto huge = call(connect("third"), "Hold", QByteArray(150 * 1024, 'x'));
    ASSERT_TRUE(spinUntil([&] { return huge.isFinished(); }));
    // Past the calls that may wait in all.
    const QDBusConnection fourth = connect("fourth");
    auto lastIn = call(fourth, "Held");
    auto oneTooMany = call(fourth, "Held");
    ASSERT_TRUE(spinUntil([&] { return oneTooMany.isFinished(); }));
    for (const auto* refused : {&firsts[3], &firsts[4], &tooLarge, &huge, &oneTooMany}) {
        EXPECT_EQ(refused->error().name(), "org.freedesktop.DBus.Error.LimitsExceeded");
        EXPECT_EQ(refused->error().message(),
                  "too many calls wait for their sender to be judged: try again later");
    }

    holdVerdicts = false;
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 6; }));
    handler.replyAll();
    const std::vector<const QDBusPendingCall*> admitted{&firsts[0], &firsts[1], &firsts[2],
                                                        &largeHold, &smallHeld, &lastIn};
    ASSERT_TRUE(spinUntil([&] {
        return std::all_of(admitted.begin(), admitted.end(),
                           [](const QDBusPendingCall* c) { return c->isFinished(); });
    }));
    for (const auto* answered : admitted)
        EXPECT_FALSE(answered->isError()) << answered->error().message().toStdString();
    // Judged, a caller's calls wait no more, and nothing bounds them.
    std::vector<QDBusPendingCall> later;
    for (int i = 0; i < 8; ++i) later.push_back(call(first, "Hold", large));
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 14; }));
    handler.replyAll();
    ASSERT_TRUE(spinUntil([&] { return later.back().isFinished(); }));
    for (const auto& answered : later) EXPECT_FALSE(answered.isError());

    // Rules larger than all that may wait come in alone, rather than be told
    // to try again for good; the next such call meanwhile is told so.
    holdVerdicts = true;
    const QByteArray oversized((1 << 20) + 1, 'x');
    const std::size_t judged = judgements().size();
    auto alone = call(connect("fifth"), "Hold", oversized);
    ASSERT_TRUE(spinUntil([&] { return judgements().size() == judged + 1; }));
    auto behind = call(connect("sixth"), "Hold", oversized);
    ASSERT_TRUE(spinUntil([&] { return behind.isFinished(); }));
    EXPECT_EQ(behind.error().name(), "org.freedesktop.DBus.Error.LimitsExceeded");
    holdVerdicts = false;
    ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 15; }));
    handler.replyAll();
    ASSERT_TRUE(spinUntil([&] { return alone.isFinished(); }));
    EXPECT_EQ(alone.reply().arguments(), (QVariantList{false, QByteArray()}));
}

TEST_F(LinkListenerTest, WhereAnyProcessMayTraceTheAppTheListenerSaysSoOnce) {
    const std::string scope = folder.path() + "/ptrace_scope";
    const std::string line = " any process of this user may trace the app and speak for it";
    for (const auto& [content, said] : std::vector<std::pair<std::string, std::string>>{
             {"", "yama is absent:" + line}, {"0\n", "ptrace_scope is 0:" + line}, {"1\n", ""}}) {
        if (content.empty())
            ::unlink(scope.c_str());
        else
            std::ofstream(scope) << content;
        log.lines.clear();
        linux_platform::LinkOptions options;
        options.ptraceScope = scope;
        listener = makeListener(options);
        listener->listen(kService, delegate);
        EXPECT_EQ(log.lines,
                  said.empty() ? std::vector<std::string>{} : std::vector<std::string>{said});
        listener.reset();
    }
}

// The description that the package installs for callers is the interface the
// link really serves, and reading it is nobody's call.
TEST_F(LinkListenerTest, TheInstalledDescriptionIsTheServedInterface) {
    listener->listen(kService, delegate);
    const QDBusConnection client = connect("client");
    QDBusMessage introspect = QDBusMessage::createMethodCall(
        kName, linux_platform::kLinkPath, "org.freedesktop.DBus.Introspectable", "Introspect");
    auto served = client.asyncCall(introspect);
    ASSERT_TRUE(spinUntil([&] { return served.isFinished(); }));
    ASSERT_FALSE(served.isError()) << served.error().message().toStdString();

    QFile file(VORSEL_LINK_DESCRIPTION);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << VORSEL_LINK_DESCRIPTION;
    const auto described = linkMethods(QString::fromUtf8(file.readAll()));
    EXPECT_EQ(described.at("method Hold"), "ayh -> bay");
    EXPECT_EQ(linkMethods(served.reply().arguments().value(0).toString()), described);
    EXPECT_TRUE(handler.calls.empty());
    EXPECT_TRUE(judgements().empty());
}

TEST_F(LinkListenerTest, EachPeerIsJudgedAndItsVerdictForgottenWhenItLeaves) {
    listener->listen(kService, delegate);
    {
        const QDBusConnection first = connect("first");
        const QDBusConnection second = connect("second");
        auto a = call(first, "Version");
        auto b = call(second, "Version");
        ASSERT_TRUE(spinUntil([&] { return handler.calls.size() == 2; }));
        handler.replyAll();
        ASSERT_TRUE(spinUntil([&] { return a.isFinished() && b.isFinished(); }));
        EXPECT_EQ(judgements().size(), 2u);
        EXPECT_EQ(delegate.accepted, 2);
        EXPECT_EQ(listener->peersKnown(), 2u);
    }
    for (const auto& name : names)
        if (!name.startsWith("server")) QDBusConnection::disconnectFromBus(name);
    EXPECT_TRUE(spinUntil([&] { return listener->peersKnown() == 0; }));
}

TEST_F(LinkListenerTest, ACallerThatLeavesRightAfterItsCallIsForgotten) {
    listener->listen(kService, delegate);
    {
        const QDBusConnection client = connect("brief");
        call(client, "Version");
    }
    QDBusConnection::disconnectFromBus(names.back());  // gone with its last user
    // Whatever the order of call, verdict and farewell, nothing stays behind.
    spinFor(0.2);
    EXPECT_TRUE(spinUntil([&] { return listener->peersKnown() == 0; }));
    spinFor(0.1);
    EXPECT_EQ(listener->peersKnown(), 0u);
}

TEST_F(LinkListenerTest, ATakenNameEndsTheProcessWithAnError) {
    QDBusConnection other = connect("other");
    ASSERT_TRUE(other.interface()->registerService(kName).isValid());
    EXPECT_FALSE(listener->listen(kService, delegate));
    EXPECT_EQ(loop.exits, std::vector<int>{1});
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], std::string("error: another process owns ") + kName + ": leaving");
}

TEST_F(LinkListenerTest, LosingTheBusEndsTheProcess) {
    listener->listen(kService, delegate);
    ASSERT_TRUE(loop.exits.empty());
    EXPECT_EQ(linux_platform::busName(kService), kName);
    busConnection->stop();
    ASSERT_TRUE(spinUntil([&] { return !loop.exits.empty(); }));
    EXPECT_EQ(loop.exits, std::vector<int>{1});
    EXPECT_EQ(log.lines, std::vector<std::string>{"error: lost the session bus: leaving"});
}

// Reading proofs with real senders, both with the kernel's own pidfd of the
// sender (Linux 6.5 on) and with only the one the sender passed (as before).
TEST(LinkProof, AProofNamesTheLiveProcessThatSentItAndNoOther) {
    using linux_platform::KernelPidfd;
    for (const KernelPidfd kernel : {KernelPidfd::use, KernelPidfd::ignore}) {
        SCOPED_TRACE(kernel == KernelPidfd::use ? "kernel pidfd" : "passed pidfd");
        std::string why;
        // A "bus" of our own: we listen at its other end.
        int bus[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bus), 0);
        EXPECT_EQ(linux_platform::busListener(bus[0]), ::getpid());
        VorselLinkProof ours;
        ASSERT_EQ(vorselLinkProveCall(&ours, bus[0], ":1.7", "Hold", "rules", 5), 0);
        const auto read = linux_platform::readProof(ours.passed, &why, kernel);
        ASSERT_TRUE(read) << why;
        EXPECT_EQ(read->sender.pid, ::getpid());
        EXPECT_EQ(read->sender.uid, ::getuid());
        EXPECT_EQ(read->text, linux_platform::proofText("Hold", "rules", ":1.7", ::getpid()));
        EXPECT_NE(read->text, linux_platform::proofText("Hold", "other rules", ":1.7", ::getpid()));
        // Read once: a second look finds nothing.
        EXPECT_FALSE(linux_platform::readProof(ours.passed, &why, kernel));

        // Answered by the prover only, for this challenge only, once.
        const std::string challenge = linux_platform::makeChallenge();
        ASSERT_TRUE(linux_platform::sendChallenge(ours.passed, challenge, &why)) << why;
        const auto answer = [&](const std::string& expected) {
            return linux_platform::readAnswer(ours.passed, read->sender.pid,
                                              read->sender.pidfd.get(), read->text, expected, &why);
        };
        EXPECT_EQ(answer(challenge), linux_platform::Answer::waiting);
        ASSERT_EQ(vorselLinkAnswerChallenge(&ours, 1000), 1);
        EXPECT_EQ(answer(challenge), linux_platform::Answer::right) << why;
        ASSERT_TRUE(linux_platform::sendChallenge(ours.passed, challenge, &why)) << why;
        ASSERT_EQ(vorselLinkAnswerChallenge(&ours, 1000), 1);
        EXPECT_EQ(answer(linux_platform::makeChallenge()), linux_platform::Answer::wrong);
        linux_platform::endProof(ours.passed);
        EXPECT_EQ(vorselLinkAnswerChallenge(&ours, 1000), 0);
        vorselLinkCloseProof(&ours);

        // Sent, then its sender ended (and its pid is free for a newcomer).
        ProvingChild ended;
        ASSERT_GE(ended.proof(), 0);
        ended.end();
        EXPECT_FALSE(linux_platform::readProof(ended.proof(), &why, kernel));

        // Proved, and the caller's end closed before the call came: nobody
        // is left to answer for it.
        VorselLinkProof closed;
        ASSERT_EQ(vorselLinkProveCall(&closed, bus[0], ":1.7", "Version", nullptr, 0), 0);
        vorselLinkCloseEnd(&closed.kept);
        EXPECT_FALSE(linux_platform::readProof(closed.passed, &why, kernel));
        EXPECT_EQ(why, "the caller no longer waits for its call");
        vorselLinkCloseProof(&closed);

        // A packet of ours carrying a live child's pidfd: not who sent it.
        ProvingChild other;
        ASSERT_GT(other.pid(), 0);
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, other.pid(), 0));
        ASSERT_GE(pidfd, 0);
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        const int on = 1;
        ::setsockopt(pair[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        ::setsockopt(pair[1], SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        const std::string text = linux_platform::proofText("Version", "", ":1.7", ::getpid());
        ASSERT_EQ(linux_platform::sendWithDescriptors(pair[0], text, {&pidfd, 1}),
                  static_cast<ssize_t>(text.size()));
        EXPECT_FALSE(linux_platform::readProof(pair[1], &why, kernel));
        EXPECT_EQ(why, "the proof carries no pidfd of the live process that sent it");
        for (int fd : {pidfd, pair[0], pair[1], bus[0], bus[1]}) ::close(fd);
    }
}

// Asked of the kernel one mapping at a time, a caller's code is what the
// text of its maps shows (less the vsyscall page, which no process owns).
TEST(CallerProcess, CodeAskedMappingByMappingIsWhatTheMapsTextShows) {
    const auto fromText = [] {
        std::ifstream file("/proc/self/maps");
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        std::istringstream lines(linux_platform::executableLines(text).value_or(""));
        std::string kept;
        for (std::string line; std::getline(lines, line);)
            if (line.find("[vsyscall]") == std::string::npos) kept += line + "\n";
        return kept;
    };
    const auto proc = linux_platform::openProcess(::getpid(), nullptr);
    ASSERT_TRUE(proc);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string before = fromText();
        std::string why;
        const auto asked = linux_platform::readExecutableLines(proc.get(), &why);
        ASSERT_TRUE(asked) << why;
        if (fromText() != before) continue;  // something was mapped meanwhile
        EXPECT_NE(before.find("[vdso]"), std::string::npos) << before;
        EXPECT_EQ(*asked, before);
        return;
    }
    FAIL() << "the mappings never held still";
}
