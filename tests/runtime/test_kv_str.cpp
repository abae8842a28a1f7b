#include <kv/kv.h>

#include "runtime/src/kv_internal.h"

#include <QRandomGenerator>
#include <QTest>

#include <climits>
#include <cstring>
#include <openssl/evp.h>

Q_DECLARE_METATYPE(int64_t)

namespace {

// Base64 of data through the library; empty on failure.
QByteArray encode64(const QByteArray& data, bool url = false)
{
    QByteArray out(4 * ((data.size() + 2) / 3) + 1, '\xAA');
    const int rc = url ? kv_str_buf_to_base64url(data.constData(), data.size(), out.data(), out.size())
                       : kv_str_buf_to_base64(data.constData(), data.size(), out.data(), out.size());
    return rc == 0 ? QByteArray(out.constData()) : QByteArray();
}

QByteArray randomBytes(QRandomGenerator& rng, int n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = static_cast<char>(rng.bounded(256));
    return b;
}

using Decoder = int (*)(const char*, unsigned, void*, unsigned, int*);

} // namespace

class TestKvStr : public QObject {
    Q_OBJECT

private slots:
    void parseNumbers_data();
    void parseNumbers();
    void parseNarrowed_data();
    void parseNarrowed();
    void formatNumbers();
    void wildcards_data();
    void wildcards();
    void wildcardsPresent_data();
    void wildcardsPresent();
    void manyStarsStayFast();
    void tokenize_data();
    void tokenize();
    void tokenLimit();
    void copiesAndReplace();
    void hex_data();
    void hex();
    void base64Encode_data();
    void base64Encode();
    void base64Decode_data();
    void base64Decode();
    void base64RoundTripsEveryLength();
    void base64OutputStaysInBuffer();
    void base64MatchesOpenSsl();
    void base64StepFunctions();
    void boundedFormatter();
};

void TestKvStr::parseNumbers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<int64_t>("value");
    QTest::addColumn<int>("consumed");

    const int range = KV_ERR_INSUFFICIENT_BUFFER;
    QTest::newRow("hex after blanks") << QByteArray(" \t 0xff") << 0 << int64_t(255) << 7;
    QTest::newRow("hex upper prefix") << QByteArray("0XfF") << 0 << int64_t(255) << 4;
    QTest::newRow("negative octal") << QByteArray("-010") << 0 << int64_t(-8) << 4;
    QTest::newRow("binary") << QByteArray("%101") << 0 << int64_t(5) << 4;
    QTest::newRow("octal without digits") << QByteArray("08") << 22 << int64_t(0) << 1;
    QTest::newRow("hex without digits") << QByteArray("0x") << 22 << int64_t(0) << 2;
    QTest::newRow("nothing") << QByteArray("  ") << 22 << int64_t(0) << 2;
    QTest::newRow("plus sign") << QByteArray("+5") << 22 << int64_t(0) << 0;
    QTest::newRow("lone zero") << QByteArray("0") << 0 << int64_t(0) << 1;
    QTest::newRow("stops at non-digit") << QByteArray("12ab") << 0 << int64_t(12) << 2;
    QTest::newRow("binary stops at 2") << QByteArray("%1012") << 0 << int64_t(5) << 4;
    QTest::newRow("octal stops at 8") << QByteArray("0178") << 0 << int64_t(15) << 3;
    QTest::newRow("max decimal") << QByteArray("9223372036854775807") << 0 << int64_t(INT64_MAX) << 19;
    QTest::newRow("2^63 decimal") << QByteArray("9223372036854775808") << range << int64_t(0) << 19;
    QTest::newRow("min decimal") << QByteArray("-9223372036854775808") << 0 << int64_t(INT64_MIN) << 20;
    QTest::newRow("below min decimal") << QByteArray("-9223372036854775809") << range << int64_t(0) << 19;
    QTest::newRow("max hex") << QByteArray("0x7fffffffffffffff") << 0 << int64_t(INT64_MAX) << 18;
    QTest::newRow("2^63 hex") << QByteArray("0x8000000000000000") << range << int64_t(0) << 18;
    QTest::newRow("min hex") << QByteArray("-0x8000000000000000") << 0 << int64_t(INT64_MIN) << 19;
    QTest::newRow("2^64 hex") << QByteArray("0x10000000000000000") << range << int64_t(0) << 18;
    QTest::newRow("max octal") << QByteArray("0777777777777777777777") << 0 << int64_t(INT64_MAX) << 22;
    QTest::newRow("2^63 octal") << QByteArray("01000000000000000000000") << range << int64_t(0) << 23;
    QTest::newRow("max binary") << QByteArray("%" + QByteArray(63, '1')) << 0 << int64_t(INT64_MAX) << 64;
    QTest::newRow("min binary") << QByteArray("-%1" + QByteArray(63, '0')) << 0 << int64_t(INT64_MIN) << 66;
    QTest::newRow("2^64 binary") << QByteArray("%1" + QByteArray(64, '0')) << range << int64_t(0) << 65;
}

