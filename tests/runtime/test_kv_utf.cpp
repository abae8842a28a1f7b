#include <kv/kv.h>

#include <QRandomGenerator>
#include <QTest>

#include <cstring>
#include <iconv.h>

using Units = QList<kv_wchar_t>;
Q_DECLARE_METATYPE(Units)

namespace {

// UTF-8 to UTF-16 through the library; the units without the terminating zero,
// or the error code in rc.
Units toUtf16(const QByteArray& utf8, bool lenient, int* rc)
{
    unsigned size = 0;
    *rc = kv_utf8_to_utf16(utf8.constData(), lenient, nullptr, &size);
    if (*rc != KV_ERR_INSUFFICIENT_BUFFER)
        return {};
    Units out(size / 2 + 4, 0x5555);
    const unsigned asked = size;
    *rc = kv_utf8_to_utf16(utf8.constData(), lenient, out.data(), &size);
    if (*rc != 0 || size != asked || out[size / 2 - 1] != 0 || out[size / 2] != 0x5555)
        return {};
    out.resize(size / 2 - 1);
    return out;
}

QByteArray toUtf8(const Units& units, bool lenient, int* rc)
{
    Units src = units;
    src.append(0);
    unsigned size = 0;
    *rc = kv_utf16_to_utf8(src.constData(), lenient, nullptr, &size);
    if (*rc != KV_ERR_INSUFFICIENT_BUFFER)
        return {};
    QByteArray out(size + 4, '\x55');
    *rc = kv_utf16_to_utf8(src.constData(), lenient, out.data(), &size);
    if (*rc != 0 || out[size - 1] != '\0' || out[size] != '\x55')
        return {};
    out.truncate(size - 1);
    return out;
}

// glibc's decision on the same bytes: the UTF-16 units, or false when it refuses them.
bool iconvUtf16(iconv_t cd, const QByteArray& utf8, Units* units)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    QByteArray in = utf8;
    Units out(utf8.size() + 1, 0);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size() * 2;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)
        return false;
    out.resize(static_cast<qsizetype>((out.size() * 2 - outLeft) / 2));
    *units = out;
    return true;
}

void appendUtf8(QByteArray& s, uint32_t v)
{
    if (v < 0x80) {
        s += char(v);
    } else if (v < 0x800) {
        s += char(0xC0 | (v >> 6));
        s += char(0x80 | (v & 0x3F));
    } else if (v < 0x10000) {
        s += char(0xE0 | (v >> 12));
        s += char(0x80 | ((v >> 6) & 0x3F));
        s += char(0x80 | (v & 0x3F));
    } else {
        s += char(0xF0 | (v >> 18));
        s += char(0x80 | ((v >> 12) & 0x3F));
        s += char(0x80 | ((v >> 6) & 0x3F));
        s += char(0x80 | (v & 0x3F));
    }
}

uint32_t randomScalar(QRandomGenerator& rng)
{
    static const uint32_t limits[] = { 0x80, 0x800, 0x10000, 0x110000 };
    for (;;) {
        const uint32_t v = 1 + rng.bounded(limits[rng.bounded(4)] - 1);
        if (v < 0xD800 || v > 0xDFFF)
            return v;
    }
}

} // namespace

class TestKvUtf : public QObject {
    Q_OBJECT

private slots:
    void utf8Table_data();
    void utf8Table();
    void utf16Table_data();
    void utf16Table();
    void sizeRules();
    void roundTrips();
    void strictDecisionMatchesIconv();
    void lengths();
};

