// The status window: what each state shows, what its button does, when it
// reads the state again, and when it refuses to turn off.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "Guard/App/GuardWindow.h"
#include "Guard/Rules/GuardRules.h"
#include "Platform/Linux/Runtime/LinuxClock.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"
#include "WindowTestSupport.h"
#include "tests/fakes/FakeClock.h"
#include "tests/support/RawClocks.h"

namespace vorsel::window_tests {
namespace {

using State = GuardInstall::State;

const GuardIdentity kIdentity{"com.ordwyn.guard", "com.ordwyn.app", ""};

class StatusWindow : public TempDataTest {
  protected:
    // A view over the fake service, with `status` as the registration.
    std::unique_ptr<GuardStatusView> view(LoginItemStatus status,
                                          std::optional<State> fixed = std::nullopt) {
        fake.service().current = status;
        return std::make_unique<GuardStatusView>(
            GuardViewPorts{fake.install, files, clock, kIdentity}, fixed);
    }

    static QPushButton* button(GuardStatusView& view) {
        return view.findChild<QPushButton*>(QStringLiteral("button"));
    }
    static QString sentence(GuardStatusView& view) {
        return view.findChild<QLabel*>(QStringLiteral("sentence"))->text();
    }
    static QLabel* noticeLine(GuardStatusView& view) {
        return view.findChild<QLabel*>(QStringLiteral("notice"));
    }
    // The colour drawn at the middle of the status dot.
    static QColor dotColor(GuardStatusView& view) {
        auto* dot = view.findChild<QWidget*>(QStringLiteral("dot"));
        const QImage image = view.grab().toImage();
        const QPoint middle = dot->mapTo(&view, dot->rect().center());
        return image.pixelColor(middle * image.devicePixelRatio());
    }
    static bool greenish(const QColor& color) {
        return color.green() > 150 && color.red() < 120 && color.blue() < 140;
    }

    // Rules as the agent saves them, in the memory file of this data folder.
    void saveRules(const GuardRules& rules) {
        const std::string file = kIdentity.memoryFile(files);
        ASSERT_TRUE(files.writeAtomically(file, rules.written().value()));
    }

