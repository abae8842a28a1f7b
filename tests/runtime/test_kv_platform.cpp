#include <kv/kv.h>

#include "tests/support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstring>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray hostName()
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

// Sets (or, for a null value, removes) a variable until the end of the scope.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value)
        : m_name(name)
        , m_was(qEnvironmentVariableIsSet(name))
    {
        m_old = qgetenv(name);
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~EnvGuard()
    {
        if (m_was)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* m_name;
    bool m_was;
    QByteArray m_old;
};

} // namespace

// Starts at the nice value args[0], as the account args[1] unless that is
// empty, and reports the nice value seen after three calls (plus 20, so that it
// fits an exit status), or 100 + the call that failed or saw another value.
KORVEL_CHILD_STEP(threadPriorityAfterThreeCalls)
{
    const id_t self = static_cast<id_t>(gettid());
    if (setpriority(PRIO_PROCESS, self, std::stoi(args[0])) != 0)
        return korvel::test::kChildSetupFailed;
    if (!args[1].empty() && !korvel::test::becomeAccount(args[1].c_str()))
        return korvel::test::kChildSetupFailed;
    int nice = 0;
    for (int call = 1; call <= 3; ++call) {
        if (kv_platform_thread_init() != 1)
            return 100 + call;
        errno = 0;
        const int now = getpriority(PRIO_PROCESS, self);
        if (errno != 0 || (call > 1 && now != nice))
            return 100 + call;
        nice = now;
    }
    return nice + 20;
}

class TestKvPlatform : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    void installWithPasswd(const QByteArray& contents)
    {
        const QString install = m_dir.filePath("install");
        QVERIFY(QDir().mkpath(install + "/etc"));
        QVERIFY(QDir().mkpath(m_dir.filePath("registry/HKEY_LOCAL_MACHINE/software/korvel")));
        QFile key(m_dir.filePath("registry/HKEY_LOCAL_MACHINE/software/korvel/zerv.key"));
        QVERIFY(key.open(QIODevice::WriteOnly | QIODevice::Truncate));
        key.close();
        QCOMPARE(kv_reg_set(KV_HKEY_LOCAL_MACHINE, KV_INSTALL_KEY, KV_INSTALL_VALUE, install.toUtf8().constData()), 0);
        QFile passwd(install + "/etc/passwd");
        if (contents.isNull()) {
            passwd.remove();
            return;
        }
        QVERIFY(passwd.open(QIODevice::WriteOnly | QIODevice::Truncate));
        passwd.write(contents);
    }

private slots:
    void initTestCase();
    void errorTexts_data();
    void errorTexts();
    void hostAndOs();
    void buildNamesAndUnsupported();
    void locale_data();
    void locale();
    void userName_data();
    void userName();
    void uid_data();
    void uid();
    void normalizeUserName_data();
    void normalizeUserName();
    void drives();
    void mountOfPath();
    void mountsOfEveryDrive();
    void threadPriority();
    void threadPriorityIsOneLevel_data();
    void threadPriorityIsOneLevel();
    void etcFile_data();
    void etcFile();
    void etcDir();
};

void TestKvPlatform::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("KV_REGISTRY_ROOT", m_dir.filePath("registry").toUtf8());
}

void TestKvPlatform::errorTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("library first") << 0x7000 << 64 << 0 << QByteArray("Invalid doc root path");
    QTest::newRow("insufficient buffer") << 0x7005 << 64 << 0 << QByteArray("Insufficient buffer space");
    QTest::newRow("library last") << 0x7010 << 64 << 0 << QByteArray("No transmitting xfer found");
    QTest::newRow("library text cut") << 0x7005 << 6 << 0 << QByteArray("Insuf");
    QTest::newRow("system") << ENOENT << 128 << 0 << QByteArray(strerror(ENOENT));
    QTest::newRow("past the table") << 0x7011 << 128 << 0 << QByteArray(strerror(0x7011));
    QTest::newRow("size 0") << 0x7005 << 0 << EINVAL << QByteArray();
    QTest::newRow("negative size") << ENOENT << -1 << EINVAL << QByteArray();
}

void TestKvPlatform::errorTexts()
{
    QFETCH(int, code);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, text);
    char out[128];
    std::strcpy(out, "untouched");
    QCOMPARE(kv_platform_errstr(code, out, size), result);
    if (result == 0) {
        QCOMPARE(QByteArray(out), text);
        QCOMPARE(QByteArray(kv_platform_errstr_inline(code, out, size)), text);
    } else {
        QCOMPARE(
            QByteArray(kv_platform_errstr_inline(code, out, size)), QByteArray("Could not retrieve error message"));
    }
    QCOMPARE(kv_platform_errstr(code, nullptr, 16), EINVAL);
}

