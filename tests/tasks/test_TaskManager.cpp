// The task manager and its background tasks: file loading and folder walks,
// clearing by status, reload and delete results, the one-at-a-time rule and
// cancellation.
#include "engine/DecryptManager.h"
#include "engine/LocalPath.h"
#include "engine/ThreadPriority.h"
#include "tasks/ClearStatusTask.h"
#include "tasks/FileLoadTask.h"
#include "tasks/ReloadFailedTask.h"
#include "tasks/TaskManager.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Collects the manager's signals on the main thread, in arrival order.
class Recorder : public QObject {
    Q_OBJECT

public:
    explicit Recorder(TaskManager* manager)
    {
        connect(manager, &TaskManager::filesLoaded, this, [this](const QString& m) { log << "loaded:" + m; });
        connect(manager, &TaskManager::statusCleared, this, [this](const QString& m) { log << "cleared:" + m; });
        connect(
            manager, &TaskManager::statusReloadFailedTask, this, [this](const QString& m) { log << "reload:" + m; });
        connect(manager, &TaskManager::statusMessage, this,
            [this](const QString& m, bool persist) { log << QStringLiteral("message:%1:%2").arg(m).arg(persist); });
        connect(manager, &TaskManager::started, this, [this](const QString& m, bool showCancel) {
            log << QStringLiteral("started:%1:%2").arg(m).arg(showCancel);
        });
        connect(manager, &TaskManager::error, this, [this](const QString& m) { log << "error:" + m; });
    }

    QStringList with(const QString& prefix) const
    {
        QStringList out;
        for (const QString& entry : log) {
            if (entry.startsWith(prefix)) {
                out << entry;
            }
        }
        return out;
    }

    QStringList log;
};

// Holds the manager's thread before its step until open() (and in any case when
// it goes), so that a test can act while the step has certainly not begun.
class StartGate {
public:
    explicit StartGate(TaskManager* manager)
        : m_manager(manager)
    {
        QObject::connect(
            manager, &QThread::started, &m_context, [this] { m_open.acquire(); }, Qt::DirectConnection);
    }
    ~StartGate()
    {
        m_open.release();
        if (m_manager) {
            m_manager->wait();
        }
    }
    StartGate(const StartGate&) = delete;
    StartGate& operator=(const StartGate&) = delete;

    void open() { m_open.release(); }

private:
    QPointer<TaskManager> m_manager;
    QSemaphore m_open;
    QObject m_context; // declared last: its connection ends first
};

// By its bytes, so that a name that is not UTF-8 (escaped, LocalPath) is made too.
void touch(const QString& path)
{
    const QByteArray bytes = LocalPath::encode(path);
    for (qsizetype slash = bytes.indexOf('/', 1); slash > 0; slash = bytes.indexOf('/', slash + 1))
        ::mkdir(bytes.left(slash).constData(), 0700);
    const int fd = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY2(fd >= 0, bytes.constData());
    ::close(fd);
}

} // namespace

class TestTaskManager : public QObject {
    Q_OBJECT

private:
    TaskManager* m_manager = nullptr;
    QTemporaryDir* m_dir = nullptr;

    QString path(const QString& relative) const { return m_dir->filePath(relative); }

    // Until the thread has ended and its end has been handled on this thread.
    bool waitIdle()
    {
        return QTest::qWaitFor([this] { return !m_manager->isRunning() && !m_manager->currentTask(); }, 20000);
    }

    // Runs a load to its end and leaves the manager finishing: the thread has
    // ended, but onFinished() has not been delivered, so the task is still held.
    void runLoadWithoutEventLoop(const QStringList& paths)
    {
        m_manager->loadFiles(paths);
        QVERIFY(m_manager->wait(20000));
        QVERIFY(m_manager->currentTask() != nullptr);
    }

private slots:
    void initTestCase()
    {
        // The manager must belong to this thread; the background thread only uses it.
        QVERIFY(DecryptManager::instance() != nullptr);
    }

