// Shows a notice on the desktop through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus), the way desktop
// environments show them. Where there is no bus, nothing is shown and nothing
// is said: the window has the same information in its status line. Sending
// never waits for the service.
#pragma once

#include <QObject>
#include <QString>

class DesktopNotification : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopNotification)

public:
    static constexpr const char* Service = "org.freedesktop.Notifications";
    static constexpr const char* Path = "/org/freedesktop/Notifications";
    static constexpr const char* Interface = "org.freedesktop.Notifications";

    // connectionName names a connection made with QDBusConnection::connectToBus;
    // empty means the session bus. It is looked up at each send.
    explicit DesktopNotification(const QString& connectionName = QString(), QObject* parent = nullptr);

public slots:
    // Returns whether the notice went out on a bus (not whether it was shown).
    bool send(const QString& summary, const QString& body);

private:
    QString m_connectionName;
};
