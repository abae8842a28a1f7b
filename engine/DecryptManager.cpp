#include "engine/DecryptManager.h"

#include <QCoreApplication>

#include "engine/CryptTask.h"
#include "engine/LocalPath.h"
#include "engine/OutputFolders.h"
#include "engine/SafeFile.h"
#include "engine/SingleInstance.h"
#include "engine/ThreadPriority.h"
#include "engine/ZervDecryptWorker.h"

#include <kv/kv_core.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QReadLocker>
#include <QSet>
#include <QWriteLocker>

#include <cstring>
#include <new>
#include <sys/stat.h>
#include <utility>

namespace {

// The delete-after-success setting belongs to the process (see setDeleteEncryptedSetting).
QMutex g_deleteSettingLock;
DecryptManager::DeleteSetting g_deleteSetting;

// Paths are logged as the system holds them.
QByteArray utf8(const QString& text)
{
    return LocalPath::encode(text);
}

} // namespace

DecryptManager* DecryptManager::instance()
{
    return SingleInstance<DecryptManager>::get();
}

void DecryptManager::destroyInstance()
{
    SingleInstance<DecryptManager>::destroy();
}

void DecryptManager::shutdown()
{
    cancel();
    wait(); // the stop flag ends the dispatch loop at its next pass
}

DecryptManager::DecryptManager()
    : QThread(nullptr)
{
    for (int id = 0; id < m_poolSize; ++id)
        m_idle.append(createDecryptWorker(id));
    connect(this, &QThread::finished, this, &DecryptManager::onFinished);
    qRegisterMetaType<CryptTask>("CryptTask");
    qRegisterMetaType<const CryptTask*>("const CryptTask*");
    m_progressTimer.setSingleShot(false);
    m_progressTimer.setInterval(1000);
    connect(&m_progressTimer, &QTimer::timeout, this, &DecryptManager::onProgressTimer);
    m_progressTimer.start();
}

DecryptManager::~DecryptManager()
{
    if (isDecrypting())
        cancel();
    // The stop flag ends the dispatch loop at its next pass; a loop that has just
    // decided to end may still be leaving its thread.
    wait();
    // Sources still being dealt with refer to their records.
    m_remover.drain();
    {
        QWriteLocker locker(&m_lock);
        dropAllLocked(true);
        for (const std::shared_ptr<Passphrase>& holder : std::as_const(m_passphrases))
            holder->clear();
    }
    emit statsChanged();
    // The workers, children of this object, are destroyed with it; each waits for its thread.
}

ZervDecryptWorker* DecryptManager::createDecryptWorker(int id)
{
    kv_log("DecryptManager::createDecryptWorker()");
    auto* worker = new ZervDecryptWorker(id, this);
    // Its thread stays up for the manager's life and takes task after task.
    worker->setResident(true);
    // A worker flushes its output to disk when the source is to be deleted.
    worker->setDeletionFlag(&m_deleteExpected);
    connect(worker, &ZervDecryptWorker::started, this, &DecryptManager::onStart, Qt::QueuedConnection);
    connect(worker, &ZervDecryptWorker::failed, this, &DecryptManager::onFailed, Qt::QueuedConnection);
    connect(worker, &ZervDecryptWorker::completed, this, &DecryptManager::onCompleted, Qt::QueuedConnection);
    connect(worker, &ZervDecryptWorker::progress, this, &DecryptManager::onProgress, Qt::QueuedConnection);
    return worker;
}

void DecryptManager::reportError(const QString& text)
{
    {
        QMutexLocker locker(&m_errorLock);
        m_lastError = text;
    }
    emit error(text);
}

void DecryptManager::sweepOnce(const QString& folder)
{
    {
        QWriteLocker locker(&m_lock);
        if (m_sweptFolders.contains(folder))
            return;
        m_sweptFolders.insert(folder);
    }
    SafeFile::removeStaleTemporaries(folder);
}

void DecryptManager::reportSourceChanged(const QString& source)
{
    kv_log("Source changed during decryption: %s", utf8(source).constData());
    reportError(QStringLiteral("Source changed during decryption; kept %1").arg(source));
}

void DecryptManager::setBeforeSourceRemoval(SourceRemover::BeforeRemoval before)
{
    QWriteLocker locker(&m_lock);
    m_beforeSourceRemoval = std::move(before);
}

SourceRemover::BeforeRemoval DecryptManager::beforeSourceRemoval() const
{
    QReadLocker locker(&m_lock);
    return m_beforeSourceRemoval;
}

