#include <kv/kv.h>

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads of one descriptor are counted, and on a chosen read the test's data is
// written into the pipe just before it, as if it arrived at that moment: the
// retries are then followed read by read, whatever the scheduler does.
std::atomic<int> g_watchedFd { -1 };
std::atomic<int> g_reads { 0 };
std::atomic<int> g_arriveAtRead { 0 };
std::atomic<int> g_arrivingFd { -1 };

} // namespace

// Stands in for the C library's read() in this test program (the runtime
// library's calls reach it too) and hands every call on.
extern "C" ssize_t read(int fd, void* buffer, size_t count)
{
    using Read = ssize_t (*)(int, void*, size_t);
    static const Read next = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    if (fd >= 0 && fd == g_watchedFd.load()) {
        if (++g_reads == g_arriveAtRead.load()) {
            const ssize_t written = write(g_arrivingFd.load(), "late", 4);
            (void)written;
        }
    }
    return next(fd, buffer, count);
}

class TestKvCore : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray path(const char* name) const { return m_dir.filePath(name).toUtf8(); }
    void writeFile(const char* name, const QByteArray& contents)
    {
        QFile f(QString::fromUtf8(path(name)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(contents), contents.size());
    }

private slots:
    void strTo_data();
    void strTo();
    void strToFailures();
    void trimmedStrTo();
    void ncpyAndNcat_data();
    void ncpyAndNcat();
    void byteOrder();
    void errorTexts();
    void logCallsBeforeInit();
    void openModes();
    void readWriteSeek();
    void readRetriesExhaustedResources();
    void statByHandleAndPath();
    void nullAndClosedHandles();
};

void TestKvCore::strTo_data()
{
    QTest::addColumn<unsigned>("size");
    QTest::addColumn<unsigned>("position");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QByteArray>("src");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<unsigned>("newPosition");

    QTest::newRow("fits") << 8u << 0u << QByteArray() << QByteArray("abc") << 0 << QByteArray("abc") << 3u;
    QTest::newRow("exactly fills") << 4u << 0u << QByteArray() << QByteArray("abc") << 0 << QByteArray("abc") << 3u;
    QTest::newRow("truncated") << 4u << 0u << QByteArray() << QByteArray("abcdef") << int(KV_ENOSPACE)
                               << QByteArray("abc") << 3u;
    QTest::newRow("full at position 3") << 4u << 3u << QByteArray("abc") << QByteArray("abcdef") << int(KV_ENOSPACE)
                                        << QByteArray("abc") << 3u;
    QTest::newRow("appends") << 16u << 3u << QByteArray("abc") << QByteArray("def") << 0 << QByteArray("abcdef") << 6u;
    QTest::newRow("empty source") << 4u << 0u << QByteArray() << QByteArray("") << 0 << QByteArray("") << 0u;
    QTest::newRow("size one") << 1u << 0u << QByteArray() << QByteArray("x") << int(KV_ENOSPACE) << QByteArray("")
                              << 0u;
}

void TestKvCore::strTo()
{
    QFETCH(unsigned, size);
    QFETCH(unsigned, position);
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, src);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);
    QFETCH(unsigned, newPosition);

    char buffer[32];
    std::memset(buffer, 'Z', sizeof buffer);
    std::memcpy(buffer, prefix.constData(), prefix.size() + 1);
    unsigned pos = position;
    QCOMPARE(kv_str_to(buffer, src.constData(), size, &pos), result);
    QCOMPARE(QByteArray(buffer), expected);
    QCOMPARE(pos, newPosition);
    QCOMPARE(buffer[size], 'Z'); // nothing written past the buffer
}

