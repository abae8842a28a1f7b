#include "tests/support/ChildProcess.h"
#include "tests/support/TestProcesses.h"

#include <kv/kv.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

int runasCallback(kv_process_t* process, void* arg)
{
    return kv_process_runas(process, static_cast<const kv_credentials_t*>(arg));
}

int failingCallback(kv_process_t*, void*)
{
    return EACCES;
}

// As the account args[0] (unless empty; it must not be root then), runs the
// command line args[2] through kv_process_fork as the account args[1] (empty:
// the caller's own) with the profile folder args[3], and writes what it saw to
// the file args[4].
KORVEL_CHILD_STEP(forkAs)
{
    if (!args[0].empty()) {
        const passwd* account = getpwnam(args[0].c_str());
        if (!account || initgroups(args[0].c_str(), account->pw_gid) != 0 || setgid(account->pw_gid) != 0
            || setuid(account->pw_uid) != 0)
            return 2;
    }
    if (geteuid() == 0 || getuid() == 0)
        return 3; // still privileged
    const std::string user = args[1].empty() ? std::string(getpwuid(geteuid())->pw_name) : args[1];
    kv_credentials_t credentials { user.c_str(), "" };
    kv_process_t p;
    const int rc
        = kv_process_fork(&p, args[2].c_str(), args[3].c_str(), nullptr, nullptr, nullptr, runasCallback, &credentials);
    std::string result = "fork=" + std::to_string(rc);
    if (rc == 0) {
        int state = -1;
        int done = 0;
        int code = -1;
        kv_process_wait(&p, -1, &state);
        kv_process_exited(&p, &done, &code);
        result += " state=" + std::to_string(state) + " code=" + std::to_string(code);
    } else {
        result += " token=" + std::to_string(p.token);
    }
    FILE* report = fopen(args[4].c_str(), "w");
    return report && fputs(result.c_str(), report) >= 0 && fclose(report) == 0 ? 0 : 4;
}

// While another thread's log line waits on a full pipe that nobody reads, a
// child is started and waited for: a fork never waits on another thread's I/O.
// 0 when the child ran; the test's time limit ends a fork that waits.
KORVEL_CHILD_STEP(forkWhileTheLogBlocks)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0 || dup2(ends[1], 2) < 0)
        return 100;
    // Filled to the brim, then blocking again.
    const int flags = fcntl(2, F_GETFL);
    fcntl(2, F_SETFL, flags | O_NONBLOCK);
    char block[4096] = {};
    while (write(2, block, sizeof block) > 0) { }
    fcntl(2, F_SETFL, flags);
    kv_log_set(1);
    if (kv_log_init(0, "-") != 0)
        return 101;
    std::atomic<pid_t> logger { 0 };
    std::thread blocked([&] {
        logger = gettid();
        kv_log("a line the full pipe holds up");
    });
    while (logger == 0)
        std::this_thread::yield();
    if (!korvel::test::waitUntilBlockedIn(logger, { SYS_write }))
        return 102;
    kv_process_t p;
    int rc = kv_process_create(&p, "true");
    int state = -1;
    int done = 0;
    int code = -1;
    if (rc == 0)
        rc = kv_process_wait(&p, -1, &state) == 0 && kv_process_exited(&p, &done, &code) == 0 && code == 0 ? 0 : 103;
    // Drained, the line goes through and the thread ends.
    for (char sink[65536]; read(ends[0], sink, sizeof sink) == sizeof sink;) { }
    blocked.join();
    kv_log_cleanup();
    return rc;
}

} // namespace

