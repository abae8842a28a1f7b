// The decrypt worker driven directly with task records and envelopes from the
// test writer: outcomes and messages, the files it leaves, cancellation and reuse.
#include "engine/CryptTask.h"
#include "engine/RingWriter.h"
#include "engine/ThreadPriority.h"
#include "engine/ZervDecryptWorker.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EnvelopeWriter.h"
#include "tests/support/TestFiles.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <acl/libacl.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using korvel::test::Bytes;
using korvel::test::entries;
using korvel::test::readAll;
using korvel::test::toBytes;

namespace {

// Bytes this process has handed to write() so far (/proc/self/io).
qint64 processBytesWritten()
{
    for (const QByteArray& line : readAll(QStringLiteral("/proc/self/io")).split('\n'))
        if (line.startsWith("wchar:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

// A task that lets a test act on the worker's thread right after a given piece
// has been handed out (the worker reports progress once per piece).
class SteeredTask : public CryptTask {
public:
    using CryptTask::CryptTask;

    std::function<void(int piece)> onPiece;

    void setProgress(float progress) override
    {
        CryptTask::setProgress(progress);
        if (onPiece)
            onPiece(++m_pieces);
    }

private:
    int m_pieces = 0; // the worker's thread only
};

// How a run of the producing loop writes its plaintext.
enum class Path {
    Sequential, // through the output file's buffer, on the worker's thread
    Overlapped, // through the writer thread
    SteppingAside, // the writer thread first, then (every core busy) the worker's own thread
};

// All a run leaves behind: the outcome on the task and the worker, and every
// file in the folder apart from the source, with its contents.
struct PathOutcome {
    int status = -1;
    int code = 0;
    QString taskMessage;
    QString workerMessage;
    QString taskReason;
    float progress = 0;
    QMap<QString, QByteArray> files;
    bool overlapped = false; // a writer thread was started
};

QDataStream& operator<<(QDataStream& out, const PathOutcome& o)
{
    return out << o.status << o.code << o.taskMessage << o.workerMessage << o.taskReason << o.progress << o.files
               << o.overlapped;
}

QDataStream& operator>>(QDataStream& in, PathOutcome& o)
{
    return in >> o.status >> o.code >> o.taskMessage >> o.workerMessage >> o.taskReason >> o.progress >> o.files
        >> o.overlapped;
}

const char* pathName(Path path)
{
    switch (path) {
    case Path::Sequential:
        return "sequential";
    case Path::Overlapped:
        return "overlapped";
    case Path::SteppingAside:
        return "stepping aside";
    }
    return "?";
}

// Decrypts source to out on the given path: cancels after piece `cancelAt` (0:
// never) and, on the path that steps aside, makes every core busy after piece
// `asideAt`.
PathOutcome decryptOnPath(Path path, const QString& source, const QString& out, int cancelAt, int asideAt)
{
    RingWriter::setThreshold(path == Path::Sequential ? UINT64_MAX : 0);
    // As many cores as needed for the writer, whatever the machine has.
    RingWriter::setCoreCount(64);
    const uint64_t writers = RingWriter::threadsStarted();
    ZervDecryptWorker worker(3);
    SteeredTask task(source);
    task.setDestination(out);
    task.setPassphrase(QStringLiteral("secret"));
    task.onPiece = [&](int piece) {
        if (piece == cancelAt)
            worker.setCancelled(true);
        if (path == Path::SteppingAside && piece == asideAt)
            RingWriter::setCoreCount(1);
    };
    worker.setTask(&task);
    worker.wait();
    RingWriter::setThreshold(RingWriter::kDefaultThreshold);
    RingWriter::setCoreCount(0);
    PathOutcome outcome;
    outcome.status = task.status();
    outcome.code = worker.resultCode();
    outcome.taskMessage = task.message();
    outcome.workerMessage = worker.message();
    outcome.taskReason = task.reason();
    outcome.progress = task.progress();
    outcome.overlapped = RingWriter::threadsStarted() != writers;
    return outcome;
}

// decryptOnPath(path args[0], source args[1], out args[2], cancel args[3],
// aside args[4]) with every file limited to args[5] bytes; the outcome goes to
// the descriptor args[6].
KORVEL_CHILD_STEP(decryptWithFileLimit)
{
    if (!korvel::test::limitFileSize(std::stoull(args[5])))
        return korvel::test::kChildSetupFailed;
    QByteArray report;
    QDataStream stream(&report, QIODevice::WriteOnly);
    stream << decryptOnPath(Path(std::stoi(args[0])), QString::fromStdString(args[1]), QString::fromStdString(args[2]),
        std::stoi(args[3]), std::stoi(args[4]));
    return write(std::stoi(args[6]), report.constData(), size_t(report.size())) == report.size() ? 0 : 1;
}

// Runs the task args[0] -> args[1] with the passphrase "secret" on a new worker
// (deletion flag args[2]: -1 none, else its value), under the umask args[3]
// (octal; empty: inherited) and the fault args[4], and writes what the task
// record holds then to the file args[5].
KORVEL_CHILD_STEP(runTask)
{
    if (!args[3].empty())
        ::umask(static_cast<mode_t>(std::stoi(args[3], nullptr, 8)));
    const std::string& fault = args[4];
    const bool setUp = fault == "fdatasync" ? korvel::test::failSystemCall(SYS_fdatasync, EIO)
        : fault == "fsync"                  ? korvel::test::failSystemCall(SYS_fsync, EIO)
        : fault == "linkat EPERM"           ? korvel::test::failSystemCall(SYS_linkat, EPERM)
        : fault == "linkat ENOENT"          ? korvel::test::failSystemCall(SYS_linkat, ENOENT)
        : fault == "fsize"                  ? korvel::test::limitFileSize(100 * 1024)
                                            : fault.empty() || fault == "none";
    if (!setUp)
        return korvel::test::kChildSetupFailed;
    const int deletion = std::stoi(args[2]);
    std::atomic<bool> deletesSources { deletion == 1 };
    CryptTask task(QString::fromStdString(args[0]));
    task.setDestination(QString::fromStdString(args[1]));
    task.setPassphrase(QStringLiteral("secret"));
    ZervDecryptWorker worker(0);
    if (deletion >= 0)
        worker.setDeletionFlag(&deletesSources);
    worker.setTask(&task);
    if (!worker.wait(60000))
        return 254;
    QFile out(QString::fromStdString(args[5]));
    if (!out.open(QIODevice::WriteOnly))
        return 253;
    out.write(QByteArray::number(task.status()) + '\n' + task.message().toUtf8() + '\n' + task.reason().toUtf8() + '\n'
        + (task.outputDurable ? "1" : "0") + '\n');
    return 0;
}

} // namespace

class TestZervDecryptWorker : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_reports; // what children report, apart from the files they write

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // What a run in a child left in its task record.
    struct Outcome {
        int status = -1; // below 0: the child did not report (its exit code, negated, less 1000)
        QString message;
        QString reason;
        bool durable = false;
    };

    // Runs a task from source to destination on a new worker in a child, so
    // that a umask (octal; empty: inherited) or a fault set up there stays there;
    // the files it writes are seen here. deletion: -1 gives the worker no
    // deletion flag, 0 or 1 a flag with that value.
    Outcome runTaskInChild(const QString& source, const QString& destination, const QString& umask,
        const QString& fault, int deletion = -1)
    {
        const QString report = m_reports.filePath(QStringLiteral("outcome"));
        QFile::remove(report);
        const int code = korvel::test::runChild("runTask",
            { source.toStdString(), destination.toStdString(), std::to_string(deletion), umask.toStdString(),
                fault.toStdString(), report.toStdString() });
        Outcome outcome;
        if (code != 0) {
            outcome.status = -1000 - code;
            return outcome;
        }
        const QList<QByteArray> lines = readAll(report).split('\n');
        if (lines.size() < 4)
            return outcome;
        outcome.status = lines[0].toInt();
        outcome.message = QString::fromUtf8(lines[1]);
        outcome.reason = QString::fromUtf8(lines[2]);
        outcome.durable = lines[3] == "1";
        return outcome;
    }

    static int modeOf(const QString& file)
    {
        struct stat status { };
        return lstat(QFile::encodeName(file).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
    }

    // Names in the folder that start with a dot: temporary files left behind.
    QStringList hiddenEntries() const
    {
        QStringList hidden;
        for (const QString& name : entries(m_dir.path()))
            if (name.startsWith(QLatin1Char('.')))
                hidden.append(name);
        return hidden;
    }

    // Binds a task to the worker and waits until its thread has ended.
    static void runTask(ZervDecryptWorker& worker, CryptTask& task)
    {
        worker.setTask(&task);
        QVERIFY(worker.wait(60000));
    }

    static CryptTask* makeTask(const QString& source, const QString& destination, const QString& passphrase)
    {
        auto* task = new CryptTask(source);
        task->setDestination(destination);
        task->setPassphrase(passphrase);
        return task;
    }

    // Every file in the folder apart from `source`, with its contents; removed
    // afterwards, so that the next run starts from the same folder.
    QMap<QString, QByteArray> takeOutputs(const QString& source) const
    {
        QMap<QString, QByteArray> files;
        for (const QString& name : entries(m_dir.path())) {
            if (path(name) == source)
                continue;
            files.insert(name, readAll(path(name)));
            QFile::remove(path(name));
        }
        return files;
    }

    // Decrypts source on the given path: cancels after piece `cancelAt` (0: never)
    // and, on the path that steps aside, makes every core busy after piece
    // `asideAt`. With a file-size limit the run happens in a child process, whose
    // limit it is.
    PathOutcome runPath(Path path, const QString& source, int cancelAt, int asideAt, qint64 fileLimit)
    {
        const QString out = this->path(QStringLiteral("out.bin"));
        PathOutcome outcome;
        if (fileLimit == 0) {
            outcome = decryptOnPath(path, source, out, cancelAt, asideAt);
        } else {
            // The child reports through a pipe, which the file-size limit does not reach.
            int channel[2];
            if (pipe2(channel, O_CLOEXEC) != 0)
                return outcome;
            const pid_t child = korvel::test::startChild("decryptWithFileLimit",
                { std::to_string(int(path)), source.toStdString(), out.toStdString(), std::to_string(cancelAt),
                    std::to_string(asideAt), std::to_string(fileLimit), std::to_string(channel[1]) },
                { channel[1] });
            close(channel[1]);
            QByteArray report;
            char chunk[4096];
            for (ssize_t n; (n = read(channel[0], chunk, sizeof chunk)) > 0;)
                report.append(chunk, n);
            close(channel[0]);
            if (korvel::test::waitChild(child) != 0)
                return outcome; // status -1 fails every comparison
            QDataStream stream(report);
            stream >> outcome;
        }
        outcome.files = takeOutputs(source);
        return outcome;
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        for (const QString& name : entries(m_dir.path()))
            QVERIFY(QFileInfo(path(name)).isDir() ? QDir(path(name)).removeRecursively() : QFile::remove(path(name)));
    }

    void decryptsToDestination_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("one byte") << 1;
        QTest::newRow("one piece") << 1024;
        QTest::newRow("pieces and a tail") << 200 * 1024 + 17;
    }

    void decryptsToDestination()
    {
        QFETCH(int, size);
        const Bytes plain = korvel::test::patternBytes(static_cast<size_t>(size), 11);
        const QString source = path(QStringLiteral("doc.txt.korvel-env"));
        // A lone header record (120 bytes) is not an envelope: an empty plaintext
        // needs a second key record to make a valid file.
        korvel::test::EnvelopeOptions options;
        options.passphrases = { "secret", "other" };
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, options));

        ZervDecryptWorker worker(5);
        QSignalSpy completed(&worker, &ZervDecryptWorker::completed);
        QSignalSpy failed(&worker, &ZervDecryptWorker::failed);
        QSignalSpy started(&worker, &ZervDecryptWorker::started);
        QScopedPointer<CryptTask> task(makeTask(source, path(QStringLiteral("doc.txt")), QStringLiteral("secret")));
        runTask(worker, *task);

        QCOMPARE(completed.count(), 1);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(started.count(), 1);
        QCOMPARE(completed.at(0).at(0).value<ZervDecryptWorker*>(), &worker);
        QCOMPARE(task->status(), Task::FINISHED);
        QCOMPARE(task->progress(), 1.0f);
        QCOMPARE(task->workerId.load(), 5);
        QCOMPARE(worker.resultCode(), ZervDecryptWorker::Success);
        QVERIFY(worker.errorText().isEmpty());
        QCOMPARE(readAll(path(QStringLiteral("doc.txt"))), toBytes(plain));
        QVERIFY(!task->destinationSuffixed);
        // Without a deletion flag the worker takes the safe side: a deletion may follow.
        QVERIFY(task->outputDurable);
        QVERIFY(task->reason().isEmpty());
        // Nothing else (no temporary file) is left behind.
        QCOMPARE(entries(m_dir.path()), (QStringList { "doc.txt", "doc.txt.korvel-env" }));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("outputKept");
        QTest::addColumn<QString>("reason"); // the system's text for a failed write
        QTest::newRow("missing source") << "missing" << int(ZervDecryptWorker::InvalidSource)
                                        << "Source file does not exist. Code: -3" << false << "";
        QTest::newRow("folder source") << "folder" << int(ZervDecryptWorker::InvalidSource)
                                       << "Source is not a file. Code: -3" << false << "";
        QTest::newRow("wrong passphrase") << "passphrase" << int(ZervDecryptWorker::PassphraseOrReadFailed)
                                          << "Passphrase doesn't match Code: 1" << false << "";
        QTest::newRow("not an envelope") << "garbage" << int(ZervDecryptWorker::EnvelopeCorrupt)
                                         << "Input file is corrupted or not encrypted. Code: 2" << false << "";
        QTest::newRow("unwritable destination")
            << "nofolder" << int(ZervDecryptWorker::DestinationUnwritable)
            << "Could not write to destination. - Code: -1" << false << "No such file or directory";
        QTest::newRow("read failure keeps partial output")
            << "short" << int(ZervDecryptWorker::PassphraseOrReadFailed) << "Read failed Code: 1" << true << "";
        // The name's own fault: not taken for a missing /proc.
        QTest::newRow("destination name over the limit")
            << "longname" << int(ZervDecryptWorker::DestinationUnwritable)
            << "Could not write to destination. - Code: -1" << false << "File name too long";
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, outputKept);
        QFETCH(QString, reason);

