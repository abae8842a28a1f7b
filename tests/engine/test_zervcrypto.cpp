#include "engine/zervcrypto.h"
#include "tests/support/EnvelopeWriter.h"
#include "tests/support/TestFiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using korvel::test::Bytes;
using korvel::test::EnvelopeKeys;
using korvel::test::EnvelopeOptions;
using korvel::test::ExtraRecord;

namespace {

struct Result {
    unsigned openCode = 99;
    unsigned readCode = 0;
    int sysError = 0;
    QByteArray error;
    Bytes plaintext;
    QList<uint32_t> pieces;
    zervcrypto_header_t header {};
    Bytes dataKey;
};

// Opens path and reads to the end or the first failure.
Result decrypt(const QString& path, const char* passphrase)
{
    Result r;
    zervcrypto_file_decrypt_t* s = zervcrypto_file_decrypt_init();
    if (!s)
        return r;
    r.openCode = zervcrypto_file_decrypt_open(s, passphrase, path.toUtf8().constData(), &r.sysError);
    if (r.openCode == ZERVCRYPTO_OK) {
        uint8_t buffer[ZERVCRYPTO_PIECE_SIZE];
        for (;;) {
            uint32_t length = 0xFFFF;
            r.readCode = zervcrypto_file_decrypt_read(s, buffer, &length);
            if (r.readCode != ZERVCRYPTO_OK || length == 0)
                break;
            r.pieces.append(length);
            r.plaintext.insert(r.plaintext.end(), buffer, buffer + length);
        }
        r.header = s->header;
        r.dataKey.assign(s->data_key, s->data_key + 16);
    }
    r.error = QByteArray(s->error_text);
    zervcrypto_file_decrypt_close(&s);
    return r;
}

// The pieces a plaintext of `size` bytes is handed out in.
QList<uint32_t> expectedPieces(uint64_t size)
{
    QList<uint32_t> pieces;
    while (size > 0) {
        const uint32_t fill = size > 65536 ? 65536 : static_cast<uint32_t>(size);
        size -= fill;
        if (fill <= 1024) {
            pieces.append(fill);
            continue;
        }
        for (uint32_t left = fill; left > 0; left -= std::min<uint32_t>(left, 1024))
            pieces.append(std::min<uint32_t>(left, 1024));
    }
    return pieces;
}

void writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), data.size());
}

ExtraRecord keyRecordBody(size_t bodyLength)
{
    return ExtraRecord { 0x8107, Bytes(bodyLength, 0x11), false };
}

} // namespace

class TestZervcrypto : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_counter = 0;

    QString write(const Bytes& plaintext, const EnvelopeOptions& options = {}, EnvelopeKeys* keys = nullptr)
    {
        const QString path = m_dir.filePath(QStringLiteral("e%1.korvel-env").arg(++m_counter));
        if (!korvel::test::writeEnvelope(path.toStdString(), plaintext, options, keys))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void roundTrip_data();
    void roundTrip();
    void piecesOfKnownSizes_data();
    void piecesOfKnownSizes();
    void passphrases_data();
    void passphrases();
    void trailerRecordsAreSteppedOver();
    void stateHoldsHeader();
    void corruptTrailers_data();
    void corruptTrailers();
    void keyRecordLimit();
    void truncatedData();
    void declaredSizeNearTheTop();
    void shorterDeclaredSize();
    void systemErrors();
    void nullArguments();
    void recordMarker_data();
    void recordMarker();
    void candidatePassphrases_data();
    void candidatePassphrases();
    void inspect_data();
    void inspect();
};

void TestZervcrypto::roundTrip_data()
{
    QTest::addColumn<qulonglong>("size");
    for (qulonglong size :
        { 0ull, 1ull, 15ull, 16ull, 17ull, 127ull, 128ull, 129ull, 1000ull, 1023ull, 1024ull, 1025ull, 8192ull,
            65535ull, 65536ull, 65537ull, 66560ull, 70000ull, 131072ull, 131073ull, 3ull * 1048576 + 77 })
        QTest::addRow("%llu bytes", size) << size;
}