void TestKvStr::parseNumbers()
{
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(int64_t, value);
    QFETCH(int, consumed);

    int64_t out = 4242;
    const char* end = nullptr;
    QCOMPARE(kv_str_ahtoll_err(text.constData(), &out, &end), result);
    QCOMPARE(end - text.constData(), consumed);
    QCOMPARE(out, result == 0 ? value : int64_t(4242)); // written only on success
    QCOMPARE(kv_str_ahtoll(text.constData()), result == 0 ? value : 0);
}

void TestKvStr::parseNarrowed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("intResult");
    QTest::addColumn<int>("intValue");
    QTest::addColumn<int>("unsignedResult");
    QTest::addColumn<unsigned>("unsignedValue");

    const int range = KV_ERR_INSUFFICIENT_BUFFER;
    QTest::newRow("-1") << QByteArray("-1") << 0 << -1 << range << 0u;
    QTest::newRow("int max") << QByteArray("2147483647") << 0 << INT_MAX << 0 << 2147483647u;
    QTest::newRow("int max + 1") << QByteArray("2147483648") << range << 0 << 0 << 2147483648u;
    QTest::newRow("int min") << QByteArray("-2147483648") << 0 << INT_MIN << range << 0u;
    QTest::newRow("int min - 1") << QByteArray("-2147483649") << range << 0 << range << 0u;
    QTest::newRow("unsigned max hex") << QByteArray("0xffffffff") << range << 0 << 0 << 4294967295u;
    QTest::newRow("2^32") << QByteArray("4294967296") << range << 0 << range << 0u;
    QTest::newRow("-0") << QByteArray("-0") << 0 << 0 << 0 << 0u;
    QTest::newRow("bad") << QByteArray("x") << 22 << 0 << 22 << 0u;
}

void TestKvStr::parseNarrowed()
{
    QFETCH(QByteArray, text);
    QFETCH(int, intResult);
    QFETCH(int, intValue);
    QFETCH(int, unsignedResult);
    QFETCH(unsigned, unsignedValue);

    int i = 77;
    unsigned u = 77;
    QCOMPARE(kv_str_ahtoi_err(text.constData(), &i, nullptr), intResult);
    QCOMPARE(i, intResult == 0 ? intValue : 77);
    QCOMPARE(kv_str_ahtou_err(text.constData(), &u, nullptr), unsignedResult);
    QCOMPARE(u, unsignedResult == 0 ? unsignedValue : 77u);
    QCOMPARE(kv_str_ahtoi(text.constData()), intResult == 0 ? intValue : 0);
}

