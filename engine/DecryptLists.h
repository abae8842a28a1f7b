// The decrypt manager's lists and their rules, apart from its threads: the
// queue of paths waiting for a worker (each path once), the records of finished
// and failed tasks, and the total the window shows. It has no lock and starts
// no thread: DecryptManager holds its lock around every call.
//
// Records are released with deleteLater() only, so that notifications on their
// way to the window stay valid.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class CryptTask;

class DecryptLists {
public:
    // A path waiting for a worker, with its output base (OutputFolders).
    struct PendingFile {
        QString path;
        QString outputBase;
    };
    enum class List { Pending, Finished, Failed };

    DecryptLists() = default;
    DecryptLists(const DecryptLists&) = delete;
    DecryptLists& operator=(const DecryptLists&) = delete;

    // Appends the files not already pending; returns how many it took.
    int add(const QList<PendingFile>& files);
    // A cancelled task's path goes back to the front.
    void prependPending(const PendingFile& file);
    // The next path; the queue must not be empty.
    PendingFile takePending();
    bool hasPending() const { return !m_pending.isEmpty(); }
    int pendingCount() const { return static_cast<int>(m_pending.size()); }
    QStringList pendingPaths() const;

    void addFinished(CryptTask* task) { m_finished.append(task); }
    void addFailed(CryptTask* task) { m_failed.append(task); }
    const QList<CryptTask*>& finished() const { return m_finished; }
    const QList<CryptTask*>& failed() const { return m_failed; }

    // Empties one list (releasing its records); the total counts what is left.
    void clear(List list);
    // Empties every list; the total is 0.
    void clearAll();
    // Queues the failed tasks' sources again (a path still pending not twice)
    // and releases their records. False, changing nothing, when no failed task
    // has a source to queue.
    bool reloadFailed();
    // Takes a finished or failed record off its list, for the caller to release;
    // null when it is on neither.
    CryptTask* take(const CryptTask* task);

    // Pending, finished and failed tasks as of the last change of the queue or a
    // clear; a task that finishes or fails, or is taken, does not change it.
    int total() const { return m_total; }

private:
    void appendPending(const PendingFile& file);
    void countTotal();

    QList<PendingFile> m_pending;
    QHash<QString, int> m_pendingCount; // beside m_pending for constant-time duplicate tests
    QList<CryptTask*> m_finished;
    QList<CryptTask*> m_failed;
    int m_total = 0;
};

// Moved, not copied, when the queue of hundreds of thousands of paths grows.
Q_DECLARE_TYPEINFO(DecryptLists::PendingFile, Q_RELOCATABLE_TYPE);
