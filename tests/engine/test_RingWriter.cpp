// The worker's writer thread on its own: the bytes arrive in the order they were
// committed, round the ring and when the worker steps aside; a failed write
// keeps its errno and stops everything after it.
#include "engine/RingWriter.h"
#include "engine/ThreadPriority.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EnvelopeWriter.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using korvel::test::Bytes;

namespace {

constexpr size_t kBuffer = RingWriter::kBufferSize;
constexpr size_t kRing = kBuffer * RingWriter::kBuffers;

// Commits data in pieces of `piece` bytes (at most kPieceSize); after `asideAfter`
// bytes (when not 0) every core counts as busy, so the writer steps aside. Returns
// the last commit's result.
bool commitAll(RingWriter& writer, const Bytes& data, size_t piece, size_t asideAfter = 0)
{
    bool ok = true;
    for (size_t at = 0; at < data.size(); at += piece) {
        if (asideAfter != 0 && at >= asideAfter)
            RingWriter::setCoreCount(1);
        const size_t length = std::min(piece, data.size() - at);
        std::memcpy(writer.space(), data.data() + at, length);
        ok = writer.commit(length);
    }
    return ok;
}

// A new file for writing, as the worker's output is; -1 on failure.
int createFile(const QString& path)
{
    return open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

// What failedWriteKeepsItsErrno commits.
Bytes failingWriteData()
{
    return korvel::test::patternBytes(kRing + 4 * kBuffer, 8);
}

// Commits failingWriteData() to a writer on fd; 0 when the writer failed with
// `error`. Failing at the fourth buffer at the latest, the writer never frees
// the ring's last buffer: the last commit waits for it and gets the failure.
int writeAndReport(int fd, int error)
{
    RingWriter::setCoreCount(64);
    const RingWriter::BusyWorker busy;
    const std::unique_ptr<RingWriter> writer = RingWriter::start(fd);
    if (!writer)
        return 100;
    if (commitAll(*writer, failingWriteData(), 1024))
        return 101;
    if (writer->finish())
        return 102;
    return writer->error() == error ? 0 : 103;
}

// writeAndReport(args[0], args[1]) with every file limited to a little over
// three buffers.
KORVEL_CHILD_STEP(writeWithFileLimit)
{
    if (!korvel::test::limitFileSize(3 * kBuffer + 100))
        return korvel::test::kChildSetupFailed;
    return writeAndReport(std::stoi(args[0]), std::stoi(args[1]));
}

} // namespace

class TestRingWriter : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { RingWriter::setCoreCount(0); }