void TestKvStr::formatNumbers()
{
    char buffer[KV_STR_FTOA_SIZE + 8];
    QCOMPARE(kv_str_itoa(INT_MIN, buffer), buffer);
    QCOMPARE(QByteArray(buffer), QByteArray("-2147483648"));
    QCOMPARE(QByteArray(kv_str_uitoa(UINT_MAX, buffer)), QByteArray("4294967295"));
    QCOMPARE(QByteArray(kv_str_lltoa(INT64_MIN, buffer)), QByteArray("-9223372036854775808"));
    QCOMPARE(QByteArray(kv_str_ulltoa(UINT64_MAX, buffer)), QByteArray("18446744073709551615"));
    QCOMPARE(QByteArray(kv_str_ftoa(1.5, buffer)), QByteArray("1.500000"));

    // The longest "%f" output fits the documented size and nothing past it is touched.
    memset(buffer, 'Z', sizeof buffer);
    kv_str_ftoa(-1.7976931348623157e308, buffer);
    QVERIFY(strlen(buffer) < KV_STR_FTOA_SIZE);
    QVERIFY(QByteArray(buffer).endsWith(".000000"));
    QCOMPARE(buffer[KV_STR_FTOA_SIZE], 'Z');
    QVERIFY(!kv_str_itoa(1, nullptr));

    QCOMPARE(kv_str_atoi("  -42x"), -42);
    QCOMPARE(kv_str_atol("17"), 17);
    QCOMPARE(kv_str_atoll("-9223372036854775807"), -INT64_MAX);
    QCOMPARE(kv_str_atof("2.25"), 2.25);
    QCOMPARE(kv_str_atoi(nullptr), 0);
}

void TestKvStr::wildcards_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");

    QTest::newRow("a* / a") << QByteArray("a*") << QByteArray("a") << 0;
    QTest::newRow("a* / abc") << QByteArray("a*") << QByteArray("abc") << 0;
    QTest::newRow("a?c / abc") << QByteArray("a?c") << QByteArray("abc") << 0;
    QTest::newRow("a?c / ac") << QByteArray("a?c") << QByteArray("ac") << 1;
    QTest::newRow("escaped star / a*c") << QByteArray("a\\*c") << QByteArray("a*c") << 0;
    QTest::newRow("escaped star / abc") << QByteArray("a\\*c") << QByteArray("abc") << 1;
    QTest::newRow("escaped star / abbc") << QByteArray("a\\*c") << QByteArray("abbc") << 1;
    QTest::newRow("escaped question / a?") << QByteArray("a\\?") << QByteArray("a?") << 0;
    QTest::newRow("escaped question / ab") << QByteArray("a\\?") << QByteArray("ab") << 1;
    QTest::newRow("escaped backslash") << QByteArray("a\\\\b") << QByteArray("a\\b") << 0;
    QTest::newRow("a** / a") << QByteArray("a**") << QByteArray("a") << 1;
    QTest::newRow("a** / ab") << QByteArray("a**") << QByteArray("ab") << 0;
    QTest::newRow("* / empty") << QByteArray("*") << QByteArray("") << 0;
    QTest::newRow("empty / empty") << QByteArray("") << QByteArray("") << 0;
    QTest::newRow("empty / a") << QByteArray("") << QByteArray("a") << 1;
    QTest::newRow("*x / empty") << QByteArray("*x") << QByteArray("") << 1;
    QTest::newRow("star in middle") << QByteArray("a*c") << QByteArray("abbbc") << 0;
    QTest::newRow("star matching nothing") << QByteArray("a*c") << QByteArray("ac") << 0;
    QTest::newRow("star needs a tail") << QByteArray("a*c") << QByteArray("abcd") << 1;
    QTest::newRow("backtracking") << QByteArray("*ab*cd") << QByteArray("xaabcabcd") << 0;
    QTest::newRow("star then question") << QByteArray("*?") << QByteArray("z") << 0;
    QTest::newRow("two stars") << QByteArray("*.*") << QByteArray("file.tar.gz") << 0;
    QTest::newRow("case matters") << QByteArray("A*") << QByteArray("abc") << 1;
    QTest::newRow("trailing backslash") << QByteArray("a\\") << QByteArray("a") << 1;
    QTest::newRow("trailing backslash / longer") << QByteArray("a\\") << QByteArray("ab") << 1;
    QTest::newRow("high bytes") << QByteArray("\xc3?") << QByteArray("\xc3\xa9") << 0;
}