    // Presses the button and lets a pending unregister complete.
    static void press(GuardStatusView& view) {
        button(view)->click();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    FakeInstall fake;
    linux_platform::LinuxFiles files;
    fakes::FakeClock clock;
};

TEST_F(StatusWindow, EachStateShowsItsDotSentenceAndButton) {
    auto on = view(LoginItemStatus::enabled);
    EXPECT_EQ(on->shown(), State::on);
    EXPECT_TRUE(greenish(dotColor(*on))) << dotColor(*on).name().toStdString();
    EXPECT_EQ(sentence(*on), "Vorsel is on. It only runs while a session needs it.");
    EXPECT_EQ(button(*on)->text(), "Turn off");
    EXPECT_FALSE(button(*on)->isHidden());

    auto off = view(LoginItemStatus::notRegistered);
    EXPECT_FALSE(greenish(dotColor(*off))) << dotColor(*off).name().toStdString();
    EXPECT_EQ(sentence(*off), "Vorsel is off.");
    EXPECT_EQ(button(*off)->text(), "Turn on");
    EXPECT_TRUE(button(*off)->isDefault());

    auto waiting = view(LoginItemStatus::requiresApproval);
    EXPECT_FALSE(greenish(dotColor(*waiting)));
    EXPECT_EQ(sentence(*waiting),
              "Waiting for you to allow it in System Settings, General, Login Items & "
              "Extensions.");
    EXPECT_EQ(button(*waiting)->text(), "Open Login Items");
    press(*waiting);
    EXPECT_EQ(fake.items->settingsOpened, 1);

    fake.bundles.path = "/home/me/Vorsel.app";
    auto misplaced = view(LoginItemStatus::enabled);
    EXPECT_EQ(misplaced->shown(), State::misplaced);
    EXPECT_FALSE(greenish(dotColor(*misplaced)));
    EXPECT_EQ(sentence(*misplaced), "Move this app to the /opt folder, then open it again.");
    EXPECT_TRUE(button(*misplaced)->isHidden());
    // With no button beside it the sentence fits on one line: it must not
    // wrap early and leave the row half empty.
    auto* line = misplaced->findChild<QLabel*>(QStringLiteral("sentence"));
    EXPECT_LT(line->heightForWidth(line->width()), 2 * line->fontMetrics().lineSpacing());
    EXPECT_EQ(misplaced->findChild<QLabel*>(QStringLiteral("footer"))->text(),
              "To remove it, turn it off here, then move this app to the Trash.");
}

TEST_F(StatusWindow, ReturnPressesTurnOnOnlyWhenOff) {
    auto window = view(LoginItemStatus::notRegistered);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_EQ(fake.items->registers, 1);
    EXPECT_EQ(window->shown(), State::on);

    // Now "Turn off" shows: Return must not reach it, even with its focus.
    button(*window)->setFocus();
    QTest::keyClick(window.get(), Qt::Key_Return);
    QTest::keyClick(button(*window), Qt::Key_Enter);
    QCoreApplication::processEvents();
    EXPECT_EQ(fake.items->unregisters, 0);
    EXPECT_EQ(window->shown(), State::on);
}

TEST_F(StatusWindow, TurningOnShowsFailuresAndClearsThemOnSuccess) {
    auto window = view(LoginItemStatus::notRegistered);
    fake.items->registerError = "Read-only file system";
    press(*window);
    EXPECT_EQ(window->noticeText(), "It couldn't be turned on. Read-only file system");
    EXPECT_FALSE(noticeLine(*window)->isHidden());
    EXPECT_EQ(noticeLine(*window)->text(), "It couldn't be turned on. Read-only file system");
    EXPECT_EQ(window->shown(), State::off);

    fake.items->registerError.reset();
    press(*window);
    EXPECT_EQ(window->noticeText(), std::nullopt);
    EXPECT_TRUE(noticeLine(*window)->isHidden());
    EXPECT_EQ(window->shown(), State::on);
}

TEST_F(StatusWindow, TurningOffCompletesLaterAndShowsFailures) {
    auto window = view(LoginItemStatus::enabled);
    fake.items->unregisterError = "Operation not permitted";
    button(*window)->click();
    EXPECT_EQ(fake.items->unregisters, 1);
    EXPECT_EQ(window->noticeText(), std::nullopt) << "the result is not in yet";
    QCoreApplication::processEvents();
    EXPECT_EQ(window->noticeText(), "It couldn't be turned off. Operation not permitted");
    EXPECT_EQ(window->shown(), State::on);

    fake.items->unregisterError.reset();
    press(*window);
    EXPECT_EQ(window->noticeText(), std::nullopt);
    EXPECT_EQ(window->shown(), State::off);
    EXPECT_EQ(button(*window)->text(), "Turn on");
}

TEST_F(StatusWindow, AViewClosedBeforeUnregisterCompletesIsLeftAlone) {
    auto window = view(LoginItemStatus::enabled);
    button(*window)->click();
    window.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(fake.items->current, LoginItemStatus::notRegistered);
}

TEST_F(StatusWindow, AHardcoreSessionInTheMemoryFileRefusesTurningOff) {
    const TimePoint now = clock.peek();
    saveRules(
        {Closing::nothing(), kDistantPast, Kept{"com.ordwyn.app", "/opt/Ordwyn.app", now + 60}});
    auto window = view(LoginItemStatus::enabled);
    const int reads = fake.items->statusReads;
    press(*window);
    EXPECT_EQ(window->noticeText(),
              "A Hardcore session is running. Vorsel can be turned off when it ends.");
    EXPECT_EQ(fake.items->unregisters, 0);
    EXPECT_EQ(fake.items->statusReads, reads) << "a refusal does not read the state again";
    EXPECT_EQ(window->shown(), State::on);

    // Rules far beyond the 24-hour cap are taken as they are, not capped.
    saveRules({Closing::nothing(), kDistantPast,
               Kept{"com.ordwyn.app", "/opt/Ordwyn.app", now + 10 * 86400.0}});
    clock.set(now + 5 * 86400.0);
    press(*window);
    EXPECT_EQ(fake.items->unregisters, 0);
}

TEST_F(StatusWindow, AClockSetForwardCannotTurnVorselOffBeforeAHardcoreSessionEnds) {
    // The agent's clock trusted the time when the session was handed over,
    // and left its anchor beside the memory file; the window reads that.
    testing::RawClocks raw;
    const std::string memory = kIdentity.memoryFile(files);
    const linux_platform::LinuxClock agent(linux_platform::ClockSide::agent, memory,
                                           raw.readings());
    const linux_platform::LinuxClock window(linux_platform::ClockSide::window, memory,
                                            raw.readings());
    const TimePoint now = agent.now();
    saveRules(
        {Closing::nothing(), kDistantPast, Kept{"com.ordwyn.app", "/opt/Ordwyn.app", now + 3600}});
    fake.service().current = LoginItemStatus::enabled;
    GuardStatusView view(GuardViewPorts{fake.install, files, window, kIdentity});

    raw.wall += 86400.0;  // the date settings, a day ahead
    raw.pass(60);
    press(view);
    EXPECT_EQ(view.noticeText(),
              "A Hardcore session is running. Vorsel can be turned off when it ends.");
    EXPECT_EQ(fake.items->unregisters, 0);

    raw.pass(3600);  // the session's real end
    press(view);
    EXPECT_EQ(fake.items->unregisters, 1);
    EXPECT_EQ(view.shown(), State::off);
}

TEST_F(StatusWindow, TurningOffGoesAheadWhenNoHardcoreSessionHolds) {
    const TimePoint now = clock.peek();
    const std::string memory = kIdentity.memoryFile(files);
    auto turnsOff = [&](const char* why) {
        auto window = view(LoginItemStatus::enabled);
        const int before = fake.items->unregisters;
        press(*window);
        EXPECT_EQ(fake.items->unregisters, before + 1) << why;
        EXPECT_EQ(window->noticeText(), std::nullopt) << why;
        EXPECT_EQ(window->shown(), State::off) << why;
    };

    saveRules({Closing::nothing(), kDistantPast, Kept{"com.ordwyn.app", "/opt/Ordwyn.app", now}});
    turnsOff("the kept app's until is now");

    saveRules({Closing::listed({"org.example.game"}), now + 3600, std::nullopt});
    turnsOff("closing rules only");

    ASSERT_TRUE(files.writeAtomically(memory, "{\"keepOpen\": \"soon\""));
    turnsOff("text that is not session rules");
    EXPECT_EQ(files.read(memory), "{\"keepOpen\": \"soon\"") << "the file is left as it was";

    ASSERT_TRUE(files.remove(memory));
    ASSERT_TRUE(files.createFolders(memory));  // a folder where the file should be
    turnsOff("an unreadable memory file");
    ASSERT_TRUE(QDir().rmdir(QString::fromStdString(memory)));

    turnsOff("no memory file");
    EXPECT_FALSE(files.read(memory).has_value()) << "no file is written";
}

TEST_F(StatusWindow, ANoticeSurvivesActivationWhileTheStateFollows) {
    auto window = view(LoginItemStatus::notRegistered);
    fake.items->registerError = "Disk quota exceeded";
    press(*window);
    ASSERT_TRUE(window->noticeText().has_value());

    // Meanwhile the agent got registered some other way; the app comes back.
    fake.items->current = LoginItemStatus::enabled;
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    EXPECT_EQ(window->shown(), State::off) << "only activation reads the state";
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(window->shown(), State::on);
    EXPECT_TRUE(greenish(dotColor(*window)));
    EXPECT_EQ(window->noticeText(), "It couldn't be turned on. Disk quota exceeded");
}

TEST_F(StatusWindow, AFixedStateShowsWhateverIsFoundAndItsButtonStillActs) {
    auto window = view(LoginItemStatus::notRegistered, State::on);
    EXPECT_EQ(window->foundState(), State::off);
    EXPECT_EQ(window->shown(), State::on);
    EXPECT_EQ(sentence(*window), "Vorsel is on. It only runs while a session needs it.");
    EXPECT_TRUE(greenish(dotColor(*window)));

    fake.items->unregisterError = "Not registered";
    press(*window);
    EXPECT_EQ(fake.items->unregisters, 1);
    EXPECT_EQ(window->noticeText(), "It couldn't be turned off. Not registered");
    EXPECT_EQ(window->shown(), State::on);
    EXPECT_EQ(button(*window)->text(), "Turn off");
}

TEST_F(StatusWindow, IsAlways460WideAndTallEnoughForItsText) {
    auto window = view(LoginItemStatus::notRegistered);
    window->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(window->width(), GuardStatusView::kWidth);
    const int plain = window->height();

    fake.items->registerError =
        std::string(40, 'x') + " " + QString("word ").repeated(120).toStdString();
    press(*window);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->width(), GuardStatusView::kWidth);
    EXPECT_GT(window->height(), plain + 100);
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable past its content";

    // Nothing is clipped: every label has at least the height its text needs
    // at the width it got, and lies inside the window.
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->isHidden() || !label->wordWrap()) continue;
        EXPECT_GE(label->height(), label->heightForWidth(label->width()))
            << label->text().left(40).toStdString();
        EXPECT_LE(label->geometry().bottom(), window->height());
        EXPECT_LE(label->geometry().right(), window->width() - 24 + 1);
    }

    fake.items->registerError.reset();
    press(*window);
    QCoreApplication::processEvents();
    EXPECT_LT(window->height(), plain + 100) << "the notice's room goes with it";
}

}  // namespace
}  // namespace vorsel::window_tests
