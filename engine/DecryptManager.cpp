#include "engine/DecryptManager.h"

#include "engine/CryptTask.h"
#include "engine/SafeFile.h"
#include "engine/SingleInstance.h"
#include "engine/ZervDecryptWorker.h"

#include <kv/kv_core.h>

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QReadLocker>
#include <QSet>
#include <QWriteLocker>

#include <cstring>
#include <new>

namespace {

QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

// Records may still be named in notifications on their way to the window, so
// they are released by deferred deletion only.
void releaseRecords(QList<CryptTask*>& records)
{
    for (CryptTask* task : std::as_const(records))
        if (task)
            task->deleteLater();
    records.clear();
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
    if (isDecrypting()) {
        cancel();
        wait(); // the stop flag ends the dispatch loop at its next pass
    }
    {
        QWriteLocker locker(&m_lock);
        dropAllLocked(true);
    }
    emit statsChanged();
    // The workers, children of this object, are destroyed with it; each waits for its thread.
}

ZervDecryptWorker* DecryptManager::createDecryptWorker(int id)
{
    kv_log("DecryptManager::createDecryptWorker()");
    auto* worker = new ZervDecryptWorker(id, this);
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

QString DecryptManager::lastError() const
{
    QMutexLocker locker(&m_errorLock);
    return m_lastError;
}

bool DecryptManager::isDecrypting() const
{
    return isRunning() || getNumRunningTasks() > 0;
}

bool DecryptManager::refuseWhileDecrypting()
{
    if (!isDecrypting())
        return false;
    reportError(QStringLiteral("Cannot perform operations during decryption."));
    return true;
}

void DecryptManager::startDecrypt(const QString& passphrase)
{
    if (isDecrypting()) {
        reportError(QStringLiteral("Decryption already in progress."));
        return;
    }
    if (getNumPending() == 0)
        return;
    {
        QWriteLocker locker(&m_lock);
        m_stop = false;
        m_passphrase = passphrase;
        m_runAnnounced = false;
    }
    emit started(getNumPending());
    start(QThread::LowPriority);
}

void DecryptManager::run()
{
    kv_log("DecryptManager::run()");
    for (;;) {
        ZervDecryptWorker* worker = nullptr;
        QString path;
        {
            QWriteLocker locker(&m_lock);
            if (m_stop || m_pending.size() <= 0)
                break;
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
            path = takePendingLocked();
        }

        CryptTask* task = createTask(path, passphrase());
        if (!task) {
            kv_log("DecryptManager::run() task is null");
            reportError(QStringLiteral("Task could not be created for %1").arg(path));
            QWriteLocker locker(&m_lock);
            m_idle.prepend(worker);
            continue;
        }
        // This thread runs no event loop: hand the record to the manager's thread so
        // that deleteLater() really releases it.
        task->moveToThread(thread());
        {
            QWriteLocker locker(&m_lock);
            m_busy.append(worker);
        }
        worker->setTask(task);
    }
    kv_log("DecryptManager::run() - loop exit");
}

CryptTask* DecryptManager::createTask(const QString& path, const QString& passphrase)
{
    kv_log("DecryptManager::createTask(%s)", utf8(path).constData());
    auto* task = new (std::nothrow) CryptTask(path);
    if (!task) {
        kv_log("Could not allocate memory for (fileName: %s).", utf8(path).constData());
        reportError(QStringLiteral("Error: could not allocate memory for task %1 ").arg(path));
        return nullptr;
    }

    const QFileInfo info(path);
    if (info.suffix().toLower() != CryptTask::envelopeExtension().toLower())
        task->renameSourceOnSuccess.store(true);

    // A name is taken by anything on disk (a file, folder or link, even a dangling
    // one) and by the destination of every running task.
    QSet<QString> reserved;
    {
        QReadLocker locker(&m_lock);
        for (ZervDecryptWorker* worker : std::as_const(m_busy))
            if (CryptTask* running = worker ? worker->task() : nullptr)
                reserved.insert(running->destination());
    }
    const QString untagged = CryptTask::untaggedDestination(path);
    QString destination = untagged;
    for (int n = 1; CryptTask::nameTaken(destination) || reserved.contains(destination); ++n) {
        destination = CryptTask::taggedDestination(untagged, n);
        task->destinationTagged.store(true);
    }
    kv_log("save_as: %s", utf8(destination).constData());
    task->setDestination(destination);
    task->setPassphrase(passphrase.isEmpty() ? this->passphrase() : passphrase);
    return task;
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
    }
    emit allFinished();
}

DecryptManager::Removal DecryptManager::removeSource(CryptTask* task, QString* reason)
{
    const QString source = task->source();
    if (!QFileInfo::exists(source))
        return Removal::Missing;
    // The plaintext must be on disk before the only other copy of the data goes.
    if (const int error = SafeFile::syncToDisk(task->destination())) {
        *reason = QStringLiteral("Decrypted file %1 could not be flushed to disk: %2")
                      .arg(task->destination(), QString::fromLocal8Bit(std::strerror(error)));
        return Removal::Failed;
    }
    QFile file(source);
    if (file.remove())
        return Removal::Removed;
    *reason = file.errorString();
    return Removal::Failed;
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
            m_finished.append(task);
        m_busy.removeOne(worker);
        worker->reset();
        m_idle.prepend(worker);
        m_wake.wakeAll();
    }
    if (getNumRunningTasks() == 0 && !isDecrypting())
        announceAllFinished();
    if (!task)
        return;
    emit statsChanged(task);

