#include <kv/kv.h>

#include "tests/support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// What the library asks of the file system, seen from the test: every rename
// and every fsync of a folder, in order. The test binary's definitions take the
// place of the C library's for the whole process and pass every call on.
namespace {
QList<QByteArray> gFileEvents;
bool gRecordFileEvents = false;
} // namespace

extern "C" int fsync(int fd)
{
    struct stat st;
    if (gRecordFileEvents && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        gFileEvents << "sync folder " + QByteArray::number(qulonglong(st.st_ino));
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int rename(const char* from, const char* to)
{
    using Rename = int (*)(const char*, const char*);
    static const Rename next = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
    if (gRecordFileEvents)
        gFileEvents << "rename to " + QByteArray(to);
    return next(from, to);
}

// Sets the values "pNvI" (N: args[0], I: 0 to args[1] - 1) in the product's key;
// 0 when every one was set.
KORVEL_CHILD_STEP(setValues)
{
    int failures = 0;
    for (int i = 0; i < std::stoi(args[1]); ++i) {
        const std::string name = "p" + args[0] + "v" + std::to_string(i);
        failures += kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", name.c_str(), name.c_str()) != 0;
    }
    return failures == 0 ? 0 : 1;
}

// Holds the file args[0] locked as a live writer does, says so with an "L" on
// the descriptor args[1], and ends when the descriptor args[2] is closed.
KORVEL_CHILD_STEP(holdTemporary)
{
    const int fd = open(args[0].c_str(), O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(std::stoi(args[1]), "L", 1) != 1)
        return 1;
    char c;
    return read(std::stoi(args[2]), &c, 1) == 0 ? 0 : 2;
}

// Sets a value of 400 bytes and more over and over, with a "w" on the
// descriptor args[0] after each, until it is killed.
KORVEL_CHILD_STEP(setValueForEver)
{
    for (int i = 0;; ++i) {
        const std::string value = std::to_string(i) + std::string(400, 'v');
        if (kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", value.c_str()) != 0
            || write(std::stoi(args[0]), "w", 1) != 1)
            return 1;
    }
}

// Every test works in its own registry folder through KV_REGISTRY_ROOT.
class TestKvRegistry : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString keyPath(const char* hive, const char* relative) const
    {
        return m_dir.filePath(QString::fromLatin1(hive) + "/" + relative);
    }
    void createKey(const QString& path, const QByteArray& contents = QByteArray())
    {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(contents);
    }
    QByteArray get(int root, const char* key, const char* name, int* rc)
    {
        char out[KV_PATH_MAX];
        unsigned size = sizeof out;
        *rc = kv_reg_get(root, key, name, out, &size);
        return *rc == 0 ? QByteArray(out) : QByteArray();
    }

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void namesIgnoreCase();
    void otherValuesKept();
    void missingKeyAndValue();
    void deleteValue();
    void bufferTooSmall();
    void valueTypes();
    void refusedKeys_data();
    void refusedKeys();
    void installDirectory();
    void currentUserUnderHome();
    void twoProcessesWriting();
    void staleTemporariesRemoved();
    void killedWritersLeaveNothing();
    void folderSyncedAfterRename();
    void ownerKept_data();
    void ownerKept();
};

void TestKvRegistry::init()
{
    QVERIFY(m_dir.isValid());
    QDir(m_dir.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_dir.path()));
    qputenv("KV_REGISTRY_ROOT", m_dir.path().toUtf8());
    createKey(keyPath("HKEY_LOCAL_MACHINE", "software/korvel/zerv.key"));
}

void TestKvRegistry::roundTrip_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("plain") << QByteArray("/opt/korvel");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("separators") << QByteArray("a\tb\nc\r\nd\\e\\\\f\\n");
    QTest::newRow("utf-8") << QByteArray("/srv/gr\xc3\xbc\xc3\x9f"
                                         "e");
    QTest::newRow("519 bytes") << QByteArray(519, 'x');
}

