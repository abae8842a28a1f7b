// The decrypt manager driven end to end: real workers, envelopes from the test
// writer in temporary folders, and the signals the main window listens to.
#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "engine/FileIdentity.h"
#include "engine/FileLoading.h"
#include "engine/SourceRemover.h"
#include "engine/ThreadPriority.h"
#include "engine/ZervDecryptWorker.h"
#include "tests/support/EnvelopeWriter.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMultiHash>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <new>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using korvel::test::Bytes;
using korvel::test::entries;
using korvel::test::readAll;
using korvel::test::toBytes;

namespace {

// Record allocation failure: the manager allocates its task records with a
// non-throwing new on the dispatch thread; the test can make the next ones fail.
std::atomic<int> g_failRecordAllocations { 0 };
std::atomic<QThread*> g_dispatchThread { nullptr };
// The nice value the dispatch thread had when it last made a record.
std::atomic<int> g_dispatchNice { -100 };

// The calling thread's nice value, read without the code under test.
int niceOfThisThread()
{
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

} // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (QThread::currentThread() == g_dispatchThread.load())
        g_dispatchNice = niceOfThisThread();
    if (g_failRecordAllocations.load() > 0 && QThread::currentThread() == g_dispatchThread.load()
        && g_failRecordAllocations.fetch_sub(1) > 0)
        return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

QStringList sources(const QList<CryptTask*>& tasks)
{
    QStringList list;
    for (const CryptTask* task : tasks)
        list.append(task->loadedSource());
    return list;
}

// The /proc folder of the manager's dispatch thread; empty when it is not found.
QString dispatchThreadFolder()
{
    QDirIterator it(QStringLiteral("/proc/self/task"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString task = it.next();
        if (readAll(task + QStringLiteral("/comm")).trimmed() == "DecryptManager")
            return task;
    }
    return {};
}

// State letter of a thread in /proc ('R' running or runnable, 'S' sleeping); 0
// when it is gone.
char threadState(const QString& folder)
{
    const QByteArray stat = readAll(folder + QStringLiteral("/stat"));
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() ? stat.at(close + 2) : 0;
}

// How often the scheduler has switched a thread out, by its choice or not; -1
// when it is gone. A thread blocked on a wait condition is never switched.
qint64 contextSwitches(const QString& folder)
{
    qint64 total = -1;
    for (const QByteArray& line : readAll(folder + QStringLiteral("/status")).split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
            total = qMax<qint64>(total, 0) + line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return total;
}

} // namespace

class TestDecryptManager : public QObject {
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QTemporaryDir m_bigDir;
    QString m_big; // an envelope large enough to still be decrypting when a test acts
    QHash<QString, QByteArray> m_plain;
    DecryptManager* m_manager = nullptr;

    QString path(const QString& name) const { return m_dir->filePath(name); }

    QString envelope(const QString& name, int size = 3000, const std::string& passphrase = "secret")
    {
        const QString file = path(name);
        const Bytes plain = korvel::test::patternBytes(static_cast<size_t>(size), qHash(name));
        korvel::test::EnvelopeOptions options;
        options.passphrases = { passphrase };
        if (!korvel::test::writeEnvelope(file.toStdString(), plain, options))
            qFatal("cannot write %s", qPrintable(file));
        m_plain.insert(file, toBytes(plain));
        return file;
    }

    void writeFile(const QString& name, const QByteArray& content = "mine")
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    // Starts a run and waits for its end; the slot that announced it has returned.
    bool runToEnd(const QString& passphrase = QStringLiteral("secret")) { return runToEnd(QStringList { passphrase }); }

    bool runToEnd(const QStringList& passphrases)
    {
        QSignalSpy finished(m_manager, &DecryptManager::allFinished);
        m_manager->startDecrypt(passphrases);
        if (!finished.wait(120000))
            return false;
        settle();
        return true;
    }

    // Lets every queued report and the dispatch thread's end reach the manager.
    void settle()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->isDecrypting(), 120000);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    CryptTask* finishedFor(const QString& source) const
    {
        for (CryptTask* task : m_manager->getCompletedTasks())
            if (task->loadedSource() == source)
                return task;
        return nullptr;
    }

    // Every worker that begins a task waits there, on its own thread and before
    // it reads anything, until it is cancelled: the task then certainly runs and
    // cannot end before the test cancels it (or destroys the manager, which
    // cancels it first). With `only`, just the task for that path is held.
    void holdWorkersUntilCancelled(const QString& only = QString())
    {
        for (ZervDecryptWorker* worker : m_manager->findChildren<ZervDecryptWorker*>()) {
            connect(
                worker, &ZervDecryptWorker::started, m_manager,
                [only](ZervDecryptWorker* held) {
                    if (!only.isEmpty() && (!held->task() || held->task()->loadedSource() != only))
                        return;
                    while (!held->isCancelled())
                        QThread::msleep(1);
                },
                Qt::DirectConnection);
        }
    }

    // Waits until the task for the given path has started on a worker.
    bool waitForStart(const QString& source)
    {
        QSignalSpy stats(m_manager, qOverload<const CryptTask*>(&DecryptManager::statsChanged));
        for (int round = 0; round < 200; ++round) {
            for (CryptTask* task : m_manager->getRunningTasks())
                if (task->loadedSource() == source)
                    return true;
            stats.wait(100);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bigDir.isValid());
        m_big = m_bigDir.filePath(QStringLiteral("big.bin.korvel-env"));
        const Bytes pattern = korvel::test::patternBytes(1 << 20, 5);
        QVERIFY(korvel::test::writeEnvelopeStreaming(m_big.toStdString(), 96u << 20,
            [&](uint64_t, uint8_t* buffer, size_t length) { std::memcpy(buffer, pattern.data(), length); }, {}));
    }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_plain.clear();
        m_manager = DecryptManager::instance();
        g_dispatchThread = m_manager;
    }

    void cleanup()
    {
        DecryptManager::destroyInstance();
        DecryptManager::setDeleteEncryptedSetting({});
        m_manager = nullptr;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // Whatever a test left decrypting, no partial output stays beside the big envelope.
        QCOMPARE(entries(m_bigDir.path()), QStringList { "big.bin.korvel-env" });
    }

