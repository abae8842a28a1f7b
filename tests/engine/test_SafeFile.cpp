#include "engine/SafeFile.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using korvel::test::entries;
using korvel::test::fileOrMissing;

namespace {

void writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
}

int modeOf(const QString& path)
{
    struct stat status { };
    return lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

// Sets the process's umask for one test and puts the old one back.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask)
        : m_old(::umask(mask))
    { }
    ~UmaskGuard() { ::umask(m_old); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t m_old;
};

} // namespace

// SafeFile::renameNoReplace(args[1], args[2]) while renameat2 fails with the
// errno args[0].
KORVEL_CHILD_STEP(renameWithoutRenameat2)
{
    if (!korvel::test::failSystemCall(SYS_renameat2, std::stoi(args[0])))
        return korvel::test::kChildSetupFailed;
    return SafeFile::renameNoReplace(QString::fromStdString(args[1]), QString::fromStdString(args[2]));
}

// SafeFile::copyToTemporary of the descriptor args[0] into the folder args[1],
// under the umask 022 and, unless args[2] is not empty, without copy_file_range.
KORVEL_CHILD_STEP(copyToTemporaryUnderUmask)
{
    ::umask(022);
    if (args[2].empty() && !korvel::test::failSystemCall(SYS_copy_file_range, ENOSYS))
        return korvel::test::kChildSetupFailed;
    QString temporary;
    return SafeFile::copyToTemporary(std::stoi(args[0]), QString::fromStdString(args[1]), 0640, &temporary);
}

class TestSafeFile : public QObject {
    Q_OBJECT

private slots:
    void namesAreNeverReplaced_data();
    void namesAreNeverReplaced();
    void unnamedFileIsInvisibleUntilLinked();
    void unnamedFileVanishesWhenClosed();
    void createdFilesTakeTheModeLessTheUmask_data();
    void createdFilesTakeTheModeLessTheUmask();
    void copyToTemporaryCopiesTheWholeFile_data();
    void copyToTemporaryCopiesTheWholeFile();
    void copyToTemporaryLeavesNothingOnFailure();
    void syncsReportTheirErrors();
    void staleTemporariesRemoved_data();
    void staleTemporariesRemoved();
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
        return korvel::test::runChild(
            "renameWithoutRenameat2", { std::to_string(renameat2Error), temporary.toStdString(), name.toStdString() });
    };

    QCOMPARE(place(folder + "/taken"), EEXIST);
    QCOMPARE(fileOrMissing(folder + "/taken"), QByteArray("user data"));
    QCOMPARE(place(folder + "/dangling"), EEXIST);
    QVERIFY(!QFile::exists(folder + "/elsewhere")); // not written through the link
    QCOMPARE(place(folder + "/folder"), EEXIST);

    QCOMPARE(place(folder + "/free"), 0);
    QCOMPARE(fileOrMissing(folder + "/free"), QByteArray("plain"));
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
    QCOMPARE(fileOrMissing(dir.filePath("out")), QByteArray("abcd"));
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

void TestSafeFile::createdFilesTakeTheModeLessTheUmask_data()
{
    QTest::addColumn<bool>("unnamed");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("umask");
    for (const bool unnamed : { true, false }) {
        for (const int mode : { 0600, 0640, 0644 }) {
            for (const int mask : { 022, 077 }) {
                QTest::addRow("%s, %o, umask %03o", unnamed ? "unnamed" : "hidden", mode, mask)
                    << unnamed << mode << mask;
            }
        }
    }
}

void TestSafeFile::createdFilesTakeTheModeLessTheUmask()
{
    QFETCH(bool, unnamed);
    QFETCH(int, mode);
    QFETCH(int, umask);
    QTemporaryDir dir;
    const QString name = dir.filePath("out");
    {
        const UmaskGuard guard(static_cast<mode_t>(umask));
        QString temporary;
        const int fd = unnamed ? SafeFile::createUnnamed(dir.path(), static_cast<mode_t>(mode))
                               : SafeFile::createTemporary(dir.path(), &temporary, static_cast<mode_t>(mode));
        QVERIFY(fd >= 0);
        QCOMPARE(unnamed ? SafeFile::linkNoReplace(fd, name) : SafeFile::renameNoReplace(temporary, name), 0);
        close(fd);
    }
    QCOMPARE(modeOf(name), mode & ~umask);
}

void TestSafeFile::copyToTemporaryCopiesTheWholeFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("kernelCopy"); // false: copy_file_range fails, as on older kernels
    for (const bool kernelCopy : { true, false }) {
        const char* how = kernelCopy ? "in the kernel" : "through a buffer";
        QTest::addRow("empty, %s", how) << 0 << kernelCopy;
        QTest::addRow("one byte, %s", how) << 1 << kernelCopy;
        QTest::addRow("several buffers and a tail, %s", how) << 3 * 65536 + 123 << kernelCopy;
    }
}

