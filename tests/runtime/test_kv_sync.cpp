#include "tests/support/ChildProcess.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestProcesses.h"

#include <kv/kv.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using korvel::test::HangGuard;

namespace {

// A name of this test run, so that runs never share a lock file.
QByteArray uniqueName(const char* tag)
{
    return QByteArray("korvel-test-") + tag + "-" + QByteArray::number(getpid());
}

// The lock file of a named mutex in a folder (see kv_sync.h).
QByteArray lockFile(const QByteArray& folder, const QByteArray& name)
{
    return folder + "/Global\\kv_mutex_" + QByteArray(name).replace('/', '\\');
}

bool fileExists(const QByteArray& path)
{
    struct stat st;
    return stat(path.constData(), &st) == 0;
}

// Read one byte from fd within ms milliseconds; 0 when none came.
char readByte(int fd, int ms)
{
    pollfd p { fd, POLLIN, 0 };
    if (poll(&p, 1, ms) <= 0)
        return 0;
    char c = 0;
    return read(fd, &c, 1) == 1 ? c : 0;
}

// Opens the named mutex args[0] (held elsewhere), writes 'A' to the descriptor
// args[1], waits for it and writes 'B' once it has it.
KORVEL_CHILD_STEP(namedMutexWaiter)
{
    const int report = std::stoi(args[1]);
    kv_named_mutex_t own;
    if (kv_named_mutex_init(&own, args[0].c_str()) != 0)
        return 2;
    if (kv_named_mutex_acquire_nb(&own) != KV_ERR_WAIT_TIMEOUT)
        return 3;
    if (write(report, "A", 1) != 1)
        return 4;
    if (kv_named_mutex_acquire(&own) != 0)
        return 5;
    if (write(report, "B", 1) != 1)
        return 6;
    kv_named_mutex_release(&own);
    kv_named_mutex_destroy(&own);
    return 0;
}

// Takes the named mutex args[0] and ends without releasing it: exits, or is
// killed when args[1] is "kill".
KORVEL_CHILD_STEP(namedMutexHolder)
{
    kv_named_mutex_t holder;
    if (kv_named_mutex_init(&holder, args[0].c_str()) != 0 || kv_named_mutex_acquire(&holder) != 0)
        return 2;
    if (args[1] == "kill")
        raise(SIGKILL);
    return 0;
}

// A forked child that uses its parent's handle of the named mutex args[0]
// excludes the parent like any other process, and does not hold what the parent
// held. 0, or the number of the check that failed.
KORVEL_CHILD_STEP(forkWithNamedMutex)
{
    if (!korvel::test::singleThreaded())
        return 100;
    kv_named_mutex_t m;
    if (kv_named_mutex_init(&m, args[0].c_str()) != 0)
        return 101;
    int toParent[2];
    int toChild[2];
    if (pipe(toParent) != 0 || pipe(toChild) != 0)
        return 102;
    const pid_t child = fork();
    if (child < 0)
        return 103;
    if (child == 0) {
        close(toParent[0]);
        close(toChild[1]);
        if (kv_named_mutex_acquire(&m) != 0)
            _exit(2);
        if (write(toParent[1], "A", 1) != 1 || readByte(toChild[0], 60000) != 'R')
            _exit(3);
        if (kv_named_mutex_release(&m) != 0)
            _exit(4);
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    if (readByte(toParent[0], 10000) != 'A')
        return 104;
    if (kv_named_mutex_acquire_nb(&m) != KV_ERR_WAIT_TIMEOUT) // the child holds it
        return 105;
    if (write(toChild[1], "R", 1) != 1 || korvel::test::waitChild(child) != 0)
        return 106;
    if (kv_named_mutex_acquire_nb(&m) != 0)
        return 107;

    // Held by the parent at the fork: the child does not hold it.
    const pid_t second = fork();
    if (second < 0)
        return 108;
    if (second == 0) {
        if (kv_named_mutex_release(&m) != EOVERFLOW)
            _exit(2);
        if (kv_named_mutex_acquire_nb(&m) != KV_ERR_WAIT_TIMEOUT)
            _exit(3);
        _exit(0);
    }
    if (korvel::test::waitChild(second) != 0)
        return 109;
    if (kv_named_mutex_release(&m) != 0)
        return 110;
    close(toParent[0]);
    close(toChild[1]);
    return kv_named_mutex_destroy(&m) == 0 ? 0 : 111;
}

} // namespace

class TestKvSync : public QObject {
    Q_OBJECT

private:
    // The lock folder of the named mutexes, one per test.
    QTemporaryDir* m_run = nullptr;
    QByteArray runDir() const { return QFile::encodeName(m_run->path()); }

private slots:
    void init();
    void cleanup();
    void mutexOwnerRules();
    void mutexHeldByAnotherThread();
    void mutexExcludesThreads();
    void mutexDestroy();
    void mutexAbandoned_data();
    void mutexAbandoned();
    void namedMutexNames();
    void namedMutexLockFolder_data();
    void namedMutexLockFolder();
    void namedMutexRefusesOtherFiles_data();
    void namedMutexRefusesOtherFiles();
    void namedMutexExcludesAnotherProcess();
    void namedMutexCountStaysOne();
    void namedMutexReleaseFailureIsLogged();
    void namedMutexAbandoned_data();
    void namedMutexAbandoned();
    void namedMutexSharedByThreads();
    void namedMutexInheritedByChild();
    void condSignalBeforeWait();
    void condWakesEveryWaiter();
    void condTimedWait();
    void condNeedsTheMutex();
    void semaphore();
    void semaphoreAcrossThreads();
};

void TestKvSync::init()
{
    m_run = new QTemporaryDir;
    QVERIFY(m_run->isValid());
    qputenv("XDG_RUNTIME_DIR", runDir());
}

void TestKvSync::cleanup()
{
    kv_log_cleanup();
    delete m_run;
    m_run = nullptr;
}

void TestKvSync::mutexOwnerRules()
{
    for (auto init : { kv_mutex_init, kv_mutex_init_recursive }) {
        kv_mutex_t m;
        QCOMPARE(init(&m), 0);
        QCOMPARE(m.owner, int64_t(0));
        QCOMPARE(kv_mutex_acquire(&m), 0);
        QCOMPARE(kv_mutex_acquire(&m), -1); // no second lock
        QCOMPARE(kv_mutex_acquire_nb(&m), -1);
        QCOMPARE(kv_mutex_release(&m), 0);
        QCOMPARE(kv_mutex_release(&m), KV_ERR_ACCESS_DENIED);
        QCOMPARE(kv_mutex_acquire_nb(&m), 0);
        QCOMPARE(kv_mutex_release(&m), 0);
        QCOMPARE(kv_mutex_destroy(&m), 0);
    }
}

void TestKvSync::mutexHeldByAnotherThread()
{
    kv_mutex_t m;
    QCOMPARE(kv_mutex_init(&m), 0);
    std::atomic<int> stage { 0 };
    std::thread holder([&] {
        kv_mutex_acquire(&m);
        stage = 1;
        while (stage != 2)
            std::this_thread::yield();
        kv_mutex_release(&m);
        stage = 3;
    });
    while (stage != 1)
        std::this_thread::yield();
    QCOMPARE(kv_mutex_release(&m), KV_ERR_ACCESS_DENIED);
    QCOMPARE(kv_mutex_acquire_nb(&m), KV_ERR_WAIT_TIMEOUT); // still held: the release did nothing
    stage = 2;
    holder.join();
    QCOMPARE(kv_mutex_acquire_nb(&m), 0);
    QCOMPARE(kv_mutex_release(&m), 0);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::mutexExcludesThreads()
{
    kv_mutex_t m;
    QCOMPARE(kv_mutex_init(&m), 0);
    long counter = 0;
    std::atomic<int> failures { 0 };
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            if (kv_mutex_acquire(&m) != 0) {
                ++failures;
                continue;
            }
            const long seen = counter;
            counter = seen + 1;
            if (kv_mutex_release(&m) != 0)
                ++failures;
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    QCOMPARE(failures.load(), 0);
    QCOMPARE(counter, 60000L);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::mutexDestroy()
{
    kv_mutex_t m;
    QCOMPARE(kv_mutex_init(&m), 0);
    QCOMPARE(kv_mutex_destroy(&m), 0);
    QCOMPARE(m.handle, -1);
    QCOMPARE(kv_mutex_acquire(&m), 22);
    QCOMPARE(kv_mutex_release(&m), 22);
    QCOMPARE(kv_mutex_destroy(&m), 22);
    QCOMPARE(kv_mutex_init(nullptr), 22);
}

void TestKvSync::mutexAbandoned_data()
{
    QTest::addColumn<bool>("wait");
    QTest::newRow("wait") << true;
    QTest::newRow("no wait") << false;
}

void TestKvSync::mutexAbandoned()
{
    QFETCH(bool, wait);
    kv_mutex_t m;
    QCOMPARE(kv_mutex_init(&m), 0);
    int64_t holder = 0;
    int acquired = -1;
    std::thread([&] {
        acquired = kv_mutex_acquire(&m);
        holder = m.owner;
    }).join(); // ends holding the mutex
    QCOMPARE(acquired, 0);
    QVERIFY(holder != 0);
    QCOMPARE(kv_mutex_release(&m), KV_ERR_ACCESS_DENIED); // still not this thread's
    {
        HangGuard guard;
        QCOMPARE(wait ? kv_mutex_acquire(&m) : kv_mutex_acquire_nb(&m), KV_ERR_WAIT_ABANDONED);
    }
    // The new holder owns it, and it is an ordinary mutex again.
    QVERIFY(m.owner != 0 && m.owner != holder);
    QCOMPARE(kv_mutex_acquire(&m), -1);
    int other = -1;
    std::thread([&] { other = kv_mutex_acquire_nb(&m); }).join();
    QCOMPARE(other, KV_ERR_WAIT_TIMEOUT);
    QCOMPARE(kv_mutex_release(&m), 0);
    QCOMPARE(kv_mutex_acquire_nb(&m), 0);
    QCOMPARE(kv_mutex_release(&m), 0);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::namedMutexNames()
{
    const QByteArray name = uniqueName("names");
    kv_named_mutex_t a, b;
    QCOMPARE(kv_named_mutex_init(&a, (name + "\\x").constData()), 0);
    QVERIFY(fileExists(lockFile(runDir(), name + "/x")));
    // A backslash and a slash in the caller's part name the same mutex.
    QCOMPARE(kv_named_mutex_init(&b, (name + "/x").constData()), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&a), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&b), KV_ERR_WAIT_TIMEOUT);
    // Only a handle that holds the mutex releases it; the other changes nothing.
    QCOMPARE(kv_named_mutex_release(&b), EOVERFLOW);
    QCOMPARE(kv_named_mutex_acquire_nb(&b), KV_ERR_WAIT_TIMEOUT);
    QCOMPARE(kv_named_mutex_release(&a), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&b), 0);
    QCOMPARE(kv_named_mutex_release(&b), 0);
    QCOMPARE(kv_named_mutex_destroy(&a), 0);
    QCOMPARE(a.fd, -1);
    QCOMPARE(kv_named_mutex_acquire(&a), 22);
    QCOMPARE(kv_named_mutex_destroy(&b), 0);

    kv_named_mutex_t c;
    // Longer than the 520-byte name buffer: refused rather than cut to a shared prefix.
    const QByteArray huge(600, 'n');
    QCOMPARE(kv_named_mutex_init(&c, huge.constData()), int(KV_ENOSPACE));
    const QByteArray longName(300, 'n');
    QCOMPARE(kv_named_mutex_init(&c, longName.constData()), KV_ERR_FILENAME_TOO_LONG);
    QCOMPARE(kv_named_mutex_init(&c, nullptr), 22);
}

void TestKvSync::namedMutexLockFolder_data()
{
    QTest::addColumn<bool>("runtimeDir");
    QTest::addColumn<bool>("tmpDir");
    QTest::newRow("runtime folder") << true << true;
    QTest::newRow("temp folder") << false << true;
    QTest::newRow("relative runtime folder") << false << false;
}

void TestKvSync::namedMutexLockFolder()
{
    QFETCH(bool, runtimeDir);
    QFETCH(bool, tmpDir);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QByteArray savedTmp = qgetenv("TMPDIR");
    if (!runtimeDir)
        qputenv("XDG_RUNTIME_DIR", tmpDir ? QByteArray() : QByteArray("relative/run"));
    if (tmpDir)
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
    else
        qunsetenv("TMPDIR");
    const QByteArray name = uniqueName("folder");
    kv_named_mutex_t m;
    const int rc = kv_named_mutex_init(&m, name.constData());
    if (savedTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmp);
    QCOMPARE(rc, 0);
    const QByteArray folder = runtimeDir ? runDir() : tmpDir ? QFile::encodeName(temp.path()) : QByteArray("/tmp");
    const QByteArray file = lockFile(folder, name);
    const bool created = fileExists(file);
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
    if (folder == "/tmp")
        unlink(file.constData());
    QVERIFY2(created, file.constData());
}

void TestKvSync::namedMutexRefusesOtherFiles_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<int>("result");
    QTest::newRow("link to a file") << QByteArray("link") << int(ELOOP);
    QTest::newRow("dangling link") << QByteArray("dangling") << int(ELOOP);
    QTest::newRow("fifo") << QByteArray("fifo") << int(EINVAL);
}

