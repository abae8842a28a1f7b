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

#include "engine/DecryptLists.h"
#include "engine/Passphrase.h"
#include "engine/SourceRemover.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QReadWriteLock>
#include <QSet>
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
    // Several candidate passphrases: each envelope is opened with the first of them
    // (in this order) that passes its key check; "Passphrase doesn't match" only
    // when none does. A single one is the same as startDecrypt(passphrase).
    void startDecrypt(const QStringList& passphrases);
    // Stops the run: every task the dispatch loop has taken is cancelled (its path
    // goes back to the front of the pending list), and no task starts after the
    // call returns.
    void cancel();
    bool isDecrypting() const;
    // While the feed is open, files may be added during a run, which takes them
    // as they come and does not end when its list runs dry; a run may start with
    // nothing pending. Closing it lets the run end once the list is done.
    void openFeed();
    void closeFeed();

    // Operations refused while decrypting (they emit error() and return false / 0).
    int addFiles(const QStringList& paths);
    // The same, for files whose plaintexts keep their layout below outputBase when
    // an output folder is set (OutputFolders).
    int addFiles(const QStringList& paths, const QString& outputBase);
    bool clearAll();
    bool clearPending();
    bool clearFinished();
    bool clearFailed();
    bool reloadFailed();
    bool deleteEncrypted();

    // Takes a finished or failed record off its list and releases it (deferred, so
    // that notifications already on their way stay valid), also while decrypting:
    // for a caller that keeps nothing of a task once it has reported it. The
    // counts of finished and failed tasks no longer include it. False when the
    // record is on neither list, or while its source is still being dealt with.
    bool releaseTask(const CryptTask* task);
    // Whether the manager is done with the task: no worker runs it and its source
    // is not being deleted or renamed. Its last notification follows.
    bool isSettled(const CryptTask* task) const;

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
    // The current run's first candidate passphrase; "" when no run has one (they
    // are wiped when a run ends).
    QString passphrase() const;
    // The current run's candidates, in their order ("" for each once wiped).
    QStringList passphrases() const;

    // Where plaintexts are written: empty (the default) puts each one next to its
    // source; a folder puts them below it, each under its path relative to its
    // output base, with every missing folder created (OutputFolders). With an
    // output folder no source is renamed. Applies to the tasks dispatched from
    // then on.
    void setOutputRoot(const QString& folder);
    QString outputRoot() const;

    // Test mode: every task decrypts its envelope to the end and writes nothing;
    // no destination is named and no source is renamed or deleted. Applies to the
    // tasks dispatched from then on.
    void setVerifyOnly(bool enabled);
    bool verifyOnly() const;

    // Each plaintext gets its envelope's modification time, as the envelope has
    // it when its decryption ends (set on the output before it gets its name).
    // Off at first. Applies to the tasks dispatched from then on.
    void setKeepTimes(bool enabled);
    bool keepTimes() const;

    // Called on the remover's thread right before a source is unlinked, once its
    // plaintext is on disk (SourceRemover::BeforeRemoval): a journal records the
    // decryption there, so that a crash never loses the record of a deleted
    // source. Set before a run starts.
    void setBeforeSourceRemoval(SourceRemover::BeforeRemoval before);

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
    CryptTask* createTask(const QString& path, const QString& passphrase, const QString& outputBase = QString());
    // Gives the task the passphrase, when one is given, in a holder of its own;
    // otherwise it refers to the run's candidates.
    void assignPassphrases(CryptTask* task, const QString& passphrase) const;

    void reportError(const QString& text);
    // "Source changed during decryption": the source was kept.
    void reportSourceChanged(const QString& source);
    SourceRemover::BeforeRemoval beforeSourceRemoval() const;
    // Removes the stale temporaries in folder (SafeFile::removeStaleTemporaries())
    // the first time a task of this manager writes there.
    void sweepOnce(const QString& folder);
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
    using PendingFile = DecryptLists::PendingFile;
    // Appends the files not already pending; returns how many it took.
    int addPending(const QList<PendingFile>& files);
    // clearPending(), clearFinished() and clearFailed().
    bool clearList(DecryptLists::List list);

    mutable QReadWriteLock m_lock;
    DecryptLists m_lists; // the queue and the records, under m_lock
    QList<ZervDecryptWorker*> m_busy;
    QList<ZervDecryptWorker*> m_idle;
    const int m_poolSize = 8;
    int m_numThreads = 1;
    bool m_stop = false;
    bool m_verifyOnly = false;
    bool m_keepTimes = false;
    QString m_outputRoot;
    // From startDecrypt() until the dispatch loop decides to end.
    bool m_dispatching = false;
    bool m_feedOpen = false; // openFeed(): more files are coming
    // The run's candidate passphrases, in the order they are tried; replaced (the
    // old ones wiped) by every start.
    QList<std::shared_ptr<Passphrase>> m_passphrases;
    // Completed tasks whose sources the remover has not dealt with yet; the run
    // is on until they are done.
    QSet<const CryptTask*> m_disposingTasks;
    SourceRemover m_remover;
    SourceRemover::BeforeRemoval m_beforeSourceRemoval;
    QSet<QString> m_sweptFolders; // folders sweepOnce() has seen
    // The folders below the output folder that this run made or found, for the
    // dispatch loop alone (cleared by each start, before the loop runs).
    QSet<QString> m_knownFolders;
    // The delete setting's answer when last asked, for the workers: one that ends
    // while it is on flushes its output before it reports completion.
    std::atomic<bool> m_deleteExpected { false };
    bool m_runAnnounced = true; // allFinished() already emitted for the current run
    QWaitCondition m_wake; // a worker freed, the thread count changed or the stop flag set
    mutable QMutex m_errorLock;
    QString m_lastError;
    QTimer m_progressTimer;
};
