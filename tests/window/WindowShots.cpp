// Renders the status window in each of its four states, offscreen, into PNG
// files for the documentation: window_shots FOLDER.
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImage>

#include <cstdio>

#include "Guard/App/GuardWindow.h"
#include "WindowTestSupport.h"
#include "tests/fakes/FakeClock.h"
#include "tests/fakes/FakeFiles.h"

using namespace vorsel;
using namespace vorsel::window_tests;

namespace {

struct Shot {
    const char* name;
    std::optional<std::string> bundle;
    LoginItemStatus status;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_shots FOLDER\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")) qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vorsel/vorsel.svg")));
    const QDir folder(QString::fromLocal8Bit(argv[1]));

    const Shot shots[] = {
        {"window-on", "/opt/Vorsel.app", LoginItemStatus::enabled},
        {"window-off", "/opt/Vorsel.app", LoginItemStatus::notRegistered},
        {"window-needs-approval", "/opt/Vorsel.app", LoginItemStatus::requiresApproval},
        {"window-misplaced", "/home/me/Downloads/Vorsel.app", LoginItemStatus::enabled},
    };
    const GuardIdentity identity{"com.ordwyn.guard", "com.ordwyn.app", ""};
    fakes::FakeFiles files;
    fakes::FakeClock clock;
    int failures = 0;
    for (const Shot& shot : shots) {
        FakeInstall fake(shot.bundle);
        fake.service().current = shot.status;
        GuardStatusView view({fake.install, files, clock, identity});
        view.show();
        QApplication::processEvents();
        const QString path = folder.filePath(QString::fromLatin1(shot.name) + ".png");
        if (!view.grab().toImage().save(path)) {
            std::fprintf(stderr, "window_shots: could not write %s\n", qPrintable(path));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
