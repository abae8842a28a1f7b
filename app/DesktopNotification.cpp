#include "app/DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace {

// The name the desktop shows beside the notice: the window's title.
const QString kApplicationName = QStringLiteral("Korvel Crypt");
// The installed desktop file and icon share this name.
const QString kDesktopEntry = QStringLiteral("korvelcrypt");
// Let the service choose how long the notice stays.
constexpr int kServerDefaultTimeout = -1;

} // namespace

DesktopNotification::DesktopNotification(const QString& connectionName, QObject* parent)
    : QObject(parent)
    , m_connectionName(connectionName)
{ }

bool DesktopNotification::send(const QString& summary, const QString& body)
{
    const QDBusConnection bus
        = m_connectionName.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(m_connectionName);
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
        QString::fromLatin1(Interface), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), kDesktopEntry);
    call << kApplicationName << uint(0) << kDesktopEntry << summary << body << QStringList() << hints
         << kServerDefaultTimeout;
    // The reply (the notice's id) is of no use here: sent without waiting for it.
    return bus.send(call);
}