void TestKvStr::wildcards()
{
    QFETCH(QByteArray, pattern);
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QCOMPARE(kv_str_wildcard_strcmp(pattern.constData(), text.constData()), result);
}

void TestKvStr::wildcardsPresent_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::newRow("plain") << QByteArray("abc") << 0;
    QTest::newRow("star") << QByteArray("a*") << 1;
    QTest::newRow("question") << QByteArray("?") << 1;
    QTest::newRow("escaped") << QByteArray("a\\*b\\?") << 0;
    QTest::newRow("escaped backslash then star") << QByteArray("\\\\*") << 1;
    QTest::newRow("trailing backslash") << QByteArray("ab\\") << 0;
    QTest::newRow("empty") << QByteArray("") << 0;
}

void TestKvStr::wildcardsPresent()
{
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QCOMPARE(kv_str_wildcards_present(text.constData()), result);
    QCOMPARE(kv_str_wildcards_present(nullptr), 0);
}

void TestKvStr::manyStarsStayFast()
{
    // Tried position by position, this pattern would take exponential time.
    const QByteArray pattern = QByteArray("a*").repeated(200) + "b";
    const QByteArray text(4000, 'a');
    QCOMPARE(kv_str_wildcard_strcmp(pattern.constData(), text.constData()), 1);
    QCOMPARE(kv_str_wildcard_strcmp(pattern.constData(), (text + "b").constData()), 0);
}

void TestKvStr::tokenize_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("quotes") << QByteArray("cp \"my file\" 'x y'z") << 0
                            << QList<QByteArray> { "cp", "my file", "x y", "z" };
    QTest::newRow("blanks") << QByteArray("  a   b  ") << 0 << QList<QByteArray> { "a", "b" };
    QTest::newRow("tabs are not blanks") << QByteArray("a\tb c") << 0 << QList<QByteArray> { "a\tb", "c" };
    QTest::newRow("empty quotes") << QByteArray("\"\" x") << 0 << QList<QByteArray> { "", "x" };
    QTest::newRow("other quote inside") << QByteArray("\"it's\"") << 0 << QList<QByteArray> { "it's" };
    QTest::newRow("quote inside a word") << QByteArray("a\"b c\"") << 0 << QList<QByteArray> { "a\"b", "c\"" };
    QTest::newRow("empty line") << QByteArray("") << 0 << QList<QByteArray> {};
    QTest::newRow("only blanks") << QByteArray("   ") << 0 << QList<QByteArray> {};
    QTest::newRow("unmatched double") << QByteArray("a \"b c") << int(KV_ESEPARATOR) << QList<QByteArray> {};
    QTest::newRow("unmatched single") << QByteArray("'") << int(KV_ESEPARATOR) << QList<QByteArray> {};
}

void TestKvStr::tokenize()
{
    QFETCH(QByteArray, line);
    QFETCH(int, result);
    QFETCH(QList<QByteArray>, expected);

    char** tokens = reinterpret_cast<char**>(0x1);
    unsigned count = 99;
    QCOMPARE(kv_str_tokenize(line.constData(), &tokens, &count), result);
    QCOMPARE(count, unsigned(expected.size()));
    if (expected.isEmpty()) {
        QVERIFY(!tokens);
        return;
    }
    QList<QByteArray> got;
    for (unsigned i = 0; i < count; ++i)
        got << QByteArray(tokens[i]);
    QCOMPARE(got, expected);
    kv_str_tokcleanup(tokens);
}

void TestKvStr::tokenLimit()
{
    char** tokens = nullptr;
    unsigned count = 0;
    const QByteArray most = QByteArray("x ").repeated(KV_STR_MAX_TOKENS);
    QCOMPARE(kv_str_tokenize(most.constData(), &tokens, &count), 0);
    QCOMPARE(count, unsigned(KV_STR_MAX_TOKENS));
    QCOMPARE(QByteArray(tokens[KV_STR_MAX_TOKENS - 1]), QByteArray("x"));
    kv_str_tokcleanup(tokens);

    const QByteArray tooMany = most + "y";
    QCOMPARE(kv_str_tokenize(tooMany.constData(), &tokens, &count), int(KV_ESEPARATOR));
    QVERIFY(!tokens);
    QCOMPARE(count, 0u);
    QCOMPARE(kv_str_tokenize(nullptr, &tokens, &count), 22);
}