    // Large plaintexts overlap while a core is free for the writer; small ones,
    // and any once every core has a busy worker, do not.
    void decidesBySizeAndCores_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("cores");
        QTest::addColumn<int>("otherWorkers");
        QTest::addColumn<bool>("worthwhile");
        const qint64 threshold = qint64(RingWriter::kDefaultThreshold);
        QTest::newRow("small, idle machine") << threshold - 1 << 8 << 0 << false;
        QTest::newRow("large, idle machine") << threshold << 8 << 0 << true;
        QTest::newRow("large, one core") << threshold << 1 << 0 << false;
        QTest::newRow("large, a core left") << threshold << 2 << 0 << true;
        QTest::newRow("large, every core busy") << threshold << 2 << 1 << false;
        QTest::newRow("large, more workers than cores") << 4 * threshold << 4 << 7 << false;
    }

    void decidesBySizeAndCores()
    {
        QFETCH(qint64, size);
        QFETCH(int, cores);
        QFETCH(int, otherWorkers);
        QFETCH(bool, worthwhile);
        QCOMPARE(RingWriter::threshold(), RingWriter::kDefaultThreshold);
        RingWriter::setCoreCount(cores);
        QCOMPARE(RingWriter::coreCount(), cores);
        std::vector<std::unique_ptr<RingWriter::BusyWorker>> others;
        for (int i = 0; i < otherWorkers; ++i)
            others.push_back(std::make_unique<RingWriter::BusyWorker>());
        const RingWriter::BusyWorker self;
        QCOMPARE(RingWriter::worthwhile(static_cast<uint64_t>(size)), worthwhile);
    }

    void keepsTheOrder_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("piece");
        QTest::addColumn<int>("asideAfter");
        QTest::newRow("nothing") << 0 << 1024 << 0;
        QTest::newRow("less than a buffer") << 5000 << 1024 << 0;
        QTest::newRow("round the ring in whole pieces") << int(2 * kRing + 3 * 1024) << 1024 << 0;
        QTest::newRow("round the ring in odd pieces") << int(kRing + 77777) << 1000 << 0;
        QTest::newRow("stepping aside after three buffers") << int(kRing + 4321) << 1024 << int(3 * kBuffer);
        QTest::newRow("stepping aside mid-buffer") << int(kRing + 4321) << 1024 << int(kBuffer / 2);
    }

    void keepsTheOrder()
    {
        QFETCH(int, size);
        QFETCH(int, piece);
        QFETCH(int, asideAfter);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out"));
        const int fd = createFile(path);
        QVERIFY(fd >= 0);
        const Bytes data = korvel::test::patternBytes(static_cast<size_t>(size), 5);
        const RingWriter::BusyWorker busy;
        RingWriter::setCoreCount(64);
        const uint64_t writers = RingWriter::threadsStarted();
        {
            const std::unique_ptr<RingWriter> writer = RingWriter::start(fd);
            QVERIFY(writer);
            QCOMPARE(RingWriter::threadsStarted(), writers + 1);
            QVERIFY(commitAll(*writer, data, static_cast<size_t>(piece), static_cast<size_t>(asideAfter)));
            QVERIFY(writer->finish());
            QCOMPARE(writer->error(), 0);
        }
        close(fd);
        QCOMPARE(korvel::test::readAll(path), korvel::test::toBytes(data));
    }

    void abandonWritesNoMore_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("nothing committed") << 0;
        QTest::newRow("part of a buffer") << 5000;
        QTest::newRow("a buffer and a part") << int(kBuffer + 3000);
        QTest::newRow("round the ring and a part") << int(kRing + 2 * kBuffer + 777);
    }

    // What abandon() leaves is what the writer had written of whole buffers when
    // it was called: the buffer being filled never reaches the file, and nothing
    // does once abandon() has returned.
    void abandonWritesNoMore()
    {
        QFETCH(int, size);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out"));
        const int fd = createFile(path);
        QVERIFY(fd >= 0);
        const Bytes data = korvel::test::patternBytes(static_cast<size_t>(size), 11);
        RingWriter::setCoreCount(64);
        const RingWriter::BusyWorker busy;
        qint64 left = -1;
        {
            const std::unique_ptr<RingWriter> writer = RingWriter::start(fd);
            QVERIFY(writer);
            QVERIFY(commitAll(*writer, data, 1024));
            writer->abandon();
            left = QFileInfo(path).size();
            QCOMPARE(writer->error(), 0);
        }
        close(fd);
        const QByteArray written = korvel::test::readAll(path);
        QCOMPARE(written.size(), left);
        QCOMPARE(written.size() % qsizetype(kBuffer), qsizetype(0));
        QVERIFY(written.size() < size || size == 0);
        QCOMPARE(written, korvel::test::toBytes(data).left(written.size()));
    }

    // The writer thread runs at a background thread's nice value, whoever starts it.
    void writerMakesWayForTheWindow()
    {
        if (ThreadPriority::backgroundNice() == ThreadPriority::currentNice())
            QSKIP("this test runs at the lowest priority already");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out"));
        const int fd = createFile(path);
        QVERIFY(fd >= 0);
        RingWriter::setCoreCount(64);
        const RingWriter::BusyWorker busy;
        const std::unique_ptr<RingWriter> writer = RingWriter::start(fd);
        QVERIFY(writer);
        // One whole buffer goes to the writer; once it is on the file the thread
        // has long set its priority, and it waits for the next buffer.
        QVERIFY(commitAll(*writer, korvel::test::patternBytes(kBuffer, 3), 1024));
        QTRY_COMPARE(QFileInfo(path).size(), qint64(kBuffer));
        QList<int> nices;
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "korvel-writer") {
                errno = 0;
                const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid.toInt()));
                QCOMPARE(errno, 0);
                nices.append(nice);
            }
        }
        QVERIFY(writer->finish());
        close(fd);
        QCOMPARE(nices, QList<int> { ThreadPriority::backgroundNice() });
    }

    void failedWriteKeepsItsErrno_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("error");
        QTest::newRow("read-only descriptor") << "read-only" << EBADF;
        QTest::newRow("full pipe that does not block") << "pipe" << EAGAIN;
        QTest::newRow("file size limit") << "limit" << EFBIG;
    }

    // The failure stops the writer: commits report it once the worker would wait
    // for a buffer, finish() reports it, and what reached the target is a prefix
    // of what was committed.
    void failedWriteKeepsItsErrno()
    {
        QFETCH(QString, target);
        QFETCH(int, error);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out"));
        const Bytes data = failingWriteData();

        QByteArray written;
        if (target == QLatin1String("pipe")) {
            int ends[2];
            QCOMPARE(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
            QCOMPARE(writeAndReport(ends[1], error), 0);
            close(ends[1]);
            char chunk[65536];
            for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;)
                written.append(chunk, n);
            close(ends[0]);
            QVERIFY(!written.isEmpty()); // the pipe took what it could hold
        } else if (target == QLatin1String("read-only")) {
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
            const int fd = open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
            QVERIFY(fd >= 0);
            QCOMPARE(writeAndReport(fd, error), 0);
            close(fd);
            written = korvel::test::readAll(path);
        } else {
            const int fd = createFile(path);
            QVERIFY(fd >= 0);
            const int rc = korvel::test::waitChild(
                korvel::test::startChild("writeWithFileLimit", { std::to_string(fd), std::to_string(error) }, { fd }));
            close(fd);
            QCOMPARE(rc, 0);
            written = korvel::test::readAll(path);
            QCOMPARE(written.size(), qsizetype(3 * kBuffer + 100));
        }
        QCOMPARE(written, korvel::test::toBytes(data).left(written.size()));
    }
};

KORVEL_TEST_MAIN_GUILESS(TestRingWriter)
#include "test_RingWriter.moc"
