#include "app/MainWindow.h"

#include "app/AboutWindow.h"
#include "app/BusyDialog.h"
#include "app/CommandLine.h"
#include "app/DesktopNotification.h"
#include "app/ElidedLabel.h"
#include "app/FileManager.h"
#include "app/ReloadFailedDialog.h"
#include "app/ResourceImage.h"
#include "app/RunNotifier.h"
#include "app/SettingsDialog.h"
#include "app/SpeedLabel.h"
#include "app/StatusColours.h"
#include "app/TaskTableItem.h"
#include "app/TransientDialogs.h"
#include "app/WindowIcon.h"
#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "engine/LocalPath.h"
#include "tasks/TaskManager.h"

#include <kv/kv.h>

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QScrollBar>
#include <QTableWidgetItem>

#include <cstdlib>
#include <utility>

namespace {

const QString kCurrentDirKey = QStringLiteral("FileDialog/currentDir");
const QString kOutputFolderKey = QStringLiteral("settings/outputFolder");
const QString kSkipDecryptedKey = QStringLiteral("settings/skipDecrypted");
// How the window looked when it was last closed.
const QString kGeometryKey = QStringLiteral("window/geometry");
const QString kTableHeaderKey = QStringLiteral("window/tableHeader"); // sort column and order, column widths
const QString kViewKey = QStringLiteral("window/view");
const QString kUriList = QStringLiteral("text/uri-list");

} // namespace

MainWindow::MainWindow(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
    , m_statusTimer(this)
{
    setUpForm();
    setUpTable();

    m_statusTimer.setSingleShot(false);
    m_statusTimer.setInterval(5000);
    connect(&m_statusTimer, &QTimer::timeout, this, qOverload<>(&MainWindow::updateStatus));
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(FlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &MainWindow::flushUpdates);

    connect(qApp, &QCoreApplication::aboutToQuit, this, &MainWindow::onAboutToQuit);

    setWindowIcon(WindowIcon::icon());
    // The controls stand in layouts (the form's), which make room for their
    // texts at any font size; nothing is placed by hand.

    connectActions();
    connectDecryptManager();
    connectTaskManager();
    connect(m_form._viewComboBox, &QComboBox::currentIndexChanged, this, &MainWindow::onViewChanged);
    setUpFeedback();

    loadSettings();
    updateStatus(tr("Drag files and folders to start decrypting..."), false);
}

// The form, the status line, the Decrypt button's first state, the passphrase
// field's actions and the application's style sheet.
void MainWindow::setUpForm()
{
    WindowIcon::ensureResources();
    m_form.setupUi(this);
    ResourceImage::show(m_form._phraseLbl, QStringLiteral(":/crypt/key32.png"));

    m_statusLabel = new ElidedLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("_statusLbl"));
    m_form.statusBar->addWidget(m_statusLabel, 1);

    m_form._decryptBtn->setEnabled(false);
    // Typing the passphrase is the first thing to do once files are loaded.
    m_form._phraseTxt->setFocus();

    m_form._phraseTxt->addActions(
        { m_form.actionOpenFiles, m_form.actionOpenFolder, m_form.actionSettings, m_form.actionReloadFailed,
            m_form.actionClearFinished, m_form.actionClearFailed, m_form.actionClearPending, m_form.actionClearAll });

    qApp->setStyleSheet(QStringLiteral("QStatusBar::item { border: 0px solid black } "));

    // The desktop's usual keys beside the window's own: Ctrl+O, Ctrl+Shift+O,
    // Ctrl+Q and F1. The first shortcut of each action stays its own key.
    const auto addKeys = [](QAction* action, const QList<QKeySequence>& keys) {
        QList<QKeySequence> all = action->shortcuts();
        all.append(keys);
        action->setShortcuts(all);
    };
    addKeys(m_form.actionOpenFiles, { QKeySequence(Qt::CTRL | Qt::Key_O) });
    addKeys(m_form.actionOpenFolder, { QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O) });
    addKeys(m_form.actionExit, { QKeySequence(Qt::CTRL | Qt::Key_Q) });
    addKeys(m_form.actionAbout, { QKeySequence(Qt::Key_F1) });
    m_form._phraseTxt->setPlaceholderText(tr("Passphrase of the files"));

    // One of the two places for plaintexts is chosen at any time.
    auto* places = new QActionGroup(this);
    places->setExclusive(true);
    places->addAction(m_form.actionDecryptNextToFiles);
    places->addAction(m_form.actionDecryptIntoFolder);
}