    void init()
    {
        m_dir = new QTemporaryDir();
        QVERIFY(m_dir->isValid());
        m_manager = TaskManager::instance();
        QVERIFY(DecryptManager::instance()->clearAll());
    }

    void cleanup()
    {
        const QPointer<TaskManager> manager(m_manager);
        TaskManager::destroyInstance();
        QVERIFY(manager.isNull());
        korvel::test::removeTree(QFile::encodeName(m_dir->path())); // Qt would leave names that are not UTF-8
        delete m_dir;
    }

    void cleanupTestCase() { DecryptManager::destroyInstance(); }

    void loadSummary_data()
    {
        QTest::addColumn<QStringList>("files"); // created before the load
        QTest::addColumn<QStringList>("inputs");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<int>("pending");
        QTest::newRow("nothing given") << QStringList {} << QStringList {} << "No files found." << 0;
        QTest::newRow("nothing exists") << QStringList {} << QStringList { "missing", "gone/x" }
                                        << "0 files loaded successfully." << 0;
        QTest::newRow("files of any extension")
            << QStringList { "a.korvel-env", "b.txt", "c" } << QStringList { "a.korvel-env", "b.txt", "c" }
            << "3 files loaded successfully." << 3;
        QTest::newRow("folder, recursively")
            << QStringList { "d/a.korvel-env", "d/e/b.korvel-env", "d/e/f/c.pdf.korvel-env" } << QStringList { "d" }
            << "3 files loaded successfully." << 3;
        // A folder decrypted before holds its plaintexts too: they are passed over.
        QTest::newRow("folder gives its envelopes only")
            << QStringList { "d/a.korvel-env", "d/a", "d/e/b.KORVEL-ENV", "d/e/f/c.pdf" } << QStringList { "d" }
            << "2 files loaded. 2 files that are not envelopes skipped." << 2;
        QTest::newRow("same file twice") << QStringList { "a" } << QStringList { "a", "a" }
                                         << "1 files loaded. 1 duplicates skipped." << 1;
        QTest::newRow("file and its folder")
            << QStringList { "d/a.korvel-env", "d/b.korvel-env" } << QStringList { "d/a.korvel-env", "d" }
            << "2 files loaded. 1 duplicates skipped." << 2;
        QTest::newRow("duplicates and plaintexts")
            << QStringList { "d/a.korvel-env", "d/a" } << QStringList { "d/a.korvel-env", "d" }
            << "1 files loaded. 1 duplicates skipped. 1 files that are not envelopes skipped." << 1;
        // Named one by one, a file is tried whatever its name.
        QTest::newRow("named plaintext is tried")
            << QStringList { "d/a" } << QStringList { "d/a" } << "1 files loaded successfully." << 1;
    }

