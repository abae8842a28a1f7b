// The notice at the end of a long run: when it is due (run length, whether the
// window is active), what it says, and the call it makes to the freedesktop
// notification service, received by a fake service on a private session bus.
#include "app/DesktopNotification.h"
#include "app/RunNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kClientConnection = QStringLiteral("notice-client");
const QString kServiceConnection = QStringLiteral("notice-service");

} // namespace

// Stands in for the desktop's notification service: records every Notify call.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString appName;
        uint replacesId = 0;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
    };
    QList<Call> calls;

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& icon, const QString& summary,
        const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout)
    {
        calls.append({ appName, replacesId, icon, summary, body, actions, hints, timeout });
        return uint(calls.size());
    }
};

class TestDesktopNotification : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_busDir;
    QProcess m_bus;

private slots:
    void worthNotifying_data()
    {
        QTest::addColumn<qint64>("runMs");
        QTest::addColumn<bool>("windowActive");
        QTest::addColumn<bool>("expected");
        QTest::newRow("long run, window elsewhere") << qint64(60000) << false << true;
        QTest::newRow("long run, window active") << qint64(60000) << true << false;
        QTest::newRow("short run, window elsewhere") << qint64(1200) << false << false;
        QTest::newRow("at the limit") << RunNotifier::MinRunMs << false << false;
        QTest::newRow("just past the limit") << RunNotifier::MinRunMs + 1 << false << true;
        QTest::newRow("no time at all") << qint64(0) << false << false;
    }

    void worthNotifying()
    {
        QFETCH(qint64, runMs);
        QFETCH(bool, windowActive);
        QFETCH(bool, expected);
        QCOMPARE(RunNotifier::worthNotifying(runMs, windowActive), expected);
    }

    // A whole run against a fake clock: the notice counts what the run itself
    // finished and failed, not the totals kept from earlier runs.
    void runEnded_data()
    {
        QTest::addColumn<qint64>("runMs");
        QTest::addColumn<bool>("windowActive");
        QTest::addColumn<QList<int>>("counts"); // finished and failed at start, then at the end
        QTest::addColumn<QString>("body"); // empty: no notice

        QTest::newRow("first run") << qint64(8000) << false << QList<int> { 0, 0, 3, 1 } << "3 finished, 1 failed";
        QTest::newRow("after earlier runs")
            << qint64(8000) << false << QList<int> { 10, 2, 14, 2 } << "4 finished, 0 failed";
        QTest::newRow("all failed") << qint64(20000) << false << QList<int> { 0, 0, 0, 5 } << "0 finished, 5 failed";
        QTest::newRow("user watching") << qint64(8000) << true << QList<int> { 0, 0, 3, 1 } << QString();
        QTest::newRow("quick run") << qint64(900) << false << QList<int> { 0, 0, 3, 1 } << QString();
    }

    void runEnded()
    {
        QFETCH(qint64, runMs);
        QFETCH(bool, windowActive);
        QFETCH(QList<int>, counts);
        QFETCH(QString, body);

        qint64 now = 1000;
        RunNotifier notifier(nullptr, [&now] { return now; });
        QSignalSpy notices(&notifier, &RunNotifier::noticeDue);
        notifier.runStarted(counts[0], counts[1]);
        now += runMs;
        QCOMPARE(notifier.runEnded(counts[2], counts[3], windowActive), !body.isEmpty());
        if (body.isEmpty()) {
            QCOMPARE(notices.count(), 0);
        } else {
            QCOMPARE(notices.count(), 1);
            QCOMPARE(notices.at(0).at(0).toString(), QStringLiteral("Decryption finished"));
            QCOMPARE(notices.at(0).at(1).toString(), body);
        }
        // The run is over: a second end without a start says nothing.
        now += runMs;
        QVERIFY(!notifier.runEnded(counts[2], counts[3], false));
        QCOMPARE(notices.count(), body.isEmpty() ? 0 : 1);
    }

    void noRunNoNotice()
    {
        RunNotifier notifier;
        QSignalSpy notices(&notifier, &RunNotifier::noticeDue);
        QVERIFY(!notifier.runEnded(3, 1, false));
        QCOMPARE(notices.count(), 0);
    }

    // Where there is no bus, nothing goes out and nothing is said.
    void noBusIsQuiet()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        DesktopNotification notification(QStringLiteral("no-such-connection"));
        QVERIFY(!notification.send(QStringLiteral("Decryption finished"), QStringLiteral("1 finished, 0 failed")));
    }

    void sendsToTheNotificationService()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            QSKIP("dbus-daemon is not installed (scripts/install-deps installs it)");
        }
        QVERIFY(m_busDir.isValid());
        m_bus.start(daemon,
            { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                QStringLiteral("--address=unix:dir=") + m_busDir.path() });
        QVERIFY(m_bus.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 20000);
        const QString address = QString::fromUtf8(m_bus.readLine()).trimmed();
        QVERIFY(!address.isEmpty());

        QDBusConnection service = QDBusConnection::connectToBus(address, kServiceConnection);
        QVERIFY2(service.isConnected(), qPrintable(service.lastError().message()));
        FakeNotifications fake;
        QVERIFY(service.registerObject(
            QString::fromLatin1(DesktopNotification::Path), &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QString::fromLatin1(DesktopNotification::Service)));

        QDBusConnection client = QDBusConnection::connectToBus(address, kClientConnection);
        QVERIFY(client.isConnected());
        DesktopNotification notification(kClientConnection);
        QVERIFY(notification.send(QStringLiteral("Decryption finished"), QStringLiteral("3 finished, 1 failed")));
        QTRY_COMPARE_WITH_TIMEOUT(fake.calls.size(), 1, 20000);
        const FakeNotifications::Call& call = fake.calls.first();
        QCOMPARE(call.appName, QStringLiteral("Korvel Crypt"));
        QCOMPARE(call.replacesId, 0u);
        QCOMPARE(call.icon, QStringLiteral("korvelcrypt"));
        QCOMPARE(call.summary, QStringLiteral("Decryption finished"));
        QCOMPARE(call.body, QStringLiteral("3 finished, 1 failed"));
        QVERIFY(call.actions.isEmpty());
        QCOMPARE(call.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("korvelcrypt"));
        QCOMPARE(call.timeout, -1);

        // The notifier's notice reaches the service through the window's connection.
        qint64 now = 0;
        RunNotifier timed(nullptr, [&now] { return now; });
        connect(&timed, &RunNotifier::noticeDue, &notification, &DesktopNotification::send);
        timed.runStarted(0, 0);
        now = 30000;
        QVERIFY(timed.runEnded(2, 0, false));
        QTRY_COMPARE_WITH_TIMEOUT(fake.calls.size(), 2, 20000);
        QCOMPARE(fake.calls.last().body, QStringLiteral("2 finished, 0 failed"));

        QDBusConnection::disconnectFromBus(kClientConnection);
        QDBusConnection::disconnectFromBus(kServiceConnection);
    }

    void cleanupTestCase()
    {
        if (m_bus.state() != QProcess::NotRunning) {
            m_bus.terminate();
            if (!m_bus.waitForFinished(10000)) {
                m_bus.kill();
                m_bus.waitForFinished();
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestDesktopNotification)
#include "test_DesktopNotification.moc"