void MainWindow::setUpTable()
{
    QTableWidget* table = m_form._messagesTbl;
    table->setColumnCount(ColumnCount);
    table->setColumnWidth(NameColumn, 200);
    table->setColumnWidth(ProgressColumn, 80);
    table->setColumnWidth(StatusColumn, 400);
    table->horizontalHeader()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    table->horizontalHeader()->setSectionResizeMode(StatusColumn, QHeaderView::Stretch);
    table->horizontalHeader()->hide();
    table->verticalHeader()->hide();
    table->setShowGrid(false);
    table->setWordWrap(true);
    table->setFrameShape(QFrame::StyledPanel);
    table->setFrameShadow(QFrame::Sunken);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setDragDropMode(QAbstractItemView::DropOnly);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->horizontalScrollBar()->setDisabled(true);
    table->setAcceptDrops(true);
    // Sorted by the column whose header was clicked last; until then, rows stay
    // in the order their tasks started. (The form's sorting would otherwise go by
    // a column past the last one, which sorts nothing.)
    table->horizontalHeader()->show();
    table->horizontalHeader()->setSectionsClickable(true);
    table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    // Drag, drop and mouse events arrive at the table's viewport, not at the
    // table itself, so the filter watches both.
    table->installEventFilter(this);
    table->viewport()->installEventFilter(this);

    // The empty table says what it is for; the hint lets drops and clicks
    // through to the table.
    m_emptyHint = new QLabel(tr("Drop files and folders here to decrypt them."), table->viewport());
    m_emptyHint->setObjectName(QStringLiteral("_emptyHintLbl"));
    m_emptyHint->setAlignment(Qt::AlignCenter);
    m_emptyHint->setWordWrap(true);
    m_emptyHint->setForegroundRole(QPalette::PlaceholderText);
    m_emptyHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_emptyHint->setGeometry(table->viewport()->rect());
    // Through the hint: the table tells of its model's reset while it is torn
    // down, after the hint has gone.
    QAbstractItemModel* model = table->model();
    const auto update = [this] { updateEmptyHint(); };
    connect(model, &QAbstractItemModel::rowsInserted, m_emptyHint, update);
    connect(model, &QAbstractItemModel::rowsRemoved, m_emptyHint, update);
    connect(model, &QAbstractItemModel::modelReset, m_emptyHint, update);
    updateEmptyHint();

    m_fileManager = new FileManager(this);
}

void MainWindow::updateEmptyHint()
{
    m_emptyHint->setVisible(m_form._messagesTbl->rowCount() == 0);
}

QString MainWindow::rowFile(int row, bool* plaintext) const
{
    const QTableWidgetItem* name = m_form._messagesTbl->item(row, NameColumn);
    const QString decrypted = name ? name->data(PlaintextRole).toString() : QString();
    if (plaintext) {
        *plaintext = !decrypted.isEmpty();
    }
    return decrypted.isEmpty() && name ? name->data(SourceRole).toString() : decrypted;
}

