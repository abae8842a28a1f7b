#include "MainWindow.h"

#include <kv/kv.h>

#include <QApplication>

int main(int argc, char* argv[])
{
    kv_log_set(0);
    kv_log("main()");
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("korvel.dev"));
    QCoreApplication::setApplicationName(QStringLiteral("Crypt"));
    QApplication app(argc, argv);
    auto* window = new MainWindow();
    window->show();
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QCoreApplication::quit);
    const int result = app.exec();
    delete window;
    return result;
}