QString DecryptManager::lastError() const
{
    QMutexLocker locker(&m_errorLock);
    return m_lastError;
}

bool DecryptManager::decryptingLocked() const
{
    return m_dispatching || !m_busy.isEmpty() || !m_disposingTasks.isEmpty();
}

bool DecryptManager::isDecrypting() const
{
    QReadLocker locker(&m_lock);
    return decryptingLocked();
}

template <typename Locker> bool DecryptManager::refusedDuringDecryption(Locker& locker)
{
    if (!decryptingLocked())
        return false;
    locker.unlock(); // the error goes out without the lock
    reportError(QCoreApplication::translate("DecryptManager", "Cannot perform operations during decryption."));
    return true;
}

void DecryptManager::startDecrypt(const QString& passphrase)
{
    startDecrypt(QStringList { passphrase });
}

void DecryptManager::startDecrypt(const QStringList& passphrases)
{
    int count = 0;
    {
        // Checked and started in one hold of the lock: a list operation on the
        // task runner's thread either finishes before or is refused.
        QWriteLocker locker(&m_lock);
        if (decryptingLocked()) {
            locker.unlock();
            reportError(QCoreApplication::translate("DecryptManager", "Decryption already in progress."));
            return;
        }
        if (!m_lists.hasPending() && !m_feedOpen)
            return;
        m_stop = false;
        // The last run's holders are wiped; the records of this run share new ones.
        for (const std::shared_ptr<Passphrase>& holder : std::as_const(m_passphrases))
            holder->clear();
        m_passphrases.clear();
        for (const QString& passphrase : passphrases)
            m_passphrases.append(std::make_shared<Passphrase>(passphrase));
        m_runAnnounced = false;
        m_dispatching = true;
        // A folder may have gone since the last run.
        m_knownFolders.clear();
        count = m_lists.pendingCount();
    }
    m_deleteExpected.store(deleteEncryptedOnSuccess());
    emit started(count);
    // The loop of the last run may have decided to end and still be leaving its
    // thread; a running thread cannot be started again.
    wait();
    start(QThread::LowPriority);
}

void DecryptManager::run()
{
    ThreadPriority::lowerCurrentThread();
    kv_log("DecryptManager::run()");
    for (;;) {
        ZervDecryptWorker* worker = nullptr;
        PendingFile file;
        {
            QWriteLocker locker(&m_lock);
            if (!m_stop && !m_lists.hasPending() && m_feedOpen) {
                // More is coming: woken by the next files or the feed's end.
                m_wake.wait(&m_lock);
                continue;
            }
            if (m_stop || !m_lists.hasPending()) {
                m_dispatching = false;
                break;
            }
            kv_log("DecryptManager::getNumRunningTasks() - %d", static_cast<int>(m_busy.size()));
            if (m_busy.size() >= m_numThreads) {
                // Sleep until a worker is freed, the thread count changes or the stop flag is set.
                m_wake.wait(&m_lock);
                continue;
            }
            if (m_idle.isEmpty()) {
                kv_log("DecryptManager::run() no available workers");
                m_wake.wait(&m_lock);
                continue;
            }
            worker = m_idle.takeFirst();
            file = m_lists.takePending();
        }

        const QString& path = file.path;
        // No passphrase of its own: the record refers to the run's candidates.
        CryptTask* task = createTask(path, QString(), file.outputBase);
        if (!task) {
            kv_log("DecryptManager::run() task is null");
            reportError(QCoreApplication::translate("DecryptManager", "Task could not be created for %1").arg(path));
            QWriteLocker locker(&m_lock);
            m_idle.prepend(worker);
            continue;
        }

        // The stop flag is read, the worker put on the busy list and its thread
        // started in one hold of the lock. cancel() then either comes first (the
        // path goes back to the front of the pending list, as a cancelled task's
        // does, and nothing starts) or finds the worker busy and cancels it.
        QWriteLocker locker(&m_lock);
        if (m_stop) {
            m_lists.prependPending(file);
            m_idle.prepend(worker);
            m_dispatching = false;
            delete task; // never handed out
            break;
        }
        // This thread runs no event loop: hand the record to the manager's thread so
        // that deleteLater() really releases it.
        task->moveToThread(thread());
        m_busy.append(worker);
        worker->setTask(task);
    }
    kv_log("DecryptManager::run() - loop exit");
}

