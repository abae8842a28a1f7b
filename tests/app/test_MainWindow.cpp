// The main window driven through its object names: status line, loading,
// a full decryption run with a failure, the views, clearing, drag and drop,
// the row limit, sorting, the passphrase field, the busy dialog's Cancel and
// the command line.
#include "app/BusyDialog.h"
#include "app/MainWindow.h"
#include "app/ReloadFailedDialog.h"
#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"
#include "tests/support/EnvelopeWriter.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using korvel::test::Bytes;
using korvel::test::EnvelopeOptions;

namespace {

const QString kStartText = QStringLiteral("   Drag files and folders to start decrypting...");

// Calls back whenever the watched object receives an event of one type.
class EventWatcher : public QObject {
public:
    EventWatcher(QObject* watched, QEvent::Type type, std::function<void()> onEvent)
        : m_type(type)
        , m_onEvent(std::move(onEvent))
    {
        watched->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == m_type) {
            m_onEvent();
        }
        return false;
    }

private:
    QEvent::Type m_type;
    std::function<void()> m_onEvent;
};

// Holds a thread at a point it passes (a signal delivered directly) until the
// test lets it go on.
struct Gate {
    QSemaphore reached;
    QSemaphore open;
    void pass()
    {
        reached.release();
        open.acquire();
    }
};

Bytes plaintextFor(const QString& name)
{
    const QByteArray text = ("contents of " + name).toUtf8();
    return Bytes(text.begin(), text.end());
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    MainWindow* m_window = nullptr;
    // Answers the reload question whenever it shows: OK when true.
    bool m_acceptReload = false;
    QStringList m_reloadQuestions;
    QTimer m_answerer;

    template <typename T> T* child(const char* name) const
    {
        T* found = m_window->findChild<T*>(QString::fromLatin1(name));
        if (!found) {
            qFatal("no child %s", name);
        }
        return found;
    }

    QString status() const { return child<QLabel>("_statusLbl")->text(); }
    QTableWidget* table() const { return child<QTableWidget>("_messagesTbl"); }
    QPushButton* decryptButton() const { return child<QPushButton>("_decryptBtn"); }

    QString writeEnvelope(const QString& name, const std::string& passphrase = "secret")
    {
        EnvelopeOptions options;
        options.passphrases = { passphrase };
        const QString path = m_dir->filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!korvel::test::writeEnvelope(
                path.toStdString(), plaintextFor(QFileInfo(name).completeBaseName()), options)) {
            qFatal("cannot write %s", qPrintable(path));
        }
        return path;
    }

    bool loadAndWait(const QStringList& paths, const QString& summary)
    {
        TaskManager::instance()->loadFiles(paths);
        return QTest::qWaitFor([&] { return status() == "   " + summary; }, 20000);
    }

    QList<int> rowStatuses() const
    {
        QList<int> statuses;
        for (int row = 0; row < table()->rowCount(); ++row) {
            statuses << table()->item(row, MainWindow::StatusColumn)->data(MainWindow::StatusRole).toInt();
        }
        std::sort(statuses.begin(), statuses.end());
        return statuses;
    }

    int rowOf(const QString& fileName) const
    {
        const auto found = table()->findItems(fileName, Qt::MatchExactly);
        return found.size() == 1 ? found.first()->row() : -1;
    }

    // Three good envelopes and one for another passphrase, decrypted with "secret".
    void runWithOneFailure()
    {
        for (const char* name : { "a.txt.korvel-env", "b.txt.korvel-env", "c.txt.korvel-env" }) {
            writeEnvelope(QString::fromLatin1(name));
        }
        writeEnvelope(QStringLiteral("bad.txt.korvel-env"), "other");
        QVERIFY(loadAndWait({ m_dir->path() }, QStringLiteral("4 files loaded successfully.")));
        QTRY_VERIFY(decryptButton()->isEnabled());
        QTest::keyClicks(child<QLineEdit>("_phraseTxt"), QStringLiteral("secret"));
        QTest::mouseClick(decryptButton(), Qt::LeftButton);
        QVERIFY(decryptButton()->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!m_reloadQuestions.isEmpty() && !decryptButton()->isChecked(), 30000);
        QCOMPARE(m_reloadQuestions, QStringList { "1 tasks have failed. Do you want to reload? " });
        for (const char* name : { "a.txt", "b.txt", "c.txt" }) {
            QFile out(m_dir->filePath(QString::fromLatin1(name)));
            QVERIFY(out.open(QIODevice::ReadOnly));
            const Bytes expected = plaintextFor(QString::fromLatin1(name));
            QCOMPARE(out.readAll(), QByteArray(reinterpret_cast<const char*>(expected.data()), expected.size()));
        }
        QVERIFY(!QFile::exists(m_dir->filePath("bad.txt")));
    }

