// The object behind DBusLinkListener: exported at /com/ordwyn/Guard through
// the adaptor generated from the link's description (GuardLinkAdaptor), it
// turns each call into a message for the agent's handler once its sender has
// been judged. Private to this library. Main thread only.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Platform/Linux/Link/DBusLinkJudge.h"
#include "Platform/Linux/Link/DBusLinkListener.h"
#include "Platform/Linux/Link/DBusLinkProof.h"

namespace vorsel::linux_platform {

class ProofChallenge;

// One peer's connection as the delegate sets it up.
class DBusLinkConnection final : public LinkConnection {
  public:
    void setCodeSigningRequirement(const std::string& text) override { requirement = text; }
    void setExportedObject(LinkHandler* object) override { handler = object; }
    void resume() override { resumed = true; }

    std::string requirement;
    LinkHandler* handler = nullptr;
    bool resumed = false;
};

class DBusLinkService final : public QObject, protected QDBusContext {
    Q_OBJECT

  public:
    DBusLinkService(RunLoop& runLoop, Log& log, CallerCheck check, QDBusConnection bus,
                    LinkOptions options);
    ~DBusLinkService() override;

    bool listen(const std::string& serviceName, LinkListenerDelegate& delegate);
    std::size_t peersKnown() const { return peers.size(); }

    // The calls, as the generated adaptor passes them on. Each takes over
    // its message with a delayed reply; the values returned here are never
    // sent.
    qint64 Version(const QDBusUnixFileDescriptor& proof);
    bool Hold(const QByteArray& rules, const QDBusUnixFileDescriptor& proof, QByteArray& held);
    QByteArray Held(const QDBusUnixFileDescriptor& proof);

  private slots:
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void disconnected();

  private:
    // A call waiting for its sender's verdict or answer, or behind one that
    // does.
    struct Waiting {
        QDBusMessage message;
        QByteArray rules;  // Hold's, as the adaptor parsed them
        SenderPtr sender;
        std::string proof;  // the proof's text
        UniqueFd socket;    // the proof socket, ours
        std::pair<dev_t, ino_t> socketId{};
        std::size_t bytes = 0;
        bool large = false;  // rules too large to be held: handed on unread
        std::uint64_t id = 0;
        QPointer<ProofChallenge> challenge;  // while asked
        // The sender looked at again once the challenge was sent, while the
        // caller wakes to answer it.
        std::optional<Recheck> lookedAgain;
        enum class Step { unasked, asked, answered } step = Step::unasked;
    };
    struct Peer {
        DBusLinkConnection connection;
        bool refused = false;  // by the delegate
        std::deque<Waiting> waiting;
        std::size_t waitingBytes = 0;
        bool judging = false;
        SenderPtr trusted;  // the sender last judged genuine here
        Snapshot snapshot;  // what it mapped then
        std::vector<SenderPtr> refusedSenders;
    };

    void arrived(const QByteArray& arguments, const QDBusUnixFileDescriptor& proof);
    bool checkProof(const QDBusMessage& message, const Proof& proof);
    Answer challenge(const std::string& name, Peer& peer, Waiting& call, std::string* why);
    void challenged(const std::string& name, std::uint64_t id, bool right, const std::string& why);
    void refuse(Waiting call, const QString& why);
    Peer& peerFor(const std::string& name);
    bool admits(const Peer& peer, std::size_t bytes, bool large) const;
    void count(std::size_t bytes, bool adding);
    void pump(const std::string& name);
    Waiting take(Peer& peer);
    void judge(const std::string& name, Peer& peer, SenderPtr sender);
    void judged(const std::string& name, const SenderPtr& sender, SenderVerdict verdict);
    bool refusedBefore(Peer& peer, const Sender& sender) const;
    void refuseSender(Peer& peer, SenderPtr sender) const;
    void deliver(const DBusLinkConnection& connection, Waiting call);
    void deliver(const DBusLinkConnection& connection, const QDBusMessage& message,
                 const QByteArray& rules);
    void deny(const QDBusMessage& message, const QString& why);
    void forget(const std::string& name);
    void sayWhoMayTrace();
    void giveUp(const std::string& why);

    RunLoop& runLoop;
    Log& log;
    CallerCheck check;
    QDBusConnection busConnection;
    LinkOptions options;
    LinkListenerDelegate* delegate = nullptr;
    QString ownedName;
    bool registered = false;
    // Who listens on our bus's socket, as the proofs must name it.
    std::optional<std::int32_t> listener;
    std::unordered_map<std::string, Peer> peers;  // by unique bus name
    std::size_t waitingCalls = 0;                 // over all peers
    std::size_t waitingBytes = 0;                 // of calls larger than kSmallCall
    std::size_t waitingSmallBytes = 0;
    std::set<std::pair<dev_t, ino_t>> proofsInUse;  // the proof sockets of waiting calls
    std::uint64_t nextId = 1;
    QThreadPool judges;  // last member: waited for first on destruction
};

}  // namespace vorsel::linux_platform
