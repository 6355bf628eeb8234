// The application around the status window: its icon, its translations and
// its one window.
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "Guard/App/GuardWindow.h"

namespace vorsel {

QIcon GuardApp::icon(const Bundles& bundles) {
    const auto bundle = bundles.mainPath();
    const auto file = bundles.infoText("CFBundleIconFile");
    if (bundle && file) {
        const QString path = QString::fromStdString(*bundle + "/Contents/Resources/" + *file);
        if (QFile::exists(path)) {
            QIcon icon(path);
            if (!icon.isNull()) return icon;
        }
    }
    return QIcon(QStringLiteral(":/vorsel/vorsel.svg"));
}

namespace {

// Translations are optional: "<bundle>/Contents/Resources/translations/
// vorsel_<language>.qm" when a packager ships one; English text otherwise.
void loadTranslations(QApplication& app, const Bundles& bundles) {
    const auto bundle = bundles.mainPath();
    if (!bundle) return;
    auto* translator = new QTranslator(&app);
    const QString folder = QString::fromStdString(*bundle + "/Contents/Resources/translations");
    if (translator->load(QLocale(), QStringLiteral("vorsel"), QStringLiteral("_"), folder)) {
        QApplication::installTranslator(translator);
    }
}

}  // namespace

void GuardWindowDelegate::install(QApplication& app) {
    app.setQuitOnLastWindowClosed(shouldTerminateAfterLastWindowClosed());
}

int GuardApp::run(int& argc, char** argv, GuardAppPorts ports) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorsel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vorsel"));
    GuardWindowDelegate::install(app);
    loadTranslations(app, ports.bundles);
    QApplication::setWindowIcon(icon(ports.bundles));

    GuardInstall install(ports.bundles, std::move(ports.loginItems));
    GuardStatusView window({install, ports.files, ports.clock, GuardIdentity::shared()});
    window.show();
    return QApplication::exec();
}

}  // namespace vorsel
