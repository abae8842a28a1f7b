#include <kv/kv.h>

#include "tests/support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

// Renames args[2] to args[3] while renameat2 fails with the errno args[1], as
// the account args[0] unless that is empty.
KORVEL_CHILD_STEP(renameWithoutRenameat2)
{
    if ((!args[0].empty() && !korvel::test::becomeAccount(args[0].c_str()))
        || !korvel::test::failSystemCall(SYS_renameat2, std::stoi(args[1])))
        return korvel::test::kChildSetupFailed;
    return kv_file_rename(args[2].c_str(), args[3].c_str());
}

class TestKvFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray path(const QByteArray& name) const { return m_dir.filePath(QString::fromUtf8(name)).toUtf8(); }
    static void writeFile(const QByteArray& file, const QByteArray& contents)
    {
        QFile f(QString::fromUtf8(file));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(contents), contents.size());
    }
    static QByteArray readFile(const QByteArray& file)
    {
        QFile f(QString::fromUtf8(file));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    static QByteArray randomBytes(int size)
    {
        QByteArray data(size, '\0');
        for (char& c : data)
            c = char(QRandomGenerator::global()->bounded(256));
        return data;
    }

private slots:
    void deleteFiles();
    void renameNeverReplaces();
    void renameWithAndWithoutNoReplace_data();
    void renameWithAndWithoutNoReplace();
    void renameFallbackKeepsTheOldName();
    void hardAndSymbolicLinks();
    void realpath();
    void utime();
    void copy_data();
    void copy();
    void copyAcrossPartialWrites();
    void permissions_data();
    void permissions();
    void modePredicates_data();
    void modePredicates();
    void appendPath_data();
    void appendPath();
    void basename_data();
    void basename();
    void dirname_data();
    void dirname();
    void pathCompare_data();
    void pathCompare();
    void unixPath();
    void owner_data();
    void owner();
    void ownerContextAppliesToMany();
    void streams();
};

void TestKvFile::deleteFiles()
{
    const QByteArray file = path("doomed");
    writeFile(file, "x");
    QCOMPARE(kv_file_delete(file.constData()), 0);
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(file)));
    QCOMPARE(kv_file_delete(file.constData()), int(ENOENT));
    QVERIFY(QDir().mkpath(QString::fromUtf8(path("folder"))));
    QCOMPARE(kv_file_delete(path("folder").constData()), int(EISDIR));

    // Deleting a link leaves its target.
    const QByteArray target = path("target");
    writeFile(target, "kept");
    QCOMPARE(kv_file_symlink(target.constData(), path("link").constData()), 0);
    QCOMPARE(kv_file_delete(path("link").constData()), 0);
    QCOMPARE(readFile(target), QByteArray("kept"));
}

void TestKvFile::renameNeverReplaces()
{
    const QByteArray a = path("ren-a");
    const QByteArray b = path("ren-b");
    const QByteArray c = path("ren-c");
    writeFile(a, "first");
    writeFile(b, "second");
    QCOMPARE(kv_file_rename(a.constData(), b.constData()), int(EEXIST));
    QCOMPARE(readFile(a), QByteArray("first"));
    QCOMPARE(readFile(b), QByteArray("second"));
    QCOMPARE(kv_file_rename(a.constData(), c.constData()), 0);
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(a)));
    QCOMPARE(readFile(c), QByteArray("first"));
    QCOMPARE(kv_file_rename(a.constData(), c.constData()), int(ENOENT));

    QVERIFY(QDir().mkpath(QString::fromUtf8(path("ren-dir/inner"))));
    QVERIFY(QDir().mkpath(QString::fromUtf8(path("ren-full/x"))));
    QCOMPARE(kv_file_rename(path("ren-dir").constData(), path("ren-full").constData()), int(EEXIST));
    QCOMPARE(kv_file_rename(path("ren-dir").constData(), path("ren-moved").constData()), 0);
    QVERIFY(QFileInfo(QString::fromUtf8(path("ren-moved/inner"))).isDir());
}