class TestKvProcess : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray path(const char* name) const { return m_dir.filePath(name).toUtf8(); }
    static QByteArray readFile(const QByteArray& name)
    {
        QFile f(QString::fromUtf8(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Start, wait without limit and return the exit code (or -1000 - error).
    static int run(const QByteArray& commandLine)
    {
        kv_process_t p;
        if (int rc = kv_process_create(&p, commandLine.constData()))
            return -1000 - rc;
        int state = -1;
        if (kv_process_wait(&p, -1, &state) != 0 || state != 0)
            return -2000;
        int done = 0;
        int code = -1;
        if (kv_process_exited(&p, &done, &code) != 0 || done != 1)
            return -3000;
        return code;
    }

private slots:
    void exitCodes_data();
    void exitCodes();
    void argumentSplitting();
    void startFailures_data();
    void startFailures();
    void timeOutAndKill_data();
    void timeOutAndKill();
    void descriptorsNotInherited();
    void environment();
    void environmentLimits();
    void spawnFreshEnvironment();
    void spawnRefusals();
    void forkWithoutAccount();
    void forkAsAccount_data();
    void forkAsAccount();
    void forkUnprivileged_data();
    void forkUnprivileged();
    void forkDoesNotWaitForTheLog();
    void runasRefusals();
};

void TestKvProcess::exitCodes_data()
{
    QTest::addColumn<QByteArray>("commandLine");
    QTest::addColumn<int>("code");
    QTest::newRow("true") << QByteArray("true") << 0;
    QTest::newRow("false") << QByteArray("false") << 1;
    QTest::newRow("single quotes") << QByteArray("/bin/sh -c 'exit 3'") << 3;
    QTest::newRow("double quotes") << QByteArray("sh -c \"exit 42\"") << 42;
    QTest::newRow("signal") << QByteArray("sh -c 'kill -TERM $$'") << 128 + SIGTERM;
}

void TestKvProcess::exitCodes()
{
    QFETCH(QByteArray, commandLine);
    QFETCH(int, code);
    QCOMPARE(run(commandLine), code);
}

void TestKvProcess::argumentSplitting()
{
    const QByteArray out = path("args");
    const QByteArray line = "/bin/sh -c 'printf \"%s|\" \"$@\" > " + out
        + "' sh  plain \"two words\" 'single \"quoted\"' back\\\"slash a\\\\b \"\" \t tab";
    QCOMPARE(run(line), 0);
    QCOMPARE(readFile(out), QByteArray("plain|two words|single \"quoted\"|back\"slash|a\\b||tab|"));
}

void TestKvProcess::startFailures_data()
{
    QTest::addColumn<QByteArray>("commandLine");
    QTest::addColumn<int>("result");
    QTest::newRow("missing program") << QByteArray("/nonexistent/program arg") << int(ENOENT);
    QTest::newRow("not on PATH") << QByteArray("korvel-no-such-program") << int(ENOENT);
    QTest::newRow("not executable") << QByteArray("/etc/passwd") << int(EACCES);
    QTest::newRow("blank") << QByteArray("  \t ") << int(EINVAL);
    QTest::newRow("too long") << (QByteArray("true ") + QByteArray(70000, 'x')) << int(KV_ERR_INSUFFICIENT_BUFFER);
}

void TestKvProcess::startFailures()
{
    QFETCH(QByteArray, commandLine);
    QFETCH(int, result);
    kv_process_t p;
    QCOMPARE(kv_process_create(&p, commandLine.constData()), result);
    QCOMPARE(p.pid, 0);
    QCOMPARE(p.token, -1);
    // Nothing was started, so there is nothing to wait for.
    int state = -1;
    QCOMPARE(kv_process_wait(&p, 0, &state), ECHILD);
    QCOMPARE(state, 3);
    QCOMPARE(kv_process_create(nullptr, "true"), EINVAL);
    QCOMPARE(kv_process_create(&p, nullptr), EINVAL);
}

void TestKvProcess::timeOutAndKill_data()
{
    QTest::addColumn<bool>("withPidfd");
    QTest::newRow("pidfd") << true;
    QTest::newRow("polling waitpid") << false;
}

void TestKvProcess::timeOutAndKill()
{
    QFETCH(bool, withPidfd);
    kv_process_t p;
    QCOMPARE(kv_process_create(&p, "sleep 60"), 0);
    QVERIFY(p.pid > 0);
    QCOMPARE(p.tid, p.pid);
    if (!withPidfd && p.handle >= 0) {
        // As on kernels without pidfd_open.
        ::close(p.handle);
        p.handle = -1;
    }
    int state = -1;
    QCOMPARE(kv_process_wait(&p, 20, &state), 0);
    QCOMPARE(state, 1);
    int done = -1;
    int code = -1;
    QCOMPARE(kv_process_exited(&p, &done, &code), 0);
    QCOMPARE(done, 0);
    QCOMPARE(code, int(KV_ERR_STILL_ACTIVE));
    const int handle = p.handle;
    QCOMPARE(kv_process_kill(&p), 0);
    QCOMPARE(kv_process_wait(&p, -1, &state), 0);
    QCOMPARE(state, 0);
    QCOMPARE(kv_process_exited(&p, &done, &code), 0);
    QCOMPARE(done, 1);
    QCOMPARE(code, 0); // ended by kv_process_kill: exit code 0
    QCOMPARE(p.handle, -1);
    if (handle >= 0)
        QCOMPARE(fcntl(handle, F_GETFD), -1); // the pidfd is closed
    // Once reaped, the pid may belong to another process: never signal it.
    QCOMPARE(kv_process_kill(&p), ESRCH);
    QCOMPARE(kv_process_wait(&p, 0, &state), 0);
    QCOMPARE(state, 0);
}

void TestKvProcess::descriptorsNotInherited()
{
    QFile f(QString::fromUtf8(path("open")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    const int fd = dup2(f.handle(), 57); // dup2 leaves the copy without close-on-exec
    QCOMPARE(fd, 57);
    const int code = run("sh -c '[ -e /proc/self/fd/57 ] && exit 1; exit 0'");
    ::close(fd);
    QCOMPARE(code, 0);
}

void TestKvProcess::environment()
{
    char out[64];
    QCOMPARE(kv_process_setenv("KV_TEST_VAR", "sp\xc3\xa4t"), 0);
    QCOMPARE(kv_process_getenv("KV_TEST_VAR", out, sizeof out), 0);
    QCOMPARE(QByteArray(out), QByteArray("sp\xc3\xa4t"));
    QCOMPARE(QByteArray(qgetenv("KV_TEST_VAR")), QByteArray("sp\xc3\xa4t"));
    // A child started afterwards sees it.
    QCOMPARE(run("sh -c '[ \"$KV_TEST_VAR\" = sp\xc3\xa4t ]'"), 0);

    QCOMPARE(kv_process_getenv("KV_TEST_VAR", out, 5), int(KV_ERR_INSUFFICIENT_BUFFER));
    QCOMPARE(out[0], '\0');
    QCOMPARE(kv_process_getenv("KV_TEST_VAR", out, 6), 0);

    QCOMPARE(kv_process_setenv("KV_TEST_VAR", ""), 0);
    QCOMPARE(kv_process_getenv("KV_TEST_VAR", out, sizeof out), 0);
    QCOMPARE(QByteArray(out), QByteArray(""));
    QCOMPARE(kv_process_setenv("KV_TEST_VAR", nullptr), 0);
    QCOMPARE(kv_process_getenv("KV_TEST_VAR", out, sizeof out), EINVAL);
    QVERIFY(!qEnvironmentVariableIsSet("KV_TEST_VAR"));
}

void TestKvProcess::environmentLimits()
{
    char out[16];
    QCOMPARE(kv_process_setenv(nullptr, "x"), EINVAL);
    QCOMPARE(kv_process_setenv("", "x"), EINVAL);
    QCOMPARE(kv_process_setenv("A=B", "x"), EINVAL);
    QCOMPARE(kv_process_setenv(QByteArray(8192, 'N').constData(), "x"), int(KV_ERR_INSUFFICIENT_BUFFER));
    QCOMPARE(kv_process_setenv("KV_TEST_LONG", QByteArray(8192, 'v').constData()), int(KV_ERR_INSUFFICIENT_BUFFER));
    QCOMPARE(kv_process_setenv("KV_TEST_LONG", QByteArray(8191, 'v').constData()), 0);
    QCOMPARE(kv_process_setenv("KV_TEST_LONG", nullptr), 0);
    QCOMPARE(kv_process_getenv(nullptr, out, sizeof out), EINVAL);
    QCOMPARE(kv_process_getenv("PATH", nullptr, 16), EINVAL);
    QCOMPARE(kv_process_getenv("PATH", out, 0), EINVAL);
}

void TestKvProcess::spawnFreshEnvironment()
{
    const QByteArray out = path("env");
    const QByteArray line
        = "sh -c 'env > " + out + ".tmp; echo \"ppid=$PPID\" >> " + out + ".tmp; mv " + out + ".tmp " + out + "'";
    qputenv("KV_TEST_NOT_PASSED", "1");
    const char* env[] = { "ZED=last", nullptr, "ALPHA=first", "MIDDLE=two words" };
    QCOMPARE(kv_process_spawn(line.constData(), env, 4), 0);
    QTRY_VERIFY(QFile::exists(QString::fromUtf8(out)));
    QList<QByteArray> lines = readFile(out).split('\n');
    QVERIFY(lines.size() > 1);
    const QByteArray ppid = lines.takeAt(lines.size() - 2);
    lines.removeAll(QByteArray());
    // sh adds PWD (and may add SHLVL) of its own.
    lines.removeIf([](const QByteArray& l) { return l.startsWith("PWD=") || l.startsWith("SHLVL="); });
    std::sort(lines.begin(), lines.end()); // the shell lists its variables in an order of its own
    QCOMPARE(lines, (QList<QByteArray> { "ALPHA=first", "MIDDLE=two words", "PATH=" + qgetenv("PATH"), "ZED=last" }));
    // Detached: the child was not ours when it ran.
    QVERIFY(ppid.startsWith("ppid="));
    QVERIFY(ppid.mid(5).toInt() != getpid());
}

void TestKvProcess::spawnRefusals()
{
    QCOMPARE(kv_process_spawn("/nonexistent/program", nullptr, 0), ENOENT);
    QCOMPARE(kv_process_spawn(nullptr, nullptr, 0), EINVAL);
    const QByteArray big = "BIG=" + QByteArray(32760, 'b');
    const char* env[] = { big.constData() };
    QCOMPARE(kv_process_spawn("true", env, 1), int(KV_ERR_NOT_ENOUGH_MEMORY));
}

void TestKvProcess::forkWithoutAccount()
{
    kv_process_t p;
    QCOMPARE(kv_process_fork(&p, "sh -c 'exit 5'", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    int state = -1;
    QCOMPARE(kv_process_wait(&p, -1, &state), 0);
    int done = 0;
    int code = -1;
    QCOMPARE(kv_process_exited(&p, &done, &code), 0);
    QCOMPARE(code, 5);

    // A failing callback stops the start.
    QCOMPARE(kv_process_fork(&p, "true", nullptr, nullptr, nullptr, nullptr, failingCallback, nullptr), EACCES);
    QCOMPARE(p.pid, 0);

    // Without a record the child runs detached.
    const QByteArray out = path("detached");
    const QByteArray line = "sh -c 'echo ran > " + out + ".tmp; mv " + out + ".tmp " + out + "'";
    QCOMPARE(kv_process_fork(nullptr, line.constData(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    QTRY_COMPARE(readFile(out), QByteArray("ran\n"));
}

void TestKvProcess::forkAsAccount_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<bool>("profileGiven");
    QTest::newRow("daemon, its home") << QByteArray("daemon") << false;
    QTest::newRow("daemon, profile folder") << QByteArray("daemon") << true;
    QTest::newRow("nobody, home missing") << QByteArray("nobody") << false;
    QTest::newRow("local domain") << QByteArray(".\\daemon") << false;
}

void TestKvProcess::forkAsAccount()
{
    if (geteuid() != 0)
        QSKIP("starting a child as another account needs root");
    QFETCH(QByteArray, user);
    QFETCH(bool, profileGiven);
    const QByteArray name = user.mid(user.indexOf('\\') + 1);
    const passwd* pw = getpwnam(name.constData());
    if (!pw)
        QSKIP("no such account here");
    const uid_t uid = pw->pw_uid;
    const QByteArray home = pw->pw_dir;

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther
            | QFileDevice::WriteOther | QFileDevice::ExeOther));
    const QByteArray out = dir.filePath("who").toUtf8();
    const QByteArray line = "sh -c 'id -u > " + out + "; echo \"$HOME\" >> " + out + "; pwd >> " + out
        + "; echo \"$USER\" >> " + out + "'";
    const QByteArray profile = dir.path().toUtf8();
    kv_credentials_t credentials { user.constData(), "ignored" };
    kv_process_t p;
    QCOMPARE(kv_process_fork(&p, line.constData(), profileGiven ? profile.constData() : nullptr, nullptr, nullptr,
                 nullptr, runasCallback, &credentials),
        0);
    QCOMPARE(p.token, -1);
    QCOMPARE(QByteArray(p.user), name);
    int state = -1;
    QCOMPARE(kv_process_wait(&p, -1, &state), 0);
    QCOMPARE(state, 0);
    int done = 0;
    int code = -1;
    QCOMPARE(kv_process_exited(&p, &done, &code), 0);
    QCOMPARE(code, 0);

    const QByteArray expectedCwd = profileGiven ? profile : (QFile::exists(QString::fromUtf8(home)) ? home : "/");
    QCOMPARE(readFile(out), QByteArray::number(uid) + "\n" + home + "\n" + expectedCwd + "\n" + name + "\n");
}

void TestKvProcess::forkUnprivileged_data()
{
    // Run by an account that is not root: the test's own, or "nobody" when the
    // test runs as root.
    QTest::addColumn<bool>("ownAccount"); // else "daemon", another account
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("as itself") << true << QByteArray("fork=0 state=0 code=0");
    QTest::newRow("as another account") << false << QByteArray("fork=1 token=-1");
}

void TestKvProcess::forkUnprivileged()
{
    QFETCH(bool, ownAccount);
    QFETCH(QByteArray, expected);
    const bool root = geteuid() == 0;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (root) {
        const passwd* nobody = getpwnam("nobody"); // static storage: copied at once
        if (!nobody)
            QSKIP("no account nobody to drop to");
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    const passwd* daemon = getpwnam("daemon");
    if (!ownAccount && (!daemon || daemon->pw_uid == uid))
        QSKIP("no account daemon apart from this one");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther
            | QFileDevice::WriteOther | QFileDevice::ExeOther));
    const QByteArray profile = QFile::encodeName(dir.path());
    const QByteArray out = profile + "/who";
    const QByteArray line = "sh -c 'id -u > " + out + "; id -g >> " + out + "; pwd >> " + out + "'";
    const QString reportFile = dir.path() + "/result";
    const int rc = korvel::test::runChild("forkAs",
        { root ? "nobody" : "", ownAccount ? "" : "daemon", line.toStdString(), profile.toStdString(),
            reportFile.toStdString() });
    QCOMPARE(rc, 0);
    const QByteArray result = readFile(QFile::encodeName(reportFile));
    QCOMPARE(result, expected);
    if (ownAccount)
        QCOMPARE(readFile(out), QByteArray::number(uid) + "\n" + QByteArray::number(gid) + "\n" + profile + "\n");
    else
        QVERIFY(!QFile::exists(QString::fromUtf8(out)));
}

void TestKvProcess::forkDoesNotWaitForTheLog()
{
    QCOMPARE(korvel::test::runChild("forkWhileTheLogBlocks", {}, 20000), 0);
}

void TestKvProcess::runasRefusals()
{
    kv_process_t p;
    std::memset(&p, 0, sizeof p);
    p.token = -1;
    kv_credentials_t unknown { "korvel-no-such-user", "" };
    QCOMPARE(kv_process_runas(&p, &unknown), ENOENT);
    kv_credentials_t foreignDomain { "ELSEWHERE\\root", "" };
    QCOMPARE(kv_process_runas(&p, &foreignDomain), ENOENT);
    const QByteArray longDomain = QByteArray(512, 'd') + "\\root";
    kv_credentials_t tooLong { longDomain.constData(), "" };
    QCOMPARE(kv_process_runas(&p, &tooLong), int(KV_ERR_INSUFFICIENT_BUFFER));
    QCOMPARE(p.token, -1);
    QCOMPARE(kv_process_runas(&p, nullptr), EINVAL);

    char host[256] = {};
    QCOMPARE(gethostname(host, sizeof host - 1), 0);
    const QByteArray self = QByteArray(host).toUpper() + "\\" + getpwuid(geteuid())->pw_name;
    kv_credentials_t ownHost { self.constData(), "" };
    QCOMPARE(kv_process_runas(&p, &ownHost), 0);
    QCOMPARE(p.token, int(geteuid()));
}

KORVEL_TEST_MAIN_GUILESS(TestKvProcess)
#include "test_kv_process.moc"
