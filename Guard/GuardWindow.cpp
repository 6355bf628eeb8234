#include "Guard/GuardWindow.h"

#include <QApplication>
#include <QLabel>

namespace vorsel {

// Placeholder until the status window lands: a window with the app's name.
int GuardApp::run(int& argc, char** argv) {
    QApplication app(argc, argv);
    QLabel window(QStringLiteral("Vorsel"));
    window.setWindowTitle(QStringLiteral("Vorsel"));
    window.setMinimumWidth(460);
    window.show();
    return app.exec();
}

}  // namespace vorsel