    void loadSummary()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, inputs);
        QFETCH(QString, summary);
        QFETCH(int, pending);
        for (const QString& f : files) {
            touch(path(f));
        }
        QStringList absolute;
        for (const QString& i : inputs) {
            absolute << path(i);
        }
        Recorder recorder(m_manager);
        m_manager->loadFiles(absolute);
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("loaded:"), QStringList { "loaded:" + summary });
        QCOMPARE(recorder.log.first(), QStringLiteral("started:Loading files...:1"));
        QCOMPARE(DecryptManager::instance()->getNumPending(), pending);
    }

    void secondLoadCountsDuplicates()
    {
        touch(path("d/a.korvel-env"));
        touch(path("d/s/b.korvel-env"));
        Recorder recorder(m_manager);
        m_manager->loadFiles({ path("d") });
        QVERIFY(waitIdle());
        m_manager->loadFiles({ path("d") });
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("loaded:"),
            (QStringList { "loaded:2 files loaded successfully.", "loaded:0 files loaded. 2 duplicates skipped." }));
    }

    void urlsFromADrop()
    {
        touch(path("a"));
        touch(path("d/b.korvel-env"));
        // Names that are not UTF-8 (Latin-1 "é"), dropped and found in a folder.
        const QString latin = LocalPath::decode("caf\xe9.korvel-env");
        touch(path(latin));
        touch(path("d/" + latin));
        Recorder recorder(m_manager);
        m_manager->loadUrls({ QUrl::fromLocalFile(path("a")), QUrl(QStringLiteral("https://example.com/x")),
            QUrl::fromLocalFile(path("d")),
            QUrl::fromEncoded(
                "file://" + QFile::encodeName(m_dir->path()).toPercentEncoding("/") + "/caf%E9.korvel-env") });
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("loaded:"), QStringList { "loaded:4 files loaded successfully." });
        QCOMPARE(DecryptManager::instance()->getNumPending(), 4);
        // Each a task under its own bytes.
        const QStringList pending = DecryptManager::instance()->getPendingPaths();
        QVERIFY(pending.contains(path(latin)));
        QVERIFY(pending.contains(path("d/" + latin)));
    }

    void pathOfInputs()
    {
        const FileLoadTask fromPaths(QStringList { "x/y", "" });
        QCOMPARE(fromPaths.path(0), QStringLiteral("x/y"));
        QCOMPARE(fromPaths.path(2), QString());
        QCOMPARE(fromPaths.path(-1), QString());
        const FileLoadTask fromUrls(
            QList<QUrl> { QUrl::fromLocalFile("/a/b"), QUrl("http://h/p"), QUrl::fromEncoded("file:///a/caf%E9%20b") });
        QCOMPARE(fromUrls.path(0), QStringLiteral("/a/b"));
        QCOMPARE(fromUrls.path(1), QString());
        QCOMPARE(LocalPath::encode(fromUrls.path(2)), QByteArray("/a/caf\xe9 b"));
        QCOMPARE(fromUrls.path(3), QString());
    }

    void taskEquality()
    {
        const FileLoadTask a(QStringList { "p", "q" });
        const FileLoadTask same(QStringList { "p", "q" });
        const FileLoadTask other(QStringList { "P", "q" });
        const ClearStatusTask finished(Task::FINISHED);
        const ClearStatusTask finished2(Task::FINISHED);
        const ClearStatusTask failed(Task::FAILED);
        const ReloadFailedTask reload;
        QVERIFY(a.equals(&same));
        QVERIFY(!a.equals(&other));
        QVERIFY(!a.equals(&finished));
        QVERIFY(finished.equals(&finished2));
        QVERIFY(!finished.equals(&failed));
        QVERIFY(!finished.equals(&a));
        QVERIFY(reload.equals(&a));
    }

    void walkOrderAndLinks()
    {
        touch(path("w/top"));
        touch(path("w/sub/inner"));
        touch(path("w/sub/deeper/last"));
        touch(path("w/.hidden"));
        // A folder and a file whose names are not UTF-8 are walked as any other.
        const QString latin = LocalPath::decode("w/sub/deeper/d\xe9j\xe0/\xe9t\xe9");
        touch(path(latin));
        touch(path("outside/target"));
        QVERIFY(QFile::link(path("outside/target"), path("w/link-to-file")));
        QVERIFY(QFile::link(path("outside"), path("w/link-to-folder")));
        const QStringList found = m_manager->walkDirectory(path("w"), QStringLiteral("*"), true);
        QCOMPARE(found, (QStringList { path("w/top"), path("w/sub/inner"), path("w/sub/deeper/last"), path(latin) }));
        QCOMPARE(m_manager->walkDirectory(path("w"), QStringLiteral("*"), false), QStringList { path("w/top") });
        QCOMPARE(m_manager->walkDirectory(path("nowhere"), QStringLiteral("*"), true), QStringList {});
    }

    void secondStartIsRefused()
    {
        for (int i = 0; i < 50; ++i) {
            touch(path(QStringLiteral("d/%1.korvel-env").arg(i)));
        }
        Recorder recorder(m_manager);
        // The load's thread sends its summary while it still runs, and waits here
        // until this handler (on this thread) has made every other start request.
        QObject whileRunning;
        connect(
            m_manager, &TaskManager::filesLoaded, &whileRunning,
            [this] {
                m_manager->loadFiles({ path("d") });
                m_manager->clearStatus(Task::FINISHED);
                m_manager->reloadFailed();
                m_manager->deleteEncrypted();
            },
            Qt::BlockingQueuedConnection);
        m_manager->loadFiles({ path("d") });
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("error:").size(), 4);
        QCOMPARE(recorder.with("error:").first(), QStringLiteral("error:A task is in progress, try again later."));
        QCOMPARE(recorder.with("started:").size(), 1);
        QCOMPARE(recorder.with("loaded:"), QStringList { "loaded:50 files loaded successfully." });
    }

    void cancelWithoutTaskChangesNothing()
    {
        touch(path("a"));
        Recorder recorder(m_manager);
        m_manager->cancel();
        QVERIFY(!m_manager->isCancelled());
        QVERIFY(recorder.log.isEmpty());
        // The next load is not cut short by a cancel that had nothing to stop.
        m_manager->loadFiles({ path("a") });
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("loaded:"), QStringList { "loaded:1 files loaded successfully." });
    }

    void cancelledLoadSendsNoSummary()
    {
        touch(path("d/a"));
        touch(path("d/b"));
        Recorder recorder(m_manager);
        {
            StartGate gate(m_manager);
            m_manager->loadFiles({ path("d") });
            // The thread waits before its step: the cancel lands while the load runs.
            m_manager->cancel();
            QVERIFY(m_manager->isCancelled());
            QCOMPARE(m_manager->walkDirectory(path("d"), QStringLiteral("*"), true), QStringList {});
            gate.open();
            QVERIFY(waitIdle());
        }
        QVERIFY(!m_manager->isCancelled());
        QCOMPARE(recorder.with("loaded:"), QStringList {});
        QCOMPARE(recorder.with("message:"), (QStringList { "message:Cancelling...:1", "message::0" }));
        QCOMPARE(recorder.with("started:"), (QStringList { "started:Loading files...:1", "started:Cancelling...:0" }));
        QCOMPARE(DecryptManager::instance()->getNumPending(), 0);
    }

    void cancelledClearStillCompletes()
    {
        touch(path("a"));
        DecryptManager::instance()->addFiles({ path("a") });
        Recorder recorder(m_manager);
        {
            StartGate gate(m_manager);
            m_manager->clearStatus(Task::WAITING);
            m_manager->cancel();
            QVERIFY(m_manager->isCancelled());
            gate.open();
            QVERIFY(waitIdle());
        }
        QCOMPARE(recorder.with("cleared:"), QStringList { "cleared:All pending tasks cleared." });
        QCOMPARE(recorder.with("message:"), (QStringList { "message:Cancelling...:1", "message::0" }));
        QCOMPARE(DecryptManager::instance()->getNumPending(), 0);
    }

    // A cancel that comes after the step has returned (the thread has ended, its
    // end not yet handled here) has nothing left to stop. It announces nothing: a
    // "Cancelling..." sent now would reach the busy dialog after the thread's end
    // had closed it, and open it again for good. Nor does it cut the next
    // operation short.
    void cancelAfterTheStepEndedDoesNothing()
    {
        touch(path("a"));
        Recorder recorder(m_manager);
        runLoadWithoutEventLoop({ path("a") });
        m_manager->cancel();
        QVERIFY(!m_manager->isCancelled());
        QCOMPARE(recorder.log, QStringList { "started:Loading files...:1" });
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("loaded:"), QStringList { "loaded:1 files loaded successfully." });
        QCOMPARE(recorder.with("message:"), QStringList {});
        QCOMPARE(recorder.with("started:"), QStringList { "started:Loading files...:1" });
        m_manager->loadFiles({ path("a") });
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("loaded:").last(), QStringLiteral("loaded:0 files loaded. 1 duplicates skipped."));
    }

    void clearByStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("announce");
        QTest::addColumn<QString>("result");
        QTest::newRow("finished") << 1 << "Clearing finished tasks..."
                                  << "All finished tasks cleared.";
        QTest::newRow("failed") << 2 << "Clearing failed tasks..."
                                << "All failed tasks cleared.";
        QTest::newRow("cancelled") << 3 << "Clearing pending tasks..."
                                   << "All pending tasks cleared.";
        QTest::newRow("waiting") << 4 << "Clearing pending tasks..."
                                 << "All pending tasks cleared.";
        QTest::newRow("all") << 5 << "Clearing all tasks..."
                             << "All tasks cleared";
        QTest::newRow("decrypting") << 0 << ""
                                    << "No files cleared for unknown status.";
        QTest::newRow("unknown") << 7 << ""
                                 << "No files cleared for unknown status.";
    }

    void clearByStatus()
    {
        QFETCH(int, status);
        QFETCH(QString, announce);
        QFETCH(QString, result);
        touch(path("a"));
        DecryptManager::instance()->addFiles({ path("a") });
        Recorder recorder(m_manager);
        m_manager->clearStatus(Task::STATUS(status));
        QVERIFY(waitIdle());
        QCOMPARE(recorder.with("cleared:"), QStringList { "cleared:" + result });
        QCOMPARE(recorder.with("started:"),
            announce.isEmpty() ? QStringList {} : QStringList { "started:" + announce + ":1" });
        const bool pendingCleared = status >= 3 && status <= 5;
        QCOMPARE(DecryptManager::instance()->getNumPending(), pendingCleared ? 0 : 1);
    }

    void reloadAndDeleteResults()
    {
        Recorder recorder(m_manager);
        m_manager->reloadFailed();
        QVERIFY(waitIdle());
        m_manager->deleteEncrypted();
        QVERIFY(waitIdle());
        QCOMPARE(recorder.log,
            (QStringList { "started:Reloading failed tasks...:1", "reload:Failed list is empty.",
                "started:Deleting encrypted source files...:1",
                "message:Encrypted source files deleted from finished tasks.:0" }));
    }

    // The runner's thread gives way to the window: it runs its steps with a nice
    // value well above the main thread's, whatever the toolkit's priority hint does.
    void threadRunsBelowTheWindow()
    {
        const int window = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
        const int expected = qMin(window + ThreadPriority::kBackgroundSteps, ThreadPriority::kLowestNice);
        std::atomic<int> seen { -100 };
        QObject context;
        // A clear announces itself from the manager's thread.
        connect(
            m_manager, &TaskManager::started, &context,
            [&] {
                if (QThread::currentThread() == m_manager) {
                    seen = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
                }
            },
            Qt::DirectConnection);
        m_manager->clearStatus(Task::FINISHED);
        QVERIFY(waitIdle());
        QCOMPARE(seen.load(), expected);
        QCOMPARE(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), window);
    }

    void shutdownWaitsForALongLoad()
    {
        for (int d = 0; d < 20; ++d) {
            for (int f = 0; f < 50; ++f) {
                touch(path(QStringLiteral("big/%1/%2").arg(d).arg(f)));
            }
        }
        Recorder recorder(m_manager);
        m_manager->loadFiles({ path("big") });
        const QPointer<TaskManager> manager(m_manager);
        TaskManager::destroyInstance();
        QVERIFY(manager.isNull());
        // Cancelled or finished: either way nothing runs any more and a new
        // manager starts clean.
        m_manager = TaskManager::instance();
        QVERIFY(!m_manager->isRunning());
        QVERIFY(!m_manager->isCancelled());
    }
};

QTEST_GUILESS_MAIN(TestTaskManager)
#include "test_TaskManager.moc"
