// guardctl: the companion window without a screen, for scripts and the demo.
// It builds the same status view as the app, for a given Vorsel.app, and
// presses its button or renders it to a picture.
//
//   guardctl --bundle PATH/Vorsel.app COMMAND...
//     state        print the state the window shows (on, off, needsApproval, misplaced)
//     press        press the window's button, wait for what it started, print the outcome
//     shot FILE    render the window to FILE (PNG)
#include <QApplication>
#include <QDeadlineTimer>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Guard/App/GuardInstall.h"
#include "Guard/App/GuardWindow.h"
#include "Guard/Identity/GuardIdentity.h"
#include "Platform/Linux/Install/LinuxLoginItems.h"
#include "Platform/Linux/Runtime/LinuxBundles.h"
#include "Platform/Linux/Runtime/LinuxClock.h"
#include "Platform/Linux/Runtime/LinuxFiles.h"

using namespace vorsel;

namespace {

const char* name(GuardInstall::State state) {
    switch (state) {
        case GuardInstall::State::on:
            return "on";
        case GuardInstall::State::off:
            return "off";
        case GuardInstall::State::needsApproval:
            return "needsApproval";
        case GuardInstall::State::misplaced:
            return "misplaced";
    }
    return "?";
}

int usage() {
    std::fprintf(stderr,
                 "usage: guardctl --bundle PATH/Vorsel.app COMMAND...\n"
                 "  state       print the state the window shows\n"
                 "  press       press the window's button and print the outcome\n"
                 "  shot FILE   render the window to FILE (PNG)\n");
    return 2;
}

// Lets the event loop run until `done` or `ms` pass: turning off completes
// later, on the loop, and a window lays itself out there too.
template <typename Done>
void settle(Done done, int ms = 2000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 3 || args[0] != "--bundle") return usage();
    const std::string bundle = args[1];
    args.erase(args.begin(), args.begin() + 2);

    // No screen is needed: the window is drawn offscreen unless a display is asked for.
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    const linux_platform::LinuxBundles bundles(bundle + "/Contents/Linux/vorsel");
    if (!bundles.mainPath()) {
        std::fprintf(stderr, "guardctl: %s is not an app bundle\n", bundle.c_str());
        return 1;
    }
    GuardIdentity::setMainBundle(bundles);
    QApplication::setWindowIcon(GuardApp::icon(bundles));
    linux_platform::LinuxFiles files;
    // The window's side of the agent's clock, as the app has it.
    const linux_platform::LinuxClock clock(linux_platform::ClockSide::window,
                                           GuardIdentity::shared().memoryFile(files));
    GuardInstall install(bundles,
                         [&] { return linux_platform::makeLoginItems(bundles.mainPath(), files); });
    GuardStatusView view({install, files, clock, GuardIdentity::shared()});
    view.show();

    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "state") {
            std::printf("%s\n", name(view.shown()));
        } else if (args[i] == "press") {
            auto* button = view.findChild<QPushButton*>(QStringLiteral("button"));
            if (!button || !button->isVisible()) {
                std::printf("no button in state %s\n", name(view.shown()));
                continue;
            }
            const auto before = view.foundState();
            std::printf("pressed \"%s\"\n", button->text().toUtf8().constData());
            button->click();
            // Turning off completes later, after the user manager has reloaded,
            // which may take up to its own one-minute limit.
            settle([&] { return view.foundState() != before || view.noticeText().has_value(); },
                   70000);
            if (view.noticeText())
                std::printf("notice: %s\n", view.noticeText()->toUtf8().constData());
            std::printf("state: %s\n", name(view.shown()));
        } else if (args[i] == "shot" && i + 1 < args.size()) {
            settle([] { return false; }, 200);
            const std::string file = args[++i];
            if (!view.grab().save(QString::fromStdString(file), "PNG")) {
                std::fprintf(stderr, "guardctl: could not write %s\n", file.c_str());
                return 1;
            }
        } else {
            return usage();
        }
        std::fflush(stdout);
    }
    return 0;
}