QMenu* MainWindow::rowMenu(int row)
{
    bool plaintext = false;
    const QString file = rowFile(row, &plaintext);
    if (file.isEmpty()) {
        return nullptr;
    }
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("_rowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* open = menu->addAction(tr("Open"), this, [file] { FileManager::open(file); });
    open->setObjectName(QStringLiteral("actionRowOpen"));
    // Only a plaintext is opened: an envelope means nothing to other programs.
    open->setEnabled(plaintext);
    menu->addAction(tr("Show in Folder"), m_fileManager, [this, file] { m_fileManager->showInFolder(file); })
        ->setObjectName(QStringLiteral("actionRowShowInFolder"));
    menu->addAction(
            tr("Copy Path"), this, [file] { QGuiApplication::clipboard()->setText(QDir::toNativeSeparators(file)); })
        ->setObjectName(QStringLiteral("actionRowCopyPath"));
    return menu;
}

// Every action to its slot; while the Decrypt button is down, the actions that
// change the lists or the settings are disabled.
void MainWindow::connectActions()
{
    connect(m_form.actionOpenFiles, &QAction::triggered, this, &MainWindow::onOpenFiles);
    connect(m_form.actionOpenFolder, &QAction::triggered, this, &MainWindow::onOpenFolder);
    connect(m_form.actionExit, &QAction::triggered, this, &MainWindow::onExitTriggered);
    connect(m_form.actionSettings, &QAction::triggered, this, &MainWindow::onShowSettings);
    connect(m_form.actionDecryptNextToFiles, &QAction::triggered, this, &MainWindow::onDecryptNextToFiles);
    connect(m_form.actionDecryptIntoFolder, &QAction::triggered, this, &MainWindow::onDecryptIntoFolder);
    connect(m_form.actionSkipDecrypted, &QAction::toggled, this, &MainWindow::setSkipDecrypted);
    connect(m_form.actionReloadFailed, &QAction::triggered, this, &MainWindow::onReloadFailed);
    connect(m_form.actionClearFinished, &QAction::triggered, this, qOverload<>(&MainWindow::onClearFinished));
    connect(m_form.actionClearFailed, &QAction::triggered, this, qOverload<>(&MainWindow::onClearFailed));
    connect(m_form.actionClearPending, &QAction::triggered, this, qOverload<>(&MainWindow::onClearPending));
    connect(m_form.actionClearAll, &QAction::triggered, this, qOverload<>(&MainWindow::onClearAll));
    connect(m_form.actionDeleteEncrypted, &QAction::triggered, this, &MainWindow::onDeleteEncrypted);
    connect(m_form.actionAbout, &QAction::triggered, this, &MainWindow::onShowAbout);
    connect(m_form._showPassCheck, &QCheckBox::clicked, this, &MainWindow::showPassword);
    connect(m_form._decryptBtn, &QPushButton::clicked, this, &MainWindow::onDecryptClicked);

    for (QAction* action : { m_form.actionOpenFiles, m_form.actionOpenFolder, m_form.actionReloadFailed,
             m_form.actionClearAll, m_form.actionDeleteEncrypted, m_form.actionClearFinished, m_form.actionClearFailed,
             m_form.actionClearPending, m_form.actionSettings, m_form.actionDecryptNextToFiles,
             m_form.actionDecryptIntoFolder, m_form.actionSkipDecrypted }) {
        connect(m_form._decryptBtn, &QPushButton::toggled, action, &QAction::setDisabled);
    }
}

// The settings dialog's thread count and the decrypt manager's reports.
void MainWindow::connectDecryptManager()
{
    SettingsDialog* settings = SettingsDialog::instance();
    DecryptManager* decrypt = DecryptManager::instance();
    connect(settings, &SettingsDialog::numThreadChanged, decrypt, &DecryptManager::onChangeNumThreads);
    connect(settings, &SettingsDialog::keepTimesChanged, decrypt, &DecryptManager::setKeepTimes);

    connect(decrypt, qOverload<const CryptTask*>(&DecryptManager::statsChanged), this, &MainWindow::onDecryptStatus,
        Qt::QueuedConnection);
    connect(decrypt, qOverload<>(&DecryptManager::statsChanged), this, qOverload<>(&MainWindow::updateStatus),
        Qt::QueuedConnection);
    connect(decrypt, &DecryptManager::started, this, &MainWindow::onDecryptManagerStart, Qt::QueuedConnection);
    connect(decrypt, &DecryptManager::allFinished, this, &MainWindow::onDecryptManagerFinished, Qt::QueuedConnection);
    connect(decrypt, &DecryptManager::error, this, qOverload<QString>(&MainWindow::updateStatus), Qt::QueuedConnection);

    decrypt->onChangeNumThreads(settings->getNumThreads());
    decrypt->setKeepTimes(settings->keepTimes());
}

// The task manager's reports, and the busy dialog that shows while it works.
void MainWindow::connectTaskManager()
{
    BusyDialog* busy = BusyDialog::instance();
    TaskManager* tasks = TaskManager::instance();
    connect(
        tasks, &TaskManager::started, busy, qOverload<const QString&, bool>(&BusyDialog::exec), Qt::QueuedConnection);
    connect(tasks, &QThread::finished, busy, &QDialog::accept, Qt::QueuedConnection);
    connect(tasks, &TaskManager::filesLoaded, this, &MainWindow::onFilesLoaded, Qt::QueuedConnection);
    connect(
        tasks, &TaskManager::statusCleared, this, qOverload<QString>(&MainWindow::updateStatus), Qt::QueuedConnection);
    connect(tasks, &TaskManager::statusMessage, this, qOverload<QString, bool>(&MainWindow::updateStatus),
        Qt::QueuedConnection);
    connect(tasks, &TaskManager::statusReloadFailedTask, this, qOverload<QString>(&MainWindow::updateStatus),
        Qt::QueuedConnection);
    connect(tasks, &TaskManager::error, this, qOverload<QString>(&MainWindow::updateStatus), Qt::QueuedConnection);
    connect(busy, &BusyDialog::cancelled, tasks, &TaskManager::cancel, Qt::QueuedConnection);
    // A load's count of files found, at the dialog's pace.
    busy->setCountSource([tasks = QPointer<TaskManager>(tasks)] { return tasks ? tasks->filesFound() : -1; });
}

// What the window adds around the work itself: the speed display, the notice
// at the end of a long run, dialogs kept with the window, and Enter in the
// passphrase field.
void MainWindow::setUpFeedback()
{
    m_speedLabel = new SpeedLabel(this);
    m_speedLabel->setObjectName(QStringLiteral("_speedLbl"));
    m_form.statusBar->addPermanentWidget(m_speedLabel);

    m_runNotifier = new RunNotifier(this);
    m_desktopNotification = new DesktopNotification(QString(), this);
    connect(m_runNotifier, &RunNotifier::noticeDue, m_desktopNotification, &DesktopNotification::send);

    m_dialogs = new TransientDialogs(this);
    m_dialogs->add(SettingsDialog::instance());
    m_dialogs->add(BusyDialog::instance());

    connect(m_form._phraseTxt, &QLineEdit::returnPressed, this, &MainWindow::onPassphraseEntered);
}

MainWindow::~MainWindow()
{
    shutdownManagers();
    // The two dialogs that live as long as the window go after both managers,
    // whose threads have ended by now. The busy and reload-failed dialogs live for
    // the whole run; main() destroys them.
    SettingsDialog::destroyInstance();
    AboutWindow::destroyInstance();
}

void MainWindow::shutdownManagers()
{
    if (m_managersDown) {
        return;
    }
    m_managersDown = true;
    m_statusTimer.stop();
    m_flushTimer.stop();
    // The task manager first: its background tasks call into the decrypt manager,
    // so it is cancelled and its thread waited for while the decrypt manager still
    // stands. The decrypt manager then stops its dispatch thread and workers.
    TaskManager::destroyInstance();
    DecryptManager::destroyInstance();
}

QMenu* MainWindow::createPopupMenu()
{
    return nullptr;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    QTableWidget* table = m_form._messagesTbl;
    if (watched != table && watched != table->viewport()) {
        return QMainWindow::eventFilter(watched, event);
    }
    if (watched == table && event->type() == QEvent::PaletteChange) {
        recolourRows();
    }
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        // Moves are answered like the enter: the table's own handling would
        // refuse them, since its model knows nothing of file lists.
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (!m_form._decryptBtn->isChecked() && drag->mimeData()->hasFormat(kUriList)) {
            drag->acceptProposedAction();
        }
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        drop->acceptProposedAction();
        TaskManager::instance()->loadUrls(drop->mimeData()->urls());
        return true;
    }
    case QEvent::MouseButtonPress:
        return true;
    case QEvent::MouseButtonDblClick: {
        // Opens a finished row's plaintext.
        const int row = table->rowAt(static_cast<QMouseEvent*>(event)->position().toPoint().y());
        bool plaintext = false;
        const QString file = row >= 0 ? rowFile(row, &plaintext) : QString();
        if (plaintext) {
            FileManager::open(file);
        }
        return true;
    }
    case QEvent::ContextMenu: {
        if (watched != table->viewport()) {
            return QMainWindow::eventFilter(watched, event);
        }
        auto* request = static_cast<QContextMenuEvent*>(event);
        const int row = table->rowAt(request->pos().y());
        if (QMenu* menu = row >= 0 ? rowMenu(row) : nullptr) {
            menu->popup(request->globalPos());
        }
        return true;
    }
    case QEvent::Resize:
        if (watched == table->viewport()) {
            m_emptyHint->setGeometry(table->viewport()->rect());
        }
        return QMainWindow::eventFilter(watched, event);
    default:
        return QMainWindow::eventFilter(watched, event);
    }
}