// Both ways of renaming without replacing: renameat2(RENAME_NOREPLACE), and the
// fallback for file systems without it, reached by making renameat2 fail in a
// forked child as such a file system does. Neither ever replaces what holds the
// new name; a folder is refused by the fallback rather than moved by a rename
// that could replace a folder created meanwhile.
void TestKvFile::renameWithAndWithoutNoReplace_data()
{
    QTest::addColumn<int>("renameat2Error"); // 0: renameat2 works
    QTest::addColumn<QByteArray>("source"); // "file", "link" or "folder"
    QTest::addColumn<QByteArray>("target"); // "free", "file", "dangling" or "folder"
    QTest::addColumn<int>("result");

    QTest::newRow("file to a free name") << 0 << QByteArray("file") << QByteArray("free") << 0;
    QTest::newRow("file onto a file") << 0 << QByteArray("file") << QByteArray("file") << int(EEXIST);
    QTest::newRow("file onto a dangling link") << 0 << QByteArray("file") << QByteArray("dangling") << int(EEXIST);
    QTest::newRow("folder to a free name") << 0 << QByteArray("folder") << QByteArray("free") << 0;
    QTest::newRow("folder onto an empty folder") << 0 << QByteArray("folder") << QByteArray("folder") << int(EEXIST);

    const std::pair<int, const char*> missing[]
        = { { ENOTSUP, "ENOTSUP" }, { EINVAL, "EINVAL" }, { ENOSYS, "ENOSYS" } };
    for (const auto& [error, name] : missing) {
        const QByteArray tag = "without renameat2 (" + QByteArray(name) + "): ";
        QTest::newRow(tag + "file to a free name") << error << QByteArray("file") << QByteArray("free") << 0;
        QTest::newRow(tag + "file onto a file") << error << QByteArray("file") << QByteArray("file") << int(EEXIST);
        QTest::newRow(tag + "file onto a dangling link")
            << error << QByteArray("file") << QByteArray("dangling") << int(EEXIST);
        QTest::newRow(tag + "file onto a folder") << error << QByteArray("file") << QByteArray("folder") << int(EEXIST);
        QTest::newRow(tag + "link to a free name") << error << QByteArray("link") << QByteArray("free") << 0;
        // glibc itself reports a missing renameat2 as EINVAL.
        const int refused = error == ENOSYS ? -1 : error;
        QTest::newRow(tag + "folder to a free name") << error << QByteArray("folder") << QByteArray("free") << refused;
        QTest::newRow(tag + "folder onto an empty folder")
            << error << QByteArray("folder") << QByteArray("folder") << refused;
    }
}

void TestKvFile::renameWithAndWithoutNoReplace()
{
    QFETCH(int, renameat2Error);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, target);
    QFETCH(int, result);

    QTemporaryDir dir;
    const QByteArray from = QFile::encodeName(dir.filePath("from"));
    const QByteArray to = QFile::encodeName(dir.filePath("to"));
    const QByteArray absent = QFile::encodeName(dir.filePath("absent"));
    if (source == "file")
        writeFile(from, "moved");
    else if (source == "link")
        QCOMPARE(symlink("elsewhere", from.constData()), 0);
    else
        QVERIFY(QDir().mkpath(QString::fromUtf8(from + "/inner")));
    if (target == "file")
        writeFile(to, "taken");
    else if (target == "dangling")
        QCOMPARE(symlink(absent.constData(), to.constData()), 0);
    else if (target == "folder")
        QVERIFY(QDir().mkdir(QString::fromUtf8(to)));

    int rc;
    if (renameat2Error == 0) {
        rc = kv_file_rename(from.constData(), to.constData());
    } else {
        rc = korvel::test::runChild(
            "renameWithoutRenameat2", { "", std::to_string(renameat2Error), from.toStdString(), to.toStdString() });
    }
    if (result == -1) // either of the two codes glibc may hand on
        QVERIFY2(rc == EINVAL || rc == ENOSYS, qPrintable(QString::number(rc)));
    else
        QCOMPARE(rc, result);

    // What was moved arrived whole under one name, or nothing changed at all.
    struct stat sb;
    const auto present = [&sb](const QByteArray& name) { return lstat(name.constData(), &sb) == 0; };
    const QByteArray holder = rc == 0 ? to : from;
    if (rc == 0)
        QVERIFY(!present(from));
    if (source == "file")
        QCOMPARE(readFile(holder), QByteArray("moved"));
    else if (source == "link")
        QCOMPARE(QFile::symLinkTarget(QString::fromUtf8(holder)), dir.filePath("elsewhere"));
    else
        QVERIFY(QFileInfo(QString::fromUtf8(holder + "/inner")).isDir());
    if (rc == 0)
        return;
    if (target == "file")
        QCOMPARE(readFile(to), QByteArray("taken"));
    else if (target == "dangling")
        QCOMPARE(QFile::symLinkTarget(QString::fromUtf8(to)), QString::fromUtf8(absent));
    else if (target == "folder")
        QVERIFY(QDir(QString::fromUtf8(to)).isEmpty());
    else
        QVERIFY(!present(to));
    QVERIFY(!present(absent)); // nothing written through the link
}