CryptTask* DecryptManager::createTask(const QString& path, const QString& passphrase, const QString& outputBase)
{
    kv_log("DecryptManager::createTask(%s)", utf8(path).constData());
    auto* task = new (std::nothrow) CryptTask(path);
    if (!task) {
        kv_log("Could not allocate memory for (fileName: %s).", utf8(path).constData());
        reportError(
            QCoreApplication::translate("DecryptManager", "Error: could not allocate memory for task %1 ").arg(path));
        return nullptr;
    }

    task->setOutputBase(outputBase);
    task->keepTime.store(keepTimes());
    // A test names no destination; the candidates still go with the task.
    if (verifyOnly()) {
        task->verifyOnly.store(true);
        assignPassphrases(task, passphrase);
        return task;
    }

    // Next to the source, a source without the envelope extension holds the
    // plaintext's own name and gets the extension after success; below an output
    // folder no source is ever renamed.
    const QString root = outputRoot();
    QString unsuffixed;
    if (root.isEmpty()) {
        const QFileInfo info(path);
        if (info.suffix().toLower() != CryptTask::envelopeExtension().toLower())
            task->renameSourceOnSuccess.store(true);
        unsuffixed = CryptTask::withoutDecryptedSuffix(path);
    } else {
        // Folders made (or found) once in this run are not made again.
        int folderError = 0;
        unsuffixed = CryptTask::withoutDecryptedSuffix(
            path, OutputFolders::prepare(root, path, outputBase, &m_knownFolders, &folderError));
        task->outputFolderError.store(folderError);
        task->setOutputRoot(QDir::cleanPath(QFileInfo(root).absoluteFilePath()));
    }

    // A name is taken by anything on disk (a file, folder or link, even a dangling
    // one) and by the destination of every running task.
    QSet<QString> reserved;
    {
        QReadLocker locker(&m_lock);
        for (ZervDecryptWorker* worker : std::as_const(m_busy))
            if (CryptTask* running = worker ? worker->task() : nullptr)
                reserved.insert(running->destination());
    }
    const QString destination = CryptTask::freeDestination(unsuffixed, reserved);
    if (destination != unsuffixed)
        task->destinationSuffixed.store(true);
    kv_log("save_as: %s", utf8(destination).constData());
    task->setDestination(destination);
    // What a killed run left in the folders this one writes to goes, once
    // nobody holds it.
    sweepOnce(QFileInfo(destination).absolutePath());
    if (!root.isEmpty())
        sweepOnce(QFileInfo(path).absolutePath());
    assignPassphrases(task, passphrase);
    return task;
}

void DecryptManager::assignPassphrases(CryptTask* task, const QString& passphrase) const
{
    if (!passphrase.isEmpty()) {
        task->setPassphrase(passphrase);
        return;
    }
    QList<std::shared_ptr<const Passphrase>> holders;
    {
        QReadLocker locker(&m_lock);
        for (const std::shared_ptr<Passphrase>& holder : m_passphrases)
            holders.append(holder);
    }
    task->setPassphrases(std::move(holders));
}

void DecryptManager::onStart(ZervDecryptWorker* worker)
{
    kv_log("DecryptManager::Onstart()");
    if (!worker)
        return;
    if (CryptTask* task = worker->task())
        emit statsChanged(task);
}

void DecryptManager::onProgress(ZervDecryptWorker* worker)
{
    kv_log("DecryptManager::onProgress()");
    if (!worker) {
        kv_log("DecryptManager::onProgress() - Warning, worker is null");
        return;
    }
    if (CryptTask* task = worker->task())
        emit statsChanged(task);
}

void DecryptManager::onProgressTimer()
{
    QReadLocker locker(&m_lock);
    for (ZervDecryptWorker* worker : std::as_const(m_busy))
        if (CryptTask* task = worker ? worker->task() : nullptr)
            emit statsChanged(task);
}

void DecryptManager::announceAllFinished()
{
    {
        QWriteLocker locker(&m_lock);
        if (m_runAnnounced)
            return;
        m_runAnnounced = true;
        // Nothing of the run needs the passphrases any more.
        for (const std::shared_ptr<Passphrase>& holder : std::as_const(m_passphrases))
            holder->clear();
    }
    emit allFinished();
}

