// Turns a list of file paths into decrypted files with a fixed pool of eight
// decrypt workers, never running more at once than the configured thread count.
//
// There is one manager per process (instance()). Its run() is the dispatch loop on
// its own thread; its slots and public operations run on the threads that call
// them. One read-write lock guards the lists, the settings, the stop flag and
// the passphrase; when a worker's mutex is needed too, the manager lock is taken
// first. The passphrase of a run is held once, here: the run's task records refer
// to it, and it is wiped when the run ends and when the manager is destroyed.
// Task records are only ever released with deleteLater(), on the thread the
// manager lives on, so that queued statsChanged(task) notifications stay valid.
//
// Whether a run is on (the dispatch loop active or a worker busy) is decided under
// the lock, in the same hold in which an operation acts on it: a start and a list
// operation never both go ahead, and cancel() reaches every task the dispatch loop
// has taken. A run also lasts until the sources of its completed tasks have been
// deleted or renamed, which the remover does on its own thread; a task's
// completion is announced (statsChanged(task)) once its source is dealt with.
#pragma once

#include "engine/Passphrase.h"
#include "engine/SourceRemover.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

class CryptTask;
class ZervDecryptWorker;
template <typename T> class SingleInstance;

class DecryptManager : public QThread {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DecryptManager)

public:
    // The single manager, constructed on the first call, which must come from the
    // main thread (the manager and its workers belong to that thread).
    static DecryptManager* instance();
    // Deletes the single manager (cancelling and waiting for every thread it runs);
    // the next instance() builds a new one. Called by the owner only.
    static void destroyInstance();

    // Cancels decryption and waits for the dispatch loop to end; the manager stays.
    virtual void shutdown();

    void startDecrypt(const QString& passphrase);
    // Stops the run: every task the dispatch loop has taken is cancelled (its path
    // goes back to the front of the pending list), and no task starts after the
    // call returns.
    void cancel();
    bool isDecrypting() const;

    // Operations refused while decrypting (they emit error() and return false / 0).
    int addFiles(const QStringList& paths);
    bool clearAll();
    bool clearPending();
    bool clearFinished();
    bool clearFailed();
    bool reloadFailed();
    bool deleteEncrypted();

    int getNumRunningTasks() const;
    int getNumCompleted() const;
    int getNumFailed() const;
    int getTotalTasks() const;
    int getNumPending() const;
    // The most workers that may be busy at once (1 to 8).
    int getNumThreads() const;

    QString lastError() const;

    QList<CryptTask*> getCompletedTasks() const;
    QList<CryptTask*> getFailedTasks() const;
    QList<CryptTask*> getRunningTasks() const;
    // The paths waiting to be decrypted, next first.
    QStringList getPendingPaths() const;
    // The current run's passphrase; "" when no run has one (it is wiped when a run ends).
    QString passphrase() const;

    // Whether the encrypted source is deleted as soon as its decryption succeeds:
    // asked each time a task completes, on the manager's thread, so the answer is
    // the setting's state at that moment (the window answers with its check box).
    using DeleteSetting = std::function<bool()>;
    // Registers the setting for the whole process, not for one manager: a manager
    // built after another was destroyed asks the same one. An empty one (the start)
    // answers false. Called on the main thread.
    static void setDeleteEncryptedSetting(DeleteSetting setting);
    static bool deleteEncryptedOnSuccess();

signals:
    void statsChanged(const CryptTask* task);
    void statsChanged();
    void statusMemssage(QString message); // declared; never emitted
    void loaded(bool hasTasks); // declared; never emitted
    void error(QString msg);
    void started(int count);
    void allFinished();

public slots:
    void onChangeNumThreads(int num);
    void onCompleted(ZervDecryptWorker* worker);
    void onFailed(ZervDecryptWorker* worker);
    void onStart(ZervDecryptWorker* worker);
    void onProgress(ZervDecryptWorker* worker);
    void onFinished();
    void onProgressTimer();

protected:
    // The dispatch loop: hands waiting paths to idle workers while no more than the
    // configured number run; sleeps on a wait condition while no slot is free.
    void run() override;

private:
    friend class SingleInstance<DecryptManager>;
    DecryptManager();
    ~DecryptManager() override;

    ZervDecryptWorker* createDecryptWorker(int id);
    CryptTask* createTask(const QString& path, const QString& passphrase);

    void reportError(const QString& text);
    // Under the lock: a run is on (the dispatch loop active or a worker busy).
    bool decryptingLocked() const;
    // Under the lock held by locker (a QReadLocker or QWriteLocker): while a run
    // is on, releases the lock, reports "Cannot perform operations during
    // decryption." and answers true. The list operations check and act in one
    // hold of the lock this way. (Defined and used in the .cpp only.)
    template <typename Locker> bool refusedDuringDecryption(Locker& locker);
    // Emits allFinished() when the current run has not announced its end yet.
    void announceAllFinished();
    // A completed task's source has been deleted or renamed (or neither, see the
    // outcome): the task's record and the run learn of it.
    void onSourceDisposed(CryptTask* task, const SourceRemover::Outcome& outcome);
    // Drops every record and path (and, when destroying, waits for busy workers).
    void dropAllLocked(bool destroying);
    void appendPendingLocked(const QString& path);
    void prependPendingLocked(const QString& path);
    QString takePendingLocked();

    mutable QReadWriteLock m_lock;
    QStringList m_pending;
    QHash<QString, int> m_pendingCount; // beside m_pending for constant-time duplicate tests
    QList<ZervDecryptWorker*> m_busy;
    QList<ZervDecryptWorker*> m_idle;
    QList<CryptTask*> m_finished;
    QList<CryptTask*> m_failed;
    const int m_poolSize = 8;
    int m_numThreads = 1;
    int m_totalCount = 0;
    bool m_stop = false;
    // From startDecrypt() until the dispatch loop decides to end.
    bool m_dispatching = false;
    // Completed tasks whose sources the remover has not dealt with yet; the run
    // is on until they are done.
    int m_disposing = 0;
    SourceRemover m_remover;
    std::shared_ptr<Passphrase> m_passphrase = std::make_shared<Passphrase>(); // replaced by every start
    // The delete setting's answer when last asked, for the workers: one that ends
    // while it is on flushes its output before it reports completion.
    std::atomic<bool> m_deleteExpected { false };
    bool m_runAnnounced = true; // allFinished() already emitted for the current run
    QWaitCondition m_wake; // a worker freed, the thread count changed or the stop flag set
    mutable QMutex m_errorLock;
    QString m_lastError;
    QTimer m_progressTimer;
};