private slots:
    void initTestCase()
    {
        ReloadFailedDialog* dialog = ReloadFailedDialog::instance();
        m_answerer.setInterval(10);
        connect(&m_answerer, &QTimer::timeout, this, [this, dialog] {
            if (dialog->isVisible()) {
                m_reloadQuestions << dialog->findChild<QLabel*>("_message")->text();
                m_acceptReload ? dialog->accept() : dialog->reject();
            }
        });
        m_answerer.start();
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_reloadQuestions.clear();
        m_acceptReload = false;
        m_window = new MainWindow();
        m_window->show();
    }

    void cleanup()
    {
        delete m_window;
        m_window = nullptr;
        m_dir.reset();
    }

    void startTextThenCounts()
    {
        QCOMPARE(status(), kStartText);
        QVERIFY(!decryptButton()->isEnabled());
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Korvel Crypt"));
        QVERIFY(m_window->createPopupMenu() == nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("   0 finished, 0 failed, 0 pending, 0 total"), 15000);
    }

    void loadingEnablesDecrypt()
    {
        writeEnvelope(QStringLiteral("one.korvel-env"));
        writeEnvelope(QStringLiteral("sub/two.korvel-env"));
        QVERIFY(loadAndWait({ m_dir->path() }, QStringLiteral("2 files loaded successfully.")));
        QTRY_VERIFY(decryptButton()->isEnabled());
        QCOMPARE(table()->rowCount(), 0); // waiting files have no rows
        m_window->updateStatus();
        QCOMPARE(status(), QStringLiteral("   0 finished, 0 failed, 2 pending, 2 total"));
    }

    void fullRunWithFailure_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("cancel keeps the failure") << false;
        QTest::newRow("ok reloads it") << true;
    }

    void fullRunWithFailure()
    {
        QFETCH(bool, accept);
        m_acceptReload = accept;
        runWithOneFailure();
        DecryptManager* decrypt = DecryptManager::instance();
        QCOMPARE(decrypt->getNumCompleted(), 3);
        QVERIFY(!decryptButton()->isEnabled() || accept);
        if (accept) {
            QTRY_COMPARE(decrypt->getNumPending(), 1);
            QCOMPARE(decrypt->getNumFailed(), 0);
            QCOMPARE(rowStatuses(), (QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED }));
            QTRY_VERIFY(decryptButton()->isEnabled());
        } else {
            QCOMPARE(decrypt->getNumFailed(), 1);
            QCOMPARE(decrypt->getNumPending(), 0);
            QCOMPARE(rowStatuses(), (QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED, Task::FAILED }));
            const int bad = rowOf(QStringLiteral("bad.txt.korvel-env"));
            QVERIFY(bad >= 0);
            QVERIFY(table()->item(bad, MainWindow::StatusColumn)->text().startsWith(QStringLiteral("Error (")));
            QCOMPARE(table()->item(bad, MainWindow::StatusColumn)->foreground().color(), QColor(QStringLiteral("red")));
            const int good = rowOf(QStringLiteral("a.txt.korvel-env"));
            QCOMPARE(table()->item(good, MainWindow::ProgressColumn)->text(), QStringLiteral("100.0%"));
            QCOMPARE(table()->item(good, MainWindow::StatusColumn)->text(), QStringLiteral("Finished"));
            QCOMPARE(
                table()->item(good, MainWindow::StatusColumn)->foreground().color(), QColor(QStringLiteral("green")));
            QTRY_COMPARE(status(), QStringLiteral("   3 finished, 1 failed, 0 pending, 4 total"));
            QCOMPARE(child<QLabel>("_progressLbl")->text(), QStringLiteral("100%"));
        }
    }

    void viewsAndClearFailed()
    {
        runWithOneFailure();
        auto* view = child<QComboBox>("_viewComboBox");
        view->setCurrentIndex(MainWindow::FinishedView);
        QCOMPARE(rowStatuses(), (QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED }));
        view->setCurrentIndex(MainWindow::FailedView);
        QCOMPARE(rowStatuses(), (QList<int> { Task::FAILED }));
        view->setCurrentIndex(MainWindow::LatestView);
        QCOMPARE(rowStatuses(), (QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED, Task::FAILED }));

        CryptTask cancelled(m_dir->filePath(QStringLiteral("stopped.korvel-env")));
        cancelled.setStatus(Task::CANCELLED);
        m_window->updateTaskRow(&cancelled);
        QCOMPARE(rowStatuses(),
            (QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED, Task::FAILED, Task::CANCELLED }));

        child<QAction>("actionClearFailed")->trigger();
        QCOMPARE(rowStatuses(), (QList<int> { Task::FINISHED, Task::FINISHED, Task::FINISHED }));
        QTRY_COMPARE(DecryptManager::instance()->getNumFailed(), 0);
        QTRY_COMPARE(status(), QStringLiteral("   All failed tasks cleared."));

        // A task whose row stayed still updates that row, not a new one.
        const QList<CryptTask*> finished = DecryptManager::instance()->getCompletedTasks();
        QCOMPARE(finished.size(), 3);
        m_window->updateTaskRow(finished.first());
        QCOMPARE(table()->rowCount(), 3);
    }

    void dropsAndDecrypting()
    {
        const QString file = writeEnvelope(QStringLiteral("dropped.korvel-env"));
        QMimeData uris;
        uris.setUrls({ QUrl::fromLocalFile(file) });
        QMimeData text;
        text.setText(QStringLiteral("not a file list"));
        QWidget* viewport = table()->viewport();

        QDragEnterEvent plain(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &plain);
        QVERIFY(!plain.isAccepted());

        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &uris, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &uris, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        QVERIFY(drop.isAccepted());
        QTRY_COMPARE(status(), QStringLiteral("   1 files loaded successfully."));
        QTRY_VERIFY(decryptButton()->isEnabled());

        QTest::keyClicks(child<QLineEdit>("_phraseTxt"), QStringLiteral("secret"));
        QTest::mouseClick(decryptButton(), Qt::LeftButton);
        QVERIFY(decryptButton()->isChecked());
        QVERIFY(!child<QAction>("actionOpenFiles")->isEnabled());
        QVERIFY(child<QAction>("actionExit")->isEnabled());
        QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &uris, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &refused);
        QVERIFY(!refused.isAccepted());

        QTRY_VERIFY_WITH_TIMEOUT(!decryptButton()->isChecked(), 30000);
        QVERIFY(child<QAction>("actionOpenFiles")->isEnabled());
        QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("dropped"))));
    }

    void tableEmptiedPastRowLimit()
    {
        std::vector<std::unique_ptr<CryptTask>> tasks;
        for (int i = 0; i <= m_window->rowLimit(); ++i) {
            tasks.push_back(
                std::make_unique<CryptTask>(QStringLiteral("/in/file%1.korvel-env").arg(i, 4, 10, QChar('0'))));
            m_window->updateTaskRow(tasks.back().get());
        }
        QCOMPARE(table()->rowCount(), m_window->rowLimit() + 1);
        tasks[5]->setProgress(0.375f);
        m_window->updateTaskRow(tasks[5].get());
        QCOMPARE(table()->rowCount(), 1);
        QCOMPARE(table()->item(0, MainWindow::NameColumn)->text(), QStringLiteral("file0005.korvel-env"));
        QCOMPARE(table()->item(0, MainWindow::ProgressColumn)->text(), QStringLiteral("37.5%"));
    }

    void sortingKeepsEachTaskOnItsRow()
    {
        CryptTask b(QStringLiteral("/in/b.korvel-env"));
        CryptTask a(QStringLiteral("/in/a.korvel-env"));
        CryptTask c(QStringLiteral("/in/c.korvel-env"));
        for (CryptTask* t : { &b, &a, &c }) {
            m_window->updateTaskRow(t);
        }
        QCOMPARE(table()->rowCount(), 3);
        table()->sortItems(MainWindow::NameColumn, Qt::AscendingOrder);
        QCOMPARE(table()->item(0, MainWindow::NameColumn)->text(), QStringLiteral("a.korvel-env"));

        b.setStatus(Task::DECRYPTING);
        b.setProgress(0.5f);
        m_window->updateTaskRow(&b);
        QCOMPARE(table()->rowCount(), 3);
        QCOMPARE(table()->item(rowOf("b.korvel-env"), MainWindow::ProgressColumn)->text(), QStringLiteral("50.0%"));
        QCOMPARE(table()->item(rowOf("b.korvel-env"), MainWindow::StatusColumn)->text(), QStringLiteral("Decrypting"));
        QCOMPARE(table()->item(rowOf("a.korvel-env"), MainWindow::StatusColumn)->text(), QStringLiteral("Waiting"));
        QCOMPARE(table()->item(rowOf("c.korvel-env"), MainWindow::ProgressColumn)->text(), QStringLiteral("0.0%"));

        // Sorted by status, an update moves its row; the next update still finds it.
        table()->sortItems(MainWindow::StatusColumn, Qt::DescendingOrder);
        c.setStatus(Task::FINISHED);
        c.setProgress(1.0f);
        m_window->updateTaskRow(&c);
        a.setStatus(Task::FAILED);
        a.setMessage(QStringLiteral("bad"));
        m_window->updateTaskRow(&a);
        CryptTask d(QStringLiteral("/in/d.korvel-env"));
        m_window->updateTaskRow(&d);
        QCOMPARE(table()->rowCount(), 4);
        QCOMPARE(table()->item(rowOf("c.korvel-env"), MainWindow::StatusColumn)->text(), QStringLiteral("Finished"));
        QCOMPARE(table()->item(rowOf("c.korvel-env"), MainWindow::ProgressColumn)->text(), QStringLiteral("100.0%"));
        QCOMPARE(table()->item(rowOf("a.korvel-env"), MainWindow::StatusColumn)->text(), QStringLiteral("Error (bad)"));
        QCOMPARE(table()->item(rowOf("b.korvel-env"), MainWindow::StatusColumn)->text(), QStringLiteral("Decrypting"));
        QCOMPARE(table()->item(rowOf("d.korvel-env"), MainWindow::StatusColumn)->text(), QStringLiteral("Waiting"));
        QCOMPARE(table()->item(rowOf("d.korvel-env"), MainWindow::ProgressColumn)->text(), QStringLiteral("0.0%"));
    }

    void showPassphrase()
    {
        auto* phrase = child<QLineEdit>("_phraseTxt");
        auto* check = child<QCheckBox>("_showPassCheck");
        QCOMPARE(check->text(), QStringLiteral("Show passphrase"));
        QCOMPARE(phrase->echoMode(), QLineEdit::Password);
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(phrase->echoMode(), QLineEdit::Normal);
        QTest::mouseClick(check, Qt::LeftButton);
        QCOMPARE(phrase->echoMode(), QLineEdit::Password);
    }

    // Cancel pressed while the load runs, and pressed just as it ends: the load's
    // thread is held at a point of its run (before its step, or after its last
    // cancel check with the summary on its way) while the button is clicked.
    void busyDialogCancel_data()
    {
        QTest::addColumn<bool>("whileRunning");
        QTest::newRow("while the load runs") << true;
        QTest::newRow("as the load ends") << false;
    }

    void busyDialogCancel()
    {
        QFETCH(bool, whileRunning);
        for (int f = 0; f < 3; ++f) {
            writeEnvelope(QStringLiteral("many/%1.korvel-env").arg(f));
        }
        BusyDialog* busy = BusyDialog::instance();
        TaskManager* tasks = TaskManager::instance();
        auto* label = busy->findChild<QLabel*>("_label");
        auto* cancelButton = busy->findChild<QPushButton*>("_cancelBtn");
        QSignalSpy cancelled(busy, &BusyDialog::cancelled);
        QSignalSpy messages(tasks, &TaskManager::statusMessage);
        QSignalSpy loaded(tasks, &TaskManager::filesLoaded);

        Gate gate;
        QObject holds; // its connections end before the gate goes
        if (whileRunning) {
            connect(
                tasks, &QThread::started, &holds, [&gate] { gate.pass(); }, Qt::DirectConnection);
        } else {
            connect(
                tasks, &TaskManager::filesLoaded, &holds, [&gate] { gate.pass(); }, Qt::DirectConnection);
        }
        const auto letGo = qScopeGuard([&] {
            gate.open.release();
            tasks->wait();
        });

        QStringList shown; // the text and whether Cancel shows, at every showing
        EventWatcher watcher(busy, QEvent::Show, [&] {
            shown << QStringLiteral("%1:%2").arg(label->text()).arg(cancelButton->isVisibleTo(busy));
            if (shown.size() == 1) {
                // From the event loop inside the dialog's exec().
                QMetaObject::invokeMethod(
                    this,
                    [&] {
                        if (!whileRunning) {
                            gate.reached.acquire(); // the load has made its last cancel check
                        }
                        QTest::mouseClick(cancelButton, Qt::LeftButton);
                        if (!whileRunning) {
                            // The thread ends before the cancel request is handled.
                            gate.open.release();
                            QVERIFY(tasks->wait(20000));
                        }
                    },
                    Qt::QueuedConnection);
            } else if (tasks->isRunning()) {
                gate.open.release(); // "Cancelling...": the load goes on to its end, which closes the dialog
            } else {
                // Shown after the load's end had closed it: nothing would close it again.
                QTimer::singleShot(0, busy, &QWidget::hide);
            }
        });

        tasks->loadFiles({ m_dir->filePath(QStringLiteral("many")) });
        QTRY_VERIFY_WITH_TIMEOUT(!tasks->isRunning() && !tasks->currentTask(), 30000);
        // Everything already posted (a late request to show the dialog too) has been handled.
        bool flushed = false;
        QMetaObject::invokeMethod(
            this, [&flushed] { flushed = true; }, Qt::QueuedConnection);
        QTRY_VERIFY(flushed);

        QVERIFY(!busy->isVisible());
        QCOMPARE(cancelled.size(), 1);
        QVERIFY(!tasks->isCancelled());
        if (whileRunning) {
            QCOMPARE(shown, (QStringList { "Loading files...:1", "Cancelling...:0" }));
            QCOMPARE(loaded.size(), 0);
            QCOMPARE(messages.size(), 2);
            QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Cancelling..."));
            QCOMPARE(messages.at(1).at(0).toString(), QString());
            QCOMPARE(DecryptManager::instance()->getNumPending(), 0);
        } else {
            QCOMPARE(shown, QStringList { "Loading files...:1" });
            QCOMPARE(loaded.size(), 1);
            QCOMPARE(messages.size(), 0);
            QCOMPARE(DecryptManager::instance()->getNumPending(), 3);
            QCOMPARE(status(), QStringLiteral("   3 files loaded successfully."));
        }
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no arguments") << QStringList { "korvelcrypt" } << kStartText;
        QTest::newRow("file then -h") << QStringList { "korvelcrypt", "@one", "-h" }
                                      << "   1 files loaded successfully.";
        QTest::newRow("star then folder")
            << QStringList { "korvelcrypt", "*", "@elsewhere" } << "   2 files loaded successfully.";
        QTest::newRow("-H is a path") << QStringList { "korvelcrypt", "-H" } << "   0 files loaded successfully.";
        QTest::newRow("folder and file") << QStringList { "korvelcrypt", "@elsewhere", "@one" }
                                         << "   2 files loaded successfully.";
        // One folder named three ways is loaded once; relative paths are taken from
        // the folder the program started in.
        QTest::newRow("one folder three ways") << QStringList { "korvelcrypt", "../elsewhere/", "@elsewhere",
            "../elsewhere", "./x" } << "   2 files loaded. 2 duplicates skipped.";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const QString cwd = m_dir->filePath(QStringLiteral("cwd"));
        QDir().mkpath(cwd + "/inner");
        QFile(cwd + "/x").open(QIODevice::WriteOnly);
        QFile(cwd + "/inner/y").open(QIODevice::WriteOnly);
        QDir().mkpath(m_dir->filePath(QStringLiteral("elsewhere")));
        QFile(m_dir->filePath(QStringLiteral("elsewhere/z"))).open(QIODevice::WriteOnly);
        QFile(m_dir->filePath(QStringLiteral("one"))).open(QIODevice::WriteOnly);
        for (QString& argument : arguments) {
            if (argument.startsWith('@')) {
                argument = m_dir->filePath(argument.mid(1));
            }
        }
        const QString before = QDir::currentPath();
        QDir::setCurrent(cwd);
        MainWindow::handleCommandLine(arguments);
        QDir::setCurrent(before);
        QTRY_COMPARE(status(), expected);
    }
};

int main(int argc, char* argv[])
{
    // The window reads the process's command line; keep the test's own options
    // (function names, -v2, ...) away from it.
    int appArgc = 1;
    QApplication app(appArgc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
    QCoreApplication::setApplicationName(QStringLiteral("Crypt"));
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_MainWindow.moc"