void TestZervcrypto::roundTrip()
{
    QFETCH(qulonglong, size);
    const Bytes plaintext = korvel::test::patternBytes(size, size + 3);
    EnvelopeOptions options;
    if (size == 0)
        options.gapBytes = 1; // a bare 120-byte header is too short to be an envelope
    const Result r = decrypt(write(plaintext, options), "secret");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QCOMPARE(r.readCode, ZERVCRYPTO_OK);
    QCOMPARE(r.plaintext.size(), plaintext.size());
    QVERIFY(r.plaintext == plaintext);
    QCOMPARE(r.pieces, expectedPieces(size));
}

void TestZervcrypto::piecesOfKnownSizes_data()
{
    QTest::addColumn<qulonglong>("size");
    QTest::addColumn<QList<uint32_t>>("pieces");
    QTest::newRow("1000 in one piece") << 1000ull << QList<uint32_t> { 1000 };
    QTest::newRow("1025 as 1024 and 1") << 1025ull << QList<uint32_t> { 1024, 1 };
    QList<uint32_t> full(64, 1024);
    QTest::newRow("65536 as 64 pieces") << 65536ull << full;
    QList<uint32_t> seventy = full;
    seventy << 1024 << 1024 << 1024 << 1024 << 368;
    QTest::newRow("70000") << 70000ull << seventy;
    QList<uint32_t> tail = full;
    tail << 500;
    QTest::newRow("65536 + 500: a small last buffer is one piece") << 66036ull << tail;
}

void TestZervcrypto::piecesOfKnownSizes()
{
    QFETCH(qulonglong, size);
    QFETCH(QList<uint32_t>, pieces);
    const Result r = decrypt(write(korvel::test::patternBytes(size)), "secret");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QCOMPARE(r.pieces, pieces);
}

void TestZervcrypto::passphrases_data()
{
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("opens");

    QTest::newRow("header key") << QStringList { "alpha", "beta" } << "alpha" << true;
    QTest::newRow("only a key record") << QStringList { "alpha", "beta" } << "beta" << true;
    QTest::newRow("last of three key records") << QStringList { "a", "b", "c", "d" } << "d" << true;
    QTest::newRow("wrong") << QStringList { "alpha", "beta" } << "gamma" << false;
    QTest::newRow("case matters") << QStringList { "Secret" } << "secret" << false;
    QTest::newRow("empty passphrase") << QStringList { "" } << "" << true;
    QTest::newRow("empty typed, set one") << QStringList { "x" } << "" << false;
    QTest::newRow("utf-8 bytes") << QStringList { QString::fromUtf8("p\xC3\xA4ss \xE2\x82\xAC") }
                                 << QString::fromUtf8("p\xC3\xA4ss \xE2\x82\xAC") << true;
}

void TestZervcrypto::passphrases()
{
    QFETCH(QStringList, written);
    QFETCH(QString, typed);
    QFETCH(bool, opens);
    EnvelopeOptions options;
    options.passphrases.clear();
    for (const QString& p : written)
        options.passphrases.push_back(p.toStdString());
    const Bytes plaintext = korvel::test::patternBytes(3000);
    const Result r = decrypt(write(plaintext, options), typed.toUtf8().constData());
    if (opens) {
        QCOMPARE(r.openCode, ZERVCRYPTO_OK);
        QVERIFY(r.plaintext == plaintext);
    } else {
        QCOMPARE(r.openCode, ZERVCRYPTO_EPASSPHRASE);
        QCOMPARE(r.error, QByteArray("Passphrase doesn't match"));
    }
}

void TestZervcrypto::trailerRecordsAreSteppedOver()
{
    EnvelopeOptions options;
    options.passphrases = { "one", "two" };
    options.extraRecords = { ExtraRecord { 0x9001, Bytes(40, 0xAA), true }, ExtraRecord { 0x0000, Bytes(), false },
        ExtraRecord { 0x8106, Bytes(0), false } };
    // An 8-byte record of the header's type after the header would end the walk
    // early; keep only records of foreign types.
    options.extraRecords.pop_back();
    options.leadingRecords = { keyRecordBody(16) }; // before the header: never a candidate
    options.gapBytes = 333;
    const Bytes plaintext = korvel::test::patternBytes(5000, 5);
    const Result r = decrypt(write(plaintext, options), "two");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QVERIFY(r.plaintext == plaintext);
}

