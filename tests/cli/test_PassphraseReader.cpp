#include "cli/PassphraseReader.h"
#include "engine/LocalPath.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

class TestPassphraseReader : public QObject {
    Q_OBJECT

private slots:
    void fromFd_data();
    void fromFd();
    void fromFile_data();
    void fromFile();
    void fromList_data();
    void fromList();
};

namespace {

void addLineRows()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QByteArray>("rest"); // what a descriptor still holds afterwards

    QTest::newRow("one line") << QByteArray("secret\n") << true << "secret" << QByteArray();
    QTest::newRow("no newline") << QByteArray("secret") << true << "secret" << QByteArray();
    QTest::newRow("CRLF") << QByteArray("secret\r\n") << true << "secret" << QByteArray();
    QTest::newRow("first of several lines") << QByteArray("secret\nnext\n") << true << "secret" << QByteArray("next\n");
    QTest::newRow("blanks kept") << QByteArray(" pass phrase \n") << true << " pass phrase " << QByteArray();
    QTest::newRow("UTF-8") << QByteArray("p\xc3\xa4sswort\n") << true << QString::fromUtf8("p\xc3\xa4sswort")
                           << QByteArray();
    QTest::newRow("not UTF-8, kept as its bytes")
        << QByteArray("pa\xdfwort\n") << true << LocalPath::decode("pa\xdfwort") << QByteArray();
    QTest::newRow("empty line is an empty passphrase") << QByteArray("\nnext") << true << "" << QByteArray("next");
    QTest::newRow("nothing at all") << QByteArray() << false << "" << QByteArray();
    QTest::newRow("line too long") << QByteArray(70000, 'x') << false << "" << QByteArray();
}

} // namespace

void TestPassphraseReader::fromFd_data()
{
    addLineRows();
}

void TestPassphraseReader::fromFd()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(QString, passphrase);
    QFETCH(QByteArray, rest);

    QTemporaryDir dir;
    QFile file(dir.filePath("input"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QCOMPARE(file.write(input), input.size());
    file.close();
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY);
    QVERIFY(fd >= 0);

    QString got;
    QString error;
    const auto result = PassphraseReader::fromFd(fd, &got, &error);
    QCOMPARE(result == PassphraseReader::Result::Ok, ok);
    if (ok) {
        QCOMPARE(got, passphrase);
        // Nothing past the line was consumed.
        QByteArray left(100, '\0');
        const ssize_t n = ::read(fd, left.data(), left.size());
        QVERIFY(n >= 0);
        left.resize(n);
        QCOMPARE(left, rest);
    } else {
        QVERIFY(!error.isEmpty());
    }
    ::close(fd);
}

void TestPassphraseReader::fromFile_data()
{
    addLineRows();
}

void TestPassphraseReader::fromFile()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(QString, passphrase);

    QTemporaryDir dir;
    QFile file(dir.filePath("passphrase"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(input), input.size());
    file.close();

    QString got;
    QString error;
    QCOMPARE(PassphraseReader::fromFile(file.fileName(), &got, &error) == PassphraseReader::Result::Ok, ok);
    if (ok)
        QCOMPARE(got, passphrase);
    else
        QVERIFY(error.contains(file.fileName()));

    // Unreadable sources fail with the name in the message.
    for (const QString& bad : { dir.filePath("missing"), dir.path() }) {
        error.clear();
        QCOMPARE(PassphraseReader::fromFile(bad, &got, &error), PassphraseReader::Result::Failed);
        QVERIFY2(error.contains(bad), qPrintable(error));
    }
}

void TestPassphraseReader::fromList_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("passphrases");

    QTest::newRow("one line") << QByteArray("secret\n") << true << QStringList { "secret" };
    QTest::newRow("no newline at the end") << QByteArray("one\ntwo") << true << QStringList { "one", "two" };
    QTest::newRow("CRLF endings") << QByteArray("one\r\ntwo\r\n") << true << QStringList { "one", "two" };
    // Only the line ending goes: blanks and a lone CR inside stay; empty lines
    // are no candidates at all.
    QTest::newRow("nothing else removed")
        << QByteArray(" one \n\ntw\ro\n\t\n") << true << QStringList { " one ", "tw\ro", "\t" };
    QTest::newRow("blank lines between and after")
        << QByteArray("\r\none\n\n\r\ntwo\n\n\n") << true << QStringList { "one", "two" };
    QTest::newRow("only blank lines") << QByteArray("\n\r\n\n") << false << QStringList();
    // Tried as its bytes: the Latin-1 "\xe9" stays one byte, not U+FFFD.
    QTest::newRow("a line that is not UTF-8")
        << QByteArray("caf\xe9\nok\n") << true << QStringList { LocalPath::decode("caf\xe9"), "ok" };
    QTest::newRow("UTF-8") << QByteArray("p\xc3\xa4ss\n\xe2\x82\xac\n") << true
                           << QStringList { QString::fromUtf8("p\xc3\xa4ss"), QString::fromUtf8("\xe2\x82\xac") };
    QTest::newRow("long lines, many of them")
        << (QByteArray(70000, 'x') + '\n').repeated(40) << true << QStringList(40, QString(70000, 'x'));
    QTest::newRow("empty file") << QByteArray() << false << QStringList();
    QTest::newRow("too large") << QByteArray(16 * 1024 * 1024 + 1, 'x') << false << QStringList();
}

void TestPassphraseReader::fromList()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(QStringList, passphrases);

    QTemporaryDir dir;
    QFile file(dir.filePath("list"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(input), input.size());
    file.close();

    // Candidates are appended to what the list already holds.
    QStringList got { QStringLiteral("earlier") };
    QString error;
    QCOMPARE(PassphraseReader::fromList(file.fileName(), &got, &error) == PassphraseReader::Result::Ok, ok);
    if (ok) {
        QCOMPARE(got, QStringList { QStringLiteral("earlier") } + passphrases);
    } else {
        QVERIFY2(error.contains(file.fileName()), qPrintable(error));
    }

    // Unreadable sources fail with the name in the message.
    for (const QString& bad : { dir.filePath("missing"), dir.path() }) {
        error.clear();
        QCOMPARE(PassphraseReader::fromList(bad, &got, &error), PassphraseReader::Result::Failed);
        QVERIFY2(error.contains(bad), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(TestPassphraseReader)
#include "test_PassphraseReader.moc"