void MainWindow::onFilesHandedOver(const QStringList& paths)
{
    if (!paths.isEmpty()) {
        TaskManager::instance()->loadFiles(paths);
    }
    if (isMinimized()) {
        showNormal();
    }
    raise();
    activateWindow();
}

void MainWindow::handleCommandLine(const QStringList& arguments)
{
    if (CommandLine::answer(arguments)) {
        // At once: the window is never shown and nothing is torn down.
        std::_Exit(0);
    }
    const CommandLine commandLine(arguments, QDir::currentPath());
    if (commandLine.action() == CommandLine::Action::Load) {
        TaskManager::instance()->loadFiles(commandLine.paths());
    }
}

void MainWindow::onOpenFiles()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("Open Encrypted files"), m_currentFolder,
        tr("Encrypted Files (*.%1);;All Files (*)").arg(CryptTask::envelopeExtension()));
    if (files.isEmpty()) {
        return;
    }
    m_currentFolder = QFileInfo(files.first()).absolutePath();
    saveSettings();
    TaskManager::instance()->loadFiles(files);
}

void MainWindow::onOpenFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), m_currentFolder, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty()) {
        return;
    }
    m_currentFolder = folder;
    saveSettings();
    TaskManager::instance()->loadFiles(QStringList { folder });
}

void MainWindow::onDecryptNextToFiles()
{
    setOutputFolder(QString());
}

void MainWindow::onDecryptIntoFolder()
{
    const QString start = m_outputFolder.isEmpty() ? m_currentFolder : m_outputFolder;
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Decrypt into Folder"), start, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    // Cancelled: the choice stays what it was.
    setOutputFolder(folder.isEmpty() ? m_outputFolder : folder);
}

