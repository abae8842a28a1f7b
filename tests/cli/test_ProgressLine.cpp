#include "cli/ProgressLine.h"

#include <QTest>

#include <limits>

class TestProgressLine : public QObject {
    Q_OBJECT

private slots:
    void formatBytes_data();
    void formatBytes();
    void formatDuration_data();
    void formatDuration();
    void text_data();
    void text();
};

void TestProgressLine::formatBytes_data()
{
    QTest::addColumn<double>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing") << 0.0 << "0 B";
    QTest::newRow("negative") << -5.0 << "0 B";
    QTest::newRow("below a KiB") << 1023.0 << "1023 B";
    QTest::newRow("one KiB") << 1024.0 << "1.00 KiB";
    QTest::newRow("one and a half KiB") << 1536.0 << "1.50 KiB";
    QTest::newRow("tens of MiB") << 20.0 * 1048576 << "20.0 MiB";
    QTest::newRow("hundreds of MiB") << 500.0 * 1048576 << "500 MiB";
    QTest::newRow("one GiB") << 1073741824.0 << "1.00 GiB";
    QTest::newRow("past the last unit") << 2048.0 * 1125899906842624.0 << "2048 PiB";
}

void TestProgressLine::formatBytes()
{
    QFETCH(double, bytes);
    QFETCH(QString, text);
    QCOMPARE(ProgressLine::formatBytes(bytes), text);
}

void TestProgressLine::formatDuration_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0:00";
    QTest::newRow("part of a second rounds up") << 0.2 << "0:01";
    QTest::newRow("minutes") << 125.0 << "2:05";
    QTest::newRow("hours") << 3723.0 << "1:02:03";
    QTest::newRow("negative") << -1.0 << "--:--";
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "--:--";
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "--:--";
}

void TestProgressLine::formatDuration()
{
    QFETCH(double, seconds);
    QFETCH(QString, text);
    QCOMPARE(ProgressLine::formatDuration(seconds), text);
}

void TestProgressLine::text_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<double>("bytesDone");
    QTest::addColumn<double>("bytesTotal");
    QTest::addColumn<double>("elapsed");
    QTest::addColumn<QString>("text");
    const double mib = 1048576;
    QTest::newRow("before any byte") << 0 << 3 << 0.0 << 30 * mib << 0.5 << "0/3 files  0 B / 30.0 MiB  ETA --:--";
    QTest::newRow("no time yet") << 0 << 3 << mib << 30 * mib << 0.0 << "0/3 files  1.00 MiB / 30.0 MiB  ETA --:--";
    QTest::newRow("halfway") << 1 << 2 << 10 * mib << 20 * mib << 2.0
                             << "1/2 files  10.0 MiB / 20.0 MiB  5.00 MiB/s  ETA 0:02";
    QTest::newRow("done") << 2 << 2 << 20 * mib << 20 * mib << 4.0
                          << "2/2 files  20.0 MiB / 20.0 MiB  5.00 MiB/s  ETA 0:00";
}

void TestProgressLine::text()
{
    QFETCH(int, done);
    QFETCH(int, total);
    QFETCH(double, bytesDone);
    QFETCH(double, bytesTotal);
    QFETCH(double, elapsed);
    QFETCH(QString, text);
    QCOMPARE(ProgressLine::text(done, total, bytesDone, bytesTotal, elapsed), text);
}

QTEST_GUILESS_MAIN(TestProgressLine)
#include "test_ProgressLine.moc"