void DecryptManager::onCompleted(ZervDecryptWorker* worker)
{
    kv_log("DecryptManager::OnComplete()");
    if (!worker) {
        kv_log("DecryptManager::OnComplete() - Warning, worker is null");
        return;
    }
    CryptTask* task = worker->task();
    {
        QWriteLocker locker(&m_lock);
        if (task)
            m_lists.addFinished(task);
        m_busy.removeOne(worker);
        worker->reset();
        m_idle.prepend(worker);
        m_wake.wakeAll();
    }
    // A test leaves its source as it found it.
    if (task && !task->verifyOnly.load()) {
        const bool deleteSource = deleteEncryptedOnSuccess();
        m_deleteExpected.store(deleteSource);
        const bool rename = task->renameSourceOnSuccess.load();
        if (deleteSource || rename) {
            // The source is dealt with on the remover's thread; the run goes on
            // until that is done, and the task's completion is announced with
            // its outcome.
            {
                QWriteLocker locker(&m_lock);
                m_disposingTasks.insert(task);
            }
            m_remover.submit(
                task, deleteSource, rename, this,
                [this, task](const SourceRemover::Outcome& outcome) { onSourceDisposed(task, outcome); },
                beforeSourceRemoval());
            return;
        }
    }
    // The task's own notification before the run's end, which may follow it.
    if (task)
        emit statsChanged(task);
    if (!isDecrypting())
        announceAllFinished();
}

void DecryptManager::onSourceDisposed(CryptTask* task, const SourceRemover::Outcome& outcome)
{
    const QString source = task->source();
    if (!outcome.renamedTo.isEmpty())
        task->setSource(outcome.renamedTo);
    else if (outcome.sourceChanged)
        reportSourceChanged(source);
    else if (outcome.renameAsked)
        reportError(QCoreApplication::translate("DecryptManager", "Could not rename input %1").arg(source));
    switch (outcome.removal) {
    case SourceRemover::Removal::NotAsked:
    case SourceRemover::Removal::Changed: // said above
        break;
    case SourceRemover::Removal::Removed:
        task->sourceDeleted.store(true);
        break;
    case SourceRemover::Removal::Missing:
        kv_log("Could not remove file %s. file does not exist.", utf8(source).constData());
        reportError(
            QCoreApplication::translate("DecryptManager", "Could not remove file %1. Does not exist").arg(source));
        break;
    case SourceRemover::Removal::Failed:
        kv_log("Could not remove file %s (%s)", utf8(source).constData(), utf8(outcome.reason).constData());
        // Why it stays (a read-only medium, a folder not ours): the system's words.
        reportError(
            QCoreApplication::translate("DecryptManager", "Could not remove file %1: %2").arg(source, outcome.reason));
        break;
    }
    {
        QWriteLocker locker(&m_lock);
        m_disposingTasks.remove(task);
    }
    emit statsChanged(task);
    if (!isDecrypting())
        announceAllFinished();
}

void DecryptManager::onFailed(ZervDecryptWorker* worker)
{
    kv_log("DecryptManager::Onfailed()");
    if (!worker) {
        kv_log("DecryptManager::Onfailed() - Warning, worker is null");
        return;
    }
    CryptTask* task = worker->task();
    if (!task)
        kv_log("DecryptManager::Onfailed() - worker's task is null");
    bool dropped = false;
    {
        QWriteLocker locker(&m_lock);
        if (task && task->status() == Task::FAILED) {
            m_lists.addFailed(task);
        } else if (task) {
            kv_log("DecryptManager::Onfailed() - reloading cancelled back onto list to the front");
            m_lists.prependPending({ task->source(), task->outputBase() });
            dropped = true;
        }
        m_busy.removeOne(worker);
        worker->reset();
        m_idle.prepend(worker);
        m_wake.wakeAll();
    }
    if (task) {
        emit statsChanged(task);
        // On no list any more: released once the notification above has been delivered.
        if (dropped)
            task->deleteLater();
    }
    if (getNumRunningTasks() == 0 && !isDecrypting())
        announceAllFinished();
}

void DecryptManager::onFinished()
{
    emit statsChanged();
    if (!isDecrypting())
        announceAllFinished();
}

void DecryptManager::onChangeNumThreads(int num)
{
    QWriteLocker locker(&m_lock);
    m_numThreads = (num >= 1 && num <= m_poolSize) ? num : 1;
    m_wake.wakeAll();
}

void DecryptManager::cancel()
{
    QWriteLocker locker(&m_lock);
    m_stop = true;
    m_wake.wakeAll();
    for (ZervDecryptWorker* worker : std::as_const(m_busy)) {
        if (!worker)
            continue;
        worker->setCancelled(true);
        worker->waitForTask(50);
    }
    locker.unlock();
    wait(5);
}

void DecryptManager::openFeed()
{
    QWriteLocker locker(&m_lock);
    m_feedOpen = true;
}

