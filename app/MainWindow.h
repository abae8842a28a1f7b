// The application's only main window: passphrase field, Decrypt button, the
// task table with its view filter, progress bar and status line, and the menus
// and toolbar that start every operation.
//
// List operations go to the task manager (they run on its thread while the busy
// dialog shows); decryption is started and stopped through the decrypt manager.
// Every signal of the two managers reaches the window through a queued
// connection, so all of the window's code runs on the main thread.
#pragma once

#include "ui_MainWindow.h"

#include "app/TaskRowIndex.h"
#include "engine/Task.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>

class CryptTask;
class DesktopNotification;
class ElidedLabel;
class FileManager;
class QLabel;
class QTableWidgetItem;
class RunNotifier;
class SpeedLabel;
class TransientDialogs;

class MainWindow : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    // The entries of the view selector, in its order.
    enum View { LatestView = 0, FinishedView = 1, FailedView = 2 };
    // The columns of the task table.
    enum Column { NameColumn = 0, ProgressColumn = 1, StatusColumn = 2, ColumnCount = 3 };
    // The status column's items carry the task's status as an int under this role.
    static constexpr int StatusRole = Qt::UserRole;
    // The name column's items carry the task's source, and its plaintext once
    // written (empty before), under these roles (past TaskTableItem::SortRole).
    static constexpr int SourceRole = Qt::UserRole + 2;
    static constexpr int PlaintextRole = Qt::UserRole + 3;

    explicit MainWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~MainWindow() override;

    bool eventFilter(QObject* watched, QEvent* event) override;
    // Asks first while files are being decrypted (confirmStopRun()).
    void closeEvent(QCloseEvent* event) override;
    // No context menu for the toolbar and the menu bar.
    QMenu* createPopupMenu() override;

    // At once; the decrypt manager's notifications are shown in batches instead
    // (FlushIntervalMs).
    void updateTaskRow(const CryptTask* task);
    // How long a task's change may wait before the table, the progress bar and
    // the status line show it: they are brought up to date a few times a
    // second, never per task, however fast tasks end.
    static constexpr int FlushIntervalMs = 200;
    // Shows every change noted since the last flush.
    void flushUpdates();
    void showTasks(const QList<CryptTask*>& tasks);
    void clearTable();
    void clearRowsByStatus(Task::STATUS status, bool justTable);

    // Reads the process's command line: usage or version text (and exit), the
    // current folder for "*", or the arguments as paths to load.
    static void handleCommandLine(const QStringList& arguments);

    int rowLimit() const { return m_rowLimit; }

    // The menu of a row (Open, Show in Folder, Copy Path), deleted when it
    // closes; null for a row without a file.
    QMenu* rowMenu(int row);
    // The row's plaintext once written, else its source; plaintext says which.
    QString rowFile(int row, bool* plaintext = nullptr) const;

    // Where plaintexts go: below folder, or next to each file when it is empty.
    // The decrypt manager applies it from its next task; the choice is kept in
    // the settings store and the status line names the folder while it is in use.
    void setOutputFolder(const QString& folder);
    QString outputFolder() const { return m_outputFolder; }

public slots:
    void onOpenFiles();
    void onOpenFolder();
    void onShowSettings();
    // Options menu: where plaintexts go.
    void onDecryptNextToFiles();
    void onDecryptIntoFolder();
    // Options menu: an envelope whose plaintext already stands under its name is
    // passed over by later loads (true) or decrypted beside it under a
    // "(decrypted)" name (false, the default); kept in the settings store.
    void setSkipDecrypted(bool skip);
    void onShowAbout();
    void onExitTriggered(bool checked);
    void onDecryptClicked(bool checked);
    void onReloadFailed();
    void onClearAll(bool justTable);
    void onClearAll();
    void onClearFinished(bool justTable);
    void onClearFinished();
    void onClearFailed(bool justTable);
    void onClearFailed();
    void onClearPending(bool justTable);
    void onClearPending();
    void onDeleteEncrypted();
    void onViewChanged(int view);
    void showPassword(bool checked);
    void onDecryptStatus(const CryptTask* task);
    void onFilesLoaded(QString msg);
    void updateStatus(QString msg, bool persist);
    void updateStatus(QString msg);
    void updateStatus();
    void onDecryptManagerStart(int startNum);
    void onDecryptManagerFinished();
    void loadSettings();
    void saveSettings();
    void resetProgressBar();
    void onAboutToQuit();
    // Enter in the passphrase field: starts decrypting as the Decrypt button does.
    void onPassphraseEntered();
    // A later start of the program handed its files over (LaunchChannel): they
    // are loaded as the command line's are, and the window comes to the front.
    void onFilesHandedOver(const QStringList& paths);

private:
    // The steps of construction, in their order.
    void setUpForm();
    void setUpTable();
    void connectActions();
    void connectDecryptManager();
    void connectTaskManager();
    void setUpFeedback();

    // What a task's row shows, as it was when the task was last reported: the
    // record itself may be released before the row is drawn.
    struct RowUpdate {
        QString loadedSource;
        QString source;
        QString destination;
        QString statusText;
        QString reason;
        int status = 0;
        float progress = 0.0f;
        bool renamesSource = false;
        bool verifyOnly = false;
    };
    static RowUpdate rowUpdateOf(const CryptTask* task);
    void applyRowUpdate(const RowUpdate& update);
    // The table without its rows (after the waiting updates in clearTable()).
    void removeAllRows();

    // The steps of applyRowUpdate().
    bool inView(int status) const;
    void fillRow(const RowUpdate& update, QTableWidgetItem* const items[ColumnCount]);
    void insertRow(const QString& source, QTableWidgetItem* const items[ColumnCount]);
    // Fits the row's height to its text; scrolls to the bottom when follow is set.
    void showRow(const QTableWidgetItem* const items[ColumnCount], bool follow);
    // Status colours come from the table's palette: drawn again when it changes.
    void recolourRows();

    void uncheckAndDisableDecrypt();
    // True when no run lasts, or the user agreed to stop it (default: No).
    bool confirmStopRun();
    // The hint over the empty table shows while the table has no rows.
    void updateEmptyHint();
    // Stops both managers once; later calls (the destructor after quitting) do nothing.
    void shutdownManagers();

    Ui_MainWindow m_form;
    QSettings m_settings;
    QString m_currentFolder;
    QString m_outputFolder; // empty: next to each file
    ElidedLabel* m_statusLabel = nullptr;
    QLabel* m_emptyHint = nullptr;
    FileManager* m_fileManager = nullptr;
    // Throughput and time left, at the right of the status bar while a run lasts.
    SpeedLabel* m_speedLabel = nullptr;
    TransientDialogs* m_dialogs = nullptr;
    RunNotifier* m_runNotifier = nullptr;
    DesktopNotification* m_desktopNotification = nullptr;
    int m_rowLimit = 1000;
    // Task key (its source) to its row in the table.
    TaskRowIndex m_rowIndex;
    QTimer m_statusTimer;
    // Changes waiting for the next flush: rows in the order their tasks were
    // reported (one entry a task, its latest state), and whether the counts changed.
    QList<RowUpdate> m_waitingRows;
    QHash<QString, qsizetype> m_waitingRowAt; // loaded source to its entry
    bool m_countsChanged = false;
    QTimer m_flushTimer;
    int m_view = LatestView;
    bool m_managersDown = false;
};