void TestKvPlatform::hostAndOs()
{
    const QByteArray host = hostName();
    char out[300];
    QCOMPARE(kv_platform_hostname(out, sizeof out), 0);
    QCOMPARE(QByteArray(out), host);
    QCOMPARE(kv_platform_hostname(out, 3), 0);
    QCOMPARE(QByteArray(out), host.left(2));
    QCOMPARE(kv_platform_hostname(nullptr, 3), EINVAL);

    utsname u;
    QCOMPARE(uname(&u), 0);
    QCOMPARE(kv_platform_os(out, sizeof out), 0);
    QCOMPARE(QByteArray(out), QByteArray("Linux ") + u.release + " " + u.version);
    QCOMPARE(kv_platform_os(out, 8), int(KV_ENOSPACE));
    QCOMPARE(QByteArray(out), (QByteArray("Linux ") + u.release).left(7));
    QCOMPARE(kv_platform_os(out, 0), EINVAL);
}

void TestKvPlatform::buildNamesAndUnsupported()
{
    char out[16];
    QCOMPARE(kv_platform_build_os(out), 0);
    QCOMPARE(QByteArray(out), QByteArray("Linux"));
    QCOMPARE(kv_platform_build_ver(out), 0);
    QCOMPARE(QByteArray(out), QByteArray("UNSET"));
    QCOMPARE(kv_platform_build_os(nullptr), EINVAL);

    std::strcpy(out, "kept");
    QCOMPARE(kv_platform_uname(0, out, 0), 0);
    QCOMPARE(QByteArray(out), QByteArray("kept"));
    QCOMPARE(kv_platform_gname(0, out, 1), 0);
    QCOMPARE(QByteArray(out), QByteArray(""));
    QCOMPARE(kv_process_waitany(), 0);
}

void TestKvPlatform::locale_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("language");
    QTest::addColumn<QByteArray>("territory");
    QTest::addColumn<QByteArray>("codeset");
    QTest::newRow("C") << QByteArray("C") << int(KV_ELOCALE) << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("C.UTF-8") << QByteArray("C.UTF-8") << int(KV_ELOCALE) << QByteArray() << QByteArray()
                             << QByteArray();
    QTest::newRow("not installed") << QByteArray("xx_YY.NOPE") << int(KV_ELOCALE) << QByteArray() << QByteArray()
                                   << QByteArray();
    QTest::newRow("en_US.UTF-8") << QByteArray("en_US.UTF-8") << 0 << QByteArray("en") << QByteArray("US")
                                 << QByteArray("UTF-8");
    QTest::newRow("de_DE.UTF-8@euro") << QByteArray("de_DE.UTF-8@euro") << 0 << QByteArray("de") << QByteArray("DE")
                                      << QByteArray("UTF-8");
}

void TestKvPlatform::locale()
{
    QFETCH(QByteArray, name);
    QFETCH(int, result);
    QFETCH(QByteArray, language);
    QFETCH(QByteArray, territory);
    QFETCH(QByteArray, codeset);

    QByteArray locpath;
    if (result == 0) {
        // Compile the locale into a private folder; LOCPATH points setlocale there.
        const QString localedef = QStandardPaths::findExecutable("localedef");
        const int at = name.indexOf('@');
        const QByteArray source = name.left(name.indexOf('.')) + (at < 0 ? QByteArray() : name.mid(at));
        if (localedef.isEmpty() || !QFile::exists("/usr/share/i18n/locales/" + source))
            QSKIP("localedef or the locale sources are not installed");
        locpath = m_dir.filePath("locales").toUtf8();
        QDir().mkpath(QString::fromUtf8(locpath));
        QProcess p;
        p.start(localedef,
            QStringList { "-i", QString::fromUtf8(source), "-f", "UTF-8", QString::fromUtf8(locpath + "/" + name) });
        QVERIFY(p.waitForFinished(120000));
        if (!QFile::exists(QString::fromUtf8(locpath + "/" + name)))
            QSKIP("localedef could not build the locale");
    }
    EnvGuard lcAll("LC_ALL", name.constData());
    EnvGuard loc("LOCPATH", locpath.isEmpty() ? nullptr : locpath.constData());
    kv_locale_t record;
    std::memset(&record, 'Z', sizeof record);
    const int rc = kv_platform_locale(&record);
    setlocale(LC_ALL, "C");
    QCOMPARE(rc, result);
    QCOMPARE(QByteArray(record.language), language);
    QCOMPARE(QByteArray(record.territory), territory);
    QCOMPARE(QByteArray(record.codeset), codeset);
    QCOMPARE(kv_platform_locale(nullptr), EINVAL);
}

