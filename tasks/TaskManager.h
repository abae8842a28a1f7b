// Runs the application's long list operations (loading files and folders,
// clearing tasks by status, reloading failed tasks, deleting encrypted sources)
// on a thread of its own, one at a time, so that the window stays responsive
// while the busy dialog shows.
//
// There is one manager per process (instance()). Its slots, onFinished() and
// shutdown() run on the main thread; run() and the background task steps run on
// the manager's thread. The lock guards the cancel flag and whether the current
// task's step has returned; the current-task and decrypt-manager pointers are
// written on the main thread while the thread is not running and read by run()
// after start(), so they need none. The thread lowers its own priority (see
// ThreadPriority) before it runs a step.
//
// The manager owns its signals: a task's step announces nothing and emits
// nothing itself, it answers a report that run() sends on.
#pragma once

#include "engine/Task.h"
#include "tasks/BackgroundTask.h"

#include <QList>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QUrl>

#include <atomic>

class DecryptManager;
class FileLoadTask;
template <typename T> class SingleInstance;

class TaskManager : public QThread {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskManager)

public:
    // The single manager, constructed (without parent) on the first call, which
    // must come from the main thread.
    static TaskManager* instance();
    // Deletes the single manager (cancelling and waiting for a running operation);
    // the next instance() builds a new one. Called by the owner only.
    static void destroyInstance();

    // Cancels and waits for a running operation to end; the manager stays.
    virtual void shutdown();

    // Reads the cancel flag under the read lock; the background task steps call
    // it at the points where they may stop.
    bool isCancelled() const;

    // FileLoading::walkDirectory with this manager's cancel flag: an empty list as
    // soon as the flag is seen set.
    QStringList walkDirectory(const QString& folder, const QString& nameFilter, bool recursive) const;

    // How many files the load that runs (or ran last) has found so far, read
    // from any thread while it runs (FileLoading::LoadOptions::found); -1 while
    // the operation is no load, or has not begun to count.
    qint64 filesFound() const { return m_filesFound.load(std::memory_order_relaxed); }

    // The background task the thread runs or last ran (null when none).
    const Task* currentTask() const { return m_currentTask; }

    // Whether loads pass over envelopes whose plaintext already stands under
    // its plain name (FileLoading::LoadOptions::skipDecrypted); off at first.
    // Set and read on the main thread; a load takes it when it starts.
    void setSkipDecrypted(bool skip) { m_skipDecrypted = skip; }
    bool skipDecrypted() const { return m_skipDecrypted; }

signals:
    void filesLoaded(QString msg);
    void statusCleared(QString msg);
    void statusReloadFailedTask(QString msg);
    void statusMessage(QString msg, bool persist);
    void started(QString msg, bool showCancelButton);
    void error(QString msg);
    void cancelled(); // declared; never emitted

public slots:
    void loadFiles(QStringList files);
    void loadUrls(QList<QUrl> files);
    void clearStatus(Task::STATUS status);
    void reloadFailed();
    void deleteEncrypted();
    void cancel();
    void onFinished();

protected:
    void run() override;

private:
    friend class SingleInstance<TaskManager>;
    TaskManager();
    ~TaskManager() override;

    // Emits the refusal and answers true while an operation runs.
    bool refuseWhileRunning();
    // Installs the task (releasing the one held before) and starts the thread.
    void startTask(BackgroundTask* task);
    // Announces the load and starts it (or refuses while an operation runs).
    void startLoad(FileLoadTask* load);
    // Sends a step's result line through the signal it names.
    void send(const BackgroundTask::Report& report);

    mutable QReadWriteLock m_lock;
    BackgroundTask* m_currentTask = nullptr;
    bool m_cancel = false;
    // The current task's step has returned: set by run() before the thread ends
    // (and so before finished() is sent), cleared when a task starts.
    bool m_stepDone = false;
    // The decrypt manager the steps work on, looked up on the main thread when a
    // task starts, so that the manager's thread never builds one.
    DecryptManager* m_decryptManager = nullptr;
    bool m_skipDecrypted = false;
    std::atomic<qint64> m_filesFound { -1 };
};