void TestKvCore::strToFailures()
{
    char buffer[4] = "abc";
    unsigned pos = 4;
    QCOMPARE(kv_str_to(buffer, "x", 4, &pos), EINVAL);
    QCOMPARE(buffer[0], '\0'); // emptied
    QCOMPARE(pos, 4u);

    std::strcpy(buffer, "abc");
    QCOMPARE(kv_str_to(buffer, nullptr, 4, nullptr), EINVAL);
    QCOMPARE(buffer[0], '\0');
    QCOMPARE(kv_str_to(nullptr, "x", 4, nullptr), EINVAL);

    // Size 0 has no room even for the terminator: nothing is written.
    char guard = 'G';
    QCOMPARE(kv_str_to(&guard, "x", 0, nullptr), EINVAL);
    QCOMPARE(guard, 'G');

    // Overlapping source and destination.
    char overlap[16] = "hello";
    unsigned at = 2;
    QCOMPARE(kv_str_to(overlap, overlap, sizeof overlap, &at), 0);
    QCOMPARE(QByteArray(overlap), QByteArray("hehello"));
}

void TestKvCore::trimmedStrTo()
{
    char buffer[8];
    unsigned pos = 0;
    QCOMPARE(kv_trimmed_str_to(buffer, " \t ab c \r\n", sizeof buffer, &pos), 0);
    QCOMPARE(QByteArray(buffer), QByteArray("ab c"));
    QCOMPARE(pos, 4u);
    QCOMPARE(kv_trimmed_str_to(buffer, "  defgh  ", sizeof buffer, &pos), int(KV_ENOSPACE));
    QCOMPARE(QByteArray(buffer), QByteArray("ab cdef"));
    pos = 0;
    QCOMPARE(kv_trimmed_str_to(buffer, "   ", sizeof buffer, &pos), 0);
    QCOMPARE(QByteArray(buffer), QByteArray(""));
    pos = 9;
    QCOMPARE(kv_trimmed_str_to(buffer, "x", sizeof buffer, &pos), EINVAL);
}

void TestKvCore::ncpyAndNcat_data()
{
    QTest::addColumn<QByteArray>("initial");
    QTest::addColumn<QByteArray>("src");
    QTest::addColumn<unsigned>("size");
    QTest::addColumn<bool>("cat");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("cat fits") << QByteArray("ab") << QByteArray("cd") << 5u << true << 0 << QByteArray("abcd");
    QTest::newRow("cat cut") << QByteArray("ab") << QByteArray("cd") << 4u << true << int(KV_ENOSPACE)
                             << QByteArray("abc");
    QTest::newRow("cat empty src") << QByteArray("ab") << QByteArray() << 3u << true << 0 << QByteArray("ab");
    QTest::newRow("cat onto full") << QByteArray("abc") << QByteArray("d") << 4u << true << int(KV_ENOSPACE)
                                   << QByteArray("abc");
    QTest::newRow("cpy fits") << QByteArray("zz") << QByteArray("hello") << 6u << false << 0 << QByteArray("hello");
    QTest::newRow("cpy cut") << QByteArray("zz") << QByteArray("hello") << 3u << false << int(KV_ENOSPACE)
                             << QByteArray("he");
}

void TestKvCore::ncpyAndNcat()
{
    QFETCH(QByteArray, initial);
    QFETCH(QByteArray, src);
    QFETCH(unsigned, size);
    QFETCH(bool, cat);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    std::memcpy(buffer, initial.constData(), initial.size() + 1);
    const int rc = cat ? kv_str_ncat(buffer, src.constData(), size) : kv_str_ncpy(buffer, src.constData(), size);
    QCOMPARE(rc, result);
    QCOMPARE(QByteArray(buffer), expected);
    QCOMPARE(buffer[size], 'Z');
}

void TestKvCore::byteOrder()
{
    QCOMPARE(kv_ntohll(0x0102030405060708ull), 0x0807060504030201ull);
    QCOMPARE(kv_htonll(kv_htonll(0xDEADBEEF01234567ull)), 0xDEADBEEF01234567ull);
    const uint64_t v = kv_htonll(0x1122334455667788ull);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&v);
    QCOMPARE(bytes[0], uint8_t(0x11));
    QCOMPARE(bytes[7], uint8_t(0x88));
}