// Without renameat2, a file whose old name cannot be removed (its folder is not
// writable for the caller) keeps that name only: the new link is taken back.
void TestKvFile::renameFallbackKeepsTheOldName()
{
    QTemporaryDir dir;
    const QString locked = dir.filePath("locked");
    const QString open = dir.filePath("open");
    QVERIFY(QDir().mkdir(locked));
    QVERIFY(QDir().mkdir(open));
    const QByteArray from = QFile::encodeName(locked + "/file");
    const QByteArray to = QFile::encodeName(open + "/file");
    writeFile(from, "stays");
    // Unprivileged callers: root's test run gives the file to nobody and acts as nobody.
    const bool root = geteuid() == 0;
    const passwd* nobody = getpwnam("nobody");
    if (root) {
        QVERIFY(nobody);
        QCOMPARE(chown(from.constData(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    QCOMPARE(chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    QCOMPARE(chmod(QFile::encodeName(locked).constData(), 0555), 0);
    QCOMPARE(chmod(QFile::encodeName(open).constData(), 0777), 0);

    const int rc = korvel::test::runChild("renameWithoutRenameat2",
        { root ? "nobody" : "", std::to_string(EINVAL), from.toStdString(), to.toStdString() });
    QCOMPARE(rc, int(EACCES));
    QCOMPARE(readFile(from), QByteArray("stays"));
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(to)));
    struct stat sb;
    QCOMPARE(lstat(from.constData(), &sb), 0);
    QCOMPARE(sb.st_nlink, nlink_t(1));
    QCOMPARE(chmod(QFile::encodeName(locked).constData(), 0755), 0);
}

void TestKvFile::hardAndSymbolicLinks()
{
    const QByteArray file = path("orig");
    writeFile(file, "data");
    const QByteArray hard = path("hard");
    QCOMPARE(kv_file_hardlink(file.constData(), hard.constData()), 0);
    kv_stat_t a;
    kv_stat_t b;
    QCOMPARE(kv_file_stat(file.constData(), &a, KV_STAT_INO), 0);
    QCOMPARE(kv_file_stat(hard.constData(), &b, KV_STAT_INO), 0);
    QCOMPARE(a.ino, b.ino);
    QVERIFY(a.ino != 0);
    QCOMPARE(kv_file_hardlink(file.constData(), hard.constData()), int(EEXIST));
    QCOMPARE(kv_file_hardlink(path("none").constData(), path("hard2").constData()), int(ENOENT));

    const QByteArray link = path("sym");
    QCOMPARE(kv_file_symlink("orig", link.constData()), 0);
    QCOMPARE(kv_file_symlink("orig", link.constData()), int(EEXIST));
    QCOMPARE(kv_file_stat(link.constData(), &a, KV_STAT_NOFOLLOW), 0);
    QCOMPARE(a.type, KV_FTYPE_LNK);
    QCOMPARE(readFile(link), QByteArray("data"));

    char text[16];
    memset(text, 'Z', sizeof text);
    QCOMPARE(kv_file_readlink(link.constData(), text, sizeof text), 0);
    QCOMPARE(QByteArray(text), QByteArray("orig"));
    QCOMPARE(kv_file_readlink(link.constData(), text, 4), int(KV_ENOSPACE));
    QCOMPARE(QByteArray(text), QByteArray("ori"));
    QCOMPARE(kv_file_readlink(link.constData(), text, 0), int(KV_ENOSPACE));
    QCOMPARE(kv_file_readlink(file.constData(), text, sizeof text), int(EINVAL));
    QCOMPARE(kv_file_readlink_source(), int(EINVAL));
}

void TestKvFile::realpath()
{
    QVERIFY(QDir().mkpath(QString::fromUtf8(path("real/a"))));
    writeFile(path("real/a/f"), "x");
    QCOMPARE(kv_file_symlink("a", path("real/via").constData()), 0);
    const QByteArray expected = QFileInfo(QString::fromUtf8(path("real/a/f"))).canonicalFilePath().toUtf8();

    char out[KV_PATH_MAX];
    QCOMPARE(kv_file_realpath(path("real/a/../via//./f").constData(), out, sizeof out), 0);
    QCOMPARE(QByteArray(out), expected);
    QCOMPARE(kv_file_realpath(path("real/via/f").constData(), out, expected.size()), int(KV_ERR_INSUFFICIENT_BUFFER));
    QCOMPARE(QByteArray(out), QByteArray(""));
    QCOMPARE(kv_file_realpath(path("real/missing").constData(), out, sizeof out), int(ENOENT));
}

void TestKvFile::utime()
{
    const QByteArray file = path("times");
    writeFile(file, "x");
    kv_stat_t st;
    QCOMPARE(kv_file_utime(file.constData(), 1000000000), 0);
    QCOMPARE(kv_file_stat(file.constData(), &st, 0), 0);
    QCOMPARE(st.mtime, int64_t(1000000000));
    QCOMPARE(st.atime, int64_t(1000000000));

    const int64_t before = time(nullptr);
    QCOMPARE(kv_file_utime(file.constData(), -1), 0);
    const int64_t after = time(nullptr);
    QCOMPARE(kv_file_stat(file.constData(), &st, 0), 0);
    QVERIFY(st.mtime >= before && st.mtime <= after);
    QVERIFY(st.atime >= before && st.atime <= after);

    QCOMPARE(kv_file_utime(path("none").constData(), 0), int(ENOENT));
}

void TestKvFile::copy_data()
{
    QTest::addColumn<int>("sourceSize"); // -1: no source
    QTest::addColumn<int>("destinationSize"); // -1: no destination
    QTest::addColumn<int>("disposition");
    QTest::addColumn<int>("result");

    QTest::newRow("new destination") << 100 << -1 << 0 << 0;
    QTest::newRow("several blocks") << 3 * 4096 + 17 << -1 << 0 << 0;
    QTest::newRow("exactly one block") << 4096 << -1 << 0 << 0;
    QTest::newRow("empty source") << 0 << 50 << 0 << 0;
    QTest::newRow("longer destination loses its tail") << 5000 << 9000 << KV_OPEN_EXISTING << 0;
    QTest::newRow("shorter destination") << 5000 << 10 << 0 << 0;
    QTest::newRow("destination must exist") << 10 << -1 << KV_OPEN_EXISTING << int(ENOENT);
    QTest::newRow("no source") << -1 << 20 << 0 << int(ENOENT);
}

void TestKvFile::copy()
{
    QFETCH(int, sourceSize);
    QFETCH(int, destinationSize);
    QFETCH(int, disposition);
    QFETCH(int, result);

    QTemporaryDir dir;
    const QByteArray source = dir.filePath("src").toUtf8();
    const QByteArray destination = dir.filePath("dst").toUtf8();
    const QByteArray data = randomBytes(qMax(sourceSize, 0));
    const QByteArray old = randomBytes(qMax(destinationSize, 0));
    if (sourceSize >= 0)
        writeFile(source, data);
    if (destinationSize >= 0)
        writeFile(destination, old);

    QCOMPARE(kv_file_copy(source.constData(), destination.constData(), disposition), result);
    if (result == 0)
        QCOMPARE(readFile(destination), data);
    else
        QCOMPARE(readFile(destination), destinationSize >= 0 ? old : QByteArray("<missing>"));
}

void TestKvFile::copyAcrossPartialWrites()
{
    // A file size limit cuts the second block short; the copy keeps what was
    // written, tries the rest and reports the failure.
    const QByteArray data = randomBytes(10000);
    const QByteArray source = path("partial-src");
    const QByteArray destination = path("partial-dst");
    writeFile(source, data);

    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 6000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int rc = kv_file_copy(source.constData(), destination.constData(), 0);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    QCOMPARE(rc, int(EFBIG));
    QCOMPARE(readFile(destination), data.left(6000));
}

void TestKvFile::permissions_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("directory") << KV_FTYPE_DIR << 040755 << QByteArray("drwxr-xr-x");
    QTest::newRow("regular") << KV_FTYPE_REG << 0100644 << QByteArray("-rw-r--r--");
    QTest::newRow("every bit") << KV_FTYPE_REG << 0100777 << QByteArray("-rwxrwxrwx");
    QTest::newRow("no bit") << KV_FTYPE_REG << 0100000 << QByteArray("----------");
    QTest::newRow("odd bits") << KV_FTYPE_REG << 0100512 << QByteArray("-r-x--x-w-");
    QTest::newRow("character device") << KV_FTYPE_CHR << 020666 << QByteArray("crw-rw-rw-");
    QTest::newRow("block device") << KV_FTYPE_BLK << 060660 << QByteArray("brw-rw----");
    QTest::newRow("fifo") << KV_FTYPE_FIFO << 010600 << QByteArray("frw-------");
    QTest::newRow("socket") << KV_FTYPE_SOCK << 0140755 << QByteArray("srwxr-xr-x");
    QTest::newRow("link") << KV_FTYPE_LNK << 0120777 << QByteArray("lrwxrwxrwx");
    QTest::newRow("other") << KV_FTYPE_OTHER << 0444 << QByteArray("-r--r--r--");
}

void TestKvFile::permissions()
{
    QFETCH(int, type);
    QFETCH(int, mode);
    QFETCH(QByteArray, expected);

    kv_stat_t st {};
    st.type = type;
    st.mode = mode;
    char out[16];
    memset(out, 'Z', sizeof out);
    QCOMPARE(kv_file_permissions(&st, out, 10), int(KV_ENOSPACE));
    QCOMPARE(out[0], 'Z');
    QCOMPARE(kv_file_permissions(&st, out, 11), 0);
    QCOMPARE(QByteArray(out), expected);
    QCOMPARE(out[11], 'Z');
}

void TestKvFile::modePredicates_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("kinds"); // r d c b f l s: which predicates say yes

    QTest::newRow("regular") << 0100644 << QByteArray("r");
    QTest::newRow("directory") << 040755 << QByteArray("d");
    QTest::newRow("character") << 020666 << QByteArray("c");
    QTest::newRow("block") << 060660 << QByteArray("b");
    QTest::newRow("fifo") << 010600 << QByteArray("f");
    QTest::newRow("link") << 0120777 << QByteArray("l");
    QTest::newRow("socket") << 0140755 << QByteArray("s");
    QTest::newRow("permissions only") << 0777 << QByteArray("");
}

void TestKvFile::modePredicates()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, kinds);

    QByteArray yes;
    if (kv_isreg(mode))
        yes += 'r';
    if (kv_isdir(mode))
        yes += 'd';
    if (kv_ischr(mode))
        yes += 'c';
    if (kv_isblk(mode))
        yes += 'b';
    if (kv_isfifo(mode))
        yes += 'f';
    if (kv_islnk(mode))
        yes += 'l';
    if (kv_issock(mode))
        yes += 's';
    QCOMPARE(yes, kinds);
}