void MainWindow::setOutputFolder(const QString& folder)
{
    m_outputFolder = folder;
    const bool intoFolder = !folder.isEmpty();
    m_form.actionDecryptIntoFolder->setChecked(intoFolder);
    m_form.actionDecryptNextToFiles->setChecked(!intoFolder);
    m_form.actionDecryptIntoFolder->setStatusTip(intoFolder ? QDir::toNativeSeparators(folder) : QString());
    if (m_settings.value(kOutputFolderKey).toString() != folder) {
        m_settings.setValue(kOutputFolderKey, folder);
        m_settings.sync();
    }
    if (!m_managersDown) {
        DecryptManager::instance()->setOutputRoot(folder);
        updateStatus();
    }
}

void MainWindow::setSkipDecrypted(bool skip)
{
    if (m_settings.value(kSkipDecryptedKey, false).toBool() != skip) {
        m_settings.setValue(kSkipDecryptedKey, skip);
        m_settings.sync();
    }
    if (!m_managersDown) {
        TaskManager::instance()->setSkipDecrypted(skip);
    }
}

void MainWindow::onShowSettings()
{
    // show() saves the dialog's state before showing it.
    SettingsDialog::instance()->show();
}

void MainWindow::onShowAbout()
{
    m_dialogs->add(AboutWindow::instance());
    AboutWindow::instance()->show();
}

void MainWindow::onExitTriggered(bool)
{
    if (confirmStopRun()) {
        QCoreApplication::quit();
    }
}

bool MainWindow::confirmStopRun()
{
    if (m_managersDown || !m_form._decryptBtn->isChecked()) {
        return true;
    }
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("_stopRunBox"));
    box.setWindowTitle(windowTitle());
    box.setIcon(QMessageBox::Question);
    box.setText(tr("Files are being decrypted. Stop and quit?"));
    box.setInformativeText(tr("Files not finished are left without a plaintext."));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.setWindowIcon(WindowIcon::icon());
    return box.exec() == QMessageBox::Yes;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!confirmStopRun()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::onDecryptClicked(bool checked)
{
    kv_log("MainWindow::onDecryptClicked() %d", checked ? 1 : 0);
    if (checked) {
        DecryptManager::instance()->startDecrypt(m_form._phraseTxt->text());
    } else {
        DecryptManager::instance()->cancel();
    }
}

void MainWindow::onReloadFailed()
{
    kv_log("MainWindow::onReloadFailed()");
    TaskManager::instance()->reloadFailed();
    kv_log("MainWindow::onClearFailed()");
    clearRowsByStatus(Task::FAILED, true);
    resetProgressBar();
}

void MainWindow::onClearAll(bool justTable)
{
    clearTable();
    if (!justTable) {
        TaskManager::instance()->clearStatus(Task::CLEARED);
    }
    resetProgressBar();
    uncheckAndDisableDecrypt();
}

void MainWindow::onClearAll()
{
    onClearAll(false);
}

void MainWindow::onClearFinished(bool justTable)
{
    kv_log("MainWindow::onClearFinished()");
    clearRowsByStatus(Task::FINISHED, justTable);
}

void MainWindow::onClearFinished()
{
    onClearFinished(false);
}

void MainWindow::onClearFailed(bool justTable)
{
    kv_log("MainWindow::onClearFailed()");
    clearRowsByStatus(Task::FAILED, justTable);
}

void MainWindow::onClearFailed()
{
    onClearFailed(false);
}

void MainWindow::onClearPending(bool justTable)
{
    kv_log("MainWindow::onClearPending()");
    clearRowsByStatus(Task::WAITING, justTable);
    uncheckAndDisableDecrypt();
}

void MainWindow::onClearPending()
{
    onClearPending(false);
}

void MainWindow::onDeleteEncrypted()
{
    kv_log("MainWindow::onDeleteEncrypted()");
    // The sources of finished tasks that are still there (a tested envelope has
    // no plaintext and is never deleted).
    int count = 0;
    for (const CryptTask* task : DecryptManager::instance()->getCompletedTasks()) {
        if (task && !task->verifyOnly.load() && !task->sourceDeleted.load()) {
            ++count;
        }
    }
    // Kept with the window, titled with the application's name. Files are
    // deleted for good: the question says how many, and Enter, Escape and the
    // close button all answer Cancel.
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("_deleteEncryptedBox"));
    box.setWindowTitle(windowTitle());
    box.setIcon(QMessageBox::Question);
    box.setText(tr("Do you want to delete encrypted source files from finished tasks?"));
    box.setInformativeText(tr("%1 encrypted files will be deleted.").arg(count));
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
    box.setWindowIcon(WindowIcon::icon());
    if (box.exec() == QMessageBox::Ok) {
        TaskManager::instance()->deleteEncrypted();
    }
}

void MainWindow::onViewChanged(int view)
{
    DecryptManager* decrypt = DecryptManager::instance();
    switch (view) {
    case LatestView:
        m_view = LatestView;
        showTasks(decrypt->getCompletedTasks() + decrypt->getFailedTasks() + decrypt->getRunningTasks());
        break;
    case FinishedView:
        m_view = FinishedView;
        showTasks(decrypt->getCompletedTasks());
        break;
    case FailedView:
        m_view = FailedView;
        showTasks(decrypt->getFailedTasks());
        break;
    default:
        break;
    }
}