void TestKvCore::errorTexts()
{
    static const char* const texts[] = {
        "Invalid doc root path",
        "Invalid command or token separator mismatch",
        "Base file/directory name not found in path",
        "File/directory path mismatch",
        "Illegal UTF string",
        "Insufficient buffer space",
        "End or directory reached",
        "Library open/close failed",
        "Library module loading failed",
        "Could not create UUID string",
        "Could not parse xml file for configs",
        "Could not read locale info",
        "Could not compute md5sum",
        "Could not log message",
        "Invalid user name",
        "Parse error inside UAC",
        "No transmitting xfer found",
    };
    char out[128];
    for (int i = 0; i < 17; ++i) {
        QCOMPARE(kv_platform_errstr(0x7000 + i, out, sizeof out), 0);
        QCOMPARE(QByteArray(out), QByteArray(texts[i]));
    }
    QCOMPARE(kv_platform_errstr(ENOENT, out, sizeof out), 0);
    QCOMPARE(QByteArray(out), QByteArray("No such file or directory"));
    // No table row: the system's text, never one of ours.
    QCOMPARE(kv_platform_errstr(0x7011, out, sizeof out), 0);
    QVERIFY(std::strlen(out) > 0);
    QVERIFY(!QByteArray(out).endsWith('\n'));
    QCOMPARE(kv_platform_errstr(KV_ENOSPACE, out, 0), EINVAL);
    QCOMPARE(kv_platform_errstr(KV_ENOSPACE, nullptr, 10), EINVAL);
    // Cut to the buffer.
    char small[6];
    QCOMPARE(kv_platform_errstr(KV_ENOSPACE, small, sizeof small), 0);
    QCOMPARE(QByteArray(small), QByteArray("Insuf"));
    QCOMPARE(QByteArray(kv_platform_errstr_inline(KV_EEND, out, sizeof out)), QByteArray("End or directory reached"));
    QCOMPARE(QByteArray(kv_platform_errstr_inline(KV_EEND, out, 0)), QByteArray("Could not retrieve error message"));
}

void TestKvCore::logCallsBeforeInit()
{
    QCOMPARE(kv_log_get(), 1);
    QCOMPARE(kv_err("x %d", 1), 0);
    QCOMPARE(kv_log("y"), 0);
    QCOMPARE(kv_dbg("z"), 0);
    QCOMPARE(kv_log_set(0), 0);
    QCOMPARE(kv_log_get(), 0);
    QCOMPARE(kv_log_set(5), 5);
    QCOMPARE(kv_log_get(), 1);
    QCOMPARE(kv_dbg_set(3), 3);
    QCOMPARE(kv_dbg_get(), 3);
    QCOMPARE(kv_dbg_set(0), 0);
    QCOMPARE(kv_dbg_set_all(2), 2);
    QCOMPARE(kv_dbg_get_all(), 2);
    QCOMPARE(kv_dbg_set_all(0), 0);
}