void DecryptManager::closeFeed()
{
    {
        QWriteLocker locker(&m_lock);
        if (!m_feedOpen)
            return;
        m_feedOpen = false;
        m_wake.wakeAll();
    }
    // A run that had nothing left to do ends now.
    if (!isDecrypting())
        announceAllFinished();
}

void DecryptManager::setOutputRoot(const QString& folder)
{
    QWriteLocker locker(&m_lock);
    m_outputRoot = folder;
}

QString DecryptManager::outputRoot() const
{
    QReadLocker locker(&m_lock);
    return m_outputRoot;
}

void DecryptManager::setVerifyOnly(bool enabled)
{
    QWriteLocker locker(&m_lock);
    m_verifyOnly = enabled;
}

bool DecryptManager::verifyOnly() const
{
    QReadLocker locker(&m_lock);
    return m_verifyOnly;
}

void DecryptManager::setKeepTimes(bool enabled)
{
    QWriteLocker locker(&m_lock);
    m_keepTimes = enabled;
}

bool DecryptManager::keepTimes() const
{
    QReadLocker locker(&m_lock);
    return m_keepTimes;
}

void DecryptManager::setDeleteEncryptedSetting(DeleteSetting setting)
{
    QMutexLocker locker(&g_deleteSettingLock);
    g_deleteSetting = std::move(setting);
}

bool DecryptManager::deleteEncryptedOnSuccess()
{
    DeleteSetting setting;
    {
        QMutexLocker locker(&g_deleteSettingLock);
        setting = g_deleteSetting;
    }
    // Asked outside the lock: the answer may come from a widget.
    return setting && setting();
}

int DecryptManager::addFiles(const QStringList& paths)
{
    return addFiles(paths, QString());
}

int DecryptManager::addFiles(const QStringList& paths, const QString& outputBase)
{
    QList<PendingFile> files;
    files.reserve(paths.size());
    for (const QString& path : paths)
        files.append({ path, outputBase });
    return addPending(files);
}

int DecryptManager::addPending(const QList<PendingFile>& files)
{
    int added = 0;
    {
        QWriteLocker locker(&m_lock);
        if (!m_feedOpen && refusedDuringDecryption(locker))
            return 0;
        added = m_lists.add(files);
        m_wake.wakeAll();
    }
    emit statsChanged();
    return added;
}

bool DecryptManager::clearPending()
{
    return clearList(DecryptLists::List::Pending);
}

bool DecryptManager::clearFinished()
{
    return clearList(DecryptLists::List::Finished);
}

bool DecryptManager::clearFailed()
{
    return clearList(DecryptLists::List::Failed);
}

bool DecryptManager::clearList(DecryptLists::List list)
{
    {
        QWriteLocker locker(&m_lock);
        if (refusedDuringDecryption(locker))
            return false;
        m_lists.clear(list);
    }
    emit statsChanged();
    return true;
}

void DecryptManager::dropAllLocked(bool destroying)
{
    for (ZervDecryptWorker* worker : std::as_const(m_busy)) {
        if (!worker)
            continue;
        worker->setCancelled(true);
        worker->waitForTask(50);
        if (destroying) {
            worker->waitForTask();
            if (CryptTask* task = worker->task())
                task->deleteLater();
        }
    }
    m_idle.append(m_busy);
    m_busy.clear();
    m_lists.clearAll();
}

bool DecryptManager::clearAll()
{
    {
        // Checked in the same hold: a worker a run has just made busy is never put
        // on the idle list while it runs.
        QWriteLocker locker(&m_lock);
        if (refusedDuringDecryption(locker))
            return false;
        dropAllLocked(false);
    }
    emit statsChanged();
    return true;
}

bool DecryptManager::reloadFailed()
{
    {
        // One hold of the lock for the whole move, so that no run can start
        // between adding the paths and emptying the failed list.
        QWriteLocker locker(&m_lock);
        if (refusedDuringDecryption(locker))
            return false;
        if (!m_lists.reloadFailed()) {
            locker.unlock();
            reportError(QCoreApplication::translate("DecryptManager", "Failed list is empty."));
            return false;
        }
    }
    // As adding the paths and clearing the failed list each announce it.
    emit statsChanged();
    emit statsChanged();
    return true;
}