void TestZervcrypto::stateHoldsHeader()
{
    EnvelopeOptions options;
    for (int i = 0; i < 32; ++i)
        options.reserved[i] = static_cast<uint8_t>(i * 7);
    options.reserved16 = { 1, 0x0203, 0xFFFE, 0x8000 };
    EnvelopeKeys keys;
    const Result r = decrypt(write(korvel::test::patternBytes(10), options, &keys), "secret");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QCOMPARE(r.header.plaintext_size, uint64_t(10));
    QVERIFY(std::memcmp(r.header.iv, keys.iv.data(), 16) == 0);
    QVERIFY(std::memcmp(r.header.salt, keys.salt.data(), 16) == 0);
    QVERIFY(std::memcmp(r.header.reserved, options.reserved.data(), 32) == 0);
    QCOMPARE(r.header.reserved16[1], uint16_t(0x0203));
    QCOMPARE(r.header.reserved16[3], uint16_t(0x8000));
    QVERIFY(r.dataKey == Bytes(keys.dataKey.begin(), keys.dataKey.end()));
}

void TestZervcrypto::corruptTrailers_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<unsigned>("code");

    const Bytes plain = korvel::test::patternBytes(200);
    const Bytes good = korvel::test::makeEnvelope(plain);
    const QByteArray goodBytes(reinterpret_cast<const char*>(good.data()), static_cast<qsizetype>(good.size()));
    const Bytes empty = korvel::test::makeEnvelope({});
    const QByteArray headerOnly(reinterpret_cast<const char*>(empty.data()), static_cast<qsizetype>(empty.size()));

    QTest::newRow("intact") << goodBytes << ZERVCRYPTO_OK;
    QTest::newRow("header alone: 120 bytes") << headerOnly << ZERVCRYPTO_ECORRUPT;
    QTest::newRow("header plus one byte") << (QByteArray(1, 'x') + headerOnly) << ZERVCRYPTO_OK;
    QTest::newRow("empty file") << QByteArray() << ZERVCRYPTO_ECORRUPT;
    QByteArray badMagic = goodBytes;
    badMagic[badMagic.size() - 1] = 0x0C;
    QTest::newRow("last byte of magic") << badMagic << ZERVCRYPTO_ECORRUPT;
    QTest::newRow("trailing garbage") << (goodBytes + "junk") << ZERVCRYPTO_ECORRUPT;
    QTest::newRow("last bytes cut") << goodBytes.left(goodBytes.size() - 3) << ZERVCRYPTO_ECORRUPT;
    QByteArray longRecord = goodBytes;
    longRecord[longRecord.size() - 6] = char(0x7F); // length 0x7F78: more than the file holds
    QTest::newRow("record longer than the file") << longRecord << ZERVCRYPTO_ECORRUPT;
    QByteArray zeroLength = goodBytes;
    zeroLength[zeroLength.size() - 6] = 0;
    zeroLength[zeroLength.size() - 5] = 0;
    QTest::newRow("record length 0") << zeroLength << ZERVCRYPTO_ECORRUPT;
    QByteArray shortLength = goodBytes;
    shortLength[shortLength.size() - 6] = 0;
    shortLength[shortLength.size() - 5] = 4;
    QTest::newRow("record length shorter than a footer") << shortLength << ZERVCRYPTO_ECORRUPT;
    QByteArray flagged = goodBytes;
    flagged[flagged.size() - 6] = char(0x80); // bit 15 set: ignored
    QTest::newRow("length flag bit") << flagged << ZERVCRYPTO_OK;
    QByteArray wrongType = goodBytes;
    wrongType[wrongType.size() - 7] = 0x07; // 0x8107: a key record, then nothing before it
    QTest::newRow("header typed as key record") << wrongType << ZERVCRYPTO_ECORRUPT;
    QByteArray headerLength = goodBytes;
    headerLength[headerLength.size() - 5] = 112; // walk lands 8 bytes into the header
    QTest::newRow("header length 112") << headerLength << ZERVCRYPTO_ECORRUPT;

    // The header must lie within the last 8192 bytes.
    EnvelopeOptions farAway;
    farAway.extraRecords = { ExtraRecord { 0x9000, Bytes(8100, 0), false } };
    const Bytes far = korvel::test::makeEnvelope(plain, farAway);
    QTest::newRow("header outside the tail window") << korvel::test::toBytes(far) << ZERVCRYPTO_ECORRUPT;
    EnvelopeOptions nearEnough;
    nearEnough.extraRecords = { ExtraRecord { 0x9000, Bytes(8192 - 120 - 8, 0), false } };
    const Bytes nearly = korvel::test::makeEnvelope(plain, nearEnough);
    QTest::newRow("header at the window's first byte") << korvel::test::toBytes(nearly) << ZERVCRYPTO_OK;

    // A key record at the very end with no header before it: the walk ends on a
    // record too short to be a header.
    Bytes lone = plain;
    lone.resize(400, 0x33);
    const uint8_t keyFooter[] = { 0x81, 0x07, 0x00, 0x18, 0xB1, 0x0B, 0xB1, 0x0B };
    lone.insert(lone.end(), 16, 0x22);
    lone.insert(lone.end(), keyFooter, keyFooter + 8);
    QTest::newRow("key record without header") << korvel::test::toBytes(lone) << ZERVCRYPTO_ECORRUPT;
}

