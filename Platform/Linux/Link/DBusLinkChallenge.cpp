#include "Platform/Linux/Link/DBusLinkChallenge.h"

#include "Platform/Linux/Link/DBusLinkProof.h"

namespace vorsel::linux_platform {

ProofChallenge::ProofChallenge(int socket, SenderPtr sender, std::string text,
                               std::chrono::milliseconds limit, Done done, QObject* parent)
    : QObject(parent),
      socket_(socket),
      sender_(std::move(sender)),
      text_(std::move(text)),
      challenge_(makeChallenge()),
      done_(std::move(done)),
      notifier_(socket, QSocketNotifier::Read) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this,
            [this] { finish(false, "the challenge went unanswered"); });
    connect(&notifier_, &QSocketNotifier::activated, this, [this] { readable(); });
    std::string why;
    if (!sendChallenge(socket_, challenge_, &why)) {
        notifier_.setEnabled(false);
        // Reported from the loop, as every outcome is.
        QMetaObject::invokeMethod(
            this, [this, why] { finish(false, why); }, Qt::QueuedConnection);
        return;
    }
    timer_.start(limit);
}

void ProofChallenge::readable() {
    std::string why;
    switch (readAnswer(socket_, sender_->pid, sender_->pidfd.get(), text_, challenge_, &why)) {
        case Answer::waiting:
            return;
        case Answer::right:
            return finish(true, {});
        case Answer::wrong:
            return finish(false, why);
    }
}

void ProofChallenge::cancel() {
    if (finished_) return;
    finished_ = true;
    notifier_.setEnabled(false);
    timer_.stop();
    deleteLater();
}

void ProofChallenge::finish(bool right, const std::string& why) {
    if (finished_) return;
    finished_ = true;
    notifier_.setEnabled(false);
    timer_.stop();
    // Whoever is told may end this challenge; it goes once the loop is back.
    deleteLater();
    done_(right, why);
}

}  // namespace vorsel::linux_platform
