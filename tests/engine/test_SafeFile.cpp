#include "engine/SafeFile.h"
#include "tests/support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
}

} // namespace

class TestSafeFile : public QObject {
    Q_OBJECT

private slots:
    void namesAreNeverReplaced_data();
    void namesAreNeverReplaced();
    void unnamedFileIsInvisibleUntilLinked();
    void unnamedFileVanishesWhenClosed();
};

void TestSafeFile::namesAreNeverReplaced_data()
{
    QTest::addColumn<bool>("unnamed");
    QTest::addColumn<int>("renameat2Error"); // 0: renameat2 works
    QTest::newRow("unnamed file, linked") << true << 0;
    QTest::newRow("hidden file, renamed") << false << 0;
    // File systems without RENAME_NOREPLACE, as a forked child sees them.
    QTest::newRow("hidden file, renamed without renameat2 (ENOTSUP)") << false << int(ENOTSUP);
    QTest::newRow("hidden file, renamed without renameat2 (EINVAL)") << false << int(EINVAL);
}

// Both ways of giving an output its name refuse a taken name, whatever holds
// it, and leave what holds it alone.
void TestSafeFile::namesAreNeverReplaced()
{
    QFETCH(bool, unnamed);
    QFETCH(int, renameat2Error);
    QTemporaryDir dir;
    const QString folder = dir.path();
    writeFile(folder + "/taken", "user data");
    QVERIFY(QFile::link(folder + "/elsewhere", folder + "/dangling"));
    QVERIFY(QDir(folder).mkdir("folder"));

    QString temporary;
    const int fd = unnamed ? SafeFile::createUnnamed(folder) : SafeFile::createTemporary(folder, &temporary);
    QVERIFY(fd >= 0);
    QCOMPARE(write(fd, "plain", 5), ssize_t(5));
    const auto place = [&](const QString& name) {
        if (unnamed)
            return SafeFile::linkNoReplace(fd, name);
        if (renameat2Error == 0)
            return SafeFile::renameNoReplace(temporary, name);
        return korvel::test::runInChild([&] {
            if (!korvel::test::failSystemCall(SYS_renameat2, renameat2Error))
                return korvel::test::kChildSetupFailed;
            return SafeFile::renameNoReplace(temporary, name);
        });
    };

    QCOMPARE(place(folder + "/taken"), EEXIST);
    QCOMPARE(contents(folder + "/taken"), QByteArray("user data"));
    QCOMPARE(place(folder + "/dangling"), EEXIST);
    QVERIFY(!QFile::exists(folder + "/elsewhere")); // not written through the link
    QCOMPARE(place(folder + "/folder"), EEXIST);

    QCOMPARE(place(folder + "/free"), 0);
    QCOMPARE(contents(folder + "/free"), QByteArray("plain"));
    close(fd);
    // Nothing else was left behind.
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System).size(), 4);
}

void TestSafeFile::unnamedFileIsInvisibleUntilLinked()
{
    QTemporaryDir dir;
    const int fd = SafeFile::createUnnamed(dir.path());
    QVERIFY(fd >= 0);
    QCOMPARE(write(fd, "abc", 3), ssize_t(3));
    QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    QCOMPARE(SafeFile::linkNoReplace(fd, dir.filePath("out")), 0);
    QCOMPARE(write(fd, "d", 1), ssize_t(1)); // still the same file
    close(fd);
    QCOMPARE(contents(dir.filePath("out")), QByteArray("abcd"));
}

void TestSafeFile::unnamedFileVanishesWhenClosed()
{
    QTemporaryDir dir;
    const int fd = SafeFile::createUnnamed(dir.path());
    QVERIFY(fd >= 0);
    QCOMPARE(write(fd, "lost", 4), ssize_t(4));
    close(fd);
    QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    QCOMPARE(SafeFile::createUnnamed(dir.filePath("missing")), -1);
    QCOMPARE(errno, ENOENT);
}

QTEST_GUILESS_MAIN(TestSafeFile)
#include "test_SafeFile.moc"
