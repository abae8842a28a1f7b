#include <kv/kv.h>

#include <QTest>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

Q_DECLARE_METATYPE(int64_t)
Q_DECLARE_METATYPE(uint64_t)

class TestKvTime : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void clockConvertsExactly();
    void clock();
    void intervals();
    void futureIsRefused();
    void usecDiff();
    void tvIncr_data();
    void tvIncr();
    void tvDec_data();
    void tvDec();
    void calendar();
    void strftime();
    void convertEpoch_data();
    void convertEpoch();
};

void TestKvTime::initTestCase()
{
    // A fixed zone makes the local calendar checks exact.
    qputenv("TZ", "UTC");
    tzset();
}

// Runs before anything in this process calls kv_time_init (slots run in the
// order declared): until then the clock counts from CLOCK_MONOTONIC's own origin,
// so its reading lies between the monotonic nanoseconds / 1000 read just before
// and just after it. After hours of uptime a conversion off by 64 ppm misses
// that window by far more than the microseconds the window spans.
void TestKvTime::clockConvertsExactly()
{
    const auto monotonicUsec = [] {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec) / 1000;
    };
    for (int i = 0; i < 100; ++i) {
        const int64_t before = monotonicUsec();
        kv_timeval_t tv;
        QCOMPARE(kv_time_gettimeofday(&tv, nullptr), 0);
        const int64_t after = monotonicUsec();
        const int64_t usec = int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
        QVERIFY2(before <= usec && usec <= after,
            qPrintable(QStringLiteral("%1 <= %2 <= %3").arg(before).arg(usec).arg(after)));
    }
}

void TestKvTime::clock()
{
    kv_timeval_t before;
    QCOMPARE(kv_time_gettimeofday(&before, nullptr), 0); // usable before init: from the clock's origin
    QCOMPARE(kv_time_init(), 0);
    QCOMPARE(kv_time_init(), 0); // a second call changes nothing
    int64_t frequency = 0;
    QCOMPARE(kv_time_sys_tick_frequency(&frequency), 0);
    QCOMPARE(frequency, int64_t(1000000000));
    QCOMPARE(kv_time_print(), 0);

    kv_timeval_t previous { 0, 0 };
    for (int i = 0; i < 1000; ++i) {
        kv_timeval_t now;
        QCOMPARE(kv_time_gettimeofday(&now, nullptr), 0);
        QVERIFY(now.tv_usec >= 0 && now.tv_usec <= 999999);
        QVERIFY(kv_time_get_usec_diff(&now, &previous) >= 0); // never runs backwards
        previous = now;
    }
    QCOMPARE(kv_time_gettimeofday(nullptr, nullptr), 22);
    QCOMPARE(kv_time_sys_tick_frequency(nullptr), 22);
}

void TestKvTime::intervals()
{
    kv_time_init();
    kv_timeval_t then;
    QCOMPARE(kv_time_gettimeofday(&then, nullptr), 0);
    uint64_t a = 0, b = 0, c = 0;
    kv_timeval_t now { -1, -1 };
    QCOMPARE(kv_time_get_usec_since(&then, &a), 0);
    QCOMPARE(kv_time_get_usec_since_small(&then, &b), 0);
    QCOMPARE(kv_time_getnstore_usec_since(&then, &now, &c), 0);
    QVERIFY(a <= b && b <= c);
    QCOMPARE(uint64_t(kv_time_get_usec_diff(&now, &then)), c); // the stored now is the one measured
    QCOMPARE(kv_time_get_usec_since(nullptr, &a), 22);
    QCOMPARE(kv_time_get_usec_since(&then, nullptr), 22);
    QCOMPARE(kv_time_getnstore_usec_since(&then, nullptr, &c), 22);
}

void TestKvTime::futureIsRefused()
{
    kv_time_init();
    kv_timeval_t future;
    QCOMPARE(kv_time_gettimeofday(&future, nullptr), 0);
    future.tv_sec += 1;
    uint64_t usec = 12345;
    kv_timeval_t now;
    QCOMPARE(kv_time_get_usec_since(&future, &usec), 22);
    QCOMPARE(kv_time_get_usec_since_small(&future, &usec), 22);
    QCOMPARE(kv_time_getnstore_usec_since(&future, &now, &usec), 22);
    QCOMPARE(usec, uint64_t(12345));
}

