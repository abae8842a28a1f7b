#include <kv/kv.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <climits>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A name of this test run, so that runs never share a semaphore.
QByteArray uniqueName(const char* tag)
{
    return QByteArray("korvel-test-") + tag + "-" + QByteArray::number(getpid());
}

// The semaphore file a named mutex lives in (see kv_sync.h).
QByteArray semaphoreFile(const QByteArray& name)
{
    return "/dev/shm/sem.Global\\kv_mutex_" + QByteArray(name).replace('/', '\\');
}

void unlinkNamed(const QByteArray& name)
{
    sem_unlink(("/Global\\kv_mutex_" + QByteArray(name).replace('/', '\\')).constData());
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

} // namespace

class TestKvSync : public QObject {
    Q_OBJECT

private slots:
    void mutexOwnerRules();
    void mutexHeldByAnotherThread();
    void mutexExcludesThreads();
    void mutexDestroy();
    void namedMutexNames();
    void namedMutexExcludesAnotherProcess();
    void namedMutexCountStaysOne();
    void namedMutexReleaseFailureIsLogged();
    void condSignalBeforeWait();
    void condWakesEveryWaiter();
    void condTimedWait();
    void condNeedsTheMutex();
    void semaphore();
    void semaphoreAcrossThreads();
};

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

void TestKvSync::namedMutexNames()
{
    const QByteArray name = uniqueName("names");
    kv_named_mutex_t a, b;
    QCOMPARE(kv_named_mutex_init(&a, (name + "\\x").constData()), 0);
    QVERIFY(fileExists(semaphoreFile(name + "/x")));
    // A backslash and a slash in the caller's part name the same mutex.
    QCOMPARE(kv_named_mutex_init(&b, (name + "/x").constData()), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&a), 0);
    QCOMPARE(kv_named_mutex_acquire_nb(&b), KV_ERR_WAIT_TIMEOUT);
    QCOMPARE(kv_named_mutex_release(&b), 0); // no owner: anyone may release
    QCOMPARE(kv_named_mutex_acquire_nb(&a), 0);
    QCOMPARE(kv_named_mutex_release(&a), 0);
    QCOMPARE(kv_named_mutex_destroy(&a), 0);
    QVERIFY(!a.sem);
    QCOMPARE(kv_named_mutex_acquire(&a), 22);
    QCOMPARE(kv_named_mutex_destroy(&b), 0);
    unlinkNamed(name + "/x");

    kv_named_mutex_t c;
    // Longer than the 520-byte name buffer: refused rather than cut to a shared prefix.
    const QByteArray huge(600, 'n');
    QCOMPARE(kv_named_mutex_init(&c, huge.constData()), int(KV_ENOSPACE));
    const QByteArray longName(300, 'n');
    QCOMPARE(kv_named_mutex_init(&c, longName.constData()), KV_ERR_FILENAME_TOO_LONG);
    QCOMPARE(kv_named_mutex_init(&c, nullptr), 22);
}

void TestKvSync::namedMutexExcludesAnotherProcess()
{
    const QByteArray name = uniqueName("fork");
    kv_named_mutex_t m;
    QCOMPARE(kv_named_mutex_init(&m, name.constData()), 0);
    QCOMPARE(kv_named_mutex_acquire(&m), 0);

    int pipeFds[2];
    QCOMPARE(pipe(pipeFds), 0);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // A fresh handle in another process: held elsewhere, then obtained once released.
        close(pipeFds[0]);
        kv_named_mutex_t own;
        if (kv_named_mutex_init(&own, name.constData()) != 0)
            _exit(2);
        if (kv_named_mutex_acquire_nb(&own) != KV_ERR_WAIT_TIMEOUT)
            _exit(3);
        if (write(pipeFds[1], "A", 1) != 1)
            _exit(4);
        if (kv_named_mutex_acquire(&own) != 0)
            _exit(5);
        if (write(pipeFds[1], "B", 1) != 1)
            _exit(6);
        kv_named_mutex_release(&own);
        kv_named_mutex_destroy(&own);
        _exit(0);
    }
    close(pipeFds[1]);
    QCOMPARE(readByte(pipeFds[0], 10000), 'A');
    QCOMPARE(readByte(pipeFds[0], 200), '\0'); // the child is still waiting
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(readByte(pipeFds[0], 10000), 'B');
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    close(pipeFds[0]);
    QCOMPARE(kv_named_mutex_acquire_nb(&m), 0); // the child released it
    QCOMPARE(kv_named_mutex_release(&m), 0);
    QCOMPARE(kv_named_mutex_destroy(&m), 0);
    unlinkNamed(name);
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
    unlinkNamed(name);
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
    unlinkNamed(name);
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

QTEST_GUILESS_MAIN(TestKvSync)
#include "test_kv_sync.moc"