void TestKvStr::copiesAndReplace()
{
    char* copy = kv_str_ndup("abcdef", 3);
    QCOMPARE(QByteArray(copy), QByteArray("abc"));
    free(copy);
    copy = kv_str_ndup("ab", 10);
    QCOMPARE(QByteArray(copy), QByteArray("ab"));
    free(copy);
    QVERIFY(!kv_str_ndup(nullptr, 3));

    char path[] = "a\\b\\c";
    char* end = kv_str_repchr(path, '\\', '/');
    QCOMPARE(QByteArray(path), QByteArray("a/b/c"));
    QCOMPARE(end, path + 5);
    QVERIFY(!kv_str_repchr(nullptr, 'a', 'b'));

    char line[] = "x,,y;z";
    char* context = nullptr;
    QList<QByteArray> parts;
    for (char* t = kv_str_tok(line, ",;", &context); t; t = kv_str_tok(nullptr, ",;", &context))
        parts << t;
    QCOMPARE(parts, (QList<QByteArray> { "x", "y", "z" }));
}

void TestKvStr::hex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<unsigned>("length");
    QTest::addColumn<unsigned>("outSize");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("outLength");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("lower") << QByteArray("01ab") << 4u << 8u << 0 << 2 << QByteArray("\x01\xab", 2);
    QTest::newRow("auto length") << QByteArray("FF00") << KV_STR_LENGTH_AUTO << 2u << 0 << 2
                                 << QByteArray("\xff\x00", 2);
    QTest::newRow("bad second") << QByteArray("0g") << 2u << 8u << 22 << 1 << QByteArray();
    QTest::newRow("bad first") << QByteArray("g0") << 2u << 8u << 22 << 1 << QByteArray();
    QTest::newRow("odd") << QByteArray("abc") << 3u << 8u << 22 << 1 << QByteArray();
    QTest::newRow("too small") << QByteArray("a1b2c3") << 6u << 2u << int(KV_ENOSPACE) << 3 << QByteArray();
    QTest::newRow("empty") << QByteArray("") << 0u << 0u << 0 << 0 << QByteArray();
}

void TestKvStr::hex()
{
    QFETCH(QByteArray, text);
    QFETCH(unsigned, length);
    QFETCH(unsigned, outSize);
    QFETCH(int, result);
    QFETCH(int, outLength);
    QFETCH(QByteArray, bytes);

    QByteArray out(16, '\x55');
    int got = -1;
    QCOMPARE(kv_str_base16_to_buf(text.constData(), length, out.data(), outSize, &got), result);
    QCOMPARE(got, outLength);
    if (result == 0)
        QCOMPARE(out.left(got), bytes);
    QCOMPARE(out.mid(outSize), QByteArray(16 - outSize, '\x55')); // nothing past out_size

    char encoded[8];
    QCOMPARE(kv_str_buf_to_base16("\x01\xab", 2, encoded, 5), 0);
    QCOMPARE(QByteArray(encoded), QByteArray("01AB"));
    QCOMPARE(kv_str_buf_to_base16("\x01\xab", 2, encoded, 4), int(KV_ENOSPACE));
}

void TestKvStr::base64Encode_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("standard");
    QTest::addColumn<QByteArray>("url");

    QTest::newRow("abc") << QByteArray("abc") << QByteArray("YWJj") << QByteArray("YWJj");
    QTest::newRow("ab") << QByteArray("ab") << QByteArray("YWI=") << QByteArray("YWI");
    QTest::newRow("a") << QByteArray("a") << QByteArray("YQ==") << QByteArray("YQ");
    QTest::newRow("fb ff") << QByteArray("\xfb\xff") << QByteArray("+/8=") << QByteArray("-_8");
    QTest::newRow("four") << QByteArray("abcd") << QByteArray("YWJjZA==") << QByteArray("YWJjZA");
}