void TestKvTime::usecDiff()
{
    const kv_timeval_t a { 10, 5 }, b { 8, 999999 };
    QCOMPARE(kv_time_get_usec_diff(&a, &b), int64_t(1000006));
    QCOMPARE(kv_time_get_usec_diff(&b, &a), int64_t(-1000006));
    const kv_timeval_t far { INT32_MAX, 999999 }, early { INT32_MIN, 0 };
    QCOMPARE(kv_time_get_usec_diff(&far, &early), (int64_t(UINT32_MAX)) * 1000000 + 999999);
}

void TestKvTime::tvIncr_data()
{
    QTest::addColumn<int>("sec");
    QTest::addColumn<int>("usec");
    QTest::addColumn<uint64_t>("add");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("newSec");
    QTest::addColumn<int>("newUsec");

    QTest::newRow("carry") << 1 << 999999 << uint64_t(2) << 0 << 2 << 1;
    QTest::newRow("exact second") << 1 << 0 << uint64_t(1000000) << 0 << 2 << 0;
    QTest::newRow("to 999999") << 0 << 999998 << uint64_t(1) << 0 << 0 << 999999;
    QTest::newRow("seconds and carry") << 5 << 600000 << uint64_t(3500000) << 0 << 9 << 100000;
    QTest::newRow("to the last second") << INT32_MAX - 1 << 999999 << uint64_t(1) << 0 << INT32_MAX << 0;
    QTest::newRow("past 32 bits") << INT32_MAX << 999999 << uint64_t(1) << int(ERANGE) << INT32_MAX << 999999;
    QTest::newRow("huge") << 0 << 0 << UINT64_MAX << int(ERANGE) << 0 << 0;
}

void TestKvTime::tvIncr()
{
    QFETCH(int, sec);
    QFETCH(int, usec);
    QFETCH(uint64_t, add);
    QFETCH(int, result);
    QFETCH(int, newSec);
    QFETCH(int, newUsec);
    kv_timeval_t tv { sec, usec };
    QCOMPARE(kv_time_tv_incr(&tv, add), result);
    QCOMPARE(tv.tv_sec, newSec);
    QCOMPARE(tv.tv_usec, newUsec);
}

void TestKvTime::tvDec_data()
{
    QTest::addColumn<int>("sec");
    QTest::addColumn<int>("usec");
    QTest::addColumn<uint64_t>("sub");
    QTest::addColumn<int>("newSec");
    QTest::addColumn<int>("newUsec");

    QTest::newRow("borrow") << 1 << 0 << uint64_t(1) << 0 << 999999;
    QTest::newRow("no borrow") << 1 << 500 << uint64_t(500) << 1 << 0;
    QTest::newRow("cut to one second") << 1 << 0 << uint64_t(3000000) << 0 << 0;
    QTest::newRow("one second") << 3 << 250000 << uint64_t(1000000) << 2 << 250000;
    QTest::newRow("below zero") << 0 << 0 << uint64_t(1) << -1 << 999999;
}

void TestKvTime::tvDec()
{
    QFETCH(int, sec);
    QFETCH(int, usec);
    QFETCH(uint64_t, sub);
    QFETCH(int, newSec);
    QFETCH(int, newUsec);
    kv_timeval_t tv { sec, usec };
    QCOMPARE(kv_time_tv_dec(&tv, sub), 0);
    QCOMPARE(tv.tv_sec, newSec);
    QCOMPARE(tv.tv_usec, newUsec);
    QCOMPARE(kv_time_tv_dec(nullptr, sub), 22);
}

