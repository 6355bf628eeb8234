// The wait for one call's challenge (DBusLinkProof.h) to be answered, on
// the Qt loop so that no thread waits for a caller: watches the call's proof
// socket for the answer for a bounded time, and reports once, with the
// service it belongs to as its parent. Private to this library. Main thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

#include "Platform/Linux/Link/DBusLinkJudge.h"

namespace vorsel::linux_platform {

class ProofChallenge final : public QObject {
    Q_OBJECT

  public:
    // `right`: the sender answered the challenge for its call in time.
    using Done = std::function<void(bool right, const std::string& why)>;

    // Waits for `sender`, which proved a call with `text` on `socket` (kept
    // open by the caller of this until done) and has been sent `challenge`
    // on it, to answer within `limit`. `done` is called once, later, from the
    // loop; never after the challenge is destroyed.
    ProofChallenge(int socket, SenderPtr sender, std::string text, std::string challenge,
                   std::chrono::milliseconds limit, Done done, QObject* parent);

    // Stops watching at once, before the socket closes, and reports
    // nothing; the challenge goes once the loop is back.
    void cancel();

  private:
    void readable();
    void finish(bool right, const std::string& why);

    int socket;
    SenderPtr sender;
    std::string text;
    std::string challenge;
    Done isDone;
    QSocketNotifier notifier;
    QTimer timer;
    bool finished = false;
};

}  // namespace vorsel::linux_platform