void TestKvPlatform::userName_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("logname");
    QTest::addColumn<QByteArray>("username");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray unset;
    QTest::newRow("USER") << QByteArray("alice") << QByteArray("bob") << QByteArray("carol") << 0
                          << QByteArray("alice");
    QTest::newRow("USER empty") << QByteArray("") << QByteArray("bob") << QByteArray("carol") << 0 << QByteArray("bob");
    QTest::newRow("LOGNAME") << unset << QByteArray("bob") << QByteArray("carol") << 0 << QByteArray("bob");
    QTest::newRow("USERNAME") << unset << unset << QByteArray("carol") << 0 << QByteArray("carol");
    QTest::newRow("none") << unset << unset << unset << EINVAL << QByteArray("");
    QTest::newRow("cut") << QByteArray("a-very-long-name") << unset << unset << int(KV_ENOSPACE)
                         << QByteArray("a-very-");
}

void TestKvPlatform::userName()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, logname);
    QFETCH(QByteArray, username);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);
    EnvGuard u("USER", user.isNull() ? nullptr : user.constData());
    EnvGuard l("LOGNAME", logname.isNull() ? nullptr : logname.constData());
    EnvGuard n("USERNAME", username.isNull() ? nullptr : username.constData());
    char out[8];
    std::strcpy(out, "junk");
    QCOMPARE(kv_platform_usr(out, sizeof out), result);
    QCOMPARE(QByteArray(out), expected);
}

void TestKvPlatform::uid_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("passwd");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("uid");
    const QByteArray file = "# product accounts\n"
                            "short:line\n"
                            "root:x:0:0:root:/root:/bin/sh\n"
                            "Alice:x:1234:100:Alice:/home/alice:/bin/sh\n"
                            "bob:x:notanumber:1::/:/bin/sh\n"
                            "bob:x:77:1::/:/bin/sh\n";
    QTest::newRow("exact") << QByteArray("root") << file << 0 << 0;
    QTest::newRow("other case") << QByteArray("ALICE") << file << 0 << 1234;
    QTest::newRow("bad id skipped") << QByteArray("bob") << file << 0 << 77;
    QTest::newRow("not in the file") << QByteArray("mallory") << file << int(KV_EUSERNAME) << -1;
    QTest::newRow("prefix is no match") << QByteArray("ali") << file << int(KV_EUSERNAME) << -1;
    QTest::newRow("empty file") << QByteArray("root") << QByteArray("") << int(KV_EUSERNAME) << -1;
    QTest::newRow("no file") << QByteArray("root") << QByteArray() << ENOENT << -1;
}

void TestKvPlatform::uid()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, passwd);
    QFETCH(int, result);
    QFETCH(int, uid);
    installWithPasswd(passwd);
    EnvGuard u("USER", user.constData());
    int got = 99;
    QCOMPARE(kv_platform_uid(&got), result);
    QCOMPARE(got, uid);
}

void TestKvPlatform::normalizeUserName_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray host = hostName();
    const QByteArray shortHost = host.left(host.indexOf('.') < 0 ? host.size() : host.indexOf('.'));
    QTest::newRow("at sign") << QByteArray("Bob@corp") << 64 << 0 << QByteArray("CORP\\bob");
    QTest::newRow("dot domain") << QByteArray(".\\Bob") << 64 << 0 << QByteArray("bob");
    QTest::newRow("this host") << (host.toUpper() + "\\Bob") << 64 << 0 << QByteArray("bob");
    QTest::newRow("this host, short, slash") << (shortHost.toLower() + "/BOB") << 64 << 0 << QByteArray("bob");
    QTest::newRow("other domain") << QByteArray("Corp/Alice") << 64 << 0 << QByteArray("CORP\\alice");
    QTest::newRow("plain") << QByteArray("Carol") << 64 << 0 << QByteArray("carol");
    QTest::newRow("result cut") << QByteArray("corp\\alice") << 8 << int(KV_ENOSPACE) << QByteArray("CORP\\al");
    QTest::newRow("domain too long") << (QByteArray(512, 'd') + "\\x") << 600 << int(KV_ENOSPACE)
                                     << (QByteArray(512, 'd') + "\\x");
    QTest::newRow("user too long") << (QByteArray(512, 'U') + "@x") << 600 << int(KV_ENOSPACE)
                                   << (QByteArray(512, 'U') + "@x");
}