bool DecryptManager::deleteEncrypted()
{
    bool ok = true;
    // Held for the whole walk, from the check on: no run starts meanwhile.
    QReadLocker locker(&m_lock);
    if (refusedDuringDecryption(locker))
        return false;
    for (CryptTask* task : m_lists.finished()) {
        // A tested envelope has no plaintext on disk: it is never deleted.
        if (!task || task->verifyOnly.load())
            continue;
        const QString source = task->source();
        const SourceRemover::Outcome outcome = SourceRemover::dispose(task, source, true, false, m_beforeSourceRemoval);
        const QString& reason = outcome.reason;
        switch (outcome.removal) {
        case SourceRemover::Removal::NotAsked:
            break;
        case SourceRemover::Removal::Changed:
            reportSourceChanged(source);
            ok = false;
            break;
        case SourceRemover::Removal::Removed:
            task->sourceDeleted.store(true);
            emit statsChanged(task);
            break;
        case SourceRemover::Removal::Missing:
            kv_log("Could not remove file %s. file does not exist.", utf8(source).constData());
            reportError(QCoreApplication::translate("DecryptManager", "Could not remove file %1. file does not exist.")
                            .arg(source));
            ok = false;
            break;
        case SourceRemover::Removal::Failed:
            kv_log("Could not remove file %s (%s)", utf8(source).constData(), utf8(reason).constData());
            // Why it stays (a read-only medium, a folder not ours): the system's words.
            reportError(
                QCoreApplication::translate("DecryptManager", "Could not remove file %1: %2").arg(source, reason));
            ok = false;
            break;
        }
    }
    return ok;
}

bool DecryptManager::isSettled(const CryptTask* task) const
{
    QReadLocker locker(&m_lock);
    if (m_disposingTasks.contains(task))
        return false;
    for (const ZervDecryptWorker* worker : m_busy)
        if (worker && worker->task() == task)
            return false;
    return true;
}

bool DecryptManager::releaseTask(const CryptTask* task)
{
    if (!task)
        return false;
    CryptTask* record = nullptr;
    {
        QWriteLocker locker(&m_lock);
        // The remover still works on it.
        if (m_disposingTasks.contains(task))
            return false;
        record = m_lists.take(task);
    }
    if (!record)
        return false;
    record->deleteLater();
    return true;
}

int DecryptManager::getNumRunningTasks() const
{
    QReadLocker locker(&m_lock);
    const int count = static_cast<int>(m_busy.size());
    kv_log("DecryptManager::getNumRunningTasks() - %d", count);
    return count;
}

int DecryptManager::getNumCompleted() const
{
    QReadLocker locker(&m_lock);
    const int count = static_cast<int>(m_lists.finished().size());
    kv_log("DecryptManager::getNumCompleted() - %d", count);
    return count;
}

int DecryptManager::getNumFailed() const
{
    QReadLocker locker(&m_lock);
    const int count = static_cast<int>(m_lists.failed().size());
    kv_log("DecryptManager::getNumFailed() - %d", count);
    return count;
}

int DecryptManager::getTotalTasks() const
{
    QReadLocker locker(&m_lock);
    const int count = m_lists.total();
    kv_log("DecryptManager::getTotalTasks() - %d", count);
    return count;
}

int DecryptManager::getNumPending() const
{
    QReadLocker locker(&m_lock);
    return m_lists.pendingCount();
}

int DecryptManager::getNumThreads() const
{
    QReadLocker locker(&m_lock);
    return m_numThreads;
}

QList<CryptTask*> DecryptManager::getCompletedTasks() const
{
    QReadLocker locker(&m_lock);
    return m_lists.finished();
}

QList<CryptTask*> DecryptManager::getFailedTasks() const
{
    QReadLocker locker(&m_lock);
    return m_lists.failed();
}

QList<CryptTask*> DecryptManager::getRunningTasks() const
{
    QReadLocker locker(&m_lock);
    QList<CryptTask*> tasks;
    for (ZervDecryptWorker* worker : std::as_const(m_busy))
        if (CryptTask* task = worker ? worker->task() : nullptr)
            tasks.append(task);
    return tasks;
}

QStringList DecryptManager::getPendingPaths() const
{
    QReadLocker locker(&m_lock);
    return m_lists.pendingPaths();
}

QString DecryptManager::passphrase() const
{
    QReadLocker locker(&m_lock);
    return m_passphrases.isEmpty() ? QString() : m_passphrases.first()->text();
}

QStringList DecryptManager::passphrases() const
{
    QReadLocker locker(&m_lock);
    QStringList texts;
    for (const std::shared_ptr<Passphrase>& holder : m_passphrases)
        texts.append(holder->text());
    return texts;
}
