// The main window driven through its object names: status line, loading,
// a full decryption run with a failure, the views, clearing, drag and drop,
// the row limit, sorting, the passphrase field, the busy dialog's Cancel, the
// place plaintexts go and the command line; the speed display, the status
// line's width, Enter in the passphrase field, dialogs kept with the window, the
// delete confirmation, status colours under light and dark palettes, access keys
// and accessible names.
#include "app/AboutWindow.h"
#include "app/BusyDialog.h"
#include "app/ElidedLabel.h"
#include "app/MainWindow.h"
#include "app/ReloadFailedDialog.h"
#include "app/SettingsDialog.h"
#include "app/SpeedLabel.h"
#include "app/StatusColours.h"
#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"
#include "tests/support/EnvelopeWriter.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSemaphore>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <functional>
#include <map>
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

// A palette of a dark desktop theme: light text on near-black.
QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x23, 0x23, 0x23));
    palette.setColor(QPalette::AlternateBase, QColor(0x2c, 0x2c, 0x2c));
    palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    palette.setColor(QPalette::HighlightedText, Qt::black);
    return palette;
}

// Where a dialog stands against the window it belongs to; empty when it is
// transient for the window (through its native window or its parent widget)
// and centred over it.
QString placement(const QWidget* dialog, const QWidget* window)
{
    if (!dialog || !dialog->isVisible()) {
        return QStringLiteral("not shown");
    }
    // Only a dialog-type window is made transient on X11 (WM_TRANSIENT_FOR).
    if (dialog->windowType() != Qt::Dialog) {
        return QStringLiteral("not a dialog window");
    }
    const bool child = dialog->parentWidget() && dialog->parentWidget()->window() == window;
    const bool transient
        = dialog->windowHandle() && dialog->windowHandle()->transientParent() == window->windowHandle();
    if (!child && !transient) {
        return QStringLiteral("not transient for the window");
    }
    const QPoint offset = dialog->frameGeometry().center() - window->frameGeometry().center();
    if (qAbs(offset.x()) > 2 || qAbs(offset.y()) > 2) {
        return QStringLiteral("off centre by %1,%2").arg(offset.x()).arg(offset.y());
    }
    return QString();
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

public:
    // The desktop's handler for file URLs while the tests run (QDesktopServices).
    Q_INVOKABLE void openFile(const QUrl& url) { m_opened << url.toLocalFile(); }

private:
    QStringList m_opened;
    std::unique_ptr<QTemporaryDir> m_dir;
    MainWindow* m_window = nullptr;
    // Answers the reload question whenever it shows: OK when true.
    bool m_acceptReload = false;
    QStringList m_reloadQuestions;
    QStringList m_reloadPlacements;
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

    // The task's row shows its new status and progress.
    void show(CryptTask& task, Task::STATUS status, float progress)
    {
        task.setStatus(status);
        task.setProgress(progress);
        m_window->updateTaskRow(&task);
    }

    QString cell(const QString& fileName, int column) const
    {
        const int row = rowOf(fileName);
        return row < 0 ? QStringLiteral("(no row)") : table()->item(row, column)->text();
    }

    QStringList columnTexts(int column) const
    {
        QStringList texts;
        for (int row = 0; row < table()->rowCount(); ++row) {
            texts << table()->item(row, column)->text();
        }
        return texts;
    }

    void clickHeader(int column) const
    {
        QHeaderView* header = table()->horizontalHeader();
        const QPoint at(
            header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }

    // Clicks column's header, checks that the column then reads ascending in the
    // order the header shows, and returns that order.
    Qt::SortOrder sortByClick(int column, QStringList ascending) const
    {
        clickHeader(column);
        QHeaderView* header = table()->horizontalHeader();
        [&] { QCOMPARE(header->sortIndicatorSection(), column); }();
        if (header->sortIndicatorOrder() == Qt::DescendingOrder) {
            std::reverse(ascending.begin(), ascending.end());
        }
        [&] { QCOMPARE(columnTexts(column), ascending); }();
        return header->sortIndicatorOrder();
    }

    // Opens a modal dialog through open(); once it shows, notes where it stands
    // against the window and lets close() answer it. Returns the placement
    // (empty when right), or why it could not be looked at.
    QString whileModal(const std::function<void()>& open, const std::function<void(QWidget*)>& close)
    {
        QString where = QStringLiteral("no modal dialog");
        QTimer::singleShot(0, this, [&] {
            if (QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 10000)) {
                QWidget* modal = QApplication::activeModalWidget();
                where = placement(modal, m_window);
                close(modal);
            }
        });
        open();
        return where;
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
                m_reloadPlacements << placement(dialog, m_window);
                m_acceptReload ? dialog->accept() : dialog->reject();
            }
        });
        m_answerer.start();
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openFile");
    }

    void init()
    {
        // Every test starts with plaintexts going next to their files.
        QSettings().remove(QStringLiteral("settings/outputFolder"));
        QSettings().remove(QStringLiteral("settings/skipDecrypted"));
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // The window as it looks the first time.
        QSettings().remove(QStringLiteral("window"));
        m_opened.clear();
        m_reloadQuestions.clear();
        m_reloadPlacements.clear();
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

    // A run's updates follow the newest row only while the view is at the
    // bottom; scrolled up, the rows being read stay where they are.
    void newestRowFollowedAtTheBottomOnly_data()
    {
        QTest::addColumn<bool>("scrollUp");
        QTest::addColumn<bool>("newTask");
        QTest::newRow("at the bottom, new row") << false << true;
        QTest::newRow("at the bottom, row update") << false << false;
        QTest::newRow("scrolled up, new row") << true << true;
        QTest::newRow("scrolled up, row update") << true << false;
    }

    void newestRowFollowedAtTheBottomOnly()
    {
        QFETCH(bool, scrollUp);
        QFETCH(bool, newTask);
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        std::vector<std::unique_ptr<CryptTask>> tasks;
        for (int i = 0; i < 60; ++i) {
            tasks.push_back(std::make_unique<CryptTask>(QStringLiteral("/in/row%1.korvel-env").arg(i)));
            m_window->updateTaskRow(tasks.back().get());
        }
        QScrollBar* bar = table()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        if (scrollUp) {
            bar->setValue(bar->maximum() / 2);
        }
        const int before = bar->value();
        if (newTask) {
            tasks.push_back(std::make_unique<CryptTask>(QStringLiteral("/in/newest.korvel-env")));
        }
        CryptTask* updated = newTask ? tasks.back().get() : tasks[3].get();
        updated->setProgress(0.5f);
        m_window->updateTaskRow(updated);
        QCoreApplication::processEvents();
        QCOMPARE(bar->value(), scrollUp ? before : bar->maximum());
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

    // The decrypt manager's reports reach the table in batches: nothing is drawn
    // as a task is reported, each task's row shows its last reported state with
    // the next flush, in the order the tasks were first reported, also when the
    // record was released in between.
    void reportedTasksShowInBatches_data()
    {
        QTest::addColumn<QStringList>("reports"); // "name:status", in order
        QTest::addColumn<QStringList>("released"); // records released before the flush
        QTest::addColumn<QStringList>("rows"); // "name:status text", top to bottom
        QTest::newRow("one task's steps")
            << QStringList { "a:4", "a:0", "a:1" } << QStringList {} << QStringList { "a.korvel-env:Finished" };
        QTest::newRow("interleaved tasks")
            << QStringList { "a:0", "b:0", "a:1", "c:0", "b:2" } << QStringList {}
            << QStringList { "a.korvel-env:Finished", "b.korvel-env:Error", "c.korvel-env:Decrypting" };
        QTest::newRow("released before the flush") << QStringList { "a:0", "b:0",
            "b:3" } << QStringList { "b" } << QStringList { "a.korvel-env:Decrypting", "b.korvel-env:Cancelled" };
    }

    void reportedTasksShowInBatches()
    {
        QFETCH(QStringList, reports);
        QFETCH(QStringList, released);
        QFETCH(QStringList, rows);
        m_window->clearTable();
        std::map<QString, std::unique_ptr<CryptTask>> tasks;
        for (const QString& report : reports) {
            const QString name = report.section(QLatin1Char(':'), 0, 0);
            std::unique_ptr<CryptTask>& task = tasks[name];
            if (!task) {
                task = std::make_unique<CryptTask>(QStringLiteral("/in/") + name + QStringLiteral(".korvel-env"));
            }
            task->setStatus(static_cast<Task::STATUS>(report.section(QLatin1Char(':'), 1).toInt()));
            m_window->onDecryptStatus(task.get());
        }
        QCOMPARE(table()->rowCount(), 0);
        for (const QString& name : released) {
            tasks.erase(name);
        }
        QTRY_COMPARE(table()->rowCount(), static_cast<int>(rows.size()));
        for (int row = 0; row < table()->rowCount(); ++row) {
            QCOMPARE(table()->item(row, MainWindow::NameColumn)->text() + QLatin1Char(':')
                    + table()->item(row, MainWindow::StatusColumn)->text(),
                rows.at(row));
        }
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
        QCOMPARE(phrase->placeholderText(), QStringLiteral("Passphrase of the files"));
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

    // A row's menu and a double-click, as desktop file tools give them: a
    // finished row opens and shows its plaintext, any row shows and copies its
    // file. Without a file manager on a bus, the folder itself opens.
    void rowMenu_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("copied");
        QTest::newRow("finished: Open") << int(Task::FINISHED) << "actionRowOpen"
                                        << "/out/plain.txt"
                                        << "";
        QTest::newRow("finished: Show in Folder") << int(Task::FINISHED) << "actionRowShowInFolder"
                                                  << "/out"
                                                  << "";
        QTest::newRow("finished: Copy Path") << int(Task::FINISHED) << "actionRowCopyPath"
                                             << ""
                                             << "/out/plain.txt";
        QTest::newRow("finished: double-click") << int(Task::FINISHED) << "double-click"
                                                << "/out/plain.txt"
                                                << "";
        QTest::newRow("failed: Open") << int(Task::FAILED) << "actionRowOpen"
                                      << ""
                                      << "";
        QTest::newRow("failed: Show in Folder") << int(Task::FAILED) << "actionRowShowInFolder"
                                                << "/in"
                                                << "";
        QTest::newRow("failed: Copy Path") << int(Task::FAILED) << "actionRowCopyPath"
                                           << ""
                                           << "/in/plain.txt.korvel-env";
        QTest::newRow("failed: double-click") << int(Task::FAILED) << "double-click"
                                              << ""
                                              << "";
    }

    void rowMenu()
    {
        QFETCH(int, status);
        QFETCH(QString, action);
        QFETCH(QString, opened);
        QFETCH(QString, copied);
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        CryptTask task(QStringLiteral("/in/plain.txt.korvel-env"));
        task.setDestination(QStringLiteral("/out/plain.txt"));
        task.setStatus(Task::STATUS(status));
        m_window->updateTaskRow(&task);
        QGuiApplication::clipboard()->setText(QString());
        if (action == QLatin1String("double-click")) {
            const QRect cell = table()->visualItemRect(table()->item(0, MainWindow::StatusColumn));
            QTest::mouseDClick(table()->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
        } else {
            std::unique_ptr<QMenu> menu(m_window->rowMenu(0));
            QVERIFY(menu);
            QAction* chosen = menu->findChild<QAction*>(action);
            QVERIFY(chosen);
            QCOMPARE(menu->findChild<QAction*>("actionRowOpen")->isEnabled(), status == Task::FINISHED);
            if (chosen->isEnabled()) {
                chosen->trigger();
            }
        }
        QTRY_COMPARE(m_opened.join(QLatin1Char('|')), opened);
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    }

    // A right-click on a row opens its menu; on the empty table, none.
    void rowMenuOnRightClick()
    {
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        QWidget* viewport = table()->viewport();
        QContextMenuEvent empty(QContextMenuEvent::Mouse, QPoint(5, 5), viewport->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(viewport, &empty);
        QVERIFY(!QApplication::activePopupWidget());
        CryptTask task(QStringLiteral("/in/clicked.korvel-env"));
        m_window->updateTaskRow(&task);
        const QPoint at = table()->visualItemRect(table()->item(0, MainWindow::NameColumn)).center();
        QContextMenuEvent onRow(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &onRow);
        QTRY_VERIFY(QApplication::activePopupWidget());
        QCOMPARE(QApplication::activePopupWidget()->objectName(), QStringLiteral("_rowMenu"));
        QApplication::activePopupWidget()->close();
    }

    // The empty table says that files and folders can be dropped on it.
    void emptyTableHint()
    {
        auto* hint = child<QLabel>("_emptyHintLbl");
        QCOMPARE(hint->text(), QStringLiteral("Drop files and folders here to decrypt them."));
        QVERIFY(hint->isVisibleTo(m_window));
        CryptTask task(QStringLiteral("/in/row.korvel-env"));
        m_window->updateTaskRow(&task);
        QVERIFY(!hint->isVisibleTo(m_window));
        m_window->clearTable();
        QVERIFY(hint->isVisibleTo(m_window));
    }

    // Size and place, the view, the sort column and the column widths outlive
    // the window.
    void windowLookRemembered()
    {
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        m_window->resize(700, 520);
        child<QComboBox>("_viewComboBox")->setCurrentIndex(MainWindow::FailedView);
        clickHeader(MainWindow::StatusColumn);
        const Qt::SortOrder order = table()->horizontalHeader()->sortIndicatorOrder();
        table()->horizontalHeader()->resizeSection(MainWindow::ProgressColumn, 123);
        m_window->saveSettings();
        delete m_window;
        m_window = new MainWindow();
        QCOMPARE(m_window->size(), QSize(700, 520));
        QCOMPARE(child<QComboBox>("_viewComboBox")->currentIndex(), int(MainWindow::FailedView));
        QCOMPARE(table()->horizontalHeader()->sortIndicatorSection(), int(MainWindow::StatusColumn));
        QCOMPARE(table()->horizontalHeader()->sortIndicatorOrder(), order);
        QCOMPARE(table()->horizontalHeader()->sectionSize(MainWindow::ProgressColumn), 123);
    }

    // Closing the window (or Exit) while files are being decrypted asks first;
    // No is the default.
    void closeDuringARunAsks_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("key"); // the answer
        QTest::addColumn<bool>("closes");
        QTest::newRow("idle") << false << 0 << true;
        QTest::newRow("running, Yes") << true << int(Qt::Key_Y) << true; // clicked
        QTest::newRow("running, Enter") << true << int(Qt::Key_Return) << false;
        QTest::newRow("running, Escape") << true << int(Qt::Key_Escape) << false;
    }

    void closeDuringARunAsks()
    {
        QFETCH(bool, running);
        QFETCH(int, key);
        QFETCH(bool, closes);
        decryptButton()->setEnabled(true);
        decryptButton()->setChecked(running);
        const auto up = qScopeGuard([this] { decryptButton()->setChecked(false); });
        QCloseEvent close;
        QString question;
        if (running) {
            whileModal([&] { QApplication::sendEvent(m_window, &close); },
                [&](QWidget* modal) {
                    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                        question = box->text();
                        if (key == Qt::Key_Y) {
                            box->button(QMessageBox::Yes)->click();
                        } else {
                            QTest::keyClick(box, Qt::Key(key));
                        }
                    }
                });
            QCOMPARE(question, QStringLiteral("Files are being decrypted. Stop and quit?"));
        } else {
            QApplication::sendEvent(m_window, &close);
        }
        QCOMPARE(close.isAccepted(), closes);
    }

    // Throughput and time left while a run lasts, at the right of the status bar.
    void speedLabelDuringARun()
    {
        auto* speed = child<QLabel>("_speedLbl");
        QCOMPARE(speed->parentWidget(), child<QStatusBar>("statusBar"));
        QVERIFY(speed->isHidden());
        bool shownAtStart = false;
        QString textAtStart;
        // Queued after the window's own connection: runs once the window has seen the start.
        const QMetaObject::Connection seen = connect(
            DecryptManager::instance(), &DecryptManager::started, this,
            [&] {
                shownAtStart = !speed->isHidden();
                textAtStart = speed->text();
            },
            Qt::QueuedConnection);
        runWithOneFailure();
        disconnect(seen);
        QVERIFY(shownAtStart);
        QCOMPARE(textAtStart, QStringLiteral("Measuring speed..."));
        QVERIFY(speed->isHidden());
    }

    // Bytes, not files: two waiting files of 1 and 2 MB, gone after 2 s, are 1.5 MB/s.
    void speedLabelMeasuresBytes()
    {
        const QString one = m_dir->filePath(QStringLiteral("one.bin"));
        const QString two = m_dir->filePath(QStringLiteral("two.bin"));
        for (const auto& [path, size] : { std::pair { one, 1000000 }, std::pair { two, 2000000 } }) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        DecryptManager* decrypt = DecryptManager::instance();
        QCOMPARE(decrypt->addFiles({ one, two }), 2);

        qint64 now = 0;
        SpeedLabel label(nullptr, [&now] { return now; });
        QSignalSpy sized(&label, &SpeedLabel::sizesKnown);
        label.start(decrypt);
        QVERIFY(!label.isHidden());
        QCOMPARE(label.text(), QStringLiteral("Measuring speed..."));
        // The sizes are read off the window's thread.
        QVERIFY(sized.wait(20000));
        QVERIFY(label.sized());
        QCOMPARE(label.estimator().totalBytes(), qint64(3000000));
        QCOMPARE(label.estimator().bytesDone(), qint64(0));
        now = 500;
        label.sample();
        QCOMPARE(label.text(), QStringLiteral("Measuring speed..."));
        now = 2000;
        QVERIFY(decrypt->clearPending());
        label.sample();
        QCOMPARE(label.estimator().bytesDone(), qint64(3000000));
        QCOMPARE(label.text(), QStringLiteral("1.5 MB/s, 0:00 left"));
        label.stop();
        QVERIFY(label.isHidden());
        QVERIFY(!label.sized());
    }

    void bytesFrom()
    {
        QStringList paths;
        for (int size : { 10, 0, 300 }) {
            paths << m_dir->filePath(QStringLiteral("sized%1").arg(paths.size()));
            QFile file(paths.last());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        // A path that is gone counts nothing.
        paths.insert(1, m_dir->filePath(QStringLiteral("gone")));
        QCOMPARE(SpeedLabel::bytesFrom(paths), (std::vector<qint64> { 310, 300, 300, 300, 0 }));
        QCOMPARE(SpeedLabel::bytesFrom({}), std::vector<qint64> { 0 });
    }

    void speedText_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<double>("left");
        QTest::addColumn<QString>("text");
        QTest::newRow("no rate yet") << -1.0 << -1.0 << "Measuring speed...";
        QTest::newRow("seconds") << 12.34e6 << 65.0 << "12.3 MB/s, 1:05 left";
        QTest::newRow("rounded up") << 2e6 << 59.2 << "2.0 MB/s, 1:00 left";
        QTest::newRow("hours") << 1e6 << 3725.0 << "1.0 MB/s, 1:02:05 left";
        QTest::newRow("done") << 150e6 << 0.0 << "150.0 MB/s, 0:00 left";
        QTest::newRow("stalled") << 0.0 << -1.0 << "0.0 MB/s";
        QTest::newRow("too far to say") << 1e3 << 1e9 << "0.0 MB/s";
    }

    void speedText()
    {
        QFETCH(double, rate);
        QFETCH(double, left);
        QFETCH(QString, text);
        QCOMPARE(SpeedLabel::describe(rate, left), text);
    }

    void runningBytesLeft_data()
    {
        QTest::addColumn<QList<double>>("running"); // progress of files of 1000 bytes each
        QTest::addColumn<qint64>("left");
        QTest::newRow("nothing") << QList<double> {} << qint64(0);
        QTest::newRow("one large file a quarter done") << QList<double> { 0.25 } << qint64(750);
        QTest::newRow("two") << QList<double> { 0.25, 0.5 } << qint64(1250);
        QTest::newRow("done") << QList<double> { 1.0 } << qint64(0);
        QTest::newRow("progress out of range") << QList<double> { -0.5, 1.5 } << qint64(1000);
    }

    void runningBytesLeft()
    {
        QFETCH(QList<double>, running);
        QFETCH(qint64, left);
        QHash<QString, qint64> sizes;
        std::vector<std::unique_ptr<CryptTask>> tasks;
        QList<CryptTask*> runningTasks;
        for (int i = 0; i < running.size(); ++i) {
            tasks.push_back(std::make_unique<CryptTask>(QStringLiteral("/in/running%1").arg(i)));
            tasks.back()->setProgress(float(running.at(i)));
            sizes.insert(tasks.back()->loadedSource(), 1000);
            runningTasks << tasks.back().get();
        }
        // A task whose size is unknown counts nothing.
        CryptTask unknown(QStringLiteral("/in/unknown"));
        runningTasks << &unknown;
        QCOMPARE(SpeedLabel::runningBytesLeft(runningTasks, sizes), left);
    }

    // A long message no longer widens the window: it is cut short, whole in the tooltip.
    void longStatusKeepsTheWindowWidth()
    {
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        const int width = m_window->width();
        const QString message = QStringLiteral("Could not remove file /home/user/Documents/")
            + QString(400, QLatin1Char('x')) + QStringLiteral(".korvel-env");
        m_window->updateStatus(message, true);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(m_window->width(), width);
        QVERIFY(m_window->minimumSizeHint().width() <= width);
        auto* label = child<ElidedLabel>("_statusLbl");
        QCOMPARE(label->text(), QStringLiteral("   ") + message);
        QVERIFY(label->isElided());
        QCOMPARE(label->toolTip(), message);

        m_window->updateStatus(QStringLiteral("Short."), true);
        QCoreApplication::processEvents();
        QCOMPARE(m_window->width(), width);
        QVERIFY(!label->isElided());
        QCOMPARE(label->toolTip(), QString());
    }

    void enterStartsDecrypting_data()
    {
        QTest::addColumn<int>("key");
        // The settings' keep-times box: the plaintext gets the envelope's
        // modification time, or the time it was written.
        QTest::addColumn<bool>("keepTimes");
        QTest::newRow("Return") << int(Qt::Key_Return) << false;
        QTest::newRow("keypad Enter, keeping times") << int(Qt::Key_Enter) << true;
    }

    void enterStartsDecrypting()
    {
        QFETCH(int, key);
        QFETCH(bool, keepTimes);
        auto* keepBox = SettingsDialog::instance()->findChild<QCheckBox*>(QStringLiteral("_keepTimesCheck"));
        keepBox->setChecked(keepTimes);
        auto* phrase = child<QLineEdit>("_phraseTxt");
        QSignalSpy started(DecryptManager::instance(), &DecryptManager::started);
        // Nothing loaded, the button is disabled: Enter does nothing.
        QTest::keyClick(phrase, Qt::Key(key));
        QVERIFY(!decryptButton()->isChecked());

        const QString envelope = writeEnvelope(QStringLiteral("entered.korvel-env"));
        const QDateTime sealed(QDate(2001, 2, 3), QTime(4, 5, 6));
        {
            QFile file(envelope);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(sealed, QFileDevice::FileModificationTime));
        }
        QVERIFY(loadAndWait({ m_dir->path() }, QStringLiteral("1 files loaded successfully.")));
        QTRY_VERIFY(decryptButton()->isEnabled());
        QTest::keyClicks(phrase, QStringLiteral("secret"));
        QTest::keyClick(phrase, Qt::Key(key));
        QCOMPARE(started.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!decryptButton()->isChecked(), 30000);
        const QFileInfo plaintext(m_dir->filePath(QStringLiteral("entered")));
        QVERIFY(plaintext.exists());
        QCOMPARE(plaintext.lastModified() == sealed, keepTimes);
        keepBox->setChecked(false);

        // With the button down, Enter leaves it down: it starts, it never stops.
        decryptButton()->setEnabled(true);
        decryptButton()->setChecked(true);
        QTest::keyClick(phrase, Qt::Key(key));
        QVERIFY(decryptButton()->isChecked());
        QCOMPARE(started.count(), 1);
        decryptButton()->setChecked(false);
    }

    void reloadQuestionStaysWithTheWindow()
    {
        runWithOneFailure();
        QCOMPARE(m_reloadPlacements, QStringList { QString() });
    }

    // Every dialog is transient for the window and centred over it.
    void dialogsStayWithTheWindow_data()
    {
        QTest::addColumn<QString>("dialog");
        for (const char* name : { "settings", "about", "busy", "busy, window placed later", "delete confirmation",
                 "open files", "open folder" }) {
            QTest::newRow(name) << QString::fromLatin1(name);
        }
    }

    void dialogsStayWithTheWindow()
    {
        QFETCH(QString, dialog);
        m_window->move(120, 70);
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        QString where = QStringLiteral("not checked");
        if (dialog == QLatin1String("settings")) {
            child<QAction>("actionSettings")->trigger();
            where = placement(SettingsDialog::instance(), m_window);
            SettingsDialog::instance()->reject();
        } else if (dialog == QLatin1String("about")) {
            child<QAction>("actionAbout")->trigger();
            where = placement(AboutWindow::instance(), m_window);
            AboutWindow::instance()->close();
        } else if (dialog == QLatin1String("busy")) {
            where = whileModal([] { BusyDialog::instance()->exec(QStringLiteral("Loading files..."), false); },
                [](QWidget* modal) { static_cast<QDialog*>(modal)->accept(); });
        } else if (dialog == QLatin1String("busy, window placed later")) {
            // A load from the command line shows the busy dialog before the
            // window manager has placed the window: it follows the window there.
            QString after = QStringLiteral("not looked at");
            where = whileModal([] { BusyDialog::instance()->exec(QStringLiteral("Loading files..."), false); },
                [this, &after](QWidget* modal) {
                    m_window->move(m_window->pos() + QPoint(170, 90));
                    static_cast<void>(QTest::qWaitFor([&] { return placement(modal, m_window).isEmpty(); },
                        5000)); // placement() below says what was found
                    after = placement(modal, m_window);
                    static_cast<QDialog*>(modal)->accept();
                });
            if (where.isEmpty()) {
                where = after;
            }
        } else {
            const char* action = dialog == QLatin1String("delete confirmation") ? "actionDeleteEncrypted"
                : dialog == QLatin1String("open files")                         ? "actionOpenFiles"
                                                                                : "actionOpenFolder";
            where = whileModal([this, action] { child<QAction>(action)->trigger(); },
                [](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
        }
        QCOMPARE(where, QString());
    }

    // Titled with the application's name; says how many files it deletes;
    // Cancel is the default and answers Escape and Enter: nothing is deleted.
    void deleteConfirmation_data()
    {
        QTest::addColumn<bool>("afterRun");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("count");
        QTest::newRow("nothing finished, Escape")
            << false << int(Qt::Key_Escape) << "0 encrypted files will be deleted.";
        QTest::newRow("after a run, Escape") << true << int(Qt::Key_Escape) << "3 encrypted files will be deleted.";
        QTest::newRow("after a run, Enter") << true << int(Qt::Key_Return) << "3 encrypted files will be deleted.";
    }

    void deleteConfirmation()
    {
        QFETCH(bool, afterRun);
        QFETCH(int, key);
        QFETCH(QString, count);
        if (afterRun) {
            runWithOneFailure();
        }
        QString title;
        QString text;
        QString informative;
        bool cancelDefault = false;
        bool cancelEscapes = false;
        QIcon icon;
        whileModal([this] { child<QAction>("actionDeleteEncrypted")->trigger(); },
            [&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                if (box) {
                    title = box->windowTitle();
                    text = box->text();
                    informative = box->informativeText();
                    cancelDefault = box->defaultButton() == box->button(QMessageBox::Cancel);
                    cancelEscapes = box->escapeButton() == box->button(QMessageBox::Cancel);
                    icon = box->windowIcon();
                    QTest::keyClick(box, Qt::Key(key));
                }
            });
        QCOMPARE(title, QStringLiteral("Korvel Crypt"));
        QCOMPARE(text, QStringLiteral("Do you want to delete encrypted source files from finished tasks?"));
        QCOMPARE(informative, count);
        QVERIFY(cancelDefault);
        QVERIFY(cancelEscapes);
        QVERIFY(!icon.isNull());
        QVERIFY(!TaskManager::instance()->currentTask());
        if (afterRun) {
            QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("a.txt.korvel-env"))));
        }
    }

    // Under light and dark palettes, every row's text stands out from the base,
    // and finished and failed stay apart; the rows follow a palette change.
    void statusColoursReadable_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("paletteFirst");
        QTest::newRow("light") << false << true;
        QTest::newRow("dark") << true << true;
        QTest::newRow("light, then dark") << true << false;
        QTest::newRow("dark, then light") << false << false;
    }

    void statusColoursReadable()
    {
        QFETCH(bool, dark);
        QFETCH(bool, paletteFirst);
        const QPalette palette = dark ? darkPalette() : QApplication::style()->standardPalette();
        table()->setPalette(paletteFirst ? palette : (dark ? QApplication::style()->standardPalette() : darkPalette()));
        std::vector<std::unique_ptr<CryptTask>> tasks;
        for (Task::STATUS status : { Task::DECRYPTING, Task::FINISHED, Task::FAILED, Task::CANCELLED, Task::WAITING }) {
            tasks.push_back(std::make_unique<CryptTask>(QStringLiteral("/in/status%1.korvel-env").arg(int(status))));
            tasks.back()->setStatus(status);
            m_window->updateTaskRow(tasks.back().get());
        }
        if (!paletteFirst) {
            table()->setPalette(palette);
        }
        QCOMPARE(table()->rowCount(), 5);
        const QColor base = palette.color(QPalette::Active, QPalette::Base);
        QHash<int, QColor> colours;
        for (int row = 0; row < table()->rowCount(); ++row) {
            const QTableWidgetItem* item = table()->item(row, MainWindow::StatusColumn);
            const int status = item->data(MainWindow::StatusRole).toInt();
            const QColor colour = item->foreground().color();
            colours.insert(status, colour);
            const bool plain = status == Task::WAITING || status == Task::CANCELLED;
            const double needed = plain ? StatusColours::ReadableContrast : StatusColours::MinContrast;
            QVERIFY2(StatusColours::contrast(colour, base) >= needed,
                qPrintable(QStringLiteral("%1 on %2: %3")
                               .arg(colour.name(), base.name())
                               .arg(StatusColours::contrast(colour, base))));
        }
        QCOMPARE(colours.value(Task::WAITING), palette.color(QPalette::Active, QPalette::Text));
        QCOMPARE(colours.value(Task::CANCELLED), palette.color(QPalette::Active, QPalette::Text));
        const int finishedHue = colours.value(Task::FINISHED).hue();
        const int failedHue = colours.value(Task::FAILED).hue();
        const int apart = qMin(qAbs(finishedHue - failedHue), 360 - qAbs(finishedHue - failedHue));
        QVERIFY2(apart >= 90, qPrintable(QString::number(apart)));
        if (!dark) {
            // Where the named colours read, they are kept.
            QCOMPARE(colours.value(Task::FINISHED), QColor(QStringLiteral("green")));
            QCOMPARE(colours.value(Task::FAILED), QColor(QStringLiteral("red")));
            QCOMPARE(colours.value(Task::DECRYPTING), QColor(QStringLiteral("blue")));
        }
    }

    void contrastRatio_data()
    {
        QTest::addColumn<QColor>("a");
        QTest::addColumn<QColor>("b");
        QTest::addColumn<double>("ratio");
        QTest::newRow("black on white") << QColor(Qt::black) << QColor(Qt::white) << 21.0;
        QTest::newRow("same colour") << QColor(QStringLiteral("green")) << QColor(QStringLiteral("green")) << 1.0;
        QTest::newRow("red on white") << QColor(Qt::red) << QColor(Qt::white) << 3.998;
        QTest::newRow("order does not matter") << QColor(Qt::white) << QColor(Qt::red) << 3.998;
        QTest::newRow("grey 50% on black") << QColor(0x77, 0x77, 0x77) << QColor(Qt::black) << 4.69;
    }

    void contrastRatio()
    {
        QFETCH(QColor, a);
        QFETCH(QColor, b);
        QFETCH(double, ratio);
        QVERIFY2(qAbs(StatusColours::contrast(a, b) - ratio) < 0.01,
            qPrintable(QString::number(StatusColours::contrast(a, b))));
    }

    // Table sorting by a header click; each task's row is found again afterwards.
    void sortByHeaderClick()
    {
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        QVERIFY(table()->horizontalHeader()->isVisible());
        CryptTask b(QStringLiteral("/in/b.korvel-env"));
        CryptTask a(QStringLiteral("/in/a.korvel-env"));
        CryptTask c(QStringLiteral("/in/c.korvel-env"));
        show(b, Task::WAITING, 0.10f);
        show(a, Task::FINISHED, 1.0f);
        show(c, Task::WAITING, 0.095f);
        // Until a header is clicked, rows stay in the order their tasks came.
        QCOMPARE(columnTexts(MainWindow::NameColumn), (QStringList { "b.korvel-env", "a.korvel-env", "c.korvel-env" }));

        sortByClick(MainWindow::NameColumn, { "a.korvel-env", "b.korvel-env", "c.korvel-env" });
        show(b, Task::DECRYPTING, 0.5f);
        QCOMPARE(table()->rowCount(), 3);
        QCOMPARE(cell("b.korvel-env", MainWindow::ProgressColumn), QStringLiteral("50.0%"));
        QCOMPARE(cell("b.korvel-env", MainWindow::StatusColumn), QStringLiteral("Decrypting"));

        // Progress sorts as a number: 9.5% before 50.0% before 100.0%; the other
        // way round on the second click.
        const Qt::SortOrder first = sortByClick(MainWindow::ProgressColumn, { "9.5%", "50.0%", "100.0%" });
        QCOMPARE(sortByClick(MainWindow::ProgressColumn, { "9.5%", "50.0%", "100.0%" }),
            first == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
        if (QTest::currentTestFailed()) {
            return;
        }

        // An update moves its row to its sorted place; the next update finds it there.
        show(c, Task::DECRYPTING, 0.99f);
        QCOMPARE(cell("c.korvel-env", MainWindow::ProgressColumn), QStringLiteral("99.0%"));
        show(c, Task::FINISHED, 1.0f);
        QCOMPARE(table()->rowCount(), 3);
        QCOMPARE(cell("c.korvel-env", MainWindow::StatusColumn), QStringLiteral("Finished"));
        QCOMPARE(cell("a.korvel-env", MainWindow::StatusColumn), QStringLiteral("Finished"));
        QCOMPARE(cell("b.korvel-env", MainWindow::ProgressColumn), QStringLiteral("50.0%"));
    }

    // Alt+letter opens each menu; the visible titles stay as they were.
    void menuAccessKeys_data()
    {
        QTest::addColumn<QString>("menu");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("key");
        QTest::newRow("File") << "menuFile"
                              << "File" << int(Qt::Key_I);
        QTest::newRow("Options") << "menuCommands"
                                 << "Options" << int(Qt::Key_P);
        QTest::newRow("About") << "menuAbout"
                               << "About" << int(Qt::Key_A);
    }

    void menuAccessKeys()
    {
        QFETCH(QString, menu);
        QFETCH(QString, title);
        QFETCH(int, key);
        auto* shown = m_window->findChild<QMenu*>(menu);
        QVERIFY(shown);
        QCOMPARE(QString(shown->title()).remove(QLatin1Char('&')), title);
        const QKeySequence mnemonic = QKeySequence::mnemonic(shown->title());
        QCOMPARE(mnemonic, QKeySequence(Qt::ALT | Qt::Key(key)));
        // No shortcut of an action is taken from it.
        for (const QAction* action : m_window->findChildren<QAction*>()) {
            QVERIFY2(!action->shortcuts().contains(mnemonic), qPrintable(action->objectName()));
        }
        // The menus keep their places: File, Options, About.
        QStringList titles;
        for (const QAction* action : child<QMenuBar>("menuBar")->actions()) {
            titles << QString(action->text()).remove(QLatin1Char('&'));
        }
        QCOMPARE(titles, (QStringList { "File", "Options", "About" }));

        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTest::keyClick(m_window, Qt::Key(key), Qt::AltModifier);
        QTRY_VERIFY(shown->isVisible());
        shown->close();
    }

    // Alt+F and Alt+O stay the Open Folder and Open Files shortcuts; no menu
    // takes them. The desktop's usual keys work beside them.
    void openShortcutsWin_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("keys");
        QTest::newRow("Alt+F") << "actionOpenFolder"
                               << "Alt+F";
        QTest::newRow("Alt+O") << "actionOpenFiles"
                               << "Alt+O";
        QTest::newRow("Ctrl+O") << "actionOpenFiles"
                                << "Ctrl+O";
        QTest::newRow("Ctrl+Shift+O") << "actionOpenFolder"
                                      << "Ctrl+Shift+O";
        QTest::newRow("Ctrl+Q") << "actionExit"
                                << "Ctrl+Q";
        QTest::newRow("F1") << "actionAbout"
                            << "F1";
    }

    void openShortcutsWin()
    {
        QFETCH(QString, action);
        QFETCH(QString, keys);
        auto* open = m_window->findChild<QAction*>(action);
        QVERIFY(open);
        // The dialog (or the end of the program) itself is not wanted here.
        disconnect(open, &QAction::triggered, m_window, nullptr);
        QSignalSpy triggered(open, &QAction::triggered);
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTest::keySequence(m_window, QKeySequence(keys));
        QCOMPARE(triggered.count(), 1);
        for (const QMenu* menu : m_window->findChildren<QMenu*>()) {
            QVERIFY2(!menu->isVisible(), qPrintable(menu->objectName()));
        }
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("name");
        QTest::newRow("passphrase") << "_phraseTxt"
                                    << "Passphrase";
        QTest::newRow("Decrypt button") << "_decryptBtn"
                                        << "Decrypt";
        QTest::newRow("view selector") << "_viewComboBox"
                                       << "View";
        QTest::newRow("table") << "_messagesTbl"
                               << "Tasks";
        QTest::newRow("progress bar") << "_progressBar"
                                      << "Progress";
    }

    void accessibleNames()
    {
        QFETCH(QString, widget);
        QFETCH(QString, name);
        auto* found = m_window->findChild<QWidget*>(widget);
        QVERIFY(found);
        QCOMPARE(found->accessibleName(), name);
        QVERIFY(!found->accessibleDescription().isEmpty());
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(found);
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Description), found->accessibleDescription());
        if (qobject_cast<QComboBox*>(found)) {
            // On this platform a combo box's accessible name is its current
            // item; the "View:" label names it through its label relation.
            QStringList labels;
            for (const auto& [other, relation] : accessible->relations(QAccessible::Label)) {
                labels << other->text(QAccessible::Name);
            }
            QCOMPARE(labels, QStringList { QStringLiteral("View:") });
        } else {
            QCOMPARE(accessible->text(QAccessible::Name), name);
        }
    }

    void decryptIntoFolder()
    {
        QAction* beside = child<QAction>("actionDecryptNextToFiles");
        QAction* into = child<QAction>("actionDecryptIntoFolder");
        const QList<QAction*> options = child<QMenu>("menuCommands")->actions();
        QCOMPARE(options.size(), 13);
        QCOMPARE(options.at(0), child<QAction>("actionSettings"));
        QVERIFY(options.at(1)->isSeparator());
        QCOMPARE(options.at(2), beside);
        QCOMPARE(options.at(3), into);
        QCOMPARE(options.at(4), child<QAction>("actionSkipDecrypted"));
        QVERIFY(options.at(5)->isSeparator());
        QCOMPARE(options.at(6), child<QAction>("actionReloadFailed"));
        QCOMPARE(beside->text(), QStringLiteral("Decrypt next to each file"));
        QCOMPARE(into->text(), QStringLiteral("Decrypt into folder..."));
        // The default: next to each file.
        QVERIFY(beside->isChecked() && !into->isChecked());
        QVERIFY(DecryptManager::instance()->outputRoot().isEmpty());

        // The folder dialog picks the folder; cancelling it keeps the choice.
        const QString out = m_dir->filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        QString caption;
        const auto answerFolderDialog = [&caption](const QString& folder) {
            QTimer::singleShot(0, [&caption, folder] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                caption = dialog->windowTitle();
                if (folder.isEmpty()) {
                    dialog->reject();
                } else {
                    dialog->setDirectory(folder);
                    dialog->selectFile(folder);
                    QMetaObject::invokeMethod(dialog, "accept");
                }
            });
        };
        answerFolderDialog(out);
        into->trigger();
        QCOMPARE(caption, QStringLiteral("Decrypt into Folder"));
        QVERIFY(into->isChecked() && !beside->isChecked());
        QCOMPARE(m_window->outputFolder(), out);
        QCOMPARE(DecryptManager::instance()->outputRoot(), out);
        QCOMPARE(QSettings().value(QStringLiteral("settings/outputFolder")).toString(), out);
        answerFolderDialog(QString());
        into->trigger();
        QVERIFY(into->isChecked() && !beside->isChecked());
        QCOMPARE(m_window->outputFolder(), out);

        // The status line names the folder while it is in use, and a run writes there.
        writeEnvelope(QStringLiteral("in/sub/report.txt.korvel-env"));
        writeEnvelope(QStringLiteral("in/notes"));
        QVERIFY(loadAndWait({ m_dir->filePath(QStringLiteral("in")) }, QStringLiteral("2 files loaded successfully.")));
        m_window->updateStatus();
        QCOMPARE(status(),
            QStringLiteral("   0 finished, 0 failed, 2 pending, 2 total \u2014 decrypting into ")
                + QDir::toNativeSeparators(out));
        QTRY_VERIFY(decryptButton()->isEnabled());
        QTest::keyClicks(child<QLineEdit>("_phraseTxt"), QStringLiteral("secret"));
        QTest::mouseClick(decryptButton(), Qt::LeftButton);
        QVERIFY(!into->isEnabled() && !beside->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!decryptButton()->isChecked(), 30000);
        QVERIFY(into->isEnabled() && beside->isEnabled());
        QVERIFY(QFile::exists(out + QStringLiteral("/in/sub/report.txt")));
        QVERIFY(QFile::exists(out + QStringLiteral("/in/notes")));
        // Sources stay as they were: not renamed, no plaintext beside them.
        QCOMPARE(QDir(m_dir->filePath(QStringLiteral("in"))).entryList(QDir::Files), QStringList { "notes" });
        QTRY_COMPARE(status(),
            QStringLiteral("   2 finished, 0 failed, 0 pending, 2 total \u2014 decrypting into ")
                + QDir::toNativeSeparators(out));

        // The choice outlives the window.
        delete m_window;
        m_window = new MainWindow();
        QVERIFY(child<QAction>("actionDecryptIntoFolder")->isChecked());
        QCOMPARE(DecryptManager::instance()->outputRoot(), out);

        // Back to the default, which the next window finds too.
        child<QAction>("actionDecryptNextToFiles")->trigger();
        QVERIFY(!child<QAction>("actionDecryptIntoFolder")->isChecked());
        QVERIFY(DecryptManager::instance()->outputRoot().isEmpty());
        QVERIFY(QSettings().value(QStringLiteral("settings/outputFolder")).toString().isEmpty());
        m_window->updateStatus();
        QCOMPARE(status(), QStringLiteral("   0 finished, 0 failed, 0 pending, 0 total"));
    }

    // An envelope whose plaintext already stands under its name: kept beside it
    // (the default) or passed over, as the Options menu says; the choice is kept.
    void skipDecrypted_data()
    {
        QTest::addColumn<bool>("skip");
        QTest::addColumn<bool>("named");
        QTest::addColumn<QString>("summary");
        QTest::newRow("keep both, folder")
            << false << false << "1 files loaded. 1 files that are not envelopes skipped.";
        QTest::newRow("skip, folder") << true << false
                                      << "0 files loaded. 1 files that are not envelopes skipped. 1 already "
                                         "decrypted skipped.";
        QTest::newRow("keep both, named") << false << true << "1 files loaded successfully.";
        QTest::newRow("skip, named") << true << true << "0 files loaded. 1 already decrypted skipped.";
    }

    void skipDecrypted()
    {
        QFETCH(bool, skip);
        QFETCH(bool, named);
        QFETCH(QString, summary);
        const QString envelope = writeEnvelope(QStringLiteral("set/a.txt.korvel-env"));
        QFile plaintext(m_dir->filePath(QStringLiteral("set/a.txt")));
        QVERIFY(plaintext.open(QIODevice::WriteOnly));
        plaintext.write("decrypted before");
        plaintext.close();
        QAction* action = child<QAction>("actionSkipDecrypted");
        QCOMPARE(action->text(), QStringLiteral("Skip files already decrypted"));
        QVERIFY(!action->isChecked());
        action->setChecked(skip);
        QVERIFY(loadAndWait({ named ? envelope : m_dir->filePath(QStringLiteral("set")) }, summary));
        QCOMPARE(DecryptManager::instance()->getNumPending(), skip ? 0 : 1);
        QCOMPARE(QSettings().value(QStringLiteral("settings/skipDecrypted")).toBool(), skip);
        delete m_window;
        m_window = new MainWindow();
        QCOMPARE(child<QAction>("actionSkipDecrypted")->isChecked(), skip);
        QCOMPARE(TaskManager::instance()->skipDecrypted(), skip);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        // What the busy dialog counted when the load ended: every file found,
        // before any is left out (-1: no load, nothing counted).
        QTest::addColumn<int>("found");
        QTest::newRow("no arguments") << QStringList { "korvelcrypt" } << kStartText << -1;
        QTest::newRow("file then -h") << QStringList { "korvelcrypt", "@one", "-h" }
                                      << "   1 files loaded successfully." << 1;
        // A folder gives its envelopes only: the plaintext "x" beside them is passed over.
        QTest::newRow("star then folder") << QStringList { "korvelcrypt", "*", "@elsewhere" }
                                          << "   1 files loaded. 1 files that are not envelopes skipped." << 2;
        QTest::newRow("-H is a path") << QStringList { "korvelcrypt", "-H" } << "   0 files loaded successfully." << 0;
        QTest::newRow("folder and file") << QStringList { "korvelcrypt", "@elsewhere", "@one" }
                                         << "   2 files loaded successfully." << 2;
        // One folder named three ways is loaded once; relative paths are taken from
        // the folder the program started in.
        QTest::newRow("one folder three ways")
            << QStringList { "korvelcrypt", "../elsewhere/", "@elsewhere", "../elsewhere", "./x" }
            << "   2 files loaded. 2 duplicates skipped." << 4;
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QFETCH(int, found);
        auto* count = BusyDialog::instance()->findChild<QLabel*>(QStringLiteral("_countLbl"));
        count->clear();
        const QString cwd = m_dir->filePath(QStringLiteral("cwd"));
        QDir().mkpath(cwd + "/inner");
        QFile(cwd + "/x").open(QIODevice::WriteOnly);
        QFile(cwd + "/inner/y.korvel-env").open(QIODevice::WriteOnly);
        QDir().mkpath(m_dir->filePath(QStringLiteral("elsewhere")));
        QFile(m_dir->filePath(QStringLiteral("elsewhere/z.korvel-env"))).open(QIODevice::WriteOnly);
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
        if (found >= 0) {
            QTRY_VERIFY(!BusyDialog::instance()->isVisible());
            QCOMPARE(count->text(), QStringLiteral("%1 files found").arg(found));
        }
    }
};

int main(int argc, char* argv[])
{
    // The window reads the process's command line; keep the test's own options
    // (function names, -v2, ...) away from it.
    int appArgc = 1;
    // A long run ending in the background would send a notice to the desktop
    // the tests run on; without a session bus it is skipped quietly.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    // The window saves its settings: into the test's own store, never the user's.
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(appArgc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
    QCoreApplication::setApplicationName(QStringLiteral("Crypt"));
    // Numbers as the texts show them, whatever the machine's language.
    QLocale::setDefault(QLocale::c());
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_MainWindow.moc"