void TestZervcrypto::corruptTrailers()
{
    QFETCH(QByteArray, file);
    QFETCH(unsigned, code);
    const QString path = m_dir.filePath(QStringLiteral("corrupt%1").arg(++m_counter));
    writeBytes(path, file);
    const Result r = decrypt(path, "secret");
    QCOMPARE(r.openCode, code);
    if (code == 2)
        QCOMPARE(r.error, QByteArray("Input file is corrupt"));
}

void TestZervcrypto::keyRecordLimit()
{
    // 316 key records fit; the last one holds the passphrase.
    EnvelopeOptions options;
    options.passphrases.assign(317, "filler");
    options.passphrases.front() = "head";
    options.passphrases.back() = "last";
    const Bytes plaintext = korvel::test::patternBytes(100);
    Result r = decrypt(write(plaintext, options), "last");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QVERIFY(r.plaintext == plaintext);

    // One more is refused as corrupt rather than written past the candidate list.
    options.passphrases.push_back("extra");
    r = decrypt(write(plaintext, options), "head");
    QCOMPARE(r.openCode, ZERVCRYPTO_ECORRUPT);
    QCOMPARE(r.error, QByteArray("Input file is corrupt"));
}

void TestZervcrypto::truncatedData()
{
    // The header promises more than the file holds: earlier pieces come out,
    // then the read that reaches the end fails.
    EnvelopeOptions options;
    options.declaredSize = 200000;
    const Bytes plaintext = korvel::test::patternBytes(100000);
    const Result r = decrypt(write(plaintext, options), "secret");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QCOMPARE(r.readCode, ZERVCRYPTO_EREAD);
    QCOMPARE(r.error, QByteArray("Read failed"));
    QCOMPARE(r.plaintext.size(), size_t(65536));
    QVERIFY(std::equal(r.plaintext.begin(), r.plaintext.end(), plaintext.begin()));
}

void TestZervcrypto::declaredSizeNearTheTop()
{
    // remaining + 15 would wrap around to a small number: never hand out the
    // trailer as plaintext.
    for (uint64_t declared : { ~0ull, ~0ull - 14, ~0ull - 15, ~0ull - 100 }) {
        EnvelopeOptions options;
        options.declaredSize = declared;
        const Result r = decrypt(write(korvel::test::patternBytes(100), options), "secret");
        QCOMPARE(r.openCode, ZERVCRYPTO_OK);
        QCOMPARE(r.readCode, ZERVCRYPTO_EREAD);
        QCOMPARE(r.error, QByteArray("Read failed"));
        QVERIFY(r.plaintext.empty());
    }
}

void TestZervcrypto::shorterDeclaredSize()
{
    EnvelopeOptions options;
    options.declaredSize = 1500;
    const Bytes plaintext = korvel::test::patternBytes(4000);
    const Result r = decrypt(write(plaintext, options), "secret");
    QCOMPARE(r.openCode, ZERVCRYPTO_OK);
    QCOMPARE(r.readCode, ZERVCRYPTO_OK);
    QCOMPARE(r.plaintext.size(), size_t(1500));
    QVERIFY(std::equal(r.plaintext.begin(), r.plaintext.end(), plaintext.begin()));
}

