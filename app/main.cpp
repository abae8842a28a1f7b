#include "app/BusyDialog.h"
#include "app/CommandLine.h"
#include "app/LaunchChannel.h"
#include "app/MainWindow.h"
#include "app/ReloadFailedDialog.h"
#include "app/Translations.h"
#include "engine/LocalPath.h"
#include "engine/ProcessProtection.h"

#include <kv/kv.h>

#include <QApplication>
#include <QDir>
#include <QSettings>

int main(int argc, char* argv[])
{
    // Before any passphrase or plaintext is in memory.
    ProcessProtection::makeNonDumpable();
    ProcessProtection::keepFileSizeLimitAWriteError();
    kv_log_set(0);
    kv_log("main()");
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.dev"));
    QCoreApplication::setApplicationName(QStringLiteral("Crypt"));
    // The usage and version texts need no display: answer them before the
    // application object, which cannot start without one on X11.
    // By their bytes: names that are not UTF-8 too, which Qt's arguments() loses.
    const auto decoded = [&argc, argv] {
        QStringList list;
        for (int i = 0; i < argc; ++i) {
            list.append(LocalPath::decode(QByteArray(argv[i])));
        }
        return list;
    };
    QStringList arguments = decoded();
    if (CommandLine::answer(arguments)) {
        return 0;
    }
    QApplication app(argc, argv);
    arguments = decoded(); // without the options Qt took for itself
    const Translations translations(QLocale::system());
    // A window open already takes the files (or only comes to the front), and
    // this start ends; else this window listens for later starts.
    const CommandLine commandLine(arguments, QDir::currentPath());
    LaunchChannel channel;
    if (!commandLine.newInstance() && !QSettings().value(QStringLiteral("settings/newInstance")).toBool()) {
        const QStringList paths
            = commandLine.action() == CommandLine::Action::Load ? commandLine.paths() : QStringList();
        if (LaunchChannel::handOver(paths)) {
            return 0;
        }
        channel.listen();
    }
    auto* window = new MainWindow();
    MainWindow::handleCommandLine(arguments);
    QObject::connect(&channel, &LaunchChannel::filesArrived, window, &MainWindow::onFilesHandedOver);
    window->show();
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QCoreApplication::quit);
    const int result = app.exec();
    // The window stops and destroys both managers and its settings and about
    // dialogs. The busy and reload-failed dialogs live for the whole run and go
    // after it, when nothing can show them any more; every widget goes before the
    // application object.
    delete window;
    BusyDialog::destroyInstance();
    ReloadFailedDialog::destroyInstance();
    return result;
}