void TestKvCore::openModes()
{
    QVERIFY(m_dir.isValid());
    writeFile("kilo", QByteArray(1024, 'k'));
    kv_file_t f;
    kv_file_init(&f);

    QCOMPARE(kv_file_openrw(path("kilo"), &f, KV_OPEN_EXISTING), 0);
    kv_stat_t st;
    QCOMPARE(kv_file_fstat(&f, &st), 0);
    QCOMPARE(st.size, uint64_t(1024)); // read-write never truncates
    QCOMPARE(kv_file_close(&f), 0);

    QCOMPARE(kv_file_openwrite(path("kilo"), &f), 0);
    QCOMPARE(kv_file_fstat(&f, &st), 0);
    QCOMPARE(st.size, uint64_t(0));
    QCOMPARE(kv_file_close(&f), 0);

    QCOMPARE(kv_file_openread(path("missing"), &f), ENOENT);
    QVERIFY(!kv_file_valid(&f));
    QCOMPARE(kv_file_openrw(path("missing"), &f, KV_OPEN_EXISTING), ENOENT);
    QCOMPARE(kv_file_openrw(path("created"), &f, 0), 0);
    QVERIFY(QFile::exists(QString::fromUtf8(path("created"))));
    kv_file_close(&f);

    // Append: every write goes to the end, the creation mode is honoured.
    const mode_t oldMask = umask(0);
    QCOMPARE(kv_file_openappend(path("log"), &f, 0640), 0);
    umask(oldMask);
    unsigned written = 0;
    QCOMPARE(kv_file_write(&f, "one", 3, &written), 0);
    QCOMPARE(kv_file_seek(&f, 0, 0), 0);
    QCOMPARE(kv_file_write(&f, "two", 3, &written), 0);
    QCOMPARE(kv_file_fstat(&f, &st), 0);
    QCOMPARE(st.mode & 0777, 0640);
    kv_file_close(&f);
    QFile log(QString::fromUtf8(path("log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("onetwo"));
}

void TestKvCore::readWriteSeek()
{
    kv_file_t f;
    QCOMPARE(kv_file_openrw(path("rw"), &f, 0), 0);
    unsigned n = 99;
    QCOMPARE(kv_file_write(&f, "0123456789", 10, &n), 0);
    QCOMPARE(n, 10u);
    QCOMPARE(kv_file_pwrite(&f, "AB", 2, 4, &n), 0);
    QCOMPARE(n, 2u);

    char buffer[32] = {};
    QCOMPARE(kv_file_seek(&f, -3, 2), 0);
    QCOMPARE(kv_file_read(&f, buffer, sizeof buffer, &n), 0);
    QCOMPARE(n, 3u); // a short read is not an error
    QCOMPARE(QByteArray(buffer, 3), QByteArray("789"));
    QCOMPARE(kv_file_read(&f, buffer, sizeof buffer, &n), 0);
    QCOMPARE(n, 0u); // end of file

    QCOMPARE(kv_file_seek(&f, 0, 0), 0);
    QCOMPARE(kv_file_seek(&f, 2, 1), 0);
    QCOMPARE(kv_file_read(&f, buffer, 4, &n), 0);
    QCOMPARE(QByteArray(buffer, 4), QByteArray("23AB"));

    QCOMPARE(kv_file_seek(&f, -100, 0), EINVAL);
    QCOMPARE(kv_file_seek(&f, 0, 9), EINVAL);

    QCOMPARE(kv_file_truncate(&f, 3), 0);
    kv_stat_t st;
    QCOMPARE(kv_file_fstat(&f, &st), 0);
    QCOMPARE(st.size, uint64_t(3));
    QCOMPARE(kv_file_flush(&f), 0);
    QCOMPARE(kv_file_close(&f), 0);

    // A read-only handle refuses writes and keeps working afterwards.
    QCOMPARE(kv_file_openread(path("rw"), &f), 0);
    QCOMPARE(kv_file_write(&f, "x", 1, &n), EBADF);
    QCOMPARE(n, 0u);
    QCOMPARE(kv_file_read(&f, buffer, sizeof buffer, &n), 0);
    QCOMPARE(QByteArray(buffer, n), QByteArray("012"));
    kv_file_close(&f);
}

void TestKvCore::readRetriesExhaustedResources()
{
    // An empty non-blocking pipe reports EAGAIN: the read retries with its
    // delays and gives up after the tenth retry.
    int fds[2];
    QCOMPARE(pipe2(fds, O_NONBLOCK), 0);
    kv_file_t reader = fds[0];
    char buffer[8];
    unsigned n = 42;
    g_reads = 0;
    g_arriveAtRead = 0;
    g_arrivingFd = fds[1];
    g_watchedFd = fds[0];
    QCOMPARE(kv_file_read(&reader, buffer, sizeof buffer, &n), EAGAIN);
    QCOMPARE(n, 0u);
    QCOMPARE(g_reads.load(), 11);

    // Data that arrives during the retries is read: here just before the
    // seventh read, the second of those that follow a delay.
    g_reads = 0;
    g_arriveAtRead = 7;
    const int rc = kv_file_read(&reader, buffer, sizeof buffer, &n);
    g_watchedFd = -1;
    QCOMPARE(rc, 0);
    QCOMPARE(g_reads.load(), 7);
    QCOMPARE(QByteArray(buffer, n), QByteArray("late"));
    close(fds[0]);
    close(fds[1]);
}

void TestKvCore::statByHandleAndPath()
{
    writeFile("data", QByteArray(300, 'd'));
    QVERIFY(QFile::link(m_dir.filePath("data"), m_dir.filePath("link")));

    struct stat sb;
    QCOMPARE(::stat(path("data"), &sb), 0);

    kv_stat_t st;
    std::memset(&st, 0xAB, sizeof st);
    QCOMPARE(kv_file_stat(path("data"), &st, 0), 0);
    QCOMPARE(st.size, uint64_t(300));
    QCOMPARE(st.type, KV_FTYPE_REG);
    QCOMPARE(st.mode & 0xF000, 0x8000);
    QCOMPARE(st.ino, uint64_t(0)); // only with KV_STAT_INO
    QCOMPARE(st.mtime, int64_t(sb.st_mtime));
    QCOMPARE(st.uid, int(getuid()));

    QCOMPARE(kv_file_stat(path("data"), &st, KV_STAT_INO), 0);
    QCOMPARE(st.ino, uint64_t(sb.st_ino));

    QCOMPARE(kv_file_stat(path("link"), &st, KV_STAT_INO), 0);
    QCOMPARE(st.type, KV_FTYPE_REG); // followed
    QCOMPARE(st.ino, uint64_t(sb.st_ino));
    QCOMPARE(kv_file_stat(path("link"), &st, KV_STAT_NOFOLLOW | KV_STAT_INO), 0);
    QCOMPARE(st.type, KV_FTYPE_LNK);
    QVERIFY(st.ino != uint64_t(sb.st_ino));

    QCOMPARE(kv_file_stat(m_dir.path().toUtf8(), &st, 0), 0);
    QCOMPARE(st.type, KV_FTYPE_DIR);
    QCOMPARE(st.mode & 0xF000, 0x4000);
    QCOMPARE(kv_file_stat("/dev/null", &st, 0), 0);
    QCOMPARE(st.type, KV_FTYPE_CHR);
    QCOMPARE(kv_file_stat(path("nothing"), &st, 0), ENOENT);

    kv_file_t f;
    QCOMPARE(kv_file_openread(path("data"), &f), 0);
    QCOMPARE(kv_file_fstat(&f, &st), 0);
    QCOMPARE(st.size, uint64_t(300));
    QCOMPARE(st.ino, uint64_t(sb.st_ino)); // always filled by handle
    QCOMPARE(st.type, KV_FTYPE_REG);
    kv_file_close(&f);
}

void TestKvCore::nullAndClosedHandles()
{
    QCOMPARE(kv_file_close(nullptr), EINVAL);
    QCOMPARE(kv_file_init(nullptr), EINVAL);
    QVERIFY(!kv_file_valid(nullptr));
    QCOMPARE(kv_file_desc(nullptr), -1);

    kv_file_t f;
    kv_file_init(&f);
    QCOMPARE(kv_file_desc(&f), -1);
    QCOMPARE(kv_file_close(&f), 0); // closed: nothing to do
    QCOMPARE(kv_file_flush(&f), EINVAL);
    QCOMPARE(kv_file_flush(nullptr), EINVAL);

    QCOMPARE(kv_file_openread(path("data"), &f), 0);
    QVERIFY(kv_file_valid(&f));
    QVERIFY(kv_file_desc(&f) >= 0);
    QCOMPARE(kv_file_close(&f), 0);
    QCOMPARE(f, -1);
    QCOMPARE(kv_file_close(&f), 0);
}

QTEST_GUILESS_MAIN(TestKvCore)
#include "test_kv_core.moc"