void TestKvStr::base64Encode()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, standard);
    QFETCH(QByteArray, url);
    QCOMPARE(encode64(data), standard);
    QCOMPARE(encode64(data, true), url);

    // The size rule counts the zero and 4 characters per started group, also without padding.
    char out[16];
    const unsigned exact = 4 * ((data.size() + 2) / 3);
    QCOMPARE(kv_str_buf_to_base64(data.constData(), data.size(), out, exact), int(KV_ENOSPACE));
    QCOMPARE(kv_str_buf_to_base64url(data.constData(), data.size(), out, exact), int(KV_ENOSPACE));
    QCOMPARE(kv_str_buf_to_base64(data.constData(), 0, out, sizeof out), 22);
    QCOMPARE(kv_str_buf_to_base64url(data.constData(), 0, out, sizeof out), 22);
}

void TestKvStr::base64Decode_data()
{
    QTest::addColumn<int>("decoder"); // 0 strict, 1 tolerant, 2 URL-safe
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<unsigned>("outSize");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("bytes");

    const int nospace = KV_ENOSPACE;
    QTest::newRow("strict abc") << 0 << QByteArray("YWJj") << 4u << 0 << QByteArray("abc");
    QTest::newRow("strict padded") << 0 << QByteArray("YWI=") << 4u << 0 << QByteArray("ab");
    QTest::newRow("strict two pads") << 0 << QByteArray("YQ==") << 4u << 0 << QByteArray("a");
    QTest::newRow("strict length 6") << 0 << QByteArray("YWJjYQ") << 16u << 22 << QByteArray();
    QTest::newRow("strict size rule") << 0 << QByteArray("YWJj") << 3u << nospace << QByteArray();
    QTest::newRow("strict second pad") << 0 << QByteArray("Y===") << 4u << 22 << QByteArray();
    QTest::newRow("strict first pad ends") << 0 << QByteArray("YWJj====") << 8u << 0 << QByteArray("abc");
    QTest::newRow("strict outside alphabet") << 0 << QByteArray("YW*j") << 4u << 22 << QByteArray();
    QTest::newRow("strict line break") << 0 << QByteArray("YW\nJ") << 4u << 22 << QByteArray();
    QTest::newRow("strict stops at zero") << 0 << QByteArray("YWJj\0\0\0\0", 8) << 8u << 0 << QByteArray("abc");
    QTest::newRow("tolerant line break") << 1 << QByteArray("YW\nJj") << 3u << 0 << QByteArray("abc");
    QTest::newRow("tolerant unpadded") << 1 << QByteArray("YWI") << 2u << 0 << QByteArray("ab");
    QTest::newRow("tolerant blanks") << 1 << QByteArray(" Y Q = = ") << 1u << 0 << QByteArray("a");
    QTest::newRow("tolerant full buffer") << 1 << QByteArray("YWJj") << 2u << nospace << QByteArray("ab");
    QTest::newRow("tolerant lone char") << 1 << QByteArray("YWJjY") << 8u << 22 << QByteArray("abc");
    QTest::newRow("tolerant nothing") << 1 << QByteArray("\r\n") << 0u << 0 << QByteArray();
    QTest::newRow("url 3 chars") << 2 << QByteArray("-_8") << 4u << 0 << QByteArray("\xfb\xff");
    QTest::newRow("url 2 chars") << 2 << QByteArray("YQ") << 4u << 0 << QByteArray("a");
    QTest::newRow("url 5 chars") << 2 << QByteArray("YWJjY") << 4u << 0 << QByteArray("abc");
    QTest::newRow("url length 1") << 2 << QByteArray("Y") << 4u << 22 << QByteArray();
    QTest::newRow("url padding") << 2 << QByteArray("YQ==") << 4u << 22 << QByteArray();
    QTest::newRow("url standard char") << 2 << QByteArray("+/8") << 4u << 22 << QByteArray();
    QTest::newRow("url size rule") << 2 << QByteArray("YWJj") << 3u << nospace << QByteArray();
    QTest::newRow("url empty") << 2 << QByteArray("") << 1u << 0 << QByteArray();
}