void TestKvFile::appendPath_data()
{
    QTest::addColumn<QByteArray>("dir");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("a b") << QByteArray("a") << QByteArray("b") << 32 << 0 << QByteArray("a/b");
    QTest::newRow("a/ b") << QByteArray("a/") << QByteArray("b") << 32 << 0 << QByteArray("a/b");
    QTest::newRow("empty dir") << QByteArray("") << QByteArray("b") << 32 << 0 << QByteArray("b");
    QTest::newRow("exact fit") << QByteArray("ab") << QByteArray("cd") << 6 << 0 << QByteArray("ab/cd");
    QTest::newRow("one byte short") << QByteArray("ab") << QByteArray("cd") << 5 << int(KV_ENOSPACE)
                                    << QByteArray("old");
    QTest::newRow("size zero") << QByteArray("ab") << QByteArray("cd") << 0 << 0 << QByteArray("old");
}

void TestKvFile::appendPath()
{
    QFETCH(QByteArray, dir);
    QFETCH(QByteArray, name);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char out[32] = "old";
    QCOMPARE(kv_file_append_path(dir.constData(), name.constData(), out, size), result);
    QCOMPARE(QByteArray(out), expected);

    // out may be the buffer holding dir.
    char same[32];
    memcpy(same, dir.constData(), dir.size() + 1);
    QCOMPARE(kv_file_append_path(same, name.constData(), same, size), result);
    QCOMPARE(QByteArray(same), result == 0 && size > 0 ? expected : dir);
}