        const Bytes plain = korvel::test::patternBytes(200 * 1024, 3);
        QString source = path(QStringLiteral("in.bin.korvel-env"));
        QString destination = path(QStringLiteral("in.bin"));
        QString passphrase = QStringLiteral("secret");
        korvel::test::EnvelopeOptions options;
        if (kind == QLatin1String("folder")) {
            source = path(QStringLiteral("folder.korvel-env"));
            QVERIFY(QDir().mkdir(source));
        } else if (kind == QLatin1String("garbage")) {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        } else if (kind != QLatin1String("missing")) {
            if (kind == QLatin1String("short"))
                options.declaredSize = 10u << 20; // the data runs out after three full buffers
            QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, options));
        }
        if (kind == QLatin1String("passphrase"))
            passphrase = QStringLiteral("wrong");
        if (kind == QLatin1String("nofolder"))
            destination = path(QStringLiteral("no/such/folder/in.bin"));
        if (kind == QLatin1String("longname"))
            destination = path(QString(300, QLatin1Char('n')));

        ZervDecryptWorker worker(0);
        QSignalSpy completed(&worker, &ZervDecryptWorker::completed);
        QSignalSpy failed(&worker, &ZervDecryptWorker::failed);
        QScopedPointer<CryptTask> task(makeTask(source, destination, passphrase));
        runTask(worker, *task);

        QCOMPARE(completed.count(), 0);
        QCOMPARE(failed.count(), 1);
        QCOMPARE(worker.resultCode(), code);
        QCOMPARE(task->status(), Task::FAILED);
        QCOMPARE(task->message(), message);
        QCOMPARE(worker.errorText(), message);
        QCOMPARE(task->statusText(), QStringLiteral("Error (%1)").arg(message));
        QCOMPARE(task->reason(), reason);
        QCOMPARE(worker.reason(), reason);
        QStringList expected = entries(m_dir.path());
        if (outputKept) {
            const QByteArray kept = readAll(destination);
            QCOMPARE(kept.size(), 3 * 65536);
            QCOMPARE(kept, toBytes(plain).left(kept.size()));
            expected = QStringList { "in.bin", "in.bin.korvel-env" };
        } else {
            QVERIFY(!QFile::exists(destination));
        }
        // No temporary file is left behind, and later outputs are still linked
        // into place, not written as hidden temporaries.
        for (const QString& name : entries(m_dir.path()))
            QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
        if (outputKept)
            QCOMPARE(entries(m_dir.path()), expected);
        QVERIFY(!ZervDecryptWorker::writesHiddenTemporaries());
    }

    // The overlapped path, also when it steps aside part-way, leaves exactly what
    // the sequential path leaves: the same output bytes (at the read and piece
    // boundaries and across the ring of buffers), the same outcome after a read
    // failure, a cancel or a failed write part-way, and nothing written after a
    // failure or a cancel.
    void overlappedLeavesWhatSequentialLeaves_data()
    {
        QTest::addColumn<int>("size"); // plaintext bytes in the file
        QTest::addColumn<qint64>("declared"); // plaintext size in the header; -1: the real one
        QTest::addColumn<int>("cancelAt"); // piece after which the worker is cancelled; 0: never
        QTest::addColumn<qint64>("fileLimit"); // RLIMIT_FSIZE for the run; 0: none
        QTest::addColumn<QString>("expected"); // complete, partial, cancelled or unwritten
        QTest::addColumn<int>("keptBytes"); // of a partial output

        constexpr int kBuffer = static_cast<int>(RingWriter::kBufferSize);
        constexpr int kRing = kBuffer * static_cast<int>(RingWriter::kBuffers);
        const struct {
            const char* name;
            int size;
        } complete[] = {
            { "empty", 0 },
            { "one byte", 1 },
            { "one piece less a byte", 1023 },
            { "one piece", 1024 },
            { "one piece and a byte", 1025 },
            { "one read less a byte", 65535 },
            { "one read", 65536 },
            { "one read and a byte", 65537 },
            { "three reads and a tail", 3 * 65536 + 1000 },
            { "one buffer less a byte", kBuffer - 1 },
            { "one buffer", kBuffer },
            { "one buffer and a byte", kBuffer + 1 },
            { "the whole ring", kRing },
            { "round the ring", kRing + 70001 },
        };
        for (const auto& row : complete)
            QTest::newRow(row.name) << row.size << qint64(-1) << 0 << qint64(0) << "complete" << 0;

        // The data runs out before the declared size: "Read failed" once the file ends.
        QTest::newRow("read failure early on")
            << 200 * 1024 << qint64(10 << 20) << 0 << qint64(0) << "partial" << 3 * 65536;
        QTest::newRow("read failure past the ring")
            << kRing + 5 * 65536 << qint64(64 << 20) << 0 << qint64(0) << "partial" << kRing + 5 * 65536;

        const int big = 3 * kRing + 12345;
        QTest::newRow("cancel after the first piece") << big << qint64(-1) << 1 << qint64(0) << "cancelled" << 0;
        QTest::newRow("cancel as a buffer fills")
            << big << qint64(-1) << kBuffer / 1024 << qint64(0) << "cancelled" << 0;
        QTest::newRow("cancel mid-buffer") << big << qint64(-1) << 300 << qint64(0) << "cancelled" << 0;
        QTest::newRow("cancel past the ring")
            << big << qint64(-1) << kRing / 1024 + 100 << qint64(0) << "cancelled" << 0;

        QTest::newRow("write failure in the first buffer")
            << big << qint64(-1) << 0 << qint64(kBuffer / 2) << "unwritten" << 0;
        QTest::newRow("write failure at a buffer's end")
            << big << qint64(-1) << 0 << qint64(kBuffer) << "unwritten" << 0;
        QTest::newRow("write failure past the ring") << big << qint64(-1) << 0 << qint64(kRing + 5) << "unwritten" << 0;
        QTest::newRow("write failure in the last bytes")
            << big << qint64(-1) << 0 << qint64(big - 10) << "unwritten" << 0;
        // Bytes lost in writing before a failed read: the write failure counts.
        QTest::newRow("write failure before a read failure")
            << 40 * 65536 << qint64(64 << 20) << 0 << qint64(20 * 65536) << "unwritten" << 0;
        QTest::newRow("write failure just before a read failure")
            << 40 * 65536 << qint64(64 << 20) << 0 << qint64(40 * 65536 - 8192) << "unwritten" << 0;
    }

    void overlappedLeavesWhatSequentialLeaves()
    {
        QFETCH(int, size);
        QFETCH(qint64, declared);
        QFETCH(int, cancelAt);
        QFETCH(qint64, fileLimit);
        QFETCH(QString, expected);
        QFETCH(int, keptBytes);

        const Bytes plain = korvel::test::patternBytes(static_cast<size_t>(size), 21);
        const QString source = path(QStringLiteral("in.bin.korvel-env"));
        korvel::test::EnvelopeOptions options;
        options.passphrases = { "secret", "other" }; // an empty plaintext needs more than a header record
        if (declared >= 0)
            options.declaredSize = static_cast<uint64_t>(declared);
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, options));
        const int pieces = (declared >= 0 ? keptBytes : size) / 1024;

        const PathOutcome sequential = runPath(Path::Sequential, source, cancelAt, 0, fileLimit);
        QVERIFY(!sequential.overlapped);
        const QString output = QStringLiteral("out.bin");
        if (expected == QLatin1String("complete")) {
            QCOMPARE(sequential.status, int(Task::FINISHED));
            QCOMPARE(sequential.code, int(ZervDecryptWorker::Success));
            QCOMPARE(sequential.files.keys(), QStringList { output });
            QCOMPARE(sequential.files.value(output), toBytes(plain));
        } else if (expected == QLatin1String("partial")) {
            QCOMPARE(sequential.status, int(Task::FAILED));
            QCOMPARE(sequential.taskMessage, QStringLiteral("Read failed Code: 1"));
            QCOMPARE(sequential.files.keys(), QStringList { output });
            QCOMPARE(sequential.files.value(output), toBytes(plain).left(keptBytes));
        } else if (expected == QLatin1String("cancelled")) {
            QCOMPARE(sequential.status, int(Task::CANCELLED));
            QCOMPARE(sequential.workerMessage, QStringLiteral("Cancelled by user"));
            QCOMPARE(sequential.progress, float(cancelAt * 1024.0 / QFileInfo(source).size()));
            QVERIFY(sequential.files.isEmpty());
        } else {
            QCOMPARE(sequential.status, int(Task::FAILED));
            QCOMPARE(sequential.taskMessage, QStringLiteral("Could not write out to device. Code: -5"));
            QCOMPARE(sequential.taskReason, QString::fromLocal8Bit(std::strerror(EFBIG)));
            QVERIFY(sequential.files.isEmpty());
        }
        if (expected != QLatin1String("unwritten"))
            QCOMPARE(sequential.taskReason, QString());

        for (const Path path : { Path::Overlapped, Path::SteppingAside }) {
            const PathOutcome other = runPath(path, source, cancelAt, qMax(1, pieces / 2), fileLimit);
            const QByteArray which = pathName(path);
            QVERIFY2(other.overlapped, which);
            QVERIFY2(other.status == sequential.status, which);
            QVERIFY2(other.code == sequential.code, which);
            QVERIFY2(other.taskMessage == sequential.taskMessage, which);
            QVERIFY2(other.workerMessage == sequential.workerMessage, which);
            QVERIFY2(other.taskReason == sequential.taskReason, which);
            // A failed write shows when its data reaches the file, which the two
            // paths buffer differently; everything else stops at the same piece.
            if (expected != QLatin1String("unwritten"))
                QVERIFY2(other.progress == sequential.progress, which);
            QVERIFY2(other.files.keys() == sequential.files.keys(), which);
            QVERIFY2(other.files == sequential.files, which);
        }
    }

    void nullTaskIsRefused()
    {
        ZervDecryptWorker worker(1);
        worker.setTask(nullptr);
        QVERIFY(!worker.isRunning());
        QCOMPARE(worker.resultCode(), ZervDecryptWorker::InvalidSource);
        QCOMPARE(worker.errorText(), QStringLiteral("Invalid file Code: -3"));
        worker.reset();
        QCOMPARE(worker.resultCode(), ZervDecryptWorker::Success);
        QVERIFY(worker.errorText().isEmpty());
    }

    void cancelledTaskLeavesNothing()
    {
        const Bytes plain = korvel::test::patternBytes(64 * 1024, 5);
        const QString source = path(QStringLiteral("big.korvel-env"));
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, {}));

        ZervDecryptWorker worker(2);
        QSignalSpy failed(&worker, &ZervDecryptWorker::failed);
        QScopedPointer<CryptTask> task(makeTask(source, path(QStringLiteral("big")), QStringLiteral("secret")));
        // Cancelled before the first piece: the worker stops after writing it.
        worker.setCancelled(true);
        runTask(worker, *task);

        QCOMPARE(failed.count(), 1);
        QCOMPARE(task->status(), Task::CANCELLED);
        QCOMPARE(task->statusText(), QStringLiteral("Cancelled"));
        QVERIFY(task->message().isEmpty());
        QCOMPARE(worker.resultCode(), ZervDecryptWorker::OutputDiscarded);
        QCOMPARE(worker.message(), QStringLiteral("Cancelled by user"));
        const float reached = 1024.0f / QFileInfo(source).size();
        QCOMPARE(task->progress(), reached);
        QCOMPARE(entries(m_dir.path()), QStringList { "big.korvel-env" });
    }

    void reusedWorkerStartsFromZero()
    {
        const QString first = path(QStringLiteral("first.korvel-env"));
        const QString second = path(QStringLiteral("second.korvel-env"));
        QVERIFY(korvel::test::writeEnvelope(first.toStdString(), korvel::test::patternBytes(50000, 1), {}));
        QVERIFY(korvel::test::writeEnvelope(second.toStdString(), korvel::test::patternBytes(30000, 2), {}));

        ZervDecryptWorker worker(7);
        QScopedPointer<CryptTask> one(makeTask(first, path(QStringLiteral("first")), QStringLiteral("secret")));
        runTask(worker, *one);
        QCOMPARE(one->status(), Task::FINISHED);
        worker.reset();
        QVERIFY(worker.task() == nullptr);
        QCOMPARE(worker.progressFraction(), 0.0f);

        QScopedPointer<CryptTask> two(makeTask(second, path(QStringLiteral("second")), QStringLiteral("secret")));
        worker.setCancelled(true);
        runTask(worker, *two);
        QCOMPARE(two->status(), Task::CANCELLED);
        QCOMPARE(two->progress(), 1024.0f / QFileInfo(second).size());
        QCOMPARE(two->workerId.load(), 7);
    }

    // A resident worker runs one task after another on the same thread, lowered
    // in priority once, and each task ends as it would on a thread of its own.
    void residentWorkerTakesTaskAfterTask_data()
    {
        QTest::addColumn<QStringList>("passphrases");
        QTest::addColumn<QList<bool>>("cancels");
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("three successes") << QStringList { "secret", "secret", "secret" }
                                         << QList<bool> { false, false, false }
                                         << QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED };
        QTest::newRow("failure between successes")
            << QStringList { "secret", "wrong", "secret" } << QList<bool> { false, false, false }
            << QList<int> { Task::FINISHED, Task::FAILED, Task::FINISHED };
        QTest::newRow("cancelled then success") << QStringList { "secret", "secret" } << QList<bool> { true, false }
                                                << QList<int> { Task::CANCELLED, Task::FINISHED };
    }

    void residentWorkerTakesTaskAfterTask()
    {
        QFETCH(QStringList, passphrases);
        QFETCH(QList<bool>, cancels);
        QFETCH(QList<int>, statuses);
        ZervDecryptWorker worker(4);
        worker.setResident(true);
        QSignalSpy completed(&worker, &ZervDecryptWorker::completed);
        QSignalSpy failed(&worker, &ZervDecryptWorker::failed);
        QList<long> threads;
        QList<int> nices;
        connect(
            &worker, &ZervDecryptWorker::started, &worker,
            [&](ZervDecryptWorker*) {
                threads.append(static_cast<long>(::syscall(SYS_gettid)));
                nices.append(ThreadPriority::currentNice());
            },
            Qt::DirectConnection);
        for (qsizetype i = 0; i < passphrases.size(); ++i) {
            const QString name = QStringLiteral("f%1").arg(i);
            const QString source = path(name + QStringLiteral(".korvel-env"));
            const Bytes plain = korvel::test::patternBytes(3000 + static_cast<size_t>(i), static_cast<int>(i));
            QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, {}));
            QScopedPointer<CryptTask> task(makeTask(source, path(name), passphrases.at(i)));
            worker.setCancelled(cancels.at(i));
            worker.setTask(task.data());
            QVERIFY(worker.waitForTask(60000));
            QCOMPARE(completed.count() + failed.count(), static_cast<int>(i) + 1);
            QCOMPARE(static_cast<int>(task->status()), statuses.at(i));
            QCOMPARE(QFileInfo::exists(path(name)), statuses.at(i) == Task::FINISHED);
            if (statuses.at(i) == Task::FINISHED)
                QCOMPARE(readAll(path(name)), toBytes(plain));
            QVERIFY(worker.isRunning());
            worker.reset();
            QVERIFY(worker.task() == nullptr);
        }
        QCOMPARE(threads.size(), passphrases.size());
        for (qsizetype i = 0; i < threads.size(); ++i) {
            QCOMPARE(threads.at(i), threads.first());
            QCOMPARE(nices.at(i), ThreadPriority::backgroundNice());
        }
    }

    // A name taken while the worker ran (by a file or a link) is never replaced
    // or written through: the output moves on along the "(decrypted)" sequence.
    void takenDestinationIsNeverReplaced_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<QString>("expected");
        QTest::newRow("file") << QStringList { "doc.txt" } << QStringList {} << "doc(decrypted).txt";
        QTest::newRow("file and first tag")
            << QStringList { "doc.txt", "doc(decrypted).txt" } << QStringList {} << "doc(decrypted 2).txt";
        QTest::newRow("dangling link") << QStringList {} << QStringList { "doc.txt" } << "doc(decrypted).txt";
        QTest::newRow("link to a file") << QStringList { "target" } << QStringList { "doc.txt" }
                                        << "doc(decrypted).txt";
    }

    void takenDestinationIsNeverReplaced()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, links);
        QFETCH(QString, expected);
        const Bytes plain = korvel::test::patternBytes(5000, 9);
        const QString source = path(QStringLiteral("doc.txt.korvel-env"));
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, {}));
        for (const QString& name : files) {
            QFile file(path(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("mine");
        }
        for (const QString& name : links)
            QVERIFY(QFile::link(path(files.isEmpty() ? QStringLiteral("nowhere") : files.first()), path(name)));

        ZervDecryptWorker worker(0);
        QScopedPointer<CryptTask> task(makeTask(source, path(QStringLiteral("doc.txt")), QStringLiteral("secret")));
        runTask(worker, *task);

        QCOMPARE(task->status(), Task::FINISHED);
        QCOMPARE(task->destination(), path(expected));
        QVERIFY(task->destinationSuffixed);
        QCOMPARE(readAll(path(expected)), toBytes(plain));
        for (const QString& name : files)
            QCOMPARE(readAll(path(name)), QByteArray("mine"));
        for (const QString& name : links)
            QVERIFY(QFileInfo(path(name)).isSymLink());
    }

    // Each candidate passphrase is tried on the key records alone: the one that
    // matches is the only one that decrypts anything.
    void candidatePassphrases_data()
    {
        QTest::addColumn<QStringList>("candidates");
        QTest::addColumn<int>("matched"); // -1: none
        QTest::newRow("first of two") << QStringList { "secret", "other" } << 0;
        QTest::newRow("after seven wrong ones") << QStringList { "a", "b", "c", "d", "e", "f", "g", "second" } << 7;
        QTest::newRow("a key record's passphrase") << QStringList { "nope", "second" } << 1;
        QTest::newRow("none") << QStringList { "nope", "neither", "" } << -1;
    }

    void candidatePassphrases()
    {
        QFETCH(QStringList, candidates);
        QFETCH(int, matched);
        const Bytes plain = korvel::test::patternBytes(1 << 20, 21);
        const QString source = path(QStringLiteral("doc.bin.korvel-env"));
        korvel::test::EnvelopeOptions options;
        options.passphrases = { "secret", "second" };
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, options));

        ZervDecryptWorker worker(3);
        QScopedPointer<CryptTask> task(new CryptTask(source));
        task->setDestination(path(QStringLiteral("doc.bin")));
        task->setPassphrases(candidates);
        const qint64 writtenBefore = processBytesWritten();
        runTask(worker, *task);
        const qint64 written = processBytesWritten() - writtenBefore;

        QCOMPARE(task->passphraseIndex.load(), matched);
        if (matched < 0) {
            QCOMPARE(task->status(), Task::FAILED);
            QCOMPARE(task->message(), QStringLiteral("Passphrase doesn't match Code: 1"));
            QCOMPARE(entries(m_dir.path()), QStringList { "doc.bin.korvel-env" });
            QVERIFY2(written < 4096, qPrintable(QString::number(written)));
            return;
        }
        QCOMPARE(task->status(), Task::FINISHED);
        QCOMPARE(readAll(path(QStringLiteral("doc.bin"))), toBytes(plain));
        QCOMPARE(entries(m_dir.path()), (QStringList { "doc.bin", "doc.bin.korvel-env" }));
        // One plaintext's worth of writes, whatever the number of wrong candidates.
        QVERIFY2(written >= qint64(plain.size()) && written < qint64(plain.size()) + 65536,
            qPrintable(QString::number(written)));
    }

    // A test decrypts to the end and writes nothing, whatever its outcome.
    void verifyOnlyWritesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("sound") << "sound" << int(Task::FINISHED) << "";
        QTest::newRow("wrong passphrase") << "passphrase" << int(Task::FAILED) << "Passphrase doesn't match Code: 1";
        QTest::newRow("data cut short") << "short" << int(Task::FAILED) << "Read failed Code: 1";
        QTest::newRow("cancelled") << "cancel" << int(Task::CANCELLED) << "";
    }

    void verifyOnlyWritesNothing()
    {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, message);
        const Bytes plain = korvel::test::patternBytes(300 * 1024, 8);
        const QString source = path(QStringLiteral("t.bin.korvel-env"));
        korvel::test::EnvelopeOptions options;
        if (kind == QLatin1String("short"))
            options.declaredSize = 1u << 20;
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, options));
        const QByteArray before = readAll(source);

        ZervDecryptWorker worker(4);
        QScopedPointer<CryptTask> task(new CryptTask(source));
        task->verifyOnly = true;
        task->setPassphrase(kind == QLatin1String("passphrase") ? QStringLiteral("wrong") : QStringLiteral("secret"));
        if (kind == QLatin1String("cancel"))
            worker.setCancelled(true);
        const qint64 writtenBefore = processBytesWritten();
        runTask(worker, *task);
        const qint64 written = processBytesWritten() - writtenBefore;

        QCOMPARE(int(task->status()), status);
        QCOMPARE(task->message(), message);
        if (status == Task::FINISHED)
            QCOMPARE(task->progress(), 1.0f);
        QVERIFY(task->destination().isEmpty());
        QCOMPARE(entries(m_dir.path()), QStringList { "t.bin.korvel-env" });
        QCOMPARE(readAll(source), before);
        QVERIFY2(written < 4096, qPrintable(QString::number(written)));
    }

    // Nor by another group, or another user of an ACL: the plaintext takes its
    // envelope's group and access ACL.
    void outputFollowsEnvelopeGroupAndAcl_data()
    {
        QTest::addColumn<int>("group"); // the envelope's group; -1: the process's own
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("acl"); // the envelope's access ACL; empty: none beyond its mode
        QTest::addColumn<int>("expectedMode");
        QTest::newRow("another group") << 4343 << 0640 << "" << 0640;
        QTest::newRow("another group, none of its bits") << 4343 << 0600 << "" << 0600;
        QTest::newRow("a user's entry") << -1 << 0600 << "u::rw-,g::---,o::---,u:4242:r--,m::r--" << 0640;
        QTest::newRow("a group's entry, under another group")
            << 4343 << 0600 << "u::rw-,g::---,o::---,g:4444:r--,m::r--" << 0640;
    }

    void outputFollowsEnvelopeGroupAndAcl()
    {
        QFETCH(int, group);
        QFETCH(int, mode);
        QFETCH(QString, acl);
        QFETCH(int, expectedMode);
        if (group >= 0 && geteuid() != 0)
            QSKIP("giving the envelope a group the test is not in needs root");
        const Bytes plain = korvel::test::patternBytes(5000, 8);
        const QString source = path(QStringLiteral("doc.txt.korvel-env"));
        const QByteArray encoded = QFile::encodeName(source);
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, {}));
        QCOMPARE(::chmod(encoded.constData(), static_cast<mode_t>(mode)), 0);
        if (group >= 0)
            QCOMPARE(::chown(encoded.constData(), static_cast<uid_t>(-1), static_cast<gid_t>(group)), 0);
        if (!acl.isEmpty()) {
            acl_t entries = acl_from_text(acl.toUtf8().constData());
            QVERIFY(entries);
            const int set = acl_set_file(encoded.constData(), ACL_TYPE_ACCESS, entries);
            acl_free(entries);
            if (set != 0 && errno == EOPNOTSUPP)
                QSKIP("no ACLs on the test's file system");
            QCOMPARE(set, 0);
        }
        struct stat envelope { };
        QCOMPARE(::stat(encoded.constData(), &envelope), 0);

        const QString destination = path(QStringLiteral("doc.txt"));
        ZervDecryptWorker worker(0);
        QScopedPointer<CryptTask> task(makeTask(source, destination, QStringLiteral("secret")));
        runTask(worker, *task);
        QCOMPARE(task->status(), Task::FINISHED);
        QCOMPARE(readAll(destination), toBytes(plain));
        struct stat plaintext { };
        QCOMPARE(::stat(QFile::encodeName(destination).constData(), &plaintext), 0);
        QCOMPARE(plaintext.st_gid, envelope.st_gid);
        QCOMPARE(int(plaintext.st_mode & 07777), expectedMode);
        const auto aclText = [](const QByteArray& file) {
            acl_t entries = acl_get_file(file.constData(), ACL_TYPE_ACCESS);
            char* text = entries ? acl_to_any_text(entries, nullptr, ',', TEXT_ABBREVIATE) : nullptr;
            const QByteArray result(text ? text : "");
            acl_free(text);
            acl_free(entries);
            return result;
        };
        QCOMPARE(aclText(QFile::encodeName(destination)), aclText(encoded));
    }

    // A plaintext is never more readable than its envelope: the envelope's read
    // and write bits, less the umask, whichever way the output gets its name.
    void outputIsNoMoreReadableThanItsEnvelope_data()
    {
        QTest::addColumn<int>("envelopeMode");
        QTest::addColumn<int>("umask");
        QTest::addColumn<QString>("way");
        QTest::addColumn<int>("expected");
        const QStringList ways { "linked", "tagged", "renamed" };
        for (const int mode : { 0600, 0640, 0644 }) {
            for (const int mask : { 022, 077 }) {
                for (const QString& way : ways) {
                    QTest::addRow("%o, umask %03o, %s", mode, mask, qPrintable(way))
                        << mode << mask << way << (mode & 0666 & ~mask);
                }
            }
        }
        QTest::newRow("execute bits dropped") << 0755 << 022 << "linked" << 0644;
    }

    void outputIsNoMoreReadableThanItsEnvelope()
    {
        QFETCH(int, envelopeMode);
        QFETCH(int, umask);
        QFETCH(QString, way);
        QFETCH(int, expected);

        const Bytes plain = korvel::test::patternBytes(70000, 21);
        const QString source = path(QStringLiteral("doc.txt.korvel-env"));
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, {}));
        QCOMPARE(::chmod(QFile::encodeName(source).constData(), static_cast<mode_t>(envelopeMode)), 0);
        QString destination = path(QStringLiteral("doc.txt"));
        if (way == QLatin1String("tagged")) {
            // Taken while the worker ran: the output goes to the next "(decrypted)" name.
            QFile taken(destination);
            QVERIFY(taken.open(QIODevice::WriteOnly));
            taken.write("mine");
            taken.close();
            destination = path(QStringLiteral("doc(decrypted).txt"));
        }

        // Without /proc the unnamed file cannot be linked: it is renamed from a hidden copy.
        const Outcome outcome = runTaskInChild(source, path(QStringLiteral("doc.txt")), QString::number(umask, 8),
            way == QLatin1String("renamed") ? QStringLiteral("linkat ENOENT") : QString());
        QCOMPARE(outcome.status, int(Task::FINISHED));
        QCOMPARE(readAll(destination), toBytes(plain));
        QCOMPARE(modeOf(destination), expected);
        QCOMPARE(hiddenEntries(), QStringList());
    }

    // Faults while the output is written, flushed and named: the task fails with
    // the fixed text and the system's reason, the source stays as it was, and
    // nothing is left but what the row says.
    void outcomesUnderFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("deletion"); // -1: the worker has no deletion flag
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("outputKept");
        QTest::addColumn<bool>("durable");

        const QString writeFailed = QStringLiteral("Could not write out to device. Code: -5");
        const QString destinationFailed = QStringLiteral("Could not write to destination. - Code: -1");
        QTest::newRow("deletion on") << "none" << 1 << int(Task::FINISHED) << ""
                                     << "" << true << true;
        QTest::newRow("deletion off: no flush") << "fdatasync" << 0 << int(Task::FINISHED) << ""
                                                << "" << true << false;
        QTest::newRow("deletion on: data flush fails")
            << "fdatasync" << 1 << int(Task::FAILED) << writeFailed << "Input/output error" << false << false;
        QTest::newRow("no flag: data flush fails")
            << "fdatasync" << -1 << int(Task::FAILED) << writeFailed << "Input/output error" << false << false;
        // The complete plaintext keeps its name; the failure keeps the source from being deleted.
        QTest::newRow("deletion on: folder flush fails")
            << "fsync" << 1 << int(Task::FAILED) << destinationFailed << "Input/output error" << true << false;
        QTest::newRow("linking fails (EPERM): renamed instead") << "linkat EPERM" << 1 << int(Task::FINISHED) << ""
                                                                << "" << true << true;
        QTest::newRow("file size limit") << "fsize" << 0 << int(Task::FAILED) << writeFailed << "File too large"
                                         << false << false;
    }

    void outcomesUnderFaults()
    {
        QFETCH(QString, fault);
        QFETCH(int, deletion);
        QFETCH(int, status);
        QFETCH(QString, message);
        QFETCH(QString, reason);
        QFETCH(bool, outputKept);
        QFETCH(bool, durable);

        const Bytes plain = korvel::test::patternBytes(300 * 1024 + 5, 17);
        const QString source = path(QStringLiteral("data.bin.korvel-env"));
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), plain, {}));
        const QByteArray envelope = readAll(source);
        const QString destination = path(QStringLiteral("data.bin"));

        const Outcome outcome = runTaskInChild(source, destination, QString(), fault, deletion);
        QCOMPARE(outcome.status, status);
        QCOMPARE(outcome.message, message);
        QCOMPARE(outcome.reason, reason);
        QCOMPARE(outcome.durable, durable);
        QCOMPARE(readAll(source), envelope);
        if (outputKept)
            QCOMPARE(readAll(destination), toBytes(plain));
        else
            QVERIFY(!QFileInfo::exists(destination));
        QCOMPARE(hiddenEntries(), QStringList());
    }

    void destructionWaitsForTheThread()
    {
        const QString source = path(QStringLiteral("big.korvel-env"));
        QVERIFY(korvel::test::writeEnvelope(source.toStdString(), korvel::test::patternBytes(4 << 20, 4), {}));
        QScopedPointer<CryptTask> task(makeTask(source, path(QStringLiteral("big")), QStringLiteral("secret")));
        {
            ZervDecryptWorker worker(0);
            worker.setTask(task.data());
        } // destroyed while (most likely) still decrypting
        QVERIFY(task->status() == Task::CANCELLED || task->status() == Task::FINISHED);
        for (const QString& name : entries(m_dir.path()))
            QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
    }
};

KORVEL_TEST_MAIN_GUILESS(TestZervDecryptWorker)
#include "test_ZervDecryptWorker.moc"