void TestZervcrypto::systemErrors()
{
    Result r = decrypt(m_dir.filePath("does-not-exist"), "secret");
    QCOMPARE(r.openCode, ZERVCRYPTO_ESYSTEM);
    QCOMPARE(r.sysError, ENOENT);
    QCOMPARE(r.error, QByteArray("Cannot open file: No such file or directory"));

    // A folder opens for reading but cannot be read.
    QVERIFY(QDir(m_dir.path()).mkpath("folder"));
    QFile filler(m_dir.filePath("folder/f"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    r = decrypt(m_dir.filePath("folder"), "secret");
    QVERIFY(r.openCode == ZERVCRYPTO_ESYSTEM
        || r.openCode == ZERVCRYPTO_ECORRUPT); // a folder's size may be reported as 120 or less
    if (r.openCode == ZERVCRYPTO_ESYSTEM) {
        QCOMPARE(r.sysError, EISDIR);
        QCOMPARE(r.error, QByteArray("Cannot read file: Is a directory"));
    }

    // The out-parameter is optional.
    zervcrypto_file_decrypt_t* s = zervcrypto_file_decrypt_init();
    QCOMPARE(
        zervcrypto_file_decrypt_open(s, "x", m_dir.filePath("nope").toUtf8().constData(), nullptr), ZERVCRYPTO_ESYSTEM);
    zervcrypto_file_decrypt_close(&s);
    QVERIFY(!s);
}

void TestZervcrypto::nullArguments()
{
    QCOMPARE(zervcrypto_file_decrypt_open(nullptr, "x", "y", nullptr), ZERVCRYPTO_ESYSTEM);
    uint8_t buffer[ZERVCRYPTO_PIECE_SIZE];
    uint32_t length = 0;
    QCOMPARE(zervcrypto_file_decrypt_read(nullptr, buffer, &length), ZERVCRYPTO_EREAD);
    zervcrypto_file_decrypt_close(nullptr);
    zervcrypto_file_decrypt_t* none = nullptr;
    zervcrypto_file_decrypt_close(&none);

    // A fresh state owns no descriptor: closing it leaves standard input alone.
    zervcrypto_file_decrypt_t* s = zervcrypto_file_decrypt_init();
    QVERIFY(s);
    QVERIFY(!kv_file_valid(&s->file));
    QCOMPARE(zervcrypto_file_decrypt_read(s, buffer, &length), ZERVCRYPTO_EREAD); // never opened
    zervcrypto_file_decrypt_close(&s);
    QVERIFY(!s);
}

void TestZervcrypto::recordMarker_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("marked");

    const Bytes good = korvel::test::makeEnvelope(korvel::test::patternBytes(300));
    const QByteArray goodBytes = korvel::test::toBytes(good);
    const QByteArray headerOnly = korvel::test::toBytes(korvel::test::makeEnvelope({}));
    const QByteArray marker("\xB1\x0B\xB1\x0B", 4);

    QTest::newRow("envelope") << goodBytes << 1;
    QTest::newRow("header plus one byte") << (QByteArray(1, 'x') + headerOnly) << 1;
    // Only a look at the last bytes: a damaged trailer that still ends in the marker may be one.
    QTest::newRow("anything ending in the marker") << (QByteArray(200, 'j') + marker) << 1;
    QTest::newRow("header alone: 120 bytes") << headerOnly << 0;
    QTest::newRow("121 bytes, marker") << (QByteArray(117, 'j') + marker) << 1;
    QTest::newRow("120 bytes, marker") << (QByteArray(116, 'j') + marker) << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("text") << QByteArray("just some words in a file that is no envelope\n").repeated(10) << 0;
    QTest::newRow("trailing garbage") << (goodBytes + "junk") << 0;
    QTest::newRow("last bytes cut") << goodBytes.left(goodBytes.size() - 3) << 0;
    QByteArray badMagic = goodBytes;
    badMagic[badMagic.size() - 1] = 0x0C;
    QTest::newRow("last byte of marker") << badMagic << 0;
}

void TestZervcrypto::recordMarker()
{
    QFETCH(QByteArray, file);
    QFETCH(int, marked);
    const QString path = m_dir.filePath(QStringLiteral("probe%1").arg(++m_counter));
    writeBytes(path, file);
    QCOMPARE(zervcrypto_file_has_record_marker(path.toUtf8().constData()), marked);
    // The look never changes the file.
    QFile check(path);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), file);

    // What cannot be read is no envelope.
    QCOMPARE(zervcrypto_file_has_record_marker(m_dir.filePath(QStringLiteral("missing")).toUtf8().constData()), 0);
    QCOMPARE(zervcrypto_file_has_record_marker(m_dir.path().toUtf8().constData()), 0);
    QCOMPARE(zervcrypto_file_has_record_marker(nullptr), 0);
}

