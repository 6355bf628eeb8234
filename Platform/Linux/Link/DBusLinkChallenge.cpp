#include "Platform/Linux/Link/DBusLinkChallenge.h"

#include "Platform/Linux/Link/DBusLinkProof.h"

namespace vorsel::linux_platform {

ProofChallenge::ProofChallenge(int givenSocket, SenderPtr sender, std::string text,
                               std::string challenge, std::chrono::milliseconds limit, Done done,
                               QObject* parent)
    : QObject(parent),
      socket(givenSocket),
      sender(std::move(sender)),
      text(std::move(text)),
      challenge(std::move(challenge)),
      isDone(std::move(done)),
      notifier(givenSocket, QSocketNotifier::Read) {
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this,
            [this] { finish(false, "the challenge went unanswered"); });
    connect(&notifier, &QSocketNotifier::activated, this, [this] { readable(); });
    timer.start(limit);
}

void ProofChallenge::readable() {
    std::string why;
    switch (readAnswer(socket, sender->pid, sender->pidfd.get(), text, challenge, &why)) {
        case Answer::waiting:
            return;
        case Answer::right:
            return finish(true, {});
        case Answer::wrong:
            return finish(false, why);
    }
}

void ProofChallenge::cancel() {
    if (finished) return;
    finished = true;
    notifier.setEnabled(false);
    timer.stop();
    deleteLater();
}

void ProofChallenge::finish(bool right, const std::string& why) {
    if (finished) return;
    finished = true;
    notifier.setEnabled(false);
    timer.stop();
    // Whoever is told may end this challenge; it goes once the loop is back.
    deleteLater();
    isDone(right, why);
}

}  // namespace vorsel::linux_platform