void TestKvStr::base64Decode()
{
    QFETCH(int, decoder);
    QFETCH(QByteArray, text);
    QFETCH(unsigned, outSize);
    QFETCH(int, result);
    QFETCH(QByteArray, bytes);

    const Decoder decoders[] = { kv_str_base64_to_buf, kv_str_mime_base64_to_buf, kv_str_base64url_to_buf };
    QByteArray out(32, '\x55');
    int length = -1;
    QCOMPARE(decoders[decoder](text.constData(), text.size(), out.data(), outSize, &length), result);
    if (result == 0 || decoder == 1)
        QCOMPARE(out.left(length), bytes);
    QCOMPARE(out.mid(outSize), QByteArray(32 - outSize, '\x55'));
}

void TestKvStr::base64RoundTripsEveryLength()
{
    QRandomGenerator rng(6);
    char out[512];
    QCOMPARE(kv_str_buf_to_base64("", 0, out, sizeof out), 22); // length 0 is refused
    for (int n = 1; n <= 300; ++n) {
        const QByteArray data = randomBytes(rng, n);
        const QByteArray standard = encode64(data);
        const QByteArray url = encode64(data, true);
        QCOMPARE(standard.size(), 4 * ((n + 2) / 3));
        QCOMPARE(url, QByteArray(standard).replace('+', '-').replace('/', '_').replace("=", ""));

        int length = -1;
        QCOMPARE(
            kv_str_base64_to_buf(standard.constData(), standard.size(), out, standard.size() / 4 * 3 + 1, &length), 0);
        QCOMPARE(QByteArray(out, length), data);
        // MIME text: lines of 76 characters.
        QByteArray mime;
        for (int i = 0; i < standard.size(); i += 76)
            mime += standard.mid(i, 76) + "\r\n";
        QCOMPARE(kv_str_mime_base64_to_buf(mime.constData(), mime.size(), out, n, &length), 0);
        QCOMPARE(QByteArray(out, length), data);
        QCOMPARE(kv_str_base64url_to_buf(url.constData(), url.size(), out, (url.size() + 2) / 4 * 3 + 1, &length), 0);
        QCOMPARE(QByteArray(out, length), data);
    }
}

void TestKvStr::base64OutputStaysInBuffer()
{
    // The tolerant decoder has no pre-check: every byte is checked against the buffer.
    QRandomGenerator rng(7);
    for (int n = 1; n <= 60; ++n) {
        const QByteArray text = encode64(randomBytes(rng, n));
        for (unsigned size = 0; size < unsigned(n); ++size) {
            QByteArray out(n + 8, '\x55');
            int length = -1;
            QCOMPARE(
                kv_str_mime_base64_to_buf(text.constData(), text.size(), out.data(), size, &length), int(KV_ENOSPACE));
            QCOMPARE(length, int(size));
            QCOMPARE(out.mid(size), QByteArray(n + 8 - size, '\x55'));
        }
    }
}

