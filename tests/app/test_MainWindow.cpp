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
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using korvel::test::Bytes;
using korvel::test::EnvelopeOptions;

namespace {

const QString kStartText = QStringLiteral("   Drag files and folders to start decrypting...");

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

    // A failed write's reason shows as the tooltip of its row; other rows have none.
    void failedRowShowsTheReason()
    {
        CryptTask full(QStringLiteral("/in/full.korvel-env"));
        full.setMessage(QStringLiteral("Could not write out to device. Code: -5"));
        full.setReason(QStringLiteral("No space left on device"));
        full.setStatus(Task::FAILED);
        CryptTask wrong(QStringLiteral("/in/wrong.korvel-env"));
        wrong.setMessage(QStringLiteral("Passphrase doesn't match Code: 1"));
        wrong.setStatus(Task::FAILED);
        m_window->updateTaskRow(&full);
        m_window->updateTaskRow(&wrong);
        QCOMPARE(table()->rowCount(), 2);
        for (int column = 0; column < MainWindow::ColumnCount; ++column) {
            QCOMPARE(
                table()->item(rowOf("full.korvel-env"), column)->toolTip(), QStringLiteral("No space left on device"));
            QVERIFY(table()->item(rowOf("wrong.korvel-env"), column)->toolTip().isEmpty());
        }
        QCOMPARE(table()->item(rowOf("full.korvel-env"), MainWindow::StatusColumn)->text(),
            QStringLiteral("Error (Could not write out to device. Code: -5)"));

        // Reloaded and decrypted again: the row's new record has no reason.
        CryptTask again(QStringLiteral("/in/full.korvel-env"));
        again.setStatus(Task::FINISHED);
        m_window->updateTaskRow(&again);
        QCOMPARE(table()->rowCount(), 2);
        QVERIFY(table()->item(rowOf("full.korvel-env"), MainWindow::StatusColumn)->toolTip().isEmpty());
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

    void busyDialogCancel()
    {
        for (int d = 0; d < 40; ++d) {
            for (int f = 0; f < 100; ++f) {
                QDir().mkpath(m_dir->filePath(QStringLiteral("many/%1").arg(d)));
                QFile file(m_dir->filePath(QStringLiteral("many/%1/%2").arg(d).arg(f)));
                QVERIFY(file.open(QIODevice::WriteOnly));
            }
        }
        BusyDialog* busy = BusyDialog::instance();
        QSignalSpy cancelled(busy, &BusyDialog::cancelled);
        QSignalSpy messages(TaskManager::instance(), &TaskManager::statusMessage);
        QSignalSpy loaded(TaskManager::instance(), &TaskManager::filesLoaded);
        QString shownText;
        QTimer clicker;
        clicker.setInterval(1);
        connect(&clicker, &QTimer::timeout, this, [&] {
            if (busy->isVisible() && shownText.isEmpty()) {
                shownText = busy->findChild<QLabel*>("_label")->text();
                QTest::mouseClick(busy->findChild<QPushButton*>("_cancelBtn"), Qt::LeftButton);
            }
        });
        clicker.start();
        TaskManager::instance()->loadFiles({ m_dir->filePath(QStringLiteral("many")) });
        QTRY_VERIFY_WITH_TIMEOUT(
            !TaskManager::instance()->isRunning() && !TaskManager::instance()->currentTask(), 30000);
        QTRY_VERIFY(!busy->isVisible());
        QCOMPARE(shownText, QStringLiteral("Loading files..."));
        QCOMPARE(cancelled.size(), 1);
        // The load either stopped on the cancel, or had ended before it arrived.
        const bool stopped = !messages.isEmpty() && messages.first().at(0).toString() == "Cancelling...";
        if (stopped) {
            QCOMPARE(loaded.size(), 0);
            QCOMPARE(messages.last().at(0).toString(), QString());
            QCOMPARE(DecryptManager::instance()->getNumPending(), 0);
        } else {
            QCOMPARE(loaded.size(), 1);
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
