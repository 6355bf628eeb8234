// What the status view's button does, and when it reads the state again.
#include <QPointer>

#include "Guard/App/GuardWindow.h"
#include "Guard/Rules/GuardRules.h"

namespace vorsel {

namespace {

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

void GuardStatusView::press() {
    switch (shown()) {
        case GuardInstall::State::on:
            turnOff();
            break;
        case GuardInstall::State::off:
            turnOn();
            break;
        case GuardInstall::State::needsApproval:
            ports.install.service().openSettings();
            break;
        case GuardInstall::State::misplaced:
            break;
    }
}

void GuardStatusView::turnOn() {
    const auto error = ports.install.turnOn();
    notice = error ? std::optional(QStringLiteral("It couldn't be turned on. ") + text(*error))
                   : std::nullopt;
    setFound(ports.install.state());
}

// Judged from the rules the agent saved, as they are on disk: no cap, and the
// agent is not asked, so a stopped agent cannot be used to get around it.
bool GuardStatusView::hardcoreRunning() {
    const std::string file = ports.identity.memoryFile(ports.files);
    const auto content = ports.files.read(file);
    const GuardRules rules =
        content ? GuardRules::read(*content).value_or(GuardRules::none) : GuardRules::none;
    return rules.keepOpenInForce(ports.clock.now());
}

void GuardStatusView::turnOff() {
    if (hardcoreRunning()) {
        setNotice(QStringLiteral(
            "A Hardcore session is running. Vorsel can be turned off when it ends."));
        return;
    }
    // The view may be gone by the time the platform answers.
    QPointer<GuardStatusView> self(this);
    ports.install.service().unregisterAgent([self](std::optional<std::string> error) {
        if (!self) return;
        self->notice =
            error ? std::optional(QStringLiteral("It couldn't be turned off. ") + text(*error))
                  : std::nullopt;
        self->setFound(self->ports.install.state());
    });
}

void GuardStatusView::refresh() { setFound(ports.install.state()); }

void GuardStatusView::setFound(GuardInstall::State state) {
    found = state;
    redraw();
}

void GuardStatusView::setNotice(std::optional<QString> text) {
    notice = std::move(text);
    redraw();
}

}  // namespace vorsel