void TestKvStr::base64MatchesOpenSsl()
{
    QRandomGenerator rng(8);
    const QByteArray alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    QByteArray decoded(4096, '\0');
    for (int round = 0; round < 3000; ++round) {
        const QByteArray data = randomBytes(rng, 1 + rng.bounded(1500));
        QByteArray reference(4 * ((data.size() + 2) / 3) + 1, '\0');
        const int refLength = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
            reinterpret_cast<const unsigned char*>(data.constData()), data.size());
        reference.truncate(refLength);
        const QByteArray ours = encode64(data);
        QCOMPARE(ours, reference);

        // EVP_DecodeBlock keeps the bytes the padding stands for; the library drops them.
        const int evpLength = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
            reinterpret_cast<const unsigned char*>(ours.constData()), ours.size());
        QCOMPARE(evpLength, ours.size() / 4 * 3);
        QCOMPARE(decoded.left(data.size()), data);

        // Random text: over the alphabet both decode it alike; one foreign byte makes both refuse it.
        QByteArray text(4 * (1 + rng.bounded(100)), Qt::Uninitialized);
        for (char& c : text)
            c = alphabet[rng.bounded(64)];
        int length = -1;
        QByteArray out(text.size(), '\0');
        QCOMPARE(kv_str_base64_to_buf(text.constData(), text.size(), out.data(), out.size(), &length), 0);
        QCOMPARE(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                     reinterpret_cast<const unsigned char*>(text.constData()), text.size()),
            length);
        QCOMPARE(out.left(length), decoded.left(length));

        char foreign;
        do {
            foreign = static_cast<char>(1 + rng.bounded(255));
        } while (alphabet.contains(foreign) || foreign == '=' || isspace(static_cast<unsigned char>(foreign)));
        text[rng.bounded(text.size())] = foreign;
        QCOMPARE(kv_str_base64_to_buf(text.constData(), text.size(), out.data(), out.size(), &length), 22);
        QCOMPARE(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                     reinterpret_cast<const unsigned char*>(text.constData()), text.size()),
            -1);
    }
}

void TestKvStr::base64StepFunctions()
{
    QCOMPARE(kv_str_base64_valid_char('+'), 1);
    QCOMPARE(kv_str_base64_valid_char('='), 0);
    QCOMPARE(kv_str_base64_valid_char('-'), 0);
    QCOMPARE(kv_str_base64_valid_char(0x1FF), 0);

    const char text[] = "Y\n=W";
    const char* cursor = text;
    char chars[4];
    QCOMPARE(kv_str_base64_next_chars(&cursor, text + 4, 1, chars), 0);
    QCOMPARE(QByteArray(chars, 4), QByteArray("YW=="));
    QCOMPARE(cursor, text + 4);
    cursor = text;
    QCOMPARE(kv_str_base64_next_chars(&cursor, text + 4, 0, chars), 0);
    QCOMPARE(QByteArray(chars, 4), QByteArray("Y\n=W"));

    unsigned char out[4];
    unsigned position = 2;
    QCOMPARE(kv_str_base64_chars_to_buf("YWJj", out, 4, &position), int(KV_ENOSPACE));
    QCOMPARE(position, 4u);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(out) + 2, 2), QByteArray("ab"));
    position = 0;
    QCOMPARE(kv_str_base64_chars_to_buf("=WJj", out, 4, &position), int(KV_EEND));
    QCOMPARE(position, 0u);
}

void TestKvStr::boundedFormatter()
{
    using kv::internal::boundedFormat;
    char buffer[8];
    memset(buffer, 'Z', sizeof buffer);
    QCOMPARE(boundedFormat(nullptr, 0, "%s-%d", "abc", 12345), 9);
    QCOMPARE(boundedFormat(buffer, 4, "%s-%d", "abc", 12345), 3);
    QCOMPARE(QByteArray(buffer), QByteArray("abc"));
    QCOMPARE(buffer[4], 'Z');
    QCOMPARE(boundedFormat(buffer, sizeof buffer, "%d", 42), 2);
    QCOMPARE(QByteArray(buffer), QByteArray("42"));
    QCOMPARE(boundedFormat(nullptr, 4, "x"), -1);

    kv_dbg_set_all(2); // the truncation report must not disturb the result
    QCOMPARE(boundedFormat(buffer, 3, "%s", "abcdef"), 2);
    kv_dbg_set_all(0);

    auto viaList = [](char* out, size_t size, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = kv::internal::boundedFormatV(out, size, format, args);
        va_end(args);
        return n;
    };
    QCOMPARE(viaList(buffer, 4, "%s", "abcdef"), 4);
    QCOMPARE(QByteArray(buffer), QByteArray("abc"));
    QCOMPARE(viaList(buffer, 4, "%s", "abc"), 3);
}

QTEST_GUILESS_MAIN(TestKvStr)
#include "test_kv_str.moc"
