#include "tasks/TaskManager.h"

#include <QCoreApplication>

#include "tasks/ClearStatusTask.h"
#include "tasks/DeleteEncryptedTask.h"
#include "tasks/FileLoadTask.h"
#include "tasks/ReloadFailedTask.h"

#include "engine/DecryptManager.h"
#include "engine/FileLoading.h"
#include "engine/SingleInstance.h"
#include "engine/ThreadPriority.h"

#include <kv/kv.h>

TaskManager* TaskManager::instance()
{
    return SingleInstance<TaskManager>::get();
}

void TaskManager::destroyInstance()
{
    SingleInstance<TaskManager>::destroy();
}

TaskManager::TaskManager()
    : QThread(nullptr)
{
    connect(this, &QThread::finished, this, &TaskManager::onFinished);
}

TaskManager::~TaskManager()
{
    // Never destroy a running thread.
    TaskManager::shutdown();
    if (m_currentTask) {
        m_currentTask->deleteLater();
        m_currentTask = nullptr;
    }
}

void TaskManager::shutdown()
{
    cancel();
    if (isRunning()) {
        kv_log("TaskManager::shutdown() - waiting for the running task");
        wait();
    }
}

bool TaskManager::isCancelled() const
{
    QReadLocker locker(&m_lock);
    return m_cancel;
}

bool TaskManager::refuseWhileRunning()
{
    if (!isRunning()) {
        return false;
    }
    emit error(QCoreApplication::translate("TaskManager", "A task is in progress, try again later."));
    return true;
}

void TaskManager::startTask(BackgroundTask* task)
{
    if (m_currentTask) {
        m_currentTask->deleteLater();
    }
    m_currentTask = task;
    m_decryptManager = DecryptManager::instance();
    m_filesFound.store(-1, std::memory_order_relaxed); // a load counts from 0 once it runs
    {
        QWriteLocker locker(&m_lock);
        m_stepDone = false;
    }
    start(QThread::LowPriority);
}

void TaskManager::loadFiles(QStringList files)
{
    startLoad(new FileLoadTask(files));
}

void TaskManager::loadUrls(QList<QUrl> files)
{
    startLoad(new FileLoadTask(files));
}

void TaskManager::startLoad(FileLoadTask* load)
{
    if (refuseWhileRunning()) {
        delete load;
        return;
    }
    emit started(QCoreApplication::translate("TaskManager", "Loading files..."), true);
    load->setSkipDecrypted(m_skipDecrypted);
    load->setFoundCounter(&m_filesFound);
    startTask(load);
}

void TaskManager::clearStatus(Task::STATUS status)
{
    if (!refuseWhileRunning()) {
        startTask(new ClearStatusTask(status));
    }
}

void TaskManager::reloadFailed()
{
    if (!refuseWhileRunning()) {
        startTask(new ReloadFailedTask());
    }
}

void TaskManager::deleteEncrypted()
{
    if (!refuseWhileRunning()) {
        startTask(new DeleteEncryptedTask());
    }
}

void TaskManager::cancel()
{
    QWriteLocker locker(&m_lock);
    // With nothing running there is nothing to cancel. Setting the flag anyway
    // would leave it set until the next operation ends, so that operation (say,
    // the files the user drops next) would stop at its first check and silently
    // load nothing.
    //
    // Nor is there once the step has returned. Its thread sends finished() right
    // after, which closes the busy dialog; a "Cancelling..." announced now would
    // arrive behind that and open the dialog again, with no button, for good. The
    // step sets m_stepDone under this lock, so either this announcement goes out
    // before finished() or it is not made at all.
    if (!m_currentTask || m_stepDone) {
        return;
    }
    m_cancel = true;
    emit statusMessage(QCoreApplication::translate("TaskManager", "Cancelling..."), true);
    emit started(QCoreApplication::translate("TaskManager", "Cancelling..."), false);
}

void TaskManager::onFinished()
{
    // A start slot may have installed (and started) a new task after the thread
    // ended but before this call arrived: that one is running and stays.
    if (m_currentTask && !isRunning()) {
        m_currentTask->deleteLater();
        m_currentTask = nullptr;
    }
    if (m_cancel) {
        emit statusMessage(QString(), false);
        m_cancel = false;
    }
}

void TaskManager::run()
{
    ThreadPriority::lowerCurrentThread();
    kv_log("TaskManager::run()");
    if (m_currentTask && m_decryptManager) {
        const QString announcement = m_currentTask->announcement();
        if (!announcement.isEmpty()) {
            emit started(announcement, true);
        }
        send(m_currentTask->run(*m_decryptManager, [this] { return isCancelled(); }));
    }
    {
        QWriteLocker locker(&m_lock);
        m_stepDone = true;
    }
    kv_log("TaskManager::run() - loop exit");
}

void TaskManager::send(const BackgroundTask::Report& report)
{
    switch (report.channel) {
    case BackgroundTask::Channel::None:
        break;
    case BackgroundTask::Channel::FilesLoaded:
        emit filesLoaded(report.text);
        break;
    case BackgroundTask::Channel::StatusCleared:
        emit statusCleared(report.text);
        break;
    case BackgroundTask::Channel::StatusReloadFailedTask:
        emit statusReloadFailedTask(report.text);
        break;
    case BackgroundTask::Channel::StatusMessage:
        emit statusMessage(report.text, false);
        break;
    }
}

QStringList TaskManager::walkDirectory(const QString& folder, const QString& nameFilter, bool recursive) const
{
    return FileLoading::walkDirectory(folder, nameFilter, recursive, [this] { return isCancelled(); });
}