void TestKvUtf::utf8Table_data()
{
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<Units>("units");

    auto row = [](const char* name, const char* bytes, bool valid, Units units = {}) {
        QTest::newRow(name) << QByteArray(bytes) << valid << units;
    };
    row("ascii 7F", "\x7f", true, { 0x7F });
    row("C2 80", "\xc2\x80", true, { 0x80 });
    row("DF BF", "\xdf\xbf", true, { 0x7FF });
    row("C0 80 overlong", "\xc0\x80", false);
    row("C1 BF overlong", "\xc1\xbf", false);
    row("E0 A0 80", "\xe0\xa0\x80", true, { 0x800 });
    row("E0 9F BF overlong", "\xe0\x9f\xbf", false);
    row("E1 80 80", "\xe1\x80\x80", true, { 0x1000 });
    row("ED 9F BF", "\xed\x9f\xbf", true, { 0xD7FF });
    row("ED A0 80 surrogate", "\xed\xa0\x80", false);
    row("ED BF BF surrogate", "\xed\xbf\xbf", false);
    row("EE 80 80", "\xee\x80\x80", true, { 0xE000 });
    row("EF BF BF", "\xef\xbf\xbf", true, { 0xFFFF });
    row("F0 90 80 80", "\xf0\x90\x80\x80", true, { 0xD800, 0xDC00 });
    row("F0 8F BF BF overlong", "\xf0\x8f\xbf\xbf", false);
    row("F1 80 80 80", "\xf1\x80\x80\x80", true, { 0xD8C0, 0xDC00 });
    row("F4 8F BF BF", "\xf4\x8f\xbf\xbf", true, { 0xDBFF, 0xDFFF });
    row("F4 90 80 80 above 10FFFF", "\xf4\x90\x80\x80", false);
    row("F5 lead", "\xf5\x80\x80\x80", false);
    row("FF lead", "\xff", false);
    row("lone continuation",
        "a\x80"
        "b",
        false);
    row("continuation BF", "\xbf", false);
    row("cut 2", "\xc2", false);
    row("cut 3", "\xe0\xa0", false);
    row("cut 4", "\xf0\x90\x80", false);
    row("bad second", "\xc2\x41", false);
    row("bad third", "\xe1\x80\xc0", false);
    row("bad fourth", "\xf1\x80\x80\x7f", false);
    row("five bytes", "\xf8\x88\x80\x80\x80", false);
    row("six bytes", "\xfc\x84\x80\x80\x80\x80", false);
    row("mixed", "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true, { 'a', 0xE9, 0x20AC, 0xD83D, 0xDE00 });
    row("empty", "", true, {});
}

void TestKvUtf::utf8Table()
{
    QFETCH(QByteArray, utf8);
    QFETCH(bool, valid);
    QFETCH(Units, units);

    // The table excludes encoded surrogates and values above 10FFFF in both modes.
    for (bool lenient : { false, true }) {
        int rc = -1;
        const Units got = toUtf16(utf8, lenient, &rc);
        QCOMPARE(rc, valid ? 0 : 22);
        QCOMPARE(got, units);
    }
    Units out(16, 0x5555);
    unsigned size = out.size() * 2;
    QCOMPARE(kv_utf8_to_wchar(utf8.constData(), out.data(), &size), valid ? 0 : 22);
}

void TestKvUtf::utf16Table_data()
{
    QTest::addColumn<Units>("units");
    QTest::addColumn<int>("strict");
    QTest::addColumn<QByteArray>("utf8"); // expected in lenient mode, and in strict mode when valid

    QTest::newRow("7F") << Units { 0x7F } << 0 << QByteArray("\x7f");
    QTest::newRow("80") << Units { 0x80 } << 0 << QByteArray("\xc2\x80");
    QTest::newRow("7FF") << Units { 0x7FF } << 0 << QByteArray("\xdf\xbf");
    QTest::newRow("800") << Units { 0x800 } << 0 << QByteArray("\xe0\xa0\x80");
    QTest::newRow("FFFF") << Units { 0xFFFF } << 0 << QByteArray("\xef\xbf\xbf");
    QTest::newRow("first pair") << Units { 0xD800, 0xDC00 } << 0 << QByteArray("\xf0\x90\x80\x80");
    QTest::newRow("last pair") << Units { 0xDBFF, 0xDFFF } << 0 << QByteArray("\xf4\x8f\xbf\xbf");
    QTest::newRow("lone high") << Units { 0xD800 } << 22 << QByteArray("\xed\xa0\x80");
    QTest::newRow("lone low") << Units { 0xDFFF } << 22 << QByteArray("\xed\xbf\xbf");
    QTest::newRow("high then letter") << Units { 0xDBFF, 'A' } << 22
                                      << QByteArray("\xed\xaf\xbf"
                                                    "A");
    QTest::newRow("reversed pair") << Units { 0xDC00, 0xD800 } << 22 << QByteArray("\xed\xb0\x80\xed\xa0\x80");
    QTest::newRow("two highs then low") << Units { 0xD800, 0xD800, 0xDC00 } << 22
                                        << QByteArray("\xed\xa0\x80\xf0\x90\x80\x80");
}

void TestKvUtf::utf16Table()
{
    QFETCH(Units, units);
    QFETCH(int, strict);
    QFETCH(QByteArray, utf8);

    int rc = -1;
    QByteArray got = toUtf8(units, false, &rc);
    QCOMPARE(rc, strict);
    QCOMPARE(got, strict == 0 ? utf8 : QByteArray());
    got = toUtf8(units, true, &rc);
    QCOMPARE(rc, 0);
    QCOMPARE(got, utf8);

    Units src = units;
    src.append(0);
    char out[32];
    unsigned size = sizeof out;
    QCOMPARE(kv_wchar_to_utf8(src.constData(), out, &size), strict);
}

void TestKvUtf::sizeRules()
{
    const char* text = "x\xf0\x9f\x98\x80"; // x and a 4-byte character: 4 units with the zero
    unsigned size = 0;
    QCOMPARE(kv_utf8_to_wchar(text, nullptr, &size), KV_ERR_INSUFFICIENT_BUFFER);
    QCOMPARE(size, 8u);

    kv_wchar_t out[6] = { 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555 };
    size = 7; // one byte short: nothing is written
    QCOMPARE(kv_utf8_to_wchar(text, out, &size), KV_ERR_INSUFFICIENT_BUFFER);
    QCOMPARE(size, 8u);
    QCOMPARE(out[0], kv_wchar_t(0x5555));
    size = 8;
    QCOMPARE(kv_utf8_to_wchar(text, out, &size), 0);
    QCOMPARE(size, 8u);
    const kv_wchar_t expected[] = { 'x', 0xD83D, 0xDE00, 0, 0x5555 };
    QCOMPARE(memcmp(out, expected, sizeof expected), 0);

    size = 4;
    QCOMPARE(kv_utf8_to_wchar(text, nullptr, &size), 22);
    QCOMPARE(kv_utf8_to_wchar(nullptr, out, &size), 22);
    QCOMPARE(kv_utf8_to_wchar(text, out, nullptr), 22);
    size = 0;
    QCOMPARE(kv_utf8_to_wchar("\x80", nullptr, &size), 22); // a bad source is reported before the size
    QCOMPARE(size, 0u);

    char bytes[8];
    size = 5;
    QCOMPARE(kv_wchar_to_utf8(expected, bytes, &size), KV_ERR_INSUFFICIENT_BUFFER);
    QCOMPARE(size, 6u);
    size = 0;
    QCOMPARE(kv_wchar_to_utf8(expected, nullptr, &size), KV_ERR_INSUFFICIENT_BUFFER);
    QCOMPARE(size, 6u);
    QCOMPARE(kv_wchar_to_utf8(expected, bytes, &size), 0);
    QCOMPARE(QByteArray(bytes), QByteArray(text));
}

void TestKvUtf::roundTrips()
{
    QRandomGenerator rng(16);
    for (int round = 0; round < 2000; ++round) {
        QByteArray utf8;
        const int n = rng.bounded(40);
        for (int i = 0; i < n; ++i)
            appendUtf8(utf8, randomScalar(rng));
        int rc = -1;
        const Units units = toUtf16(utf8, false, &rc);
        QCOMPARE(rc, 0);
        QCOMPARE(QString::fromUtf16(reinterpret_cast<const char16_t*>(units.constData()), units.size()),
            QString::fromUtf8(utf8));
        QCOMPARE(toUtf8(units, false, &rc), utf8);
        QCOMPARE(rc, 0);
    }
}

void TestKvUtf::strictDecisionMatchesIconv()
{
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    QVERIFY(cd != reinterpret_cast<iconv_t>(-1));
    QRandomGenerator rng(17);
    int valid = 0, invalid = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray utf8;
        const int n = 1 + rng.bounded(24);
        for (int i = 0; i < n; ++i)
            appendUtf8(utf8, randomScalar(rng));
        // Damage some: random bytes, cut sequences, encoded surrogates and values past 10FFFF.
        const int damage = rng.bounded(4);
        for (int d = 0; d < damage; ++d) {
            const int at = rng.bounded(utf8.size());
            switch (rng.bounded(4)) {
            case 0:
                utf8[at] = char(1 + rng.bounded(255));
                break;
            case 1:
                utf8.truncate(at + 1);
                break;
            case 2:
                utf8.insert(at, QByteArray("\xed") + char(0x80 + rng.bounded(64)) + char(0x80 + rng.bounded(64)));
                break;
            default:
                utf8.insert(at, QByteArray("\xf4") + char(0x80 + rng.bounded(64)) + "\x80\x80");
                break;
            }
        }
        int rc = -1;
        const Units ours = toUtf16(utf8, false, &rc);
        Units reference;
        const bool accepted = iconvUtf16(cd, utf8, &reference);
        QVERIFY2(accepted == (rc == 0), utf8.toHex(' ').constData());
        if (accepted) {
            QCOMPARE(ours, reference);
            ++valid;
        } else {
            ++invalid;
        }
    }
    iconv_close(cd);
    QVERIFY(valid > 1000 && invalid > 1000);
}

void TestKvUtf::lengths()
{
    const kv_wchar_t wide[] = { 'a', 0xD83D, 0xDE00, 0 };
    QCOMPARE(kv_utf16_len(wide), 3u);
    QCOMPARE(kv_utf16_len(nullptr), 0u);
    QCOMPARE(kv_utf8_len("a\xc3\xa9"), 3u);
    QCOMPARE(kv_utf8_len(nullptr), 0u);
}

QTEST_GUILESS_MAIN(TestKvUtf)
#include "test_kv_utf.moc"