void TestZervcrypto::candidatePassphrases_data()
{
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QStringList>("candidates");
    QTest::addColumn<int>("matched"); // -1: none opens it

    QTest::newRow("the first") << QStringList { "alpha" } << QStringList { "alpha", "beta" } << 0;
    QTest::newRow("the second") << QStringList { "alpha" } << QStringList { "wrong", "alpha" } << 1;
    // The candidates' order decides, not the order of the key records.
    QTest::newRow("a key record's passphrase first")
        << QStringList { "alpha", "beta" } << QStringList { "x", "beta", "alpha" } << 1;
    QTest::newRow("the last of many") << QStringList { "a", "b", "c" }
                                      << QStringList { "1", "2", "3", "4", "5", "6", "7", "c" } << 7;
    QTest::newRow("empty passphrase") << QStringList { "" } << QStringList { "x", "" } << 1;
    QTest::newRow("none matches") << QStringList { "alpha", "beta" } << QStringList { "gamma", "delta" } << -1;
    QTest::newRow("no candidates") << QStringList { "alpha" } << QStringList {} << -1;
}

void TestZervcrypto::candidatePassphrases()
{
    QFETCH(QStringList, written);
    QFETCH(QStringList, candidates);
    QFETCH(int, matched);
    EnvelopeOptions options;
    options.passphrases.clear();
    for (const QString& p : written)
        options.passphrases.push_back(p.toStdString());
    const Bytes plaintext = korvel::test::patternBytes(5000);
    EnvelopeKeys keys;
    const QString path = write(plaintext, options, &keys);

    QList<QByteArray> bytes;
    std::vector<const char*> pointers;
    for (const QString& candidate : candidates)
        bytes.append(candidate.toUtf8());
    for (const QByteArray& b : bytes)
        pointers.push_back(b.constData());

    zervcrypto_file_decrypt_t* s = zervcrypto_file_decrypt_init();
    QVERIFY(s);
    unsigned index = 99;
    int sysError = 0;
    const unsigned code = zervcrypto_file_decrypt_open_any(
        s, pointers.data(), static_cast<unsigned>(pointers.size()), path.toUtf8().constData(), &index, &sysError);
    if (matched < 0) {
        QCOMPARE(code, ZERVCRYPTO_EPASSPHRASE);
        QCOMPARE(QByteArray(s->error_text), QByteArray("Passphrase doesn't match"));
        QCOMPARE(index, 99u);
        zervcrypto_file_decrypt_close(&s);
        return;
    }
    QCOMPARE(code, ZERVCRYPTO_OK);
    QCOMPARE(index, static_cast<unsigned>(matched));
    QVERIFY(std::memcmp(s->data_key, keys.dataKey.data(), 16) == 0);
    Bytes out;
    uint8_t buffer[ZERVCRYPTO_PIECE_SIZE];
    uint32_t length = 0;
    while (zervcrypto_file_decrypt_read(s, buffer, &length) == ZERVCRYPTO_OK && length > 0)
        out.insert(out.end(), buffer, buffer + length);
    zervcrypto_file_decrypt_close(&s);
    QVERIFY(out == plaintext);

    // The index is optional; a missing candidate is a bad argument, the file left unopened.
    s = zervcrypto_file_decrypt_init();
    QCOMPARE(zervcrypto_file_decrypt_open_any(s, pointers.data(), static_cast<unsigned>(pointers.size()),
                 path.toUtf8().constData(), nullptr, nullptr),
        ZERVCRYPTO_OK);
    zervcrypto_file_decrypt_close(&s);
    s = zervcrypto_file_decrypt_init();
    const char* withNull[] = { "alpha", nullptr };
    sysError = 0;
    QCOMPARE(zervcrypto_file_decrypt_open_any(s, withNull, 2, path.toUtf8().constData(), &index, &sysError),
        ZERVCRYPTO_ESYSTEM);
    QCOMPARE(sysError, EINVAL);
    QVERIFY(!kv_file_valid(&s->file));
    zervcrypto_file_decrypt_close(&s);
}