void TestKvRegistry::roundTrip()
{
    QFETCH(QByteArray, value);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", value.constData()), 0);
    char out[KV_PATH_MAX];
    std::memset(out, 'Z', sizeof out);
    unsigned size = sizeof out;
    QCOMPARE(kv_reg_get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", out, &size), 0);
    QCOMPARE(QByteArray(out), value);
    QCOMPARE(size, unsigned(value.size() + 1));
}

void TestKvRegistry::namesIgnoreCase()
{
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "Software\\KORVEL\\zerv", "InstallDir", "/a"), 0);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "INSTALLDIR", "/b"), 0);
    int rc;
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "software\\korvel\\zerv", "installdir", &rc), QByteArray("/b"));
    QCOMPARE(rc, 0);
    QFile f(keyPath("HKEY_LOCAL_MACHINE", "software/korvel/zerv.key"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll().count('\n'), 1); // overwritten, not added twice
}

void TestKvRegistry::otherValuesKept()
{
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "One", "1"), 0);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Two", "2"), 0);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", nullptr, "default"), 0);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "One", "uno"), 0);
    int rc;
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "One", &rc), QByteArray("uno"));
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Two", &rc), QByteArray("2"));
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "", &rc), QByteArray("default"));
}

void TestKvRegistry::missingKeyAndValue()
{
    int rc;
    get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Nothing", &rc);
    QCOMPARE(rc, ENOENT);
    get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\Other", "InstallDir", &rc);
    QCOMPARE(rc, ENOENT);
    // Changes need an existing key and never create one.
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\Other", "InstallDir", "/x"), ENOENT);
    QVERIFY(!QFile::exists(keyPath("HKEY_LOCAL_MACHINE", "software/korvel/other.key")));
    QCOMPARE(kv_reg_del(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\Other", "InstallDir"), ENOENT);
    get(KV_HKEY_CURRENT_USER, "SOFTWARE\\Korvel\\ZERV", "InstallDir", &rc);
    QCOMPARE(rc, ENOENT);
}

void TestKvRegistry::deleteValue()
{
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Gone", "soon"), 0);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Stays", "here"), 0);
    QCOMPARE(kv_reg_del(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "GONE"), 0);
    int rc;
    get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Gone", &rc);
    QCOMPARE(rc, ENOENT);
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Stays", &rc), QByteArray("here"));
    QCOMPARE(kv_reg_del(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Gone"), ENOENT);
    // No temporary files are left beside the key.
    QCOMPARE(QDir(keyPath("HKEY_LOCAL_MACHINE", "software/korvel")).entryList(QDir::Files), QStringList { "zerv.key" });
}

void TestKvRegistry::bufferTooSmall()
{
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Long", "0123456789"), 0);
    char out[16];
    unsigned size = 10;
    QCOMPARE(kv_reg_get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Long", out, &size), int(KV_ENOSPACE));
    QCOMPARE(size, 11u);
    QCOMPARE(kv_reg_get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Long", out, &size), 0);
    QCOMPARE(QByteArray(out), QByteArray("0123456789"));
    QCOMPARE(kv_reg_get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Long", nullptr, &size), EINVAL);
    QCOMPARE(kv_reg_get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Long", out, nullptr), EINVAL);
}

void TestKvRegistry::valueTypes()
{
    createKey(keyPath("HKEY_LOCAL_MACHINE", "software/typed.key"),
        "dword\tCount\t5\nexpand_sz\tPath\t%HOME%\\\\bin\nbroken line\nsz\tPlain\tyes\n");
    int rc;
    get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Typed", "Count", &rc);
    QCOMPARE(rc, EINVAL);
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Typed", "Path", &rc), QByteArray("%HOME%\\bin"));
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Typed", "Plain", &rc), QByteArray("yes"));
    // Setting replaces the type as well.
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Typed", "Count", "6"), 0);
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Typed", "Count", &rc), QByteArray("6"));
}

void TestKvRegistry::refusedKeys_data()
{
    QTest::addColumn<int>("root");
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("parent") << int(KV_HKEY_LOCAL_MACHINE) << QByteArray("..\\..\\etc");
    QTest::newRow("dot") << int(KV_HKEY_LOCAL_MACHINE) << QByteArray("SOFTWARE\\.\\ZERV");
    QTest::newRow("empty name") << int(KV_HKEY_LOCAL_MACHINE) << QByteArray("SOFTWARE\\\\ZERV");
    QTest::newRow("leading separator") << int(KV_HKEY_LOCAL_MACHINE) << QByteArray("\\SOFTWARE");
    QTest::newRow("slash") << int(KV_HKEY_LOCAL_MACHINE) << QByteArray("SOFTWARE/../x");
    QTest::newRow("empty") << int(KV_HKEY_LOCAL_MACHINE) << QByteArray("");
    QTest::newRow("unknown hive") << 42 << QByteArray("SOFTWARE\\Korvel\\ZERV");
}

void TestKvRegistry::refusedKeys()
{
    QFETCH(int, root);
    QFETCH(QByteArray, key);
    int rc;
    get(root, key.constData(), "InstallDir", &rc);
    QCOMPARE(rc, EINVAL);
    QCOMPARE(kv_reg_set(root, key.constData(), "InstallDir", "/x"), EINVAL);
    QCOMPARE(kv_reg_del(root, key.constData(), "InstallDir"), EINVAL);
}

void TestKvRegistry::installDirectory()
{
    char out[KV_PATH_MAX];
    unsigned size = sizeof out;
    QCOMPARE(kv_platform_root(out, &size), ENOENT);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, KV_INSTALL_KEY, KV_INSTALL_VALUE, "C:\\Program Files\\Korvel"), 0);
    size = sizeof out;
    QCOMPARE(kv_platform_root(out, &size), 0);
    QCOMPARE(QByteArray(out), QByteArray("C:\\Program Files\\Korvel"));
    size = sizeof out;
    QCOMPARE(kv_platform_winpath(out, &size), 0);
    QCOMPARE(QByteArray(out), QByteArray("C:/Program Files/Korvel"));
}

void TestKvRegistry::currentUserUnderHome()
{
    const QByteArray savedHome = qgetenv("HOME");
    qunsetenv("KV_REGISTRY_ROOT");
    qputenv("HOME", m_dir.path().toUtf8());
    createKey(m_dir.filePath(".local/share/korvel/registry/HKEY_CURRENT_USER/software/app.key"));
    const int setRc = kv_reg_set(KV_HKEY_CURRENT_USER, "Software\\App", "Theme", "dark");
    int rc;
    const QByteArray value = get(KV_HKEY_CURRENT_USER, "Software\\App", "Theme", &rc);
    qputenv("HOME", savedHome);
    QCOMPARE(setRc, 0);
    QCOMPARE(rc, 0);
    QCOMPARE(value, QByteArray("dark"));
}

void TestKvRegistry::twoProcessesWriting()
{
    // Each process sets its own values into the same key at the same time;
    // a lost update would drop some of them.
    constexpr int kProcesses = 4;
    constexpr int kValues = 60;
    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
        children[p] = korvel::test::startChild("setValues", { std::to_string(p), std::to_string(kValues) });
        QVERIFY(children[p] > 0);
    }
    for (pid_t child : children)
        QCOMPARE(korvel::test::waitChild(child), 0);
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kValues; ++i) {
            const QByteArray name = "p" + QByteArray::number(p) + "v" + QByteArray::number(i);
            int rc;
            QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", name.constData(), &rc), name);
        }
    }
}

void TestKvRegistry::staleTemporariesRemoved()
{
    const QString folder = keyPath("HKEY_LOCAL_MACHINE", "software/korvel");
    createKey(folder + "/other.key");
    // Left by writers that ended: of this key and of another key in the folder.
    createKey(folder + "/zerv.key.AbC123", "sz\tHalf\twritten\n");
    createKey(folder + "/other.key.Xy9876");
    // Not temporaries.
    createKey(folder + "/zerv.key.bak");
    createKey(folder + "/notes.txt");
    // One a live writer holds, until the test closes its end of the pipe.
    createKey(folder + "/zerv.key.LiVe01");
    int toParent[2];
    int toChild[2];
    QCOMPARE(pipe2(toParent, O_CLOEXEC), 0);
    QCOMPARE(pipe2(toChild, O_CLOEXEC), 0);
    const pid_t writer = korvel::test::startChild("holdTemporary",
        { (folder + "/zerv.key.LiVe01").toStdString(), std::to_string(toParent[1]), std::to_string(toChild[0]) },
        { toParent[1], toChild[0] });
    QVERIFY(writer > 0);
    close(toParent[1]);
    close(toChild[0]);
    struct WriterEnd {
        int pipe;
        pid_t pid;
        int status = -1;
        // Closing the pipe ends the writer, on every way out of the test.
        int end()
        {
            if (pipe >= 0) {
                close(pipe);
                pipe = -1;
                status = korvel::test::waitChild(pid);
            }
            return status;
        }
        ~WriterEnd() { end(); }
    } writerEnd { toChild[1], writer };
    char c = 0;
    const ssize_t locked = read(toParent[0], &c, 1);
    close(toParent[0]);
    QCOMPARE(locked, ssize_t(1));
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", "new"), 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name),
        (QStringList { "notes.txt", "other.key", "zerv.key", "zerv.key.LiVe01", "zerv.key.bak" }));
    // Once its writer has ended, the next change removes it too.
    QCOMPARE(writerEnd.end(), 0);
    QCOMPARE(kv_reg_del(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value"), 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name),
        (QStringList { "notes.txt", "other.key", "zerv.key", "zerv.key.bak" }));
}

void TestKvRegistry::killedWritersLeaveNothing()
{
    // Writers killed at whatever point of a change they reached; the next
    // change leaves only the key, whole.
    const QString folder = keyPath("HKEY_LOCAL_MACHINE", "software/korvel");
    for (int round = 0; round < 30; ++round) {
        int progress[2];
        QCOMPARE(pipe2(progress, O_CLOEXEC), 0);
        const pid_t writer
            = korvel::test::startChild("setValueForEver", { std::to_string(progress[1]) }, { progress[1] });
        QVERIFY(writer > 0);
        close(progress[1]);
        char c = 0;
        QCOMPARE(read(progress[0], &c, 1), ssize_t(1)); // it has written once and goes on
        QCOMPARE(kill(writer, SIGKILL), 0);
        QCOMPARE(korvel::test::waitChild(writer), 256 + SIGKILL);
        close(progress[0]);
    }
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Other", "last"), 0);
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList { "zerv.key" });
    int rc;
    QVERIFY(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", &rc).endsWith(QByteArray(400, 'v')));
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Other", &rc), QByteArray("last"));
}

void TestKvRegistry::folderSyncedAfterRename()
{
    const QString key = keyPath("HKEY_LOCAL_MACHINE", "software/korvel/zerv.key");
    struct stat folder;
    QCOMPARE(stat(QFile::encodeName(QFileInfo(key).path()).constData(), &folder), 0);
    gFileEvents.clear();
    gRecordFileEvents = true;
    const int setRc = kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", "durable");
    const int delRc = kv_reg_del(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value");
    gRecordFileEvents = false;
    QCOMPARE(setRc, 0);
    QCOMPARE(delRc, 0);
    const QByteArray renamed = "rename to " + QFile::encodeName(key);
    const QByteArray synced = "sync folder " + QByteArray::number(qulonglong(folder.st_ino));
    QCOMPARE(gFileEvents, (QList<QByteArray> { renamed, synced, renamed, synced }));
}

void TestKvRegistry::ownerKept_data()
{
    QTest::addColumn<QByteArray>("owner");
    QTest::addColumn<int>("mode");
    QTest::newRow("another account") << QByteArray("nobody") << 0640;
    QTest::newRow("the writer") << QByteArray() << 0604;
}

void TestKvRegistry::ownerKept()
{
    if (geteuid() != 0)
        QSKIP("giving a key to another account needs root");
    QFETCH(QByteArray, owner);
    QFETCH(int, mode);
    uid_t uid = 0;
    gid_t gid = 0;
    if (!owner.isEmpty()) {
        const passwd* pw = getpwnam(owner.constData());
        if (!pw)
            QSKIP("no such account here");
        uid = pw->pw_uid;
        gid = pw->pw_gid;
    }
    const QByteArray key = QFile::encodeName(keyPath("HKEY_LOCAL_MACHINE", "software/korvel/zerv.key"));
    QCOMPARE(chown(key.constData(), uid, gid), 0);
    QCOMPARE(chmod(key.constData(), mode_t(mode)), 0);
    QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", "kept"), 0);
    struct stat st;
    QCOMPARE(stat(key.constData(), &st), 0);
    QCOMPARE(st.st_uid, uid);
    QCOMPARE(st.st_gid, gid);
    QCOMPARE(int(st.st_mode & 07777), mode);
    int rc;
    QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", "Value", &rc), QByteArray("kept"));
}

KORVEL_TEST_MAIN_GUILESS(TestKvRegistry)
#include "test_kv_registry.moc"