    if (task->renameSourceOnSuccess.load()) {
        const QString source = task->source();
        const QString renamed = source + QLatin1Char('.') + CryptTask::envelopeExtension();
        if (SafeFile::renameNoReplace(source, renamed) == 0)
            task->setSource(renamed);
        else
            reportError(QStringLiteral("Could not rename input %1").arg(source));
    }

    if (deleteEncryptedOnSuccess()) {
        const QString source = task->source();
        QString reason;
        switch (removeSource(task, &reason)) {
        case Removal::Removed:
            task->sourceDeleted.store(true);
            break;
        case Removal::Missing:
            kv_log("Could not remove file %s. file does not exist.", utf8(source).constData());
            reportError(QStringLiteral("Could not remove file %1. Does not exist").arg(source));
            break;
        case Removal::Failed:
            kv_log("Could not remove file %s (%s)", utf8(source).constData(), utf8(reason).constData());
            reportError(QStringLiteral("Could not remove file %1").arg(source));
            break;
        }
    }
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
            m_failed.append(task);
        } else if (task) {
            kv_log("DecryptManager::Onfailed() - reloading cancelled back onto list to the front");
            prependPendingLocked(task->source());
            dropped = true;
        }
        m_busy.removeOne(worker);
        worker->reset();
        m_idle.prepend(worker);
        m_wake.wakeAll();
    }
    if (getNumRunningTasks() == 0 && !isDecrypting())
        announceAllFinished();
    if (task) {
        emit statsChanged(task);
        // On no list any more: released once the notification above has been delivered.
        if (dropped)
            task->deleteLater();
    }
}

void DecryptManager::onFinished()
{
    emit statsChanged();
    if (getNumRunningTasks() == 0 && !isRunning())
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
        worker->quit();
        worker->wait(50);
    }
    locker.unlock();
    wait(5);
}

void DecryptManager::setDeleteEncryptedOnSuccess(bool enabled)
{
    QWriteLocker locker(&m_lock);
    m_deleteOnSuccess = enabled;
}

bool DecryptManager::deleteEncryptedOnSuccess() const
{
    QReadLocker locker(&m_lock);
    return m_deleteOnSuccess;
}

void DecryptManager::appendPendingLocked(const QString& path)
{
    m_pending.append(path);
    ++m_pendingCount[path];
}

void DecryptManager::prependPendingLocked(const QString& path)
{
    m_pending.prepend(path);
    ++m_pendingCount[path];
}

QString DecryptManager::takePendingLocked()
{
    const QString path = m_pending.takeFirst();
    auto it = m_pendingCount.find(path);
    if (it != m_pendingCount.end() && --it.value() <= 0)
        m_pendingCount.erase(it);
    return path;
}

int DecryptManager::addFiles(const QStringList& paths)
{
    if (refuseWhileDecrypting())
        return 0;
    int added = 0;
    {
        QWriteLocker locker(&m_lock);
        for (const QString& path : paths) {
            if (m_pendingCount.contains(path))
                continue;
            appendPendingLocked(path);
            ++added;
        }
        m_totalCount = static_cast<int>(m_finished.size() + m_pending.size() + m_failed.size());
    }
    emit statsChanged();
    return added;
}