void TestKvSync::namedMutexRefusesOtherFiles()
{
    QFETCH(QByteArray, kind);
    QFETCH(int, result);
    const QByteArray name = uniqueName("planted");
    const QByteArray file = lockFile(runDir(), name);
    const QByteArray target = runDir() + "/target";
    if (kind == "link") {
        QFile f(QFile::decodeName(target));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write("kept") == 4);
    }
    if (kind == "fifo")
        QCOMPARE(mkfifo(file.constData(), 0600), 0);
    else
        QCOMPARE(symlink(target.constData(), file.constData()), 0);
    kv_named_mutex_t m;
    {
        HangGuard guard; // opening a FIFO for writing may block
        QCOMPARE(kv_named_mutex_init(&m, name.constData()), result);
    }
    QCOMPARE(m.fd, -1);
    // Nothing was created or written through the link.
    QCOMPARE(korvel::test::readAll(QFile::decodeName(target)), kind == "link" ? QByteArray("kept") : QByteArray());
    QCOMPARE(fileExists(target), kind == "link");
}

void TestKvSync::namedMutexExcludesAnotherProcess()
{
    const QByteArray name = uniqueName("fork");
    kv_named_mutex_t m;
    QCOMPARE(kv_named_mutex_init(&m, name.constData()), 0);
    QCOMPARE(kv_named_mutex_acquire(&m), 0);

    int pipeFds[2];
    QCOMPARE(pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t child = korvel::test::startChild(
        "namedMutexWaiter", { name.toStdString(), std::to_string(pipeFds[1]) }, { pipeFds[1] });
    QVERIFY(child > 0);
    close(pipeFds[1]);
    QCOMPARE(readByte(pipeFds[0], 10000), 'A');
    QVERIFY(korvel::test::waitUntilBlockedIn(child, { SYS_flock })); // the child waits for it
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(readByte(pipeFds[0], 10000), 'B');
    QCOMPARE(korvel::test::waitChild(child), 0);
    close(pipeFds[0]);
    QCOMPARE(kv_named_mutex_acquire_nb(&m), 0); // the child released it
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
}

void TestKvSync::namedMutexCountStaysOne()
{
    const QByteArray name = uniqueName("count");
    kv_named_mutex_t m;
    QCOMPARE(kv_named_mutex_init(&m, name.constData()), 0);
    QCOMPARE(kv_named_mutex_release(&m), EOVERFLOW); // releasing a free mutex must not let two in
    QCOMPARE(kv_named_mutex_acquire(&m), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&m), KV_ERR_WAIT_TIMEOUT);
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
}