void TestKvFile::basename_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("offset"); // -1: null

    QTest::newRow("nested") << QByteArray("/a/b/name.txt") << 0 << 5;
    QTest::newRow("no slash") << QByteArray("name") << 0 << 0;
    QTest::newRow("trailing slash") << QByteArray("/a/b/") << int(KV_ENOBASENAME) << -1;
    QTest::newRow("empty") << QByteArray("") << int(KV_ENOBASENAME) << -1;
    QTest::newRow("root file") << QByteArray("/f") << 0 << 1;
}

void TestKvFile::basename()
{
    QFETCH(QByteArray, input);
    QFETCH(int, result);
    QFETCH(int, offset);

    // The result is a char*, so a caller holds it in one (and may write through it
    // into its own writable text).
    static_assert(std::is_same_v<decltype(&kv_file_basename), int (*)(const char*, char**)>);
    QByteArray text = input;
    char* out = text.data();
    QCOMPARE(kv_file_basename(text.data(), &out), result);
    QCOMPARE(out ? int(out - text.constData()) : -1, offset);
    if (out && *out) {
        *out = 'N';
        QCOMPARE(text.mid(offset, 1), QByteArray("N"));
    }
}

void TestKvFile::dirname_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("rooted") << QByteArray("/a/b") << QByteArray("/a");
    QTest::newRow("run before last") << QByteArray("/a//b") << QByteArray("/a");
    QTest::newRow("trailing slash") << QByteArray("/a/b/") << QByteArray("/a/b");
    QTest::newRow("below root") << QByteArray("/a") << QByteArray("/");
    QTest::newRow("root") << QByteArray("/") << QByteArray("/");
    QTest::newRow("drive") << QByteArray("C:/dir/f") << QByteArray("C:/dir");
    QTest::newRow("drive file") << QByteArray("C:/f") << QByteArray("C:/");
    QTest::newRow("drive root") << QByteArray("C:/") << QByteArray("C:/");
    QTest::newRow("unc") << QByteArray("//srv/share/f") << QByteArray("//srv/share");
    QTest::newRow("unc server") << QByteArray("//srv") << QByteArray("//");
    QTest::newRow("relative") << QByteArray("a/b") << QByteArray(".");
    QTest::newRow("drive without slash") << QByteArray("C:f") << QByteArray(".");
    QTest::newRow("empty") << QByteArray("") << QByteArray("");
}