// Where an unnamed file cannot be linked, its contents move to a hidden temporary.
void TestSafeFile::copyToTemporaryCopiesTheWholeFile()
{
    QFETCH(int, size);
    QFETCH(bool, kernelCopy);
    QTemporaryDir dir;
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7 + i / 251);
    const int fd = SafeFile::createUnnamed(dir.path(), 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(write(fd, data.constData(), size_t(size)), ssize_t(size));

    // In a child, where the umask and a failing copy_file_range stay.
    const int copied = korvel::test::waitChild(korvel::test::startChild("copyToTemporaryUnderUmask",
        { std::to_string(fd), dir.path().toStdString(), kernelCopy ? "kernel copy" : "" }, { fd }));
    close(fd);
    QCOMPARE(copied, 0);
    const QStringList names = entries(dir.path());
    QCOMPARE(names.size(), 1);
    QVERIFY(names.first().startsWith(QLatin1Char('.')));
    const QString temporary = dir.filePath(names.first());
    QCOMPARE(fileOrMissing(temporary), data);
    QCOMPARE(modeOf(temporary), 0640);
}

void TestSafeFile::copyToTemporaryLeavesNothingOnFailure()
{
    QTemporaryDir dir;
    const int fd = SafeFile::createUnnamed(dir.path(), 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(write(fd, "plain", 5), ssize_t(5));
    QString temporary;
    QCOMPARE(SafeFile::copyToTemporary(fd, dir.filePath("missing"), 0600, &temporary), ENOENT);
    QVERIFY(temporary.isEmpty());
    // A descriptor that cannot be read from: the copy that was begun goes again.
    const int writeOnly = open(QFile::encodeName(dir.filePath("w")).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(writeOnly >= 0);
    QCOMPARE(write(writeOnly, "x", 1), ssize_t(1));
    QCOMPARE(SafeFile::copyToTemporary(writeOnly, dir.path(), 0600, &temporary), EBADF);
    QVERIFY(temporary.isEmpty());
    close(writeOnly);
    close(fd);
    QCOMPARE(entries(dir.path()), QStringList { "w" });
}

void TestSafeFile::syncsReportTheirErrors()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("file"), "data");
    QVERIFY(QFile::link(dir.filePath("file"), dir.filePath("link")));
    QCOMPARE(SafeFile::syncToDisk(dir.filePath("file")), 0);
    QCOMPARE(SafeFile::syncFolder(dir.path()), 0);
    const int fd = SafeFile::createUnnamed(dir.path());
    QVERIFY(fd >= 0);
    QCOMPARE(SafeFile::syncData(fd), 0);
    close(fd);
    QCOMPARE(SafeFile::syncData(-1), EBADF);
    QCOMPARE(SafeFile::syncToDisk(dir.filePath("missing")), ENOENT);
    QCOMPARE(SafeFile::syncToDisk(dir.filePath("link")), ELOOP); // never through a link
    QCOMPARE(SafeFile::syncFolder(dir.filePath("missing")), ENOENT);
    QCOMPARE(SafeFile::syncFolder(dir.filePath("file")), ENOTDIR);
}

void TestSafeFile::staleTemporariesRemoved_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("held"); // a living writer holds it (createTemporary)
    QTest::addColumn<int>("ageSeconds"); // since it was last written
    QTest::addColumn<bool>("removed");
    QTest::newRow("left by a killed run") << ".korvel-0123456789abcdef.part" << false << 3600 << true;
    QTest::newRow("a source moved aside to go") << ".korvel-0123456789abcdef.gone" << false << 3600 << true;
    QTest::newRow("held by a living writer") << "" << true << 3600 << false;
    QTest::newRow("just written") << ".korvel-0123456789abcdef.part" << false << 0 << false;
    QTest::newRow("another hidden name") << ".korvel-notes.part" << false << 3600 << false;
    QTest::newRow("a user's file") << "korvel-0123456789abcdef.part" << false << 3600 << false;
}

// What a killed run leaves as hidden temporaries goes with the next run, once
// no living writer holds it; nothing else does.
void TestSafeFile::staleTemporariesRemoved()
{
    QFETCH(QString, name);
    QFETCH(bool, held);
    QFETCH(int, ageSeconds);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    int fd = -1;
    QString path = dir.filePath(name);
    if (held) {
        fd = SafeFile::createTemporary(dir.path(), &path);
        QVERIFY(fd >= 0);
    } else {
        writeFile(path, "partial plaintext");
    }
    const timespec times[2] = { { time(nullptr) - ageSeconds, 0 }, { time(nullptr) - ageSeconds, 0 } };
    QCOMPARE(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    QCOMPARE(SafeFile::removeStaleTemporaries(dir.path()), removed ? 1 : 0);
    QCOMPARE(QFile::exists(path), !removed);
    if (fd >= 0) {
        ::close(fd);
        // Its writer gone, it goes too.
        QCOMPARE(SafeFile::removeStaleTemporaries(dir.path()), 1);
    }
}

KORVEL_TEST_MAIN_GUILESS(TestSafeFile)
#include "test_SafeFile.moc"