    void numberOfThreads_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("applied");
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("-1") << -1 << 1;
        QTest::newRow("9") << 9 << 1;
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("2") << 2 << 2;
        QTest::newRow("4") << 4 << 4;
        QTest::newRow("5") << 5 << 5;
        QTest::newRow("8") << 8 << 8;
    }

    void numberOfThreads()
    {
        QFETCH(int, requested);
        QFETCH(int, applied);
        m_manager->onChangeNumThreads(3);
        m_manager->onChangeNumThreads(requested);
        QCOMPARE(m_manager->getNumThreads(), applied);
    }

    void addFilesSkipsPendingDuplicates()
    {
        const QString a = envelope(QStringLiteral("a.korvel-env"));
        const QString b = envelope(QStringLiteral("b.korvel-env"));
        const QString upper = envelope(QStringLiteral("A.korvel-env"));
        QSignalSpy counts(m_manager, qOverload<>(&DecryptManager::statsChanged));
        QCOMPARE(m_manager->addFiles({ a, b, a }), 2);
        QCOMPARE(m_manager->addFiles({ upper, b }), 1);
        QCOMPARE(counts.count(), 2);
        QCOMPARE(m_manager->getNumPending(), 3);
        QCOMPARE(m_manager->getPendingPaths(), (QStringList { a, b, upper }));
        QCOMPARE(m_manager->getTotalTasks(), 3);

        QVERIFY(runToEnd());
        QCOMPARE(sources(m_manager->getCompletedTasks()), (QStringList { a, b, upper }));
        // A finished path is not compared: it can be loaded again.
        QCOMPARE(m_manager->addFiles({ a }), 1);
        QCOMPARE(m_manager->getTotalTasks(), 4);
    }

    // One file named in several ways is one task: every path reaches the manager
    // absolute and clean. Inputs are relative to the test folder (the current
    // folder during the load) or, with "@", absolute.
    void loadingMakesPathsAbsoluteAndClean_data()
    {
        QTest::addColumn<QStringList>("inputs");
        QTest::addColumn<QStringList>("found"); // relative to the test folder
        QTest::addColumn<QStringList>("named"); // "@": the test folder
        QTest::addColumn<int>("added");
        QTest::newRow("a folder named three ways")
            << QStringList { "set5/", "@set5", "set5" }
            << QStringList { "set5/x.korvel-env", "set5/sub/y.korvel-env", "set5/x.korvel-env", "set5/sub/y.korvel-env",
                   "set5/x.korvel-env", "set5/sub/y.korvel-env" }
            << QStringList { "set5/x.korvel-env", "set5/sub/y.korvel-env", "@set5/x.korvel-env",
                   "@set5/sub/y.korvel-env", "set5/x.korvel-env", "set5/sub/y.korvel-env" }
            << 2;
        QTest::newRow("dots and doubled slashes")
            << QStringList { "./set5//x.korvel-env", "set5/./x.korvel-env", "@set5/sub/../x.korvel-env" }
            << QStringList { "set5/x.korvel-env", "set5/x.korvel-env", "set5/x.korvel-env" }
            << QStringList { "./set5//x.korvel-env", "set5/./x.korvel-env", "@set5/sub/../x.korvel-env" } << 1;
        QTest::newRow("a folder with dots") << QStringList { "set5/sub/./", "set5//sub" }
                                            << QStringList { "set5/sub/y.korvel-env", "set5/sub/y.korvel-env" }
                                            << QStringList { "set5/sub/./y.korvel-env", "set5//sub/y.korvel-env" } << 1;
        // "link" leads to set5/sub: the system reads link/.. as set5, not as the
        // test folder, which holds a file of the same name.
        QTest::newRow("a parent step after a link") << QStringList { "link/../x.korvel-env", "set5/x.korvel-env" }
                                                    << QStringList { "set5/x.korvel-env", "set5/x.korvel-env" }
                                                    << QStringList { "link/../x.korvel-env", "set5/x.korvel-env" } << 1;
        QTest::newRow("a link is kept") << QStringList { "link/y.korvel-env" } << QStringList { "link/y.korvel-env" }
                                        << QStringList { "link/y.korvel-env" } << 1;
        QTest::newRow("nothing there") << QStringList { "", "missing/..", "missing" } << QStringList {}
                                       << QStringList {} << 0;
    }

    void loadingMakesPathsAbsoluteAndClean()
    {
        QFETCH(QStringList, inputs);
        QFETCH(QStringList, found);
        QFETCH(QStringList, named);
        QFETCH(int, added);
        const QString root = QFileInfo(m_dir->path()).canonicalFilePath();
        QVERIFY(QDir(root).mkpath(QStringLiteral("set5/sub")));
        writeFile(QStringLiteral("set5/x.korvel-env"));
        writeFile(QStringLiteral("set5/sub/y.korvel-env"));
        writeFile(QStringLiteral("x.korvel-env")); // where text folding of link/.. would lead
        QVERIFY(QFile::link(root + QStringLiteral("/set5/sub"), root + QStringLiteral("/link")));
        const auto withRoot = [&root](QStringList list, bool marked) {
            for (QString& entry : list) {
                if (!marked)
                    entry = root + QLatin1Char('/') + entry;
                else if (entry.startsWith(QLatin1Char('@')))
                    entry = root + QLatin1Char('/') + entry.mid(1);
            }
            return list;
        };

        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root));
        const FileLoading::Result result = FileLoading::load(withRoot(inputs, true), *m_manager);
        QVERIFY(QDir::setCurrent(before));
        QCOMPARE(result.files(), withRoot(found, false));
        QCOMPARE(result.names(), withRoot(named, true));
        QCOMPARE(result.added, added);
        QCOMPARE(result.duplicates(), found.size() - added);
        QCOMPARE(m_manager->getNumPending(), added);
        QCOMPARE(result.skipped.size(), found.isEmpty() ? inputs.size() : 0);
    }

    void threadLimitAndWorkerReuse()
    {
        QStringList paths;
        for (int i = 0; i < 5; ++i)
            paths.append(envelope(QStringLiteral("f%1.korvel-env").arg(i), 3 << 20));
        m_manager->onChangeNumThreads(2);
        QCOMPARE(m_manager->addFiles(paths), 5);
        int most = 0;
        connect(m_manager, qOverload<const CryptTask*>(&DecryptManager::statsChanged), this,
            [&] { most = qMax(most, m_manager->getNumRunningTasks()); });
        // Each worker's tasks run on one thread of its own, kept for the run.
        QMutex threadsLock;
        QMultiHash<int, long> threads; // worker id to the thread of each task it began
        for (ZervDecryptWorker* worker : m_manager->findChildren<ZervDecryptWorker*>()) {
            connect(
                worker, &ZervDecryptWorker::started, m_manager,
                [&](ZervDecryptWorker* started) {
                    QMutexLocker locker(&threadsLock);
                    threads.insert(started->id(), static_cast<long>(::syscall(SYS_gettid)));
                },
                Qt::DirectConnection);
        }
        QVERIFY(runToEnd());
        QVERIFY(most >= 1);
        QVERIFY(most <= 2);
        QCOMPARE(m_manager->getNumCompleted(), 5);
        QCOMPARE(threads.size(), 5);
        for (const int id : threads.uniqueKeys()) {
            const QList<long> ofWorker = threads.values(id);
            QCOMPARE(QSet<long>(ofWorker.begin(), ofWorker.end()).size(), 1);
        }
        for (CryptTask* task : m_manager->getCompletedTasks()) {
            QVERIFY2(task->workerId == 0 || task->workerId == 1, qPrintable(QString::number(task->workerId)));
            QCOMPARE(readAll(task->destination()), m_plain.value(task->loadedSource()));
        }
    }

    void dispatchSleepsWhileWorkersAreBusy()
    {
        m_manager->onChangeNumThreads(1);
        holdWorkersUntilCancelled();
        m_manager->addFiles({ m_big, envelope(QStringLiteral("next.korvel-env")) });
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(m_big));
        const QString dispatch = dispatchThreadFolder();
        QVERIFY(!dispatch.isEmpty());
        // Every slot is taken and a path waits, and nothing can free the slot: the
        // dispatch thread must block, not poll. Once asleep it stays asleep and
        // is never switched in again.
        QTRY_COMPARE_WITH_TIMEOUT(threadState(dispatch), 'S', 20000);
        const qint64 switches = contextSwitches(dispatch);
        QVERIFY(switches >= 0);
        for (int sample = 0; sample < 20; ++sample) {
            QCOMPARE(threadState(dispatch), 'S');
            QThread::yieldCurrentThread();
        }
        QCOMPARE(contextSwitches(dispatch), switches);
        QCOMPARE(m_manager->getNumRunningTasks(), 1);
        QCOMPARE(m_manager->getNumPending(), 1);
        m_manager->cancel();
        settle();
    }

    // The workers and the dispatch thread give way to the window: each runs with
    // a nice value well above the main thread's, whatever the toolkit's priority
    // hint does.
    void backgroundThreadsRunBelowTheWindow()
    {
        const int window = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
        const int expected = qMin(window + ThreadPriority::kBackgroundSteps, ThreadPriority::kLowestNice);
        QMutex seenLock;
        QList<int> seen;
        for (ZervDecryptWorker* worker : m_manager->findChildren<ZervDecryptWorker*>()) {
            // On the worker's own thread, as its task begins.
            connect(
                worker, &ZervDecryptWorker::started, m_manager,
                [&] {
                    QMutexLocker locker(&seenLock);
                    seen.append(niceOfThisThread());
                },
                Qt::DirectConnection);
        }
        m_manager->onChangeNumThreads(2);
        m_manager->addFiles({ envelope(QStringLiteral("a.korvel-env")), envelope(QStringLiteral("b.korvel-env")),
            envelope(QStringLiteral("c.korvel-env")) });
        g_dispatchNice = -100;
        QVERIFY(runToEnd());
        QCOMPARE(m_manager->getNumCompleted(), 3);
        QCOMPARE(seen, QList<int>(3, expected));
        QCOMPARE(g_dispatchNice.load(), expected);
        // The calling thread keeps its own.
        QCOMPARE(niceOfThisThread(), window);
        // Asking again changes nothing.
        int again = -100;
        QThread* thread = QThread::create([&again] {
            ThreadPriority::lowerCurrentThread();
            again = ThreadPriority::lowerCurrentThread();
        });
        thread->start();
        QVERIFY(thread->wait(20000));
        delete thread;
        QCOMPARE(again, expected);
    }

    void destinationNaming_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("tagged");
        QTest::addColumn<QString>("sourceAfter");
        QTest::newRow("free name") << "doc.txt.korvel-env" << QStringList {} << "doc.txt" << false
                                   << "doc.txt.korvel-env";
        QTest::newRow("taken name") << "doc.txt.korvel-env" << QStringList { "doc.txt" } << "doc(decrypted).txt" << true
                                    << "doc.txt.korvel-env";
        QTest::newRow("tagged source") << "doc(decrypted).txt.korvel-env" << QStringList { "doc(decrypted).txt" }
                                       << "doc(decrypted 2).txt" << true << "doc(decrypted).txt.korvel-env";
        QTest::newRow("sequence goes on")
            << "doc(decrypted).txt.korvel-env" << QStringList { "doc(decrypted).txt", "doc(decrypted 2).txt" }
            << "doc(decrypted 3).txt" << true << "doc(decrypted).txt.korvel-env";
        QTest::newRow("third decryption") << "doc.txt.korvel-env" << QStringList { "doc.txt", "doc(decrypted).txt" }
                                          << "doc(decrypted 2).txt" << true << "doc.txt.korvel-env";
        QTest::newRow("folder in the way") << "doc.txt.korvel-env" << QStringList { "doc.txt/" } << "doc(decrypted).txt"
                                           << true << "doc.txt.korvel-env";
        QTest::newRow("no extension") << "notes" << QStringList {} << "notes(decrypted)" << true << "notes.korvel-env";
        QTest::newRow("foreign extension")
            << "report.pdf" << QStringList {} << "report(decrypted).pdf" << true << "report.pdf.korvel-env";
        QTest::newRow("last suffix only")
            << "archive.tar.korvel-env" << QStringList {} << "archive.tar" << false << "archive.tar.korvel-env";
        QTest::newRow("upper-case extension")
            << "photo.KORVEL-ENV" << QStringList {} << "photo" << false << "photo.KORVEL-ENV";
    }

    void destinationNaming()
    {
        QFETCH(QString, source);
        QFETCH(QStringList, existing);
        QFETCH(QString, destination);
        QFETCH(bool, tagged);
        QFETCH(QString, sourceAfter);
        const QString file = envelope(source);
        for (const QString& name : existing) {
            if (name.endsWith(QLatin1Char('/')))
                QVERIFY(QDir().mkdir(path(name)));
            else
                writeFile(name);
        }
        m_manager->addFiles({ file });
        QVERIFY(runToEnd());
        CryptTask* task = finishedFor(file);
        QVERIFY(task);
        QCOMPARE(task->destination(), path(destination));
        QCOMPARE(task->destinationSuffixed.load(), tagged);
        QCOMPARE(
            task->renameSourceOnSuccess.load(), !source.endsWith(QLatin1String(".korvel-env"), Qt::CaseInsensitive));
        QCOMPARE(task->source(), path(sourceAfter));
        QVERIFY(QFile::exists(path(sourceAfter)));
        QCOMPARE(readAll(path(destination)), m_plain.value(file));
        for (const QString& name : existing)
            if (!name.endsWith(QLatin1Char('/')))
                QCOMPARE(readAll(path(name)), QByteArray("mine"));
    }

    void sameDestinationForTwoRunningTasks()
    {
        const QString lower = envelope(QStringLiteral("doc.txt.korvel-env"), 2 << 20);
        const QString upper = envelope(QStringLiteral("doc.txt.KORVEL-ENV"), 2 << 20);
        m_manager->onChangeNumThreads(2);
        m_manager->addFiles({ lower, upper });
        QVERIFY(runToEnd());
        CryptTask* first = finishedFor(lower);
        CryptTask* second = finishedFor(upper);
        QVERIFY(first && second);
        QVERIFY(first->destination() != second->destination());
        QCOMPARE(readAll(first->destination()), m_plain.value(lower));
        QCOMPARE(readAll(second->destination()), m_plain.value(upper));
    }

    void renameRefusesToReplace()
    {
        const QString notes = envelope(QStringLiteral("notes"));
        writeFile(QStringLiteral("notes.korvel-env"));
        QSignalSpy errors(m_manager, &DecryptManager::error);
        m_manager->addFiles({ notes });
        QVERIFY(runToEnd());
        CryptTask* task = finishedFor(notes);
        QVERIFY(task);
        QCOMPARE(task->source(), notes);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Could not rename input %1").arg(notes));
        QCOMPARE(readAll(path(QStringLiteral("notes.korvel-env"))), QByteArray("mine"));
    }

    void automaticDeletionFollowsTheLiveFlag()
    {
        const QString kept = envelope(QStringLiteral("kept.korvel-env"));
        m_manager->addFiles({ kept });
        QVERIFY(runToEnd());
        QVERIFY(QFile::exists(kept));
        QVERIFY(!finishedFor(kept)->sourceDeleted);
        // With deletion off, the output was spared the flush.
        QVERIFY(!finishedFor(kept)->outputDurable);

        // The setting outlives the manager: one built afterwards asks the same one.
        bool deleting = false;
        DecryptManager::setDeleteEncryptedSetting([&deleting] { return deleting; });
        DecryptManager::destroyInstance();
        m_manager = DecryptManager::instance();
        g_dispatchThread = m_manager;
        QVERIFY(!DecryptManager::deleteEncryptedOnSuccess());
        deleting = true;
        QVERIFY(DecryptManager::deleteEncryptedOnSuccess());
        const QString gone = envelope(QStringLiteral("gone.txt.korvel-env"));
        const QString notes = envelope(QStringLiteral("notes"));
        writeFile(QStringLiteral("gone.txt"));
        m_manager->addFiles({ gone, notes });
        QVERIFY(runToEnd());
        QVERIFY(!QFile::exists(gone));
        QVERIFY(!QFile::exists(notes));
        QVERIFY(!QFile::exists(notes + QStringLiteral(".korvel-env")));
        // The workers flushed these outputs before they reported, not the main
        // thread before the deletion.
        QVERIFY(finishedFor(gone)->outputDurable && finishedFor(notes)->outputDurable);
        QCOMPARE(finishedFor(gone)->statusText(),
            QStringLiteral("Finished (Deleted source and (decrypted) appended to destination name)"));
        QCOMPARE(finishedFor(notes)->statusText(),
            QStringLiteral("Finished (Deleted source and (decrypted) appended to destination name)"));
        QCOMPARE(readAll(path(QStringLiteral("gone(decrypted).txt"))), m_plain.value(gone));
        QCOMPARE(readAll(path(QStringLiteral("notes(decrypted)"))), m_plain.value(notes));
    }

    // What becomes of a finished task's source: deleted only beside its plaintext,
    // renamed only when it stays, and neither when its name leads to another file
    // than the one decrypted, or that file changed since.
    void disposeSource_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("plaintextThere");
        QTest::addColumn<bool>("takenRename"); // the renamed name is taken
        QTest::addColumn<bool>("remove");
        QTest::addColumn<bool>("rename");
        QTest::addColumn<int>("removal");
        QTest::addColumn<bool>("renameAsked");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("change"); // after reading: 0 none, 1 another file renamed onto the name, 2 written to
        using R = SourceRemover::Removal;
        QTest::newRow("replaced: kept") << "a.korvel-env" << true << false << true << false << int(R::Changed) << false
                                        << QStringList { "a", "a.korvel-env" } << 1;
        QTest::newRow("replaced: neither deleted nor renamed")
            << "notes" << true << false << true << true << int(R::Changed) << false << QStringList { "a", "notes" }
            << 1;
        QTest::newRow("replaced: not renamed") << "notes" << true << false << false << true << int(R::NotAsked) << true
                                               << QStringList { "a", "notes" } << 1;
        QTest::newRow("written to: kept") << "a.korvel-env" << true << false << true << false << int(R::Changed)
                                          << false << QStringList { "a", "a.korvel-env" } << 2;
        QTest::newRow("deleted") << "a.korvel-env" << true << false << true << false << int(R::Removed) << false
                                 << QStringList { "a" } << 0;
        QTest::newRow("deleted, not renamed first")
            << "notes" << true << false << true << true << int(R::Removed) << false << QStringList { "a" } << 0;
        QTest::newRow("plaintext gone: kept and renamed") << "notes" << false << false << true << true << int(R::Failed)
                                                          << true << QStringList { "notes.korvel-env" } << 0;
        QTest::newRow("plaintext gone: kept") << "a.korvel-env" << false << false << true << false << int(R::Failed)
                                              << false << QStringList { "a.korvel-env" } << 0;
        QTest::newRow("renamed only") << "notes" << true << false << false << true << int(R::NotAsked) << true
                                      << QStringList { "a", "notes.korvel-env" } << 0;
        QTest::newRow("rename refused: name taken") << "notes" << true << true << false << true << int(R::NotAsked)
                                                    << true << QStringList { "a", "notes", "notes.korvel-env" } << 0;
        QTest::newRow("source missing") << "" << true << false << true << true << int(R::Missing) << false
                                        << QStringList { "a" } << 0;
    }

    void disposeSource()
    {
        QFETCH(QString, name);
        QFETCH(bool, plaintextThere);
        QFETCH(bool, takenRename);
        QFETCH(bool, remove);
        QFETCH(bool, rename);
        QFETCH(int, removal);
        QFETCH(bool, renameAsked);
        QFETCH(QStringList, after);
        QFETCH(int, change);
        const QString source = path(name.isEmpty() ? QStringLiteral("gone") : name);
        if (!name.isEmpty())
            writeFile(name, "envelope");
        if (takenRename)
            writeFile(name + QStringLiteral(".korvel-env"), "other");
        CryptTask task(source);
        task.setSourceIdentity(FileIdentity::ofPath(source)); // as the worker read it
        task.setDestination(path(QStringLiteral("a")));
        if (plaintextThere)
            writeFile(QStringLiteral("a"), "plain");
        if (change == 1) {
            // A sync tool puts another file in its place.
            writeFile(QStringLiteral("incoming"), "other");
            QCOMPARE(
                ::rename(QFile::encodeName(path("incoming")).constData(), QFile::encodeName(source).constData()), 0);
        } else if (change == 2) {
            QFile file(source);
            QVERIFY(file.open(QIODevice::Append));
            file.write("more");
        }

        const SourceRemover::Outcome outcome = SourceRemover::dispose(&task, source, remove, rename);
        QCOMPARE(int(outcome.removal), removal);
        QCOMPARE(outcome.renameAsked, renameAsked);
        QCOMPARE(outcome.sourceChanged, change != 0);
        if (change == 1)
            QCOMPARE(readAll(source), QByteArray("other"));
        const bool renamed = renameAsked && !takenRename && !name.isEmpty() && change == 0;
        QCOMPARE(outcome.renamedTo, renamed ? source + QStringLiteral(".korvel-env") : QString());
        QCOMPARE(outcome.reason.isEmpty(), removal != int(SourceRemover::Removal::Failed));
        // Deleting flushed the plaintext first.
        QCOMPARE(task.outputDurable.load(), removal == int(SourceRemover::Removal::Removed));
        QCOMPARE(entries(m_dir->path()), after);
        if (takenRename)
            QCOMPARE(readAll(path(name + QStringLiteral(".korvel-env"))), QByteArray("other"));
    }

    // Jobs run in order on the remover's thread, each outcome is handed back on
    // the receiver's thread, and drain() waits for the jobs.
    void sourceRemoverRunsJobsInOrder()
    {
        QList<CryptTask*> tasks;
        for (int i = 0; i < 20; ++i) {
            const QString name = QStringLiteral("s%1").arg(i);
            writeFile(name, "envelope");
            writeFile(name + QStringLiteral(".out"), "plain");
            tasks.append(new CryptTask(path(name)));
            tasks.last()->setSourceIdentity(FileIdentity::ofPath(path(name)));
            tasks.last()->setDestination(path(name + QStringLiteral(".out")));
        }
        QObject receiver;
        QList<int> order;
        QList<QThread*> threads;
        {
            SourceRemover remover;
            for (int i = 0; i < tasks.size(); ++i)
                remover.submit(tasks[i], true, false, &receiver, [&, i](const SourceRemover::Outcome& outcome) {
                    QCOMPARE(int(outcome.removal), int(SourceRemover::Removal::Removed));
                    order.append(i);
                    threads.append(QThread::currentThread());
                });
            remover.drain();
            // Every source is gone before any outcome has been delivered.
            for (const CryptTask* task : std::as_const(tasks))
                QVERIFY(!QFile::exists(task->source()));
            QVERIFY(order.isEmpty());
        }
        QTRY_COMPARE(order.size(), tasks.size());
        for (int i = 0; i < order.size(); ++i) {
            QCOMPARE(order[i], i);
            QCOMPARE(threads[i], QThread::currentThread());
        }
        qDeleteAll(tasks);
    }

    void deleteEncryptedReports()
    {
        const QString a = envelope(QStringLiteral("a.korvel-env"));
        const QString b = envelope(QStringLiteral("b.korvel-env"));
        const QString c = envelope(QStringLiteral("c.korvel-env"));
        m_manager->addFiles({ a, b, c });
        QVERIFY(runToEnd());
        // The plaintext of c has gone: its source is the only copy left and stays.
        QVERIFY(QFile::remove(path(QStringLiteral("c"))));

        QSignalSpy stats(m_manager, qOverload<const CryptTask*>(&DecryptManager::statsChanged));
        QSignalSpy errors(m_manager, &DecryptManager::error);
        QVERIFY(!m_manager->deleteEncrypted());
        QCOMPARE(stats.count(), 2);
        QVERIFY(!QFile::exists(a) && !QFile::exists(b));
        QVERIFY(QFile::exists(c));
        QVERIFY(finishedFor(a)->sourceDeleted && finishedFor(b)->sourceDeleted);
        QVERIFY(!finishedFor(c)->sourceDeleted);
        // Written while no deletion was due, flushed before their sources went.
        QVERIFY(finishedFor(a)->outputDurable && finishedFor(b)->outputDurable);
        QCOMPARE(errors.count(), 1);
        QVERIFY(errors.at(0).at(0).toString().startsWith(QStringLiteral("Could not remove file %1: ").arg(c)));

        // A second walk reports every deleted source as missing and goes on to the end.
        QVERIFY(QFile::remove(c));
        errors.clear();
        QVERIFY(!m_manager->deleteEncrypted());
        QCOMPARE(errors.count(), 3);
        QCOMPARE(
            errors.at(2).at(0).toString(), QStringLiteral("Could not remove file %1. file does not exist.").arg(c));
        QCOMPARE(m_manager->lastError(), errors.at(2).at(0).toString());
    }

    void deleteEncryptedSucceeds()
    {
        const QString a = envelope(QStringLiteral("a.korvel-env"));
        m_manager->addFiles({ a });
        QVERIFY(runToEnd());
        QVERIFY(m_manager->deleteEncrypted());
        QVERIFY(!QFile::exists(a));
        QCOMPARE(finishedFor(a)->statusText(), QStringLiteral("Finished (Deleted source)"));
    }

    void cancelPutsThePathBackAtTheFront()
    {
        const QString small = envelope(QStringLiteral("small.korvel-env"));
        m_manager->onChangeNumThreads(1);
        holdWorkersUntilCancelled();
        m_manager->addFiles({ m_big, small });
        QSignalSpy finished(m_manager, &DecryptManager::allFinished);
        QSignalSpy stats(m_manager, qOverload<const CryptTask*>(&DecryptManager::statsChanged));
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(m_big));
        QPointer<CryptTask> record = m_manager->getRunningTasks().value(0);
        QVERIFY(record);
        const CryptTask* cancelled = record.data();
        m_manager->cancel();
        QVERIFY(finished.wait(60000));
        settle();

        QCOMPARE(finished.count(), 1);
        QCOMPARE(m_manager->getNumPending(), 2);
        QCOMPARE(m_manager->getPendingPaths(), (QStringList { m_big, small }));
        QCOMPARE(m_manager->getNumCompleted(), 0);
        QCOMPARE(m_manager->getNumFailed(), 0);
        QCOMPARE(m_manager->getTotalTasks(), 2);
        // The cancelled record was reported, then released.
        bool reported = false;
        for (const QList<QVariant>& args : stats)
            reported = reported || args.at(0).value<const CryptTask*>() == cancelled;
        QVERIFY(reported);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(record.isNull());
        QCOMPARE(entries(m_bigDir.path()), QStringList { "big.bin.korvel-env" });

        // The next start takes the cancelled path first.
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(m_big));
        m_manager->cancel();
        settle();
        QCOMPARE(m_manager->getNumPending(), 2);
    }

    void reloadFailed()
    {
        QSignalSpy errors(m_manager, &DecryptManager::error);
        QVERIFY(!m_manager->reloadFailed());
        QCOMPARE(errors.count(), 1);
        QCOMPARE(m_manager->lastError(), QStringLiteral("Failed list is empty."));

        const QString a = envelope(QStringLiteral("a.korvel-env"), 3000, "other");
        const QString b = envelope(QStringLiteral("b.korvel-env"), 3000, "other");
        m_manager->addFiles({ a, b });
        QVERIFY(runToEnd());
        QCOMPARE(m_manager->getNumFailed(), 2);
        QCOMPARE(m_manager->getFailedTasks().at(0)->message(), QStringLiteral("Passphrase doesn't match Code: 1"));
        QCOMPARE(m_manager->getTotalTasks(), 2);
        QVERIFY(!QFile::exists(path(QStringLiteral("a"))));

        QCOMPARE(m_manager->addFiles({ b }), 1);
        QVERIFY(m_manager->reloadFailed());
        QCOMPARE(m_manager->getNumFailed(), 0);
        QCOMPARE(m_manager->getNumPending(), 2);
        QVERIFY(runToEnd(QStringLiteral("other")));
        QCOMPARE(sources(m_manager->getCompletedTasks()), (QStringList { b, a }));
    }

    void totals()
    {
        const QStringList paths { envelope(QStringLiteral("1.korvel-env")), envelope(QStringLiteral("2.korvel-env")),
            envelope(QStringLiteral("3.korvel-env")) };
        m_manager->addFiles(paths);
        QCOMPARE(m_manager->getTotalTasks(), 3);
        QVERIFY(runToEnd());
        QCOMPARE(m_manager->getTotalTasks(), 3);
        QCOMPARE(m_manager->getNumCompleted(), 3);
        QVERIFY(m_manager->clearFinished());
        QCOMPARE(m_manager->getTotalTasks(), 0);
        m_manager->addFiles(paths);
        QVERIFY(m_manager->clearPending());
        QCOMPARE(m_manager->getTotalTasks(), 0);
        QCOMPARE(m_manager->getNumPending(), 0);
    }

    void refusalsWhileDecrypting_data()
    {
        QTest::addColumn<QString>("operation");
        for (const char* name : { "addFiles", "clearAll", "clearPending", "clearFinished", "clearFailed",
                 "reloadFailed", "deleteEncrypted" })
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void refusalsWhileDecrypting()
    {
        QFETCH(QString, operation);
        const QString small = envelope(QStringLiteral("small.korvel-env"));
        m_manager->onChangeNumThreads(1);
        holdWorkersUntilCancelled();
        m_manager->addFiles({ m_big, small });
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(m_big));

        QSignalSpy errors(m_manager, &DecryptManager::error);
        bool done = true;
        if (operation == QLatin1String("addFiles"))
            done = m_manager->addFiles({ path(QStringLiteral("x")) }) != 0;
        else if (operation == QLatin1String("clearAll"))
            done = m_manager->clearAll();
        else if (operation == QLatin1String("clearPending"))
            done = m_manager->clearPending();
        else if (operation == QLatin1String("clearFinished"))
            done = m_manager->clearFinished();
        else if (operation == QLatin1String("clearFailed"))
            done = m_manager->clearFailed();
        else if (operation == QLatin1String("reloadFailed"))
            done = m_manager->reloadFailed();
        else
            done = m_manager->deleteEncrypted();
        QVERIFY(!done);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Cannot perform operations during decryption."));

        m_manager->startDecrypt(QStringLiteral("secret"));
        QCOMPARE(errors.count(), 2);
        QCOMPARE(m_manager->lastError(), QStringLiteral("Decryption already in progress."));
        QCOMPARE(m_manager->getNumPending(), 1);
        QVERIFY(QFile::exists(small));
        m_manager->cancel();
        settle();
    }

    // Automatic deletion switched on while a task runs: its output is on disk
    // before its source goes, whoever flushed it.
    void deletionSwitchedOnWhileRunning()
    {
        m_manager->addFiles({ envelope(QStringLiteral("a.korvel-env"), 200000) });
        const QString big = path(QStringLiteral("big.bin.korvel-env"));
        QVERIFY(QFile::copy(m_big, big));
        m_manager->addFiles({ big });
        QSignalSpy finished(m_manager, &DecryptManager::allFinished);
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(big));
        DecryptManager::setDeleteEncryptedSetting([] { return true; });
        QVERIFY(finished.wait(120000));
        settle();
        CryptTask* task = finishedFor(big);
        QVERIFY(task);
        QVERIFY(task->outputDurable);
        QVERIFY(task->sourceDeleted);
        QVERIFY(!QFile::exists(big));
        QCOMPARE(QFileInfo(path(QStringLiteral("big.bin"))).size(), qint64(96) << 20);
    }

    // The passphrase of a run is held once: its records refer to it, and it is
    // wiped when the run ends.
    void passphraseIsWipedWhenTheRunEnds()
    {
        m_manager->onChangeNumThreads(2);
        m_manager->addFiles({ envelope(QStringLiteral("a.korvel-env")), envelope(QStringLiteral("b.korvel-env")),
            envelope(QStringLiteral("c.korvel-env"), 3000, "other") });
        QVERIFY(runToEnd(QStringLiteral("secret")));
        QCOMPARE(m_manager->getNumCompleted(), 2);
        QCOMPARE(m_manager->getNumFailed(), 1);
        QList<CryptTask*> records = m_manager->getCompletedTasks() + m_manager->getFailedTasks();
        const std::shared_ptr<const Passphrase> holder = records.first()->passphraseHolder();
        QVERIFY(holder);
        for (const CryptTask* task : records) {
            QCOMPARE(task->passphraseHolder(), holder);
            QVERIFY(task->passphrase().isEmpty());
        }
        QVERIFY(holder->isEmpty());
        QVERIFY(m_manager->passphrase().isEmpty());
    }

    void passphraseIsWipedWithTheManager()
    {
        m_manager->onChangeNumThreads(1);
        m_manager->addFiles({ m_big });
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(m_big));
        const std::shared_ptr<const Passphrase> holder = m_manager->getRunningTasks().value(0)->passphraseHolder();
        QVERIFY(holder);
        QCOMPARE(holder->text(), QStringLiteral("secret"));
        QCOMPARE(m_manager->passphrase(), QStringLiteral("secret"));
        DecryptManager::destroyInstance();
        QVERIFY(holder->isEmpty());
        m_manager = DecryptManager::instance();
        g_dispatchThread = m_manager;
    }

    void startWithNothingPending()
    {
        QSignalSpy started(m_manager, &DecryptManager::started);
        m_manager->startDecrypt(QStringLiteral("pw"));
        QCOMPARE(started.count(), 0);
        QVERIFY(!m_manager->isRunning());
        QVERIFY(m_manager->passphrase().isEmpty());
    }

    // An open feed: files added while the run goes on are taken, and the run
    // ends only after the feed is closed.
    void feedTakesFilesDuringTheRun()
    {
        QSignalSpy finished(m_manager, &DecryptManager::allFinished);
        m_manager->openFeed();
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(m_manager->isDecrypting());
        for (int i = 1; i <= 2; ++i) {
            QCOMPARE(m_manager->addFiles({ envelope(QStringLiteral("fed%1.korvel-env").arg(i)) }), 1);
            QTRY_COMPARE_WITH_TIMEOUT(m_manager->getNumCompleted(), i, 60000);
            QCoreApplication::processEvents();
            QCOMPARE(finished.count(), 0);
            QVERIFY(m_manager->isDecrypting());
        }
        m_manager->closeFeed();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
        QVERIFY(QFile::exists(path(QStringLiteral("fed2"))));
        settle();
        QCOMPARE(finished.count(), 1);
        QVERIFY(!m_manager->isDecrypting());
    }

    void candidatePassphrases()
    {
        const QString a = envelope(QStringLiteral("a.korvel-env"), 3000, "first");
        const QString b = envelope(QStringLiteral("b.korvel-env"), 3000, "second");
        const QString c = envelope(QStringLiteral("c.korvel-env"), 3000, "third");
        const QString none = envelope(QStringLiteral("none.korvel-env"), 3000, "unknown");
        m_manager->onChangeNumThreads(4);
        m_manager->addFiles({ a, b, c, none });
        const QStringList candidates { "third", "first", "second" };
        QSignalSpy started(m_manager, &DecryptManager::started);
        bool sharedInTheRun = false;
        connect(m_manager, &DecryptManager::started, this, [&] {
            sharedInTheRun = m_manager->passphrases() == candidates && m_manager->passphrase() == candidates.first();
        });
        QVERIFY(runToEnd(candidates));
        QCOMPARE(started.count(), 1);
        QVERIFY(sharedInTheRun);
        // Wiped once the run has ended: no candidate outlives it.
        QCOMPARE(m_manager->passphrases(), (QStringList { QString(), QString(), QString() }));
        QVERIFY(m_manager->passphrase().isEmpty());

        const QHash<QString, int> expected { { a, 1 }, { b, 2 }, { c, 0 } };
        QCOMPARE(m_manager->getNumCompleted(), 3);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            CryptTask* task = finishedFor(it.key());
            QVERIFY(task);
            QCOMPARE(task->passphraseIndex.load(), it.value());
            QCOMPARE(task->passphraseHolders().size(), candidates.size()); // the run's, wiped with it
            QCOMPARE(readAll(task->destination()), m_plain.value(it.key()));
        }
        QCOMPARE(sources(m_manager->getFailedTasks()), QStringList { none });
        const CryptTask* failed = m_manager->getFailedTasks().first();
        QCOMPARE(failed->message(), QStringLiteral("Passphrase doesn't match Code: 1"));
        QCOMPARE(failed->passphraseIndex.load(), -1);
        QVERIFY(!QFile::exists(path(QStringLiteral("none"))));
    }

    void verifyOnlyLeavesEverythingAsItWas()
    {
        const QString good = envelope(QStringLiteral("good.txt.korvel-env"));
        const QString plainName = envelope(QStringLiteral("notes"));
        const QString wrong = envelope(QStringLiteral("wrong.korvel-env"), 3000, "other");
        const QStringList before = entries(m_dir->path());
        m_manager->setVerifyOnly(true);
        QVERIFY(m_manager->verifyOnly());
        DecryptManager::setDeleteEncryptedSetting([] { return true; });
        m_manager->addFiles({ good, plainName, wrong });
        QVERIFY(runToEnd());

        QCOMPARE(m_manager->getNumCompleted(), 2);
        QCOMPARE(sources(m_manager->getFailedTasks()), QStringList { wrong });
        for (CryptTask* task : m_manager->getCompletedTasks()) {
            QVERIFY(task->verifyOnly.load());
            QVERIFY(task->destination().isEmpty());
            QVERIFY(!task->renameSourceOnSuccess.load());
            QVERIFY(!task->sourceDeleted.load());
            QCOMPARE(task->statusText(), QStringLiteral("Finished"));
            QCOMPARE(task->passphraseIndex.load(), 0);
        }
        // Nothing written, renamed or deleted, not even on request.
        QVERIFY(m_manager->deleteEncrypted());
        QCOMPARE(entries(m_dir->path()), before);

        // Back to decrypting: the next run writes plaintexts again.
        m_manager->setVerifyOnly(false);
        DecryptManager::setDeleteEncryptedSetting({});
        m_manager->addFiles({ good });
        QVERIFY(runToEnd());
        QCOMPARE(readAll(path(QStringLiteral("good.txt"))), m_plain.value(good));
    }

    void outputRootKeepsTheLayout()
    {
        QVERIFY(QDir().mkpath(path(QStringLiteral("in/sub"))));
        const QString a = envelope(QStringLiteral("in/a.txt.korvel-env"));
        const QString b = envelope(QStringLiteral("in/sub/b.txt.korvel-env"));
        const QString notes = envelope(QStringLiteral("in/sub/notes"));
        const QString later = envelope(QStringLiteral("in/sub/later.korvel-env"), 3000, "second");
        const QString direct = envelope(QStringLiteral("direct.bin.korvel-env"));
        const QString root = path(QStringLiteral("out/decrypted"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/in")));
        QFile mine(root + QStringLiteral("/in/a.txt"));
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.write("mine");
        mine.close();
        const QStringList sourcesBefore = entries(path(QStringLiteral("in/sub")));

        m_manager->setOutputRoot(root);
        QCOMPARE(m_manager->outputRoot(), root);
        m_manager->onChangeNumThreads(2);
        const FileLoading::Result loaded = FileLoading::load({ path(QStringLiteral("in")), direct }, *m_manager);
        QCOMPARE(loaded.added, 5);
        QVERIFY(runToEnd());

        // A folder keeps its own name and layout, a file named directly lands in the
        // root; the naming rules hold there too, and no source is renamed.
        const QHash<QString, QString> expected { { a, root + "/in/a(decrypted).txt" }, { b, root + "/in/sub/b.txt" },
            { notes, root + "/in/sub/notes" }, { direct, root + "/direct.bin" } };
        QCOMPARE(m_manager->getNumCompleted(), 4);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            CryptTask* task = finishedFor(it.key());
            QVERIFY2(task, qPrintable(it.key()));
            QCOMPARE(task->destination(), it.value());
            QCOMPARE(task->source(), it.key());
            QVERIFY(!task->renameSourceOnSuccess.load());
            QCOMPARE(readAll(it.value()), m_plain.value(it.key()));
        }
        QVERIFY(finishedFor(a)->destinationSuffixed.load());
        QCOMPARE(readAll(root + QStringLiteral("/in/a.txt")), QByteArray("mine"));
        QCOMPARE(entries(path(QStringLiteral("in/sub"))), sourcesBefore);

        // A failed file keeps its place below the root when it is reloaded.
        QCOMPARE(sources(m_manager->getFailedTasks()), QStringList { later });
        QVERIFY(m_manager->reloadFailed());
        DecryptManager::setDeleteEncryptedSetting([] { return true; });
        QVERIFY(runToEnd(QStringList { "secret", "second" }));
        QCOMPARE(readAll(root + QStringLiteral("/in/sub/later")), m_plain.value(later));
        // Deleting sources still applies, after the plaintext is on disk.
        QVERIFY(!QFile::exists(later));
        QVERIFY(finishedFor(later)->sourceDeleted.load());

        // Back to writing next to each source.
        m_manager->setOutputRoot(QString());
        DecryptManager::setDeleteEncryptedSetting({});
        m_manager->addFiles({ b });
        QVERIFY(runToEnd());
        QCOMPARE(readAll(path(QStringLiteral("in/sub/b.txt"))), m_plain.value(b));
    }

    void allFinishedOncePerRun()
    {
        m_manager->onChangeNumThreads(8);
        QSignalSpy finished(m_manager, &DecryptManager::allFinished);
        QSignalSpy started(m_manager, &DecryptManager::started);
        // The last task's notification comes before the run's end, not after it.
        int notesAfterEnd = 0;
        bool ended = false;
        connect(m_manager, &DecryptManager::started, this, [&] { ended = false; });
        connect(m_manager, &DecryptManager::allFinished, this, [&] { ended = true; });
        connect(m_manager, qOverload<const CryptTask*>(&DecryptManager::statsChanged), this,
            [&](const CryptTask* task) { notesAfterEnd += task && ended ? 1 : 0; });
        for (int run = 0; run < 4; ++run) {
            QStringList paths;
            for (int i = 0; i < 24; ++i)
                paths.append(envelope(QStringLiteral("r%1-%2.korvel-env").arg(run).arg(i), 100));
            m_manager->addFiles(paths);
            m_manager->startDecrypt(QStringLiteral("secret"));
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), run + 1, 60000);
            settle();
            QCOMPARE(finished.count(), run + 1);
            QCOMPARE(started.at(run).at(0).toInt(), 24);
        }
        QCOMPARE(m_manager->getNumCompleted(), 96);
        QCOMPARE(notesAfterEnd, 0);
    }

    void workerReturnsWhenTheRecordCannotBeMade()
    {
        const QString a = envelope(QStringLiteral("a.korvel-env"));
        const QString b = envelope(QStringLiteral("b.korvel-env"));
        const QString c = envelope(QStringLiteral("c.korvel-env"));
        m_manager->onChangeNumThreads(1);
        m_manager->addFiles({ a, b, c });
        QSignalSpy errors(m_manager, &DecryptManager::error);
        g_failRecordAllocations = 1;
        QVERIFY(runToEnd());
        QCOMPARE(g_failRecordAllocations.load(), 0);
        QCOMPARE(errors.count(), 2);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Error: could not allocate memory for task %1 ").arg(a));
        QCOMPARE(errors.at(1).at(0).toString(), QStringLiteral("Task could not be created for %1").arg(a));
        QCOMPARE(sources(m_manager->getCompletedTasks()), (QStringList { b, c }));
        QCOMPARE(m_manager->getNumPending(), 0);
        // The worker taken for the dropped path went back to the front of the pool.
        for (CryptTask* task : m_manager->getCompletedTasks())
            QCOMPARE(task->workerId.load(), 0);
    }

    void clearedRecordsAreReleased()
    {
        const QString good = envelope(QStringLiteral("good.korvel-env"));
        const QString bad = envelope(QStringLiteral("bad.korvel-env"), 3000, "other");
        m_manager->addFiles({ good, bad });
        QVERIFY(runToEnd());
        QPointer<CryptTask> finished = m_manager->getCompletedTasks().value(0);
        QPointer<CryptTask> failed = m_manager->getFailedTasks().value(0);
        QVERIFY(finished && failed);
        QVERIFY(m_manager->clearFinished());
        QVERIFY(m_manager->clearFailed());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(finished.isNull());
        QVERIFY(failed.isNull());

        m_manager->addFiles({ good + QStringLiteral("-again") });
        QVERIFY(QFile::copy(good, good + QStringLiteral("-again")));
        QVERIFY(runToEnd());
        QPointer<CryptTask> again = m_manager->getCompletedTasks().value(0);
        QVERIFY(again);
        QVERIFY(m_manager->clearAll());
        QCOMPARE(m_manager->getNumCompleted(), 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(again.isNull());
    }

    // A caller that keeps nothing of a reported task releases it at once, also
    // while the run goes on; a running record is not released.
    void releaseTaskWhileDecrypting()
    {
        const QString good = envelope(QStringLiteral("good.korvel-env"));
        const QString bad = envelope(QStringLiteral("bad.korvel-env"), 3000, "other");
        m_manager->onChangeNumThreads(2);
        // The big one runs until the cancel below, whatever the machine's speed.
        holdWorkersUntilCancelled(m_big);
        m_manager->addFiles({ m_big, good, bad });
        QSignalSpy finished(m_manager, &DecryptManager::allFinished);
        m_manager->startDecrypt({ QStringLiteral("secret") });
        QTRY_VERIFY_WITH_TIMEOUT(m_manager->getNumCompleted() + m_manager->getNumFailed() == 2, 60000);
        QVERIFY(m_manager->isDecrypting());
        QPointer<CryptTask> done = finishedFor(good);
        QPointer<CryptTask> failed = m_manager->getFailedTasks().value(0);
        QVERIFY(done && failed);
        const QList<CryptTask*> running = m_manager->getRunningTasks();
        QCOMPARE(running.size(), 1);
        QVERIFY(!m_manager->releaseTask(running.first()));
        QVERIFY(m_manager->releaseTask(done));
        QVERIFY(m_manager->releaseTask(failed));
        QVERIFY(!m_manager->releaseTask(done)); // once
        QVERIFY(!m_manager->releaseTask(nullptr));
        QCOMPARE(m_manager->getNumCompleted(), 0);
        QCOMPARE(m_manager->getNumFailed(), 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(done.isNull());
        QVERIFY(failed.isNull());

        m_manager->cancel();
        QVERIFY(finished.size() == 1 || finished.wait(120000));
        settle();
        // The plaintext of the released task stays; the run goes on counting.
        QCOMPARE(readAll(path(QStringLiteral("good"))), m_plain.value(good));
    }

    // Cancel at every moment of the dispatch: just after the dispatch thread has
    // taken one, two, ... eight paths. A task taken before cancel() returns is
    // cancelled (or had already finished); none starts afterwards, so automatic
    // deletion never removes the source of a task that was meant to stop.
    void cancelStopsEveryTakenTask()
    {
        constexpr int kFiles = 8;
        constexpr int kRounds = 250;
        QStringList templates;
        for (int i = 0; i < kFiles; ++i)
            templates.append(envelope(QStringLiteral("t%1.korvel-env").arg(i), 3000));
        m_manager->onChangeNumThreads(8);
        DecryptManager::setDeleteEncryptedSetting([] { return true; });

        std::atomic<bool> cancelReturned { false };
        QMutex violationsLock;
        QStringList violations;
        for (ZervDecryptWorker* worker : m_manager->findChildren<ZervDecryptWorker*>()) {
            // Runs on the worker's own thread as it begins its task.
            connect(
                worker, &ZervDecryptWorker::started, this,
                [&](ZervDecryptWorker* started) {
                    if (cancelReturned.load() && !started->isCancelled()) {
                        const CryptTask* task = started->task();
                        QMutexLocker locker(&violationsLock);
                        violations.append(task ? task->loadedSource() : QStringLiteral("?"));
                    }
                },
                Qt::DirectConnection);
        }

        for (int round = 0; round < kRounds; ++round) {
            const QString folder = path(QStringLiteral("round%1").arg(round));
            QVERIFY(QDir().mkpath(folder));
            QStringList paths;
            for (const QString& source : std::as_const(templates)) {
                paths.append(folder + QLatin1Char('/') + QFileInfo(source).fileName());
                QVERIFY(QFile::copy(source, paths.last()));
            }
            QCOMPARE(m_manager->addFiles(paths), kFiles);

            QSignalSpy finished(m_manager, &DecryptManager::allFinished);
            cancelReturned = false;
            m_manager->startDecrypt(QStringLiteral("secret"));
            const int taken = round % 8 + 1;
            while (m_manager->getNumPending() > kFiles - taken && m_manager->isDecrypting())
                QThread::yieldCurrentThread();
            m_manager->cancel();
            cancelReturned = true;
            QVERIFY(finished.count() > 0 || finished.wait(60000));
            settle();

            {
                QMutexLocker locker(&violationsLock);
                QVERIFY2(violations.isEmpty(),
                    qPrintable(QStringLiteral("round %1: started after cancel(): %2")
                                   .arg(round)
                                   .arg(violations.join(QStringLiteral(", ")))));
            }
            // Every path is either finished or waiting again, and only finished
            // tasks lost their source.
            QStringList done;
            for (const CryptTask* task : m_manager->getCompletedTasks())
                done.append(task->loadedSource());
            QCOMPARE(done.size() + m_manager->getNumPending(), kFiles);
            QCOMPARE(m_manager->getNumFailed(), 0);
            for (const QString& source : std::as_const(paths)) {
                if (done.contains(source))
                    QVERIFY(!QFile::exists(source));
                else
                    QCOMPARE(readAll(source), readAll(templates.at(paths.indexOf(source))));
            }
            QVERIFY(m_manager->clearAll());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    void shutdownWhileDecrypting()
    {
        QStringList copies { m_big };
        for (int i = 0; i < 3; ++i)
            copies.append(envelope(QStringLiteral("m%1.korvel-env").arg(i), 8 << 20));
        m_manager->onChangeNumThreads(8);
        holdWorkersUntilCancelled();
        m_manager->addFiles(copies);
        m_manager->startDecrypt(QStringLiteral("secret"));
        QVERIFY(waitForStart(m_big));
        // Destroyed while every task runs: it cancels them, waits for their threads
        // and leaves no output behind.
        DecryptManager::destroyInstance();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // No temporary file is left, and a new manager starts empty.
        for (const QString& name : entries(m_dir->path()))
            QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
        m_manager = DecryptManager::instance();
        QCOMPARE(m_manager->getNumPending(), 0);
        QCOMPARE(m_manager->getNumRunningTasks(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDecryptManager)
#include "test_DecryptManager.moc"
