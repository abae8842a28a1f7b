// The throughput and time-left estimate of a run in bytes, read against a fake
// clock: steady runs, bursts and stalls inside and past the smoothing window,
// too short a span, a finished run and bytes going back.
#include "engine/TransferEstimator.h"

#include <QtTest>

namespace {

// One reading: the fake clock is set to ms, then update(bytes).
struct Reading {
    qint64 ms;
    qint64 bytes;
};

} // namespace

Q_DECLARE_METATYPE(QList<Reading>)

class TestTransferEstimator : public QObject {
    Q_OBJECT

private slots:
    void estimate_data()
    {
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QList<Reading>>("readings");
        QTest::addColumn<double>("rate"); // bytes per second; negative: none yet
        QTest::addColumn<double>("left"); // seconds; negative: unknown

        const qint64 mb = 1000 * 1000;
        QTest::newRow("nothing read yet") << 100 * mb << QList<Reading> {} << -1.0 << -1.0;
        QTest::newRow("span too short") << 100 * mb << QList<Reading> { { 500, 5 * mb }, { 900, 9 * mb } } << -1.0
                                        << -1.0;
        QTest::newRow("steady 10 MB/s") << 100 * mb
                                        << QList<Reading> { { 1000, 10 * mb }, { 2000, 20 * mb }, { 3000, 30 * mb } }
                                        << 10.0 * mb << 7.0;
        // One large file: the whole total is a single task, yet the estimate moves.
        QTest::newRow("one large file, 4 MB/s")
            << 1000 * mb << QList<Reading> { { 1000, 4 * mb }, { 2000, 8 * mb } } << 4.0 * mb << 248.0;
        // Only the last five seconds count: the fast start has left the window.
        QTest::newRow("slowed down past the window")
            << 200 * mb
            << QList<Reading> { { 1000, 50 * mb }, { 2000, 100 * mb }, { 3000, 101 * mb }, { 4000, 102 * mb },
                   { 5000, 103 * mb }, { 6000, 104 * mb }, { 7000, 105 * mb } }
            << 1.0 * mb << 95.0;
        // Inside the window a burst is averaged with what came before.
        QTest::newRow("burst inside the window")
            << 100 * mb << QList<Reading> { { 1000, 1 * mb }, { 2000, 2 * mb }, { 3000, 3 * mb }, { 4000, 23 * mb } }
            << 5.75 * mb << 77.0 / 5.75;
        QTest::newRow("stalled for the whole window") << 100 * mb
                                                      << QList<Reading> { { 1000, 10 * mb }, { 2000, 10 * mb },
                                                             { 4000, 10 * mb }, { 6000, 10 * mb }, { 8000, 10 * mb } }
                                                      << 0.0 << -1.0;
        QTest::newRow("done") << 30 * mb << QList<Reading> { { 1000, 10 * mb }, { 2000, 30 * mb } } << 15.0 * mb << 0.0;
        QTest::newRow("nothing to do") << qint64(0) << QList<Reading> {} << -1.0 << 0.0;
        // A cancelled piece goes back to the queue: no progress, never negative.
        QTest::newRow("bytes going back")
            << 100 * mb << QList<Reading> { { 1000, 20 * mb }, { 2000, 10 * mb } } << 10.0 * mb << 8.0;
        // More than the total (a source that grew) stops at the total.
        QTest::newRow("past the total") << 10 * mb << QList<Reading> { { 1000, 5 * mb }, { 2000, 50 * mb } } << 5.0 * mb
                                        << 0.0;
        QTest::newRow("uneven reading times")
            << 100 * mb << QList<Reading> { { 300, 1 * mb }, { 1700, 7 * mb }, { 2500, 10 * mb } } << 4.0 * mb << 22.5;
    }

    void estimate()
    {
        QFETCH(qint64, total);
        QFETCH(QList<Reading>, readings);
        QFETCH(double, rate);
        QFETCH(double, left);

        qint64 now = 0;
        TransferEstimator estimator([&now] { return now; });
        estimator.start(total);
        for (const Reading& reading : readings) {
            now = reading.ms;
            estimator.update(reading.bytes);
        }
        QCOMPARE(estimator.totalBytes(), total);
        if (rate < 0) {
            QVERIFY2(estimator.bytesPerSecond() < 0, qPrintable(QString::number(estimator.bytesPerSecond())));
        } else {
            QVERIFY2(qAbs(estimator.bytesPerSecond() - rate) <= rate * 1e-9,
                qPrintable(QString::number(estimator.bytesPerSecond())));
        }
        if (left < 0) {
            QVERIFY2(estimator.secondsLeft() < 0, qPrintable(QString::number(estimator.secondsLeft())));
        } else {
            QVERIFY2(qAbs(estimator.secondsLeft() - left) <= 1e-9 * qMax(1.0, left),
                qPrintable(QString::number(estimator.secondsLeft())));
        }
    }

    // A new run forgets the samples of the last one.
    void startForgetsTheLastRun()
    {
        qint64 now = 0;
        TransferEstimator estimator([&now] { return now; });
        estimator.start(1000);
        now = 2000;
        estimator.update(1000);
        QVERIFY(estimator.bytesPerSecond() > 0);
        estimator.start(5000);
        QCOMPARE(estimator.bytesDone(), qint64(0));
        QVERIFY(estimator.bytesPerSecond() < 0);
        QVERIFY(estimator.secondsLeft() < 0);
        now = 3000;
        estimator.update(500);
        QCOMPARE(estimator.bytesPerSecond(), 500.0);
        QCOMPARE(estimator.secondsLeft(), 9.0);
    }

    // Measuring can begin when part of the run is done: that part is not
    // counted as if it had been done since.
    void startPartWayThrough()
    {
        qint64 now = 10000;
        TransferEstimator estimator([&now] { return now; });
        estimator.start(1000, 400);
        QCOMPARE(estimator.bytesDone(), qint64(400));
        QVERIFY(estimator.secondsLeft() < 0);
        now = 12000;
        estimator.update(600);
        QCOMPARE(estimator.bytesPerSecond(), 100.0);
        QCOMPARE(estimator.secondsLeft(), 4.0);
        // Beyond the total, or below nothing, it is held in range.
        estimator.start(1000, 5000);
        QCOMPARE(estimator.bytesDone(), qint64(1000));
        QCOMPARE(estimator.secondsLeft(), 0.0);
        estimator.start(1000, -5);
        QCOMPARE(estimator.bytesDone(), qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestTransferEstimator)
#include "test_TransferEstimator.moc"