void TestZervcrypto::inspect_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<unsigned>("code");
    QTest::addColumn<qulonglong>("plaintextSize");
    QTest::addColumn<uint>("keyRecords");
    QTest::addColumn<uint>("trailerSize");

    const Bytes plain = korvel::test::patternBytes(5000);
    QTest::newRow("one passphrase") << korvel::test::toBytes(korvel::test::makeEnvelope(plain)) << ZERVCRYPTO_OK
                                    << 5000ull << 0u << 120u;
    EnvelopeOptions three;
    three.passphrases = { "a", "b", "c" };
    QTest::newRow("two key records") << korvel::test::toBytes(korvel::test::makeEnvelope(plain, three)) << ZERVCRYPTO_OK
                                     << 5000ull << 2u << 120u + 2 * 24u;
    // Records after the header belong to the trailer, those before it do not.
    EnvelopeOptions records;
    records.leadingRecords = { ExtraRecord { 0x9100, Bytes(40, 1), false } };
    records.extraRecords = { ExtraRecord { 0x9000, Bytes(100, 0), false } };
    records.gapBytes = 77;
    QTest::newRow("other records") << korvel::test::toBytes(korvel::test::makeEnvelope(plain, records)) << ZERVCRYPTO_OK
                                   << 5000ull << 0u << 120u + 108u;
    EnvelopeOptions declared;
    declared.declaredSize = 1ull << 40;
    QTest::newRow("declared size as written") << korvel::test::toBytes(korvel::test::makeEnvelope(plain, declared))
                                              << ZERVCRYPTO_OK << (1ull << 40) << 0u << 120u;
    QTest::newRow("empty plaintext, two key records")
        << korvel::test::toBytes(korvel::test::makeEnvelope({}, three)) << ZERVCRYPTO_OK << 0ull << 2u << 168u;
    QTest::newRow("not an envelope") << QByteArray("plain words").repeated(30) << ZERVCRYPTO_ECORRUPT << 0ull << 0u
                                     << 0u;
    QTest::newRow("header alone") << korvel::test::toBytes(korvel::test::makeEnvelope({})) << ZERVCRYPTO_ECORRUPT
                                  << 0ull << 0u << 0u;
}

void TestZervcrypto::inspect()
{
    QFETCH(QByteArray, file);
    QFETCH(unsigned, code);
    QFETCH(qulonglong, plaintextSize);
    QFETCH(uint, keyRecords);
    QFETCH(uint, trailerSize);
    const QString path = m_dir.filePath(QStringLiteral("inspect%1").arg(++m_counter));
    writeBytes(path, file);

    zervcrypto_file_decrypt_t* s = zervcrypto_file_decrypt_init();
    QVERIFY(s);
    zervcrypto_envelope_info_t info {};
    int sysError = 0;
    QCOMPARE(zervcrypto_file_inspect(s, path.toUtf8().constData(), &info, &sysError), code);
    if (code == ZERVCRYPTO_OK) {
        QCOMPARE(info.file_size, static_cast<uint64_t>(file.size()));
        QCOMPARE(info.plaintext_size, static_cast<uint64_t>(plaintextSize));
        QCOMPARE(info.key_records, keyRecords);
        QCOMPARE(info.trailer_size, trailerSize);
        QCOMPARE(s->header.plaintext_size, static_cast<uint64_t>(plaintextSize));
        // Looked at, not opened: nothing can be read from it.
        uint8_t buffer[ZERVCRYPTO_PIECE_SIZE];
        uint32_t length = 0;
        QCOMPARE(zervcrypto_file_decrypt_read(s, buffer, &length), ZERVCRYPTO_EREAD);
    } else {
        QCOMPARE(QByteArray(s->error_text), QByteArray("Input file is corrupt"));
    }
    zervcrypto_file_decrypt_close(&s);

    s = zervcrypto_file_decrypt_init();
    QCOMPARE(zervcrypto_file_inspect(s, m_dir.filePath("nothing").toUtf8().constData(), &info, &sysError),
        ZERVCRYPTO_ESYSTEM);
    QCOMPARE(sysError, ENOENT);
    QCOMPARE(QByteArray(s->error_text), QByteArray("Cannot open file: No such file or directory"));
    QCOMPARE(zervcrypto_file_inspect(s, path.toUtf8().constData(), nullptr, nullptr), ZERVCRYPTO_ESYSTEM);
    zervcrypto_file_decrypt_close(&s);
    QCOMPARE(zervcrypto_file_inspect(nullptr, path.toUtf8().constData(), &info, nullptr), ZERVCRYPTO_ESYSTEM);
}

QTEST_GUILESS_MAIN(TestZervcrypto)
#include "test_zervcrypto.moc"