void TestKvFile::dirname()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    char buffer[64];
    memcpy(buffer, input.constData(), input.size() + 1);
    QCOMPARE(kv_file_dirname(buffer), 0);
    QCOMPARE(QByteArray(buffer), expected);
}

void TestKvFile::pathCompare_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<int>("result");

    QTest::newRow("equal") << QByteArray("/a/b") << QByteArray("/a/b") << 0;
    QTest::newRow("parent") << QByteArray("/a") << QByteArray("/a/b") << 0;
    QTest::newRow("parent with slash") << QByteArray("/a/") << QByteArray("/a/b") << 0;
    QTest::newRow("name prefix") << QByteArray("/a") << QByteArray("/ab") << int(KV_EPATHMISMATCH);
    QTest::newRow("longer a") << QByteArray("/a/b") << QByteArray("/a") << int(KV_EPATHMISMATCH);
    QTest::newRow("different") << QByteArray("/x") << QByteArray("/y") << int(KV_EPATHMISMATCH);
}

void TestKvFile::pathCompare()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(int, result);
    QCOMPARE(kv_file_path_compare(a.constData(), b.constData()), result);
}

void TestKvFile::unixPath()
{
    char slashes[16] = "a\\b\\\\c";
    QCOMPARE(kv_file_tounixpath(slashes), 0);
    QCOMPARE(QByteArray(slashes), QByteArray("a/b//c"));
}

void TestKvFile::owner_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("result");

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    QTest::newRow("user") << QByteArray("nobody") << 0 << 0;
    QTest::newRow("dot domain") << QByteArray(".\\nobody") << 0 << 0;
    QTest::newRow("this host") << QByteArray(host) + "\\daemon" << 0 << 0;
    QTest::newRow("group") << QByteArray("daemon") << 1 << 0;
    QTest::newRow("other domain") << QByteArray("elsewhere\\nobody") << 0 << int(ENOENT);
    QTest::newRow("empty domain") << QByteArray("\\nobody") << 0 << int(EINVAL);
    QTest::newRow("bad domain") << QByteArray("a*b\\nobody") << 0 << int(EINVAL);
    QTest::newRow("long domain") << QByteArray(KV_PATH_MAX, 'd') + "\\nobody" << 0 << int(KV_ERR_INSUFFICIENT_BUFFER);
    QTest::newRow("unknown user") << QByteArray("no-such-user-kv") << 0 << int(ENOENT);
    QTest::newRow("unknown group") << QByteArray("no-such-group-kv") << 1 << int(ENOENT);
}