void MainWindow::showPassword(bool checked)
{
    m_form._phraseTxt->setEchoMode(checked ? QLineEdit::Normal : QLineEdit::Password);
}

void MainWindow::onDecryptStatus(const CryptTask* task)
{
    // Noted now, shown with the next flush: thousands of small files end in a
    // second, and drawing each would hold up the run.
    m_countsChanged = true;
    if (task) {
        RowUpdate update = rowUpdateOf(task);
        const auto at = m_waitingRowAt.constFind(update.loadedSource);
        if (at != m_waitingRowAt.constEnd()) {
            m_waitingRows[at.value()] = std::move(update);
        } else {
            m_waitingRowAt.insert(update.loadedSource, m_waitingRows.size());
            m_waitingRows.append(std::move(update));
        }
    }
    if (!m_flushTimer.isActive()) {
        m_flushTimer.start();
    }
}

void MainWindow::flushUpdates()
{
    m_flushTimer.stop();
    // Taken first: a row that fills the table clears it, which flushes again.
    const QList<RowUpdate> rows = std::exchange(m_waitingRows, {});
    m_waitingRowAt.clear();
    const bool counts = std::exchange(m_countsChanged, false);
    if (!rows.isEmpty()) {
        QTableWidget* table = m_form._messagesTbl;
        // One layout pass for the batch instead of one a row.
        table->setUpdatesEnabled(false);
        for (const RowUpdate& update : rows) {
            applyRowUpdate(update);
        }
        table->setUpdatesEnabled(true);
    }
    if (counts) {
        updateStatus();
    }
}

void MainWindow::onFilesLoaded(QString msg)
{
    updateStatus(msg, false);
    if (m_form._progressBar->value() == m_form._progressBar->maximum()) {
        resetProgressBar();
    }
}

void MainWindow::updateStatus(QString msg, bool persist)
{
    // After quitting the managers are gone; a late queued call must not raise
    // a new decrypt manager.
    if (m_managersDown) {
        return;
    }
    DecryptManager* decrypt = DecryptManager::instance();
    const int completed = decrypt->getNumCompleted();
    const int pending = decrypt->getNumPending();
    const int total = decrypt->getTotalTasks();
    const int running = decrypt->getNumRunningTasks();

    if (running > 0) {
        QProgressBar* bar = m_form._progressBar;
        bar->setValue(qMax(0, bar->maximum() - running - pending));
        m_form._progressLbl->setText(bar->text());
    }
    if (!m_form._decryptBtn->isEnabled() && pending > 0) {
        m_form._decryptBtn->setEnabled(true);
    }
    m_statusTimer.stop();
    if (!msg.isEmpty()) {
        m_statusLabel->setText(QStringLiteral("   ") + msg);
        if (!persist) {
            m_statusTimer.start();
        }
        return;
    }
    const int failed = decrypt->getNumFailed();
    m_form.statusBar->clearMessage();
    QString counts
        = tr("%1 finished, %2 failed, %3 pending, %4 total").arg(completed).arg(failed).arg(pending).arg(total);
    // While plaintexts go below a folder, the status line says where.
    if (!m_outputFolder.isEmpty()) {
        counts += QStringLiteral(" \u2014 ") + tr("decrypting into %1").arg(QDir::toNativeSeparators(m_outputFolder));
    }
    m_statusLabel->setText(QStringLiteral("   ") + counts);
}

void MainWindow::updateStatus(QString msg)
{
    updateStatus(msg, false);
}

void MainWindow::updateStatus()
{
    updateStatus(QString(), false);
}

void MainWindow::onDecryptManagerStart(int startNum)
{
    resetProgressBar();
    m_form._progressBar->setMaximum(startNum);
    updateStatus();
    if (m_managersDown) {
        return;
    }
    DecryptManager* decrypt = DecryptManager::instance();
    m_speedLabel->start(decrypt);
    m_runNotifier->runStarted(decrypt->getNumCompleted(), decrypt->getNumFailed());
}

void MainWindow::onDecryptManagerFinished()
{
    if (m_managersDown) {
        return;
    }
    // The run's last rows and counts before its end is shown.
    flushUpdates();
    DecryptManager* decrypt = DecryptManager::instance();
    const int pending = decrypt->getNumPending();
    if (pending == 0) {
        m_form._progressBar->setValue(m_form._progressBar->maximum());
        m_form._progressLbl->setText(QStringLiteral("100%"));
    }
    const int failed = decrypt->getNumFailed();
    m_speedLabel->stop();
    // Before the reload question, which waits for the user.
    m_runNotifier->runEnded(decrypt->getNumCompleted(), failed, isActiveWindow());
    if (failed > 0) {
        ReloadFailedDialog* dialog = ReloadFailedDialog::instance();
        m_dialogs->add(dialog);
        dialog->setMessage(tr("%1 tasks have failed. Do you want to reload? ").arg(failed));
        if (dialog->exec() == QDialog::Accepted) {
            onReloadFailed();
        }
    }
    if (pending == 0 && decrypt->getNumRunningTasks() == 0) {
        uncheckAndDisableDecrypt();
    }
    updateStatus();
}