bool DecryptManager::clearPending()
{
    if (refuseWhileDecrypting())
        return false;
    {
        QWriteLocker locker(&m_lock);
        m_totalCount = static_cast<int>(m_failed.size() + m_finished.size());
        m_pending.clear();
        m_pendingCount.clear();
    }
    emit statsChanged();
    return true;
}

bool DecryptManager::clearFinished()
{
    if (refuseWhileDecrypting())
        return false;
    {
        QWriteLocker locker(&m_lock);
        releaseRecords(m_finished);
        m_totalCount = static_cast<int>(m_pending.size() + m_failed.size());
    }
    emit statsChanged();
    return true;
}

bool DecryptManager::clearFailed()
{
    if (refuseWhileDecrypting())
        return false;
    {
        QWriteLocker locker(&m_lock);
        releaseRecords(m_failed);
        m_totalCount = static_cast<int>(m_finished.size() + m_pending.size());
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
        worker->quit();
        worker->wait(50);
        if (destroying) {
            worker->wait();
            if (CryptTask* task = worker->task())
                task->deleteLater();
        }
    }
    m_idle.append(m_busy);
    m_busy.clear();
    releaseRecords(m_finished);
    releaseRecords(m_failed);
    m_pending.clear();
    m_pendingCount.clear();
    m_totalCount = 0;
}

bool DecryptManager::clearAll()
{
    if (refuseWhileDecrypting())
        return false;
    {
        QWriteLocker locker(&m_lock);
        dropAllLocked(false);
    }
    emit statsChanged();
    return true;
}

bool DecryptManager::reloadFailed()
{
    if (refuseWhileDecrypting())
        return false;
    QStringList sources;
    {
        QReadLocker locker(&m_lock);
        for (CryptTask* task : std::as_const(m_failed))
            if (task)
                sources.append(task->source());
    }
    if (sources.isEmpty()) {
        reportError(QStringLiteral("Failed list is empty."));
        return false;
    }
    addFiles(sources);
    return clearFailed();
}

bool DecryptManager::deleteEncrypted()
{
    if (refuseWhileDecrypting())
        return false;
    bool ok = true;
    QReadLocker locker(&m_lock);
    for (CryptTask* task : std::as_const(m_finished)) {
        if (!task)
            continue;
        const QString source = task->source();
        QString reason;
        switch (removeSource(task, &reason)) {
        case Removal::Removed:
            task->sourceDeleted.store(true);
            emit statsChanged(task);
            break;
        case Removal::Missing:
            kv_log("Could not remove file %s. file does not exist.", utf8(source).constData());
            reportError(QStringLiteral("Could not remove file %1. file does not exist.").arg(source));
            ok = false;
            break;
        case Removal::Failed:
            kv_log("Could not remove file %s (%s)", utf8(source).constData(), utf8(reason).constData());
            reportError(QStringLiteral("Could not remove file %1").arg(source));
            ok = false;
            break;
        }
    }
    return ok;
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
    const int count = static_cast<int>(m_finished.size());
    kv_log("DecryptManager::getNumCompleted() - %d", count);
    return count;
}

int DecryptManager::getNumFailed() const
{
    QReadLocker locker(&m_lock);
    const int count = static_cast<int>(m_failed.size());
    kv_log("DecryptManager::getNumFailed() - %d", count);
    return count;
}

int DecryptManager::getTotalTasks() const
{
    QReadLocker locker(&m_lock);
    const int count = m_totalCount;
    kv_log("DecryptManager::getTotalTasks() - %d", count);
    return count;
}

int DecryptManager::getNumPending() const
{
    QReadLocker locker(&m_lock);
    return static_cast<int>(m_pending.size());
}

int DecryptManager::getNumThreads() const
{
    QReadLocker locker(&m_lock);
    return m_numThreads;
}

QList<CryptTask*> DecryptManager::getCompletedTasks() const
{
    QReadLocker locker(&m_lock);
    return m_finished;
}

QList<CryptTask*> DecryptManager::getFailedTasks() const
{
    QReadLocker locker(&m_lock);
    return m_failed;
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
    return m_pending;
}

QString DecryptManager::passphrase() const
{
    QReadLocker locker(&m_lock);
    return m_passphrase;
}
