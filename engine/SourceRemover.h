// Deletes, or renames, the encrypted sources of finished tasks on a thread of its
// own, so that the main thread never waits for work that grows with a file's
// size: flushing a plaintext that is not on disk yet, or unlinking a large
// source, whose blocks the file system frees before unlink() returns.
//
// Jobs run one after another in the order they were submitted. Each job's
// outcome is handed back on the thread the receiver lives on.
#pragma once

#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class CryptTask;

class SourceRemover {
public:
    // What happened to a source.
    // Changed: the name leads to another file than the one decrypted, or the
    // file changed since it was read; it is kept.
    enum class Removal { NotAsked, Removed, Missing, Failed, Changed };
    struct Outcome {
        Removal removal = Removal::NotAsked;
        QString reason; // why the removal failed
        bool renameAsked = false;
        QString renamedTo; // the source's new path when it was renamed
        // The source's name no longer leads to the file decrypted (or that file
        // changed): it was neither deleted nor renamed.
        bool sourceChanged = false;
    };
    // Called on the remover's thread once a source is known to go, with its
    // plaintext on disk, right before it is unlinked: false, with *reason set,
    // keeps the source (the removal fails).
    using BeforeRemoval = std::function<bool(const CryptTask* task, QString* reason)>;

    SourceRemover() = default;
    ~SourceRemover();
    Q_DISABLE_COPY_MOVE(SourceRemover)

    // Deletes the source only while its plaintext is there, and once that is on
    // disk (flushing it unless task->outputDurable says the worker did), and only
    // while its name leads to the file the worker read (task->sourceIdentity()),
    // unchanged: it is moved aside under a hidden name (".korvel-*.gone") and
    // unlinked there once it proves to be that file, or put back. A source
    // that stays, because it is not to be deleted or its deletion failed, is
    // renamed to its name plus "." and the envelope extension when rename is set:
    // a source is renamed only when it stays, so no interruption can leave a
    // renamed envelope beside its plaintext.
    // The same rule holds for the rename. before, when set, runs right before the unlink.
    static Outcome dispose(
        CryptTask* task, const QString& source, bool remove, bool rename, const BeforeRemoval& before = {});

    // Runs dispose() for task on the remover's thread and calls done(outcome) on
    // receiver's thread, unless receiver is destroyed before the call arrives.
    // The task and the receiver must outlive the job (see drain()).
    void submit(CryptTask* task, bool remove, bool rename, QObject* receiver, std::function<void(Outcome)> done,
        BeforeRemoval before = {});

    // Returns once every job submitted so far has run (their outcomes may still
    // be on their way to the receivers).
    void drain();

private:
    void loop();

    std::mutex m_lock;
    std::condition_variable m_wake; // a job arrived, or the remover is ending
    std::condition_variable m_idle; // the queue ran empty
    std::deque<std::function<void()>> m_jobs;
    bool m_running = false; // a job is being run
    bool m_ending = false;
    std::thread m_thread; // started with the first job
};