void MainWindow::loadSettings()
{
    if (m_settings.contains(kCurrentDirKey)) {
        m_currentFolder = m_settings.value(kCurrentDirKey).toString();
    }
    m_rowLimit = 1000;
    restoreGeometry(m_settings.value(kGeometryKey).toByteArray());
    m_form._messagesTbl->horizontalHeader()->restoreState(m_settings.value(kTableHeaderKey).toByteArray());
    const int view = m_settings.value(kViewKey, int(LatestView)).toInt();
    if (view >= LatestView && view <= FailedView) {
        m_form._viewComboBox->setCurrentIndex(view);
    }
    // Whether loads pass over files decrypted before ("keep both" when absent).
    m_form.actionSkipDecrypted->setChecked(m_settings.value(kSkipDecryptedKey, false).toBool());
    setSkipDecrypted(m_form.actionSkipDecrypted->isChecked());
    // Where plaintexts went last time; a folder that is gone is made again when
    // the first plaintext goes there.
    setOutputFolder(m_settings.value(kOutputFolderKey).toString());
}

void MainWindow::saveSettings()
{
    m_settings.setValue(kCurrentDirKey, m_currentFolder);
    m_settings.setValue(kGeometryKey, saveGeometry());
    m_settings.setValue(kTableHeaderKey, m_form._messagesTbl->horizontalHeader()->saveState());
    m_settings.setValue(kViewKey, m_view);
    m_settings.sync();
}

void MainWindow::resetProgressBar()
{
    m_form._progressBar->setValue(0);
    m_form._progressLbl->setText(QStringLiteral("0%"));
}

void MainWindow::onAboutToQuit()
{
    if (m_managersDown) {
        return;
    }
    // Both managers stand until shutdownManagers() (guarded above).
    TaskManager::instance()->cancel();
    DecryptManager::instance()->cancel();
    shutdownManagers();
    if (m_statusLabel) {
        m_statusLabel->deleteLater();
        m_statusLabel = nullptr;
    }
    clearTable();
    saveSettings();
}

void MainWindow::onPassphraseEntered()
{
    // Only to start: a stray Enter must not stop a running decryption.
    QPushButton* decrypt = m_form._decryptBtn;
    if (decrypt->isEnabled() && !decrypt->isChecked()) {
        decrypt->click();
    }
}

void MainWindow::uncheckAndDisableDecrypt()
{
    m_form._decryptBtn->setChecked(false);
    m_form._decryptBtn->setEnabled(false);
}

MainWindow::RowUpdate MainWindow::rowUpdateOf(const CryptTask* task)
{
    RowUpdate update;
    update.loadedSource = task->loadedSource();
    update.source = task->source();
    update.destination = task->destination();
    update.statusText = task->statusText();
    update.reason = task->reason();
    update.status = task->status();
    update.progress = task->progress();
    update.renamesSource = task->renameSourceOnSuccess.load();
    update.verifyOnly = task->verifyOnly.load();
    return update;
}

void MainWindow::updateTaskRow(const CryptTask* task)
{
    if (task) {
        applyRowUpdate(rowUpdateOf(task));
    }
}

void MainWindow::applyRowUpdate(const RowUpdate& update)
{
    if (!inView(update.status)) {
        return;
    }
    QTableWidget* table = m_form._messagesTbl;
    // The newest row is followed only while the view is at the bottom: a user
    // who scrolled up to read a row keeps it in view.
    const QScrollBar* bar = table->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    if (table->rowCount() > m_rowLimit) {
        removeAllRows();
    }
    const QString& source = update.source;
    if (update.renamesSource) {
        // The row was made under the name the source had when it was loaded.
        m_rowIndex.rename(update.loadedSource, source);
    }

    QTableWidgetItem* items[ColumnCount] = {};
    const int row = m_rowIndex.find(source);
    if (row != TaskRowIndex::NoRow) {
        for (int column = 0; column < ColumnCount; ++column) {
            items[column] = table->item(row, column);
        }
        fillRow(update, items);
    } else {
        for (auto& item : items) {
            item = new TaskTableItem();
        }
        fillRow(update, items);
        insertRow(source, items);
    }
    showRow(items, follow);
}

bool MainWindow::inView(int status) const
{
    switch (m_view) {
    case FinishedView:
        return status == Task::FINISHED;
    case FailedView:
        return status == Task::FAILED;
    default:
        return true;
    }
}

