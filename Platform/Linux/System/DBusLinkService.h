// The object behind DBusLinkListener: exported at /com/ordwyn/Guard, it turns
// each call into a message for the agent's handler once its peer has been
// judged. Private to this library. Main thread only.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "Platform/Linux/System/DBusLinkListener.h"

namespace vorsel::linux_platform {

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

class DBusLinkService final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.ordwyn.GuardLink")

  public:
    DBusLinkService(RunLoop& runLoop, Log& log, CallerCheck check, QDBusConnection bus);
    ~DBusLinkService() override;

    bool listen(const std::string& serviceName, LinkListenerDelegate& delegate);
    std::size_t peersKnown() const { return peers_.size(); }

  public slots:
    // The exported calls. Each takes over its message with a delayed reply;
    // the values returned here are never sent.
    Q_SCRIPTABLE qint64 Version(const QDBusMessage& message);
    Q_SCRIPTABLE bool Hold(const QByteArray& rules, const QDBusMessage& message, QByteArray& held);
    Q_SCRIPTABLE QByteArray Held(const QDBusMessage& message);

  private slots:
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void disconnected();

  private:
    enum class Verdict { judging, genuine, refused };
    struct Peer {
        Verdict verdict = Verdict::judging;
        DBusLinkConnection connection;
        std::deque<QDBusMessage> waiting;  // calls that arrived while judging
    };

    void arrived(const QDBusMessage& message);
    void judge(const std::string& name, const std::string& requirement);
    void credentialsArrived(const std::string& name, const QDBusMessage& reply);
    void judged(const std::string& name, bool genuine);
    void deliver(const DBusLinkConnection& connection, const QDBusMessage& message);
    void deny(const QDBusMessage& message);
    void giveUp(const std::string& why);

    RunLoop& runLoop_;
    Log& log_;
    CallerCheck check_;
    QDBusConnection bus_;
    LinkListenerDelegate* delegate_ = nullptr;
    QString ownedName_;
    bool registered_ = false;
    std::unordered_map<std::string, Peer> peers_;  // by unique bus name
    QThreadPool judges_;                           // last member: waited for first on destruction
};

}  // namespace vorsel::linux_platform