void TestKvTime::calendar()
{
    struct tm cal;
    const int64_t leapDay = 951782400; // 2000-02-29 00:00:00 UTC
    QCOMPARE(kv_time_gmtime(&leapDay, &cal), 0);
    QCOMPARE(cal.tm_year, 100);
    QCOMPARE(cal.tm_mon, 1);
    QCOMPARE(cal.tm_mday, 29);

    const int64_t beyond32 = 4102444800LL; // 2100-01-01: needs 64 bits
    QCOMPARE(kv_time_gmtime(&beyond32, &cal), 0);
    QCOMPARE(cal.tm_year, 200);
    int64_t back = 0;
    QCOMPARE(kv_time_mktime(&cal, &back), 0);
    QCOMPARE(back, beyond32);

    const int32_t negative = -1; // widened before conversion: 1969-12-31 23:59:59
    QCOMPARE(kv_time_localtime(&negative, &cal), 0);
    QCOMPARE(cal.tm_year, 69);
    QCOMPARE(cal.tm_sec, 59);
    QCOMPARE(kv_time_mktime(&cal, &back), 0); // -1 is a real moment, not a failure
    QCOMPARE(back, int64_t(-1));

    const int32_t max32 = INT32_MAX;
    QCOMPARE(kv_time_localtime(&max32, &cal), 0);
    QCOMPARE(cal.tm_year, 138);

    const int64_t huge = INT64_MAX;
    QCOMPARE(kv_time_gmtime(&huge, &cal), EOVERFLOW);
    QCOMPARE(kv_time_gmtime(nullptr, &cal), 22);
    QCOMPARE(kv_time_localtime(&negative, nullptr), 22);
    QCOMPARE(kv_time_mktime(nullptr, &back), 22);
}

void TestKvTime::strftime()
{
    const int64_t moment = 951825780; // 2000-02-29 12:03:00 UTC
    char buffer[32];
    QCOMPARE(kv_time_strftime(&moment, buffer, sizeof buffer), 0);
    QCOMPARE(QByteArray(buffer), QByteArray("2000-02-29 12:03"));
    QCOMPARE(kv_time_strftime(&moment, buffer, 17), 0); // exactly the text and its zero
    memset(buffer, 'Z', sizeof buffer);
    QCOMPARE(kv_time_strftime(&moment, buffer, 16), KV_ERR_INSUFFICIENT_BUFFER);
    QCOMPARE(buffer[16], 'Z');
    QCOMPARE(kv_time_strftime(&moment, buffer, 0), 22);
    QCOMPARE(kv_time_strftime(&moment, nullptr, 16), 22);
    const int64_t huge = INT64_MAX;
    QCOMPARE(kv_time_strftime(&huge, buffer, sizeof buffer), 22);
}

void TestKvTime::convertEpoch_data()
{
    QTest::addColumn<uint64_t>("fileTime");
    QTest::addColumn<int64_t>("seconds");

    QTest::newRow("1970") << uint64_t(116444736000000000ULL) << int64_t(0);
    QTest::newRow("just before a second") << uint64_t(116444736000000000ULL + 9999999) << int64_t(0);
    QTest::newRow("one second") << uint64_t(116444736000000000ULL + 10000000) << int64_t(1);
    QTest::newRow("2000-02-29") << uint64_t(116444736000000000ULL + 9517824000000000ULL) << int64_t(951782400);
    QTest::newRow("1601 truncates toward zero") << uint64_t(0) << int64_t(-11644473600LL);
    QTest::newRow("half a second before 1970") << uint64_t(116444736000000000ULL - 5000000) << int64_t(0);
    QTest::newRow("1.5 s before 1970") << uint64_t(116444736000000000ULL - 15000000) << int64_t(-1);
    QTest::newRow("high word only") << (uint64_t(0x01D00000) << 32) << int64_t(1415965319);
}

void TestKvTime::convertEpoch()
{
    QFETCH(uint64_t, fileTime);
    QFETCH(int64_t, seconds);
    int64_t out = 42;
    QCOMPARE(kv_time_convert_epoch(&out, uint32_t(fileTime), uint32_t(fileTime >> 32)), 0);
    QCOMPARE(out, seconds);
    QCOMPARE(kv_time_convert_epoch(nullptr, 0, 0), 22);
}

QTEST_GUILESS_MAIN(TestKvTime)
#include "test_kv_time.moc"