void TestKvSync::namedMutexAbandoned_data()
{
    QTest::addColumn<QByteArray>("holderEnd");
    QTest::addColumn<bool>("wait");
    QTest::newRow("holder exited, wait") << QByteArray("exit") << true;
    QTest::newRow("holder exited, no wait") << QByteArray("exit") << false;
    QTest::newRow("holder killed, wait") << QByteArray("kill") << true;
    QTest::newRow("handle destroyed while held") << QByteArray("destroy") << false;
}

void TestKvSync::namedMutexAbandoned()
{
    QFETCH(QByteArray, holderEnd);
    QFETCH(bool, wait);
    QTemporaryDir logDir;
    QVERIFY(logDir.isValid());
    const QString logName = logDir.filePath("sync.log");
    QCOMPARE(kv_log_init(0, QFile::encodeName(logName).constData()), 0);
    const QByteArray name = uniqueName("abandoned");
    if (holderEnd == "destroy") {
        kv_named_mutex_t holder;
        QCOMPARE(kv_named_mutex_init(&holder, name.constData()), 0);
        QCOMPARE(kv_named_mutex_acquire(&holder), 0);
        QCOMPARE(kv_named_mutex_destroy(&holder), 0);
    } else {
        QCOMPARE(korvel::test::runChild("namedMutexHolder", { name.toStdString(), holderEnd.toStdString() }),
            holderEnd == "kill" ? 256 + SIGKILL : 0);
    }

    kv_named_mutex_t m;
    QCOMPARE(kv_named_mutex_init(&m, name.constData()), 0);
    {
        HangGuard guard;
        QCOMPARE(wait ? kv_named_mutex_acquire(&m) : kv_named_mutex_acquire_nb(&m), KV_ERR_WAIT_ABANDONED);
    }
    // Held now, like after any acquire; released, it is an ordinary mutex again.
    kv_named_mutex_t other;
    QCOMPARE(kv_named_mutex_init(&other, name.constData()), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&other), KV_ERR_WAIT_TIMEOUT);
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&other), 0);
    QCOMPARE(kv_named_mutex_release(&other), 0);
    QCOMPARE(kv_named_mutex_acquire(&m), 0);
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(kv_named_mutex_destroy(&other), 0);
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
    kv_log_cleanup();
    const QByteArray text = korvel::test::readAll(logName);
    const QByteArray expected
        = wait ? "LOG kv_named_mutex_acquire: wait abandoned\r\n" : "LOG kv_named_mutex_acquire_nb: wait abandoned\r\n";
    QVERIFY2(text.contains(expected), text.constData());
    QCOMPARE(text.count("wait abandoned"), 1);
}