void TestKvFile::owner()
{
    QFETCH(QByteArray, user);
    QFETCH(int, group);
    QFETCH(int, result);
    if (geteuid() != 0)
        QSKIP("changing owners needs root");

    const QByteArray file = path("owned");
    writeFile(file, "x");
    QCOMPARE(chown(file.constData(), 0, 0), 0);
    QCOMPARE(kv_file_chown(file.constData(), user.constData(), group), result);

    kv_stat_t st;
    QCOMPARE(kv_file_stat(file.constData(), &st, 0), 0);
    const QByteArray name = user.mid(user.indexOf('\\') + 1);
    if (result != 0) {
        QCOMPARE(st.uid, 0);
        QCOMPARE(st.gid, 0);
        return;
    }
    if (group) {
        const struct group* gr = getgrnam(name.constData());
        QVERIFY(gr);
        QCOMPARE(st.gid, int(gr->gr_gid));
        QCOMPARE(st.uid, 0);
        QCOMPARE(kv_file_chown(file.constData(), "root", 1), 0);
    } else {
        const passwd* pw = getpwnam(name.constData());
        QVERIFY(pw);
        QCOMPARE(st.uid, int(pw->pw_uid));
        QCOMPARE(st.gid, 0);
        QCOMPARE(kv_file_chown(file.constData(), "root", 0), 0);
    }
    // And back again.
    QCOMPARE(kv_file_stat(file.constData(), &st, 0), 0);
    QCOMPARE(st.uid, 0);
    QCOMPARE(st.gid, 0);
}

void TestKvFile::ownerContextAppliesToMany()
{
    if (geteuid() != 0)
        QSKIP("changing owners needs root");
    const passwd* pw = getpwnam("nobody");
    QVERIFY(pw);
    const QByteArray one = path("ctx-1");
    const QByteArray two = path("ctx-2");
    writeFile(one, "1");
    writeFile(two, "2");

    kv_chown_context_t* context = nullptr;
    QCOMPARE(kv_file_chown_create_context("nobody", 0, &context), 0);
    QVERIFY(context);
    QCOMPARE(kv_file_chown_context(context, one.constData()), 0);
    QCOMPARE(kv_file_chown_context(context, two.constData()), 0);
    QCOMPARE(kv_file_chown_context(context, path("ctx-missing").constData()), int(ENOENT));
    QCOMPARE(kv_file_chown_release_context(&context), 0);
    QVERIFY(!context);
    kv_stat_t st;
    for (const QByteArray& file : { one, two }) {
        QCOMPARE(kv_file_stat(file.constData(), &st, 0), 0);
        QCOMPARE(st.uid, int(pw->pw_uid));
    }

    context = reinterpret_cast<kv_chown_context_t*>(&context); // a failure sets it to null
    QCOMPARE(kv_file_chown_create_context("no-such-user-kv", 0, &context), int(ENOENT));
    QVERIFY(!context);
}

void TestKvFile::streams()
{
    const QByteArray file = path("stream");
    writeFile(file, "line one\nline two\n");
    FILE* stream = nullptr;
    QCOMPARE(kv_filestream_openread(file.constData(), &stream), 0);
    QVERIFY(stream);
    char line[32];
    QVERIFY(fgets(line, sizeof line, stream));
    QCOMPARE(QByteArray(line), QByteArray("line one\n"));
    QCOMPARE(kv_filestream_close(&stream), 0);
    QVERIFY(!stream);
    QCOMPARE(kv_filestream_close(&stream), int(KV_ERR_INVALID_HANDLE));
    QCOMPARE(kv_filestream_close(nullptr), int(EINVAL));
    QCOMPARE(kv_filestream_openread(path("none").constData(), &stream), int(ENOENT));
    QVERIFY(!stream);
}

KORVEL_TEST_MAIN_GUILESS(TestKvFile)
#include "test_kv_file.moc"