void TestKvPlatform::normalizeUserName()
{
    QFETCH(QByteArray, input);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);
    QByteArray buffer = input;
    buffer.resize(qMax<int>(size, input.size() + 1), '\0');
    QCOMPARE(kv_platform_normalize_user_name(buffer.data(), size), result);
    QCOMPARE(QByteArray(buffer.constData()), expected);
}

void TestKvPlatform::drives()
{
    QFile mounts("/proc/self/mounts");
    QVERIFY(mounts.open(QIODevice::ReadOnly));
    const int expected = mounts.readAll().count('\n');
    kv_drive_t* list = reinterpret_cast<kv_drive_t*>(0x1);
    QCOMPARE(kv_platform_drives(&list), 0);
    int count = 0;
    bool root = false;
    for (kv_drive_t* d = list; d; d = d->next) {
        ++count;
        root = root || QByteArray(d->root) == "/";
        QVERIFY(d->root[0] == '/');
    }
    QCOMPARE(count, expected);
    QVERIFY(root);
    QCOMPARE(kv_platform_free_drives(&list), 0);
    QCOMPARE(list, static_cast<kv_drive_t*>(nullptr));
    QCOMPARE(kv_platform_drives(nullptr), EINVAL);
}

void TestKvPlatform::mountOfPath()
{
    struct statvfs sv;
    QCOMPARE(statvfs(m_dir.path().toUtf8().constData(), &sv), 0);
    QByteArray backslashed = m_dir.path().toUtf8();
    backslashed.replace('/', '\\');
    kv_mount_t* list = nullptr;
    QCOMPARE(kv_platform_mnt(&list, backslashed.constData()), 0);
    QVERIFY(list);
    QVERIFY(!list->next);
    QCOMPARE(QByteArray(list->path), m_dir.path().toUtf8());
    QCOMPARE(list->total_bytes, uint64_t(sv.f_blocks) * sv.f_frsize);
    QVERIFY(list->avail_bytes <= list->total_bytes);
    QCOMPARE(list->used_bytes, list->total_bytes - list->avail_bytes);
    QCOMPARE(list->error, 0);
    QCOMPARE(QByteArray(list->fstype), QByteArray());
    QCOMPARE(kv_platform_free_mnt(&list), 0);
    QVERIFY(!list);

    QCOMPARE(kv_platform_mnt(&list, "/nonexistent/korvel"), ENOENT);
    QVERIFY(!list);
    QCOMPARE(kv_platform_mnt(&list, QByteArray(600, 'a').constData()), int(KV_ENOSPACE));
    QVERIFY(!list);
}

void TestKvPlatform::mountsOfEveryDrive()
{
    kv_drive_t* drives = nullptr;
    QCOMPARE(kv_platform_drives(&drives), 0);
    kv_mount_t* list = nullptr;
    QCOMPARE(kv_platform_mnt(&list, nullptr), 0);
    kv_mount_t* m = list;
    for (kv_drive_t* d = drives; d; d = d->next, m = m->next) {
        QVERIFY(m);
        QCOMPARE(QByteArray(m->path), QByteArray(d->root));
        QVERIFY(m->error == 0 || m->error == KV_ERR_NOT_READY);
        if (m->error != 0)
            QCOMPARE(m->total_bytes, uint64_t(0));
        QCOMPARE(m->used_bytes, m->total_bytes - m->avail_bytes);
        if (QByteArray(m->path) == "/")
            QVERIFY(m->total_bytes > 0);
    }
    QVERIFY(!m);
    kv_platform_free_mnt(&list);
    kv_platform_free_drives(&drives);
}

void TestKvPlatform::threadPriority()
{
    int result = -1;
    std::thread t([&result] { result = kv_platform_thread_init(); });
    t.join();
    QCOMPARE(result, 1);
}

void TestKvPlatform::threadPriorityIsOneLevel_data()
{
    QTest::addColumn<QByteArray>("account"); // empty: the test's own
    QTest::addColumn<int>("startNice");
    QTest::newRow("own account, normal priority") << QByteArray() << 0;
    QTest::newRow("own account, lowered priority") << QByteArray() << 5;
    QTest::newRow("nobody, normal priority") << QByteArray("nobody") << 0;
    QTest::newRow("nobody, lowered priority") << QByteArray("nobody") << 5;
}