void TestKvSync::namedMutexSharedByThreads()
{
    // Threads of one process using one handle exclude each other too, and any
    // of them may release.
    const QByteArray name = uniqueName("threads");
    kv_named_mutex_t m;
    QCOMPARE(kv_named_mutex_init(&m, name.constData()), 0);
    QCOMPARE(kv_named_mutex_acquire(&m), 0);
    int pipeFds[2];
    QCOMPARE(pipe(pipeFds), 0);
    std::atomic<int> busy { -1 };
    std::atomic<pid_t> waiterId { 0 };
    std::thread waiter([&] {
        waiterId = gettid();
        busy = kv_named_mutex_acquire_nb(&m);
        if (write(pipeFds[1], "A", 1) != 1)
            return;
        const char got = kv_named_mutex_acquire(&m) == 0 ? 'B' : 'X';
        if (write(pipeFds[1], &got, 1) != 1)
            return;
    });
    QCOMPARE(readByte(pipeFds[0], 10000), 'A');
    QCOMPARE(busy.load(), KV_ERR_WAIT_TIMEOUT);
    QVERIFY(korvel::test::waitUntilBlockedIn(waiterId, { SYS_flock, SYS_futex })); // the thread waits for it
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(readByte(pipeFds[0], 10000), 'B');
    waiter.join();
    QCOMPARE(kv_named_mutex_acquire_nb(&m), KV_ERR_WAIT_TIMEOUT); // the thread holds it
    // Released by another thread than the one that acquired it.
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(kv_named_mutex_release(&m), EOVERFLOW);
    close(pipeFds[0]);
    close(pipeFds[1]);
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
}

