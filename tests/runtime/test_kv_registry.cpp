#include <kv/kv.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

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
        children[p] = fork();
        QVERIFY(children[p] >= 0);
        if (children[p] == 0) {
            int failures = 0;
            for (int i = 0; i < kValues; ++i) {
                const QByteArray name = "p" + QByteArray::number(p) + "v" + QByteArray::number(i);
                failures
                    += kv_reg_set(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", name.constData(), name.constData())
                    != 0;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kValues; ++i) {
            const QByteArray name = "p" + QByteArray::number(p) + "v" + QByteArray::number(i);
            int rc;
            QCOMPARE(get(KV_HKEY_LOCAL_MACHINE, "SOFTWARE\\Korvel\\ZERV", name.constData(), &rc), name);
        }
    }
}

QTEST_GUILESS_MAIN(TestKvRegistry)
#include "test_kv_registry.moc"