// Every call sets the same "above normal" level, from any start; a caller that
// may not raise its priority keeps it and is told of no failure.
void TestKvPlatform::threadPriorityIsOneLevel()
{
    QFETCH(QByteArray, account);
    QFETCH(int, startNice);
    if (!account.isEmpty() && geteuid() != 0)
        QSKIP("acting as another account needs root");
    const bool privileged = account.isEmpty() && geteuid() == 0;
    const int expected = privileged ? KV_THREAD_NICE_ABOVE_NORMAL : startNice;

    const int seen
        = korvel::test::runChild("threadPriorityAfterThreeCalls", { std::to_string(startNice), account.toStdString() });
    QCOMPARE(seen, expected + 20);
}

void TestKvPlatform::etcFile_data()
{
    QTest::addColumn<QStringList>("places");
    QTest::addColumn<QString>("found");
    // The executable is <tree>/a/b/bin/app.
    QTest::newRow("beside") << QStringList { "a/b/bin", "a/b/bin/etc", "a" } << "a/b/bin";
    QTest::newRow("etc below") << QStringList { "a/b/bin/etc", "a/b" } << "a/b/bin/etc";
    QTest::newRow("parent") << QStringList { "a/b", "a/b/etc" } << "a/b";
    QTest::newRow("parent's etc") << QStringList { "a/b/etc", "a" } << "a/b/etc";
    QTest::newRow("grandparent") << QStringList { "a", "a/etc" } << "a";
    QTest::newRow("grandparent's etc") << QStringList { "a/etc" } << "a/etc";
    QTest::newRow("too far up") << QStringList { "." } << QString();
}

void TestKvPlatform::etcFile()
{
    QFETCH(QStringList, places);
    QFETCH(QString, found);
    QTemporaryDir tree;
    QVERIFY(tree.isValid());
    QVERIFY(QDir(tree.path()).mkpath("a/b/bin"));
    for (const QString& place : places) {
        QVERIFY(QDir(tree.path()).mkpath(place));
        QFile f(tree.filePath(place + "/korvel.conf"));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    const QByteArray exe = tree.filePath("a/b/bin/app").toUtf8();
    char out[KV_PATH_MAX];
    const int length = kv_path_etc_file("korvel.conf", exe.constData(), out, sizeof out);
    if (found.isEmpty()) {
        QCOMPARE(length, -1);
        return;
    }
    const QByteArray expected = QDir::cleanPath(tree.filePath(found + "/korvel.conf")).toUtf8();
    QCOMPARE(QByteArray(out), expected);
    QCOMPARE(length, int(expected.size()));
    // The folder that holds it.
    QCOMPARE(kv_path_etc_dir(exe.constData(), out, sizeof out), int(expected.size()) - 12);
    QCOMPARE(QByteArray(out), expected.left(expected.size() - 12));
    QCOMPARE(kv_path_etc_file("korvel.conf", exe.constData(), out, 8), -1);
}

void TestKvPlatform::etcDir()
{
    QTemporaryDir tree;
    QVERIFY(tree.isValid());
    QVERIFY(QDir(tree.path()).mkpath("a/b/bin"));
    const QByteArray exe = tree.filePath("a/b/bin/app").toUtf8();
    char out[KV_PATH_MAX];
    // No korvel.conf: the product root (here the executable's parent) and etc.
    QByteArray expected = tree.filePath("a/b/etc").toUtf8();
    QCOMPARE(kv_path_etc_dir(exe.constData(), out, sizeof out), int(expected.size()));
    QCOMPARE(QByteArray(out), expected);
    QCOMPARE(kv_path_etc_dir(exe.constData(), out, int(expected.size()) + 1), int(expected.size()));
    QCOMPARE(kv_path_etc_dir(exe.constData(), out, int(expected.size())), -1);
    // product-info.mf in the grandparent makes that the root.
    QFile mark(tree.filePath("a/product-info.mf"));
    QVERIFY(mark.open(QIODevice::WriteOnly));
    mark.close();
    expected = tree.filePath("a/etc").toUtf8();
    QCOMPARE(kv_path_etc_dir(exe.constData(), out, sizeof out), int(expected.size()));
    QCOMPARE(QByteArray(out), expected);
}

KORVEL_TEST_MAIN_GUILESS(TestKvPlatform)
#include "test_kv_platform.moc"