void TestKvSync::namedMutexInheritedByChild()
{
    // Forking is the point here: in a child of its own, which has one thread.
    QCOMPARE(korvel::test::runChild("forkWithNamedMutex", { uniqueName("inherited").toStdString() }), 0);
}

// The failure line shows both addresses in hexadecimal with one "0x" each.
void TestKvSync::namedMutexReleaseFailureIsLogged()
{
    QTemporaryDir dir;
    kv_log_set(1);
    QCOMPARE(kv_log_init(0, QFile::encodeName(dir.filePath("sync.log")).constData()), 0);
    const QByteArray name = uniqueName("release-line");
    kv_named_mutex_t m;
    QCOMPARE(kv_named_mutex_init(&m, name.constData()), 0);
    const int rc = kv_named_mutex_release(&m); // not held: fails
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
    QCOMPARE(kv_log_cleanup(), 0);
    QVERIFY(rc != 0);

    QFile file(dir.filePath("sync.0.log"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpression line(
        QStringLiteral(R"(LOG kv_named_mutex_release failed\. err=%1 &m->sem=0x[0-9a-f]+, m->sem=0x[0-9a-f]+\r\n)")
            .arg(rc));
    QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
}

void TestKvSync::condSignalBeforeWait()
{
    kv_mutex_t m;
    kv_cond_t c;
    QCOMPARE(kv_mutex_init(&m), 0);
    QCOMPARE(kv_cond_init(&c, &m), 0);
    QCOMPARE(kv_mutex_acquire(&m), 0);
    QCOMPARE(kv_cond_signal(&c), 0);
    QCOMPARE(kv_cond_wait(&c), 0); // pending signal: returns at once
    QCOMPARE(m.owner != 0, true);
    // The wait reset the event: the next wait runs out.
    const kv_timeval_t limit { 0, 20000 };
    QCOMPARE(kv_cond_timedwait(&c, &limit), KV_ERR_TIMED_OUT);
    QCOMPARE(kv_mutex_release(&m), 0); // the caller owns the mutex again
    QCOMPARE(kv_cond_destroy(&c), 0);
    QCOMPARE(c.handle, -1);
    QCOMPARE(kv_cond_signal(&c), 22);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::condWakesEveryWaiter()
{
    kv_mutex_t m;
    kv_cond_t c;
    QCOMPARE(kv_mutex_init(&m), 0);
    QCOMPARE(kv_cond_init(&c, &m), 0);
    int waiting = 0;
    std::atomic<int> woken { 0 }, failures { 0 };
    auto waiter = [&] {
        kv_mutex_acquire(&m);
        ++waiting;
        const kv_timeval_t limit { 30, 0 };
        if (kv_cond_timedwait(&c, &limit) == 0)
            ++woken;
        else
            ++failures;
        if (kv_mutex_release(&m) != 0)
            ++failures;
    };
    std::thread a(waiter), b(waiter), d(waiter);
    // Once all have counted themselves and this thread holds the mutex, all three are waiting.
    for (;;) {
        QCOMPARE(kv_mutex_acquire(&m), 0);
        const bool all = waiting == 3;
        QCOMPARE(kv_mutex_release(&m), 0);
        if (all)
            break;
        std::this_thread::yield();
    }
    QCOMPARE(kv_cond_signal(&c), 0); // one signal wakes all who wait now
    a.join();
    b.join();
    d.join();
    QCOMPARE(woken.load(), 3);
    QCOMPARE(failures.load(), 0);
    QCOMPARE(kv_cond_destroy(&c), 0);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::condTimedWait()
{
    kv_mutex_t m;
    kv_cond_t c;
    QCOMPARE(kv_mutex_init(&m), 0);
    QCOMPARE(kv_cond_init(&c, &m), 0);
    QCOMPARE(kv_mutex_acquire(&m), 0);
    QElapsedTimer timer;
    timer.start();
    const kv_timeval_t limit { 0, 30000 };
    QCOMPARE(kv_cond_timedwait(&c, &limit), KV_ERR_TIMED_OUT);
    QVERIFY(timer.elapsed() >= 29); // never gives up before the limit
    QCOMPARE(m.owner != 0, true);

    // Another thread's signal ends the wait before the limit.
    std::thread signaller([&] {
        kv_mutex_acquire(&m);
        kv_cond_signal(&c);
        kv_mutex_release(&m);
    });
    const kv_timeval_t longLimit { 60, 0 };
    QCOMPARE(kv_cond_timedwait(&c, &longLimit), 0);
    signaller.join();
    QCOMPARE(kv_mutex_release(&m), 0);
    QCOMPARE(kv_cond_destroy(&c), 0);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::condNeedsTheMutex()
{
    kv_mutex_t m;
    kv_cond_t c;
    QCOMPARE(kv_mutex_init(&m), 0);
    QCOMPARE(kv_cond_init(&c, &m), 0);
    QCOMPARE(kv_cond_wait(&c), KV_ERR_ACCESS_DENIED); // caller does not hold the mutex
    QCOMPARE(kv_cond_init(nullptr, &m), 22);
    QCOMPARE(kv_cond_destroy(&c), 0);
    QCOMPARE(kv_cond_wait(&c), 22);
    QCOMPARE(kv_mutex_destroy(&m), 0);
}

void TestKvSync::semaphore()
{
    kv_sem_t s;
    QCOMPARE(kv_sem_init(&s, 0), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(kv_sem_trywait(&s, 10), KV_ERR_WOULD_BLOCK);
    QVERIFY(timer.elapsed() >= 9); // waited out the time rather than failing at once
    QCOMPARE(kv_sem_trywait(&s, 0), KV_ERR_WOULD_BLOCK);
    QCOMPARE(kv_sem_post(&s), 0);
    QCOMPARE(kv_sem_post(&s), 0);
    QCOMPARE(kv_sem_trywait(&s, 0), 0);
    QCOMPARE(kv_sem_wait(&s), 0);
    QCOMPARE(kv_sem_trywait(&s, 0), KV_ERR_WOULD_BLOCK);
    QCOMPARE(kv_sem_destroy(&s), 0);
    QCOMPARE(s.handle, -1);
    QCOMPARE(kv_sem_post(&s), 22);

    QCOMPARE(kv_sem_init(&s, KV_SEM_MAX_COUNT + 1), 22);
    QCOMPARE(kv_sem_init(&s, -1), 22);
    QCOMPARE(kv_sem_init(&s, KV_SEM_MAX_COUNT - 1), 0);
    QCOMPARE(kv_sem_post(&s), 0);
    QCOMPARE(kv_sem_post(&s), EOVERFLOW); // the maximum count holds
    QCOMPARE(kv_sem_destroy(&s), 0);
}

void TestKvSync::semaphoreAcrossThreads()
{
    kv_sem_t s;
    QCOMPARE(kv_sem_init(&s, 0), 0);
    std::atomic<int> taken { 0 };
    std::thread consumer([&] {
        for (int i = 0; i < 1000; ++i) {
            if (kv_sem_wait(&s) == 0)
                ++taken;
        }
    });
    for (int i = 0; i < 1000; ++i)
        QCOMPARE(kv_sem_post(&s), 0);
    consumer.join();
    QCOMPARE(taken.load(), 1000);
    QCOMPARE(kv_sem_trywait(&s, 0), KV_ERR_WOULD_BLOCK);
    QCOMPARE(kv_sem_destroy(&s), 0);
}

KORVEL_TEST_MAIN_GUILESS(TestKvSync)
#include "test_kv_sync.moc"
