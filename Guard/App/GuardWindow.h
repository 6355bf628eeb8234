// The companion app: one window, "Vorsel", in which the user turns the guard
// on and off. GuardApp runs it, GuardWindowDelegate makes closing the window
// end the app, and GuardStatusView is the window itself: what Vorsel does, the
// registration state as a dot and a sentence, the one button that fits it,
// and a notice line for failures and refusals.
//
// Everything here lives on the Qt main thread.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "Guard/App/GuardInstall.h"
#include "Guard/Identity/GuardIdentity.h"
#include "Platform/Bundles.h"
#include "Platform/Clock.h"
#include "Platform/Files.h"
#include "Platform/LoginItems.h"

class QApplication;
class QIcon;
class QLabel;
class QLayout;
class QPushButton;
class QShortcut;
class QVBoxLayout;

namespace vorsel {

// What the app needs of the platform. All references must outlive the run.
struct GuardAppPorts {
    const Bundles& bundles;
    Files& files;
    const Clock& clock;
    GuardInstall::ServiceFactory loginItems;
};

struct GuardApp {
    // Runs the app until its window is closed; returns the event loop's exit
    // status. GuardIdentity::setMainBundle() must have been called.
    static int run(int& argc, char** argv, GuardAppPorts ports);

    // The bundle's icon (CFBundleIconFile in its resources), else the copy
    // built into the program, so the header never shows an empty square.
    static QIcon icon(const Bundles& bundles);
};

// The application delegate: closing the last (the only) window ends the app.
// Nothing else, and no activation policy of its own.
struct GuardWindowDelegate {
    static bool shouldTerminateAfterLastWindowClosed() { return true; }
    static void install(QApplication& app);
};

// What the status view reads and acts through. All references must outlive
// the view.
struct GuardViewPorts {
    GuardInstall& install;
    Files& files;  // the memory file, read before turning off
    const Clock& clock;
    const GuardIdentity& identity;
};

class GuardStatusView final : public QWidget {
    Q_OBJECT

  public:
    // The window is this wide, padding included, whatever it shows.
    static constexpr int kWidth = 460;

    // Shows `fixed` instead of the live state when it is set (for previews);
    // its buttons still act, their effect shows only in the notice. Reads the
    // live state once, now.
    explicit GuardStatusView(GuardViewPorts ports,
                             std::optional<GuardInstall::State> fixed = std::nullopt,
                             QWidget* parent = nullptr);

    // The state the window shows: `fixed` when set, else the last read one.
    GuardInstall::State shown() const { return fixed.value_or(found); }
    // The last state read from GuardInstall.
    GuardInstall::State foundState() const { return found; }
    // The notice line's text, when one shows.
    const std::optional<QString>& noticeText() const { return notice; }

    // The verbatim sentence for `state`.
    static QString sentence(GuardInstall::State state);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    // The layout, top to bottom: the icon and titles, what Vorsel does, the
    // state with its button, the notice line, and the footnote; then the
    // keys that press "Turn on".
    void build();
    QLayout* buildHeader();
    QLayout* buildStatusRow();
    void buildFooter(QVBoxLayout& column);
    void bindReturnKeys();
    void turnOn();
    void turnOff();
    void refresh();
    void press();
    bool hardcoreRunning();
    void setFound(GuardInstall::State state);
    void setNotice(std::optional<QString> text);
    void redraw();
    void fitToContent();

    GuardViewPorts ports;
    std::optional<GuardInstall::State> fixed;
    GuardInstall::State found;
    std::optional<QString> notice;

    QWidget* dot = nullptr;
    QLabel* sentenceLabel = nullptr;
    QPushButton* button = nullptr;
    QLabel* noticeLine = nullptr;
    QShortcut* returnKey = nullptr;
    QShortcut* enterKey = nullptr;
};

}  // namespace vorsel