void MainWindow::fillRow(const RowUpdate& update, QTableWidgetItem* const items[ColumnCount])
{
    const int status = update.status;
    const QString& source = update.source;
    if (QTableWidgetItem* name = items[NameColumn]) {
        // Readable, whatever bytes the name holds; the row still acts on the source.
        name->setText(LocalPath::displayName(QFileInfo(source).fileName()));
        name->setData(SourceRole, source);
        // The plaintext, once written (a tested envelope has none).
        const QString& destination = update.destination;
        const bool written = status == Task::FINISHED && !update.verifyOnly && !destination.isEmpty();
        name->setData(PlaintextRole, written ? destination : QString());
    }
    if (QTableWidgetItem* progress = items[ProgressColumn]) {
        const double percent = double(update.progress) * 100.0;
        progress->setText(QString::number(percent, 'f', 1) + QLatin1Char('%'));
        progress->setData(TaskTableItem::SortRole, percent);
    }
    if (QTableWidgetItem* statusItem = items[StatusColumn]) {
        statusItem->setText(update.statusText);
        statusItem->setData(StatusRole, status);
        statusItem->setForeground(StatusColours::forStatus(status, m_form._messagesTbl->palette()));
    }
    // The system's reason for a failed write ("No space left on device") shows
    // over the whole row.
    const QString& reason = update.reason;
    for (int column = 0; column < ColumnCount; ++column) {
        if (QTableWidgetItem* item = items[column]) {
            item->setToolTip(reason);
        }
    }
}

void MainWindow::insertRow(const QString& source, QTableWidgetItem* const items[ColumnCount])
{
    // With sorting on, placing an item in the sort column moves its row to its
    // sorted place; the sort column's item goes in last, so that the others are
    // already in the row that moves.
    QTableWidget* table = m_form._messagesTbl;
    const int n = table->rowCount();
    table->insertRow(n);
    const int sortColumn = table->isSortingEnabled() ? table->horizontalHeader()->sortIndicatorSection() : -1;
    for (int column = 0; column < ColumnCount; ++column) {
        if (column != sortColumn) {
            table->setItem(n, column, items[column]);
        }
    }
    if (sortColumn >= 0 && sortColumn < ColumnCount) {
        table->setItem(n, sortColumn, items[sortColumn]);
    }
    m_rowIndex.add(source, table->model()->index(items[NameColumn]->row(), NameColumn));
}

void MainWindow::showRow(const QTableWidgetItem* const items[ColumnCount], bool follow)
{
    QTableWidget* table = m_form._messagesTbl;
    const QTableWidgetItem* anchor = items[NameColumn];
    for (int column = NameColumn + 1; !anchor && column < ColumnCount; ++column) {
        anchor = items[column];
    }
    if (anchor && anchor->row() >= 0) {
        table->resizeRowToContents(anchor->row());
    }
    if (follow) {
        table->scrollToBottom();
    }
}

void MainWindow::recolourRows()
{
    QTableWidget* table = m_form._messagesTbl;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (QTableWidgetItem* statusItem = table->item(row, StatusColumn)) {
            statusItem->setForeground(StatusColours::forStatus(statusItem->data(StatusRole).toInt(), table->palette()));
        }
    }
}

void MainWindow::showTasks(const QList<CryptTask*>& tasks)
{
    clearTable();
    for (qsizetype i = qMax<qsizetype>(0, tasks.size() - m_rowLimit); i < tasks.size(); ++i) {
        updateTaskRow(tasks.at(i));
    }
}

void MainWindow::clearTable()
{
    // What waits is older than the clearing.
    flushUpdates();
    removeAllRows();
}

void MainWindow::removeAllRows()
{
    QTableWidget* table = m_form._messagesTbl;
    table->model()->removeRows(0, table->rowCount());
    table->clearContents();
    m_rowIndex.clear();
    table->repaint();
}

void MainWindow::clearRowsByStatus(Task::STATUS status, bool justTable)
{
    if (status == Task::CLEARED) {
        clearTable();
    } else {
        flushUpdates();
        QTableWidget* table = m_form._messagesTbl;
        for (int row = 0; row < table->rowCount();) {
            const QTableWidgetItem* statusItem = table->item(row, StatusColumn);
            const int rowStatus = statusItem ? statusItem->data(StatusRole).toInt() : -1;
            if (rowStatus == status || (status == Task::FAILED && rowStatus == Task::CANCELLED)) {
                table->removeRow(row);
            } else {
                ++row;
            }
        }
        // The rows that stay keep their index entries: a later update of one of
        // their tasks (a source deleted on request, say) must land on its row,
        // not add a second row for the same file.
        m_rowIndex.removeLost();
    }
    if (!justTable) {
        TaskManager::instance()->clearStatus(status);
    }
}
