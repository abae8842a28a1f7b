// A thread that decrypts one envelope file into one destination file.
//
// The decrypt manager binds a task to an idle worker (setTask starts the thread),
// the worker reports through its signals and the task record, and the manager
// resets it before it goes back to the pool. A resident worker (the manager's)
// keeps its thread for the run and takes task after task on it, with the same
// signals and outcome per task; a worker that is not resident runs one task per
// thread. The plaintext is written to a
// temporary file in the destination's folder and only gets its final name once
// the task ends with output to keep, so a partly written file never shows up
// under the destination name; the final name never replaces an existing file.
// A finished output is on disk (its data and its name) before the worker
// reports completion, so the manager may delete the source at once. The output
// is never more readable than its envelope.
#pragma once

#include "engine/CryptTask.h"
#include "engine/zervcrypto.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>

class Passphrase;

class ZervDecryptWorker : public QThread {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ZervDecryptWorker)

public:
    // Result codes of a run: 0, the worker's own negative codes, or the
    // decryptor's codes passed through when it fails to open or read the envelope.
    enum ResultCode : int {
        Success = 0,
        DestinationUnwritable = -1, // the output cannot be created or given its name
        DecrypterUnavailable = -2, // no memory for the decryptor's state
        InvalidSource = -3, // the source is missing or no regular file, or no task was given
        OutputDiscarded = -5, // writing failed, or the run was cancelled; the output is removed
        PassphraseOrReadFailed = ZERVCRYPTO_EPASSPHRASE,
        EnvelopeCorrupt = ZERVCRYPTO_ECORRUPT,
        EnvelopeUnreadable = ZERVCRYPTO_ESYSTEM,
    };

    explicit ZervDecryptWorker(int id, QObject* parent = nullptr);
    // Cancels a running decryption and waits for the thread to end before the
    // object goes away.
    ~ZervDecryptWorker() override;

    int id() const { return m_id; }
    // The bound task; null when idle.
    CryptTask* task() const;
    // Binds the task and starts the thread at low priority (the thread lowers its
    // own nice value, see ThreadPriority, before it reports started()); a null task
    // sets InvalidSource ("Invalid file") and starts nothing.
    void setTask(CryptTask* task);
    // Back to the state after construction (apart from the id, and a resident
    // worker's thread, which stays up); waits for a task that is still ending.
    void reset();

    // Whether the thread stays up after a task and takes the next one setTask()
    // gives it (lowering its priority once, as it begins). Set before the first
    // task; the destructor ends the thread.
    void setResident(bool resident) { m_resident = resident; }
    bool isResident() const { return m_resident; }
    // Waits up to `milliseconds` until no task runs (for a worker that is not
    // resident, until its thread has ended); true when none does.
    bool waitForTask(unsigned long milliseconds = ULONG_MAX);

    QString errorText() const;
    float progressFraction() const;
    int resultCode() const;
    QString message() const;
    // The system's text for the failure that ended the run while creating,
    // writing or publishing the output ("No space left on device"); empty for
    // every other outcome. A failed task gets it as its reason.
    QString reason() const;

    // The flag that tells whether a source is deleted once its decryption
    // succeeds (the manager's); read as a run ends. While it is set, and for a
    // worker given none, the finished output's data and name are flushed to disk
    // before completion is reported; otherwise the flush is spared (thousands
    // of small files would each wait for the disk).
    void setDeletionFlag(const std::atomic<bool>* deletesSources) { m_deletesSources = deletesSources; }

    // Whether this process writes its outputs as hidden temporaries, because
    // linking an unnamed file failed for want of /proc.
    static bool writesHiddenTemporaries();

    bool isCancelled() const { return m_cancelled.load(); }
    // Safe from any thread; the worker notices after its next write.
    void setCancelled(bool cancelled) { m_cancelled.store(cancelled); }

signals:
    void completed(ZervDecryptWorker* worker);
    void failed(ZervDecryptWorker* worker);
    void started(ZervDecryptWorker* worker);
    void progress(ZervDecryptWorker* worker); // declared; never emitted

public slots:
    void run() override;
    void onFinished();

private:
    struct OutputFile;
    // How the producing loop ended: at the end of the plaintext or on the cancel
    // flag, or on a failure that already set the result.
    enum class Produced { Stopped, ReadFailed, WriteFailed };

    // One task from start to end, reported through the signals.
    void runTask();
    // Settles the task record with the result and emits completed() or failed().
    void report();
    // The steps of runTask(); each that fails sets the result and returns false.
    bool checkSource();
    bool openDecryptor();
    bool openOutput(OutputFile* out);
    // Decrypts every piece into the output: through its buffer on this thread, or,
    // for a large plaintext while a core is free, through a writer thread
    // (RingWriter). Either way with the same outcome.
    Produced produce(OutputFile* out);
    // Settles the result and whether the output is kept under its final name.
    void finishOutput(OutputFile* out, Produced produced);
    // Settles the result of a test, which produced no output.
    void finishTest(Produced produced);
    // Sets the result code and the message errorText() shows with it.
    void fail(int code, const QString& message);
    // Sets the result code (its text is fixed) and the system's reason for it.
    void failWriting(int code, int error);

    // Gives the output its final name without replacing anything: the task's
    // destination, or the next free name of its "(decrypted)" sequence. 0 or errno.
    int publish(OutputFile* out);
    // Gives the output open at fd the source's modification time (when the
    // task keeps times; its access time stays). 0 or errno.
    int keepSourceTime(int fd) const;
    // Flushes the names that lead to the published output: its folder's entries
    // and, below an output folder, those of every folder up to the output
    // folder's parent (any of them may have been made for it). 0 or errno.
    int syncFolders() const;
    void closeDecryptor();

    const int m_id;
    CryptTask* m_task = nullptr;
    QString m_source;
    QString m_destination;
    QString m_outputRoot; // the task's output folder, or empty
    // The task's candidates, tried in order; never copied here.
    QList<std::shared_ptr<const Passphrase>> m_passphrases;
    bool m_verifyOnly = false; // decrypt to the end, write nothing
    bool m_keepTime = false; // the output gets the source's modification time
    std::atomic<uint64_t> m_totalBytes { 0 };
    std::atomic<uint64_t> m_doneBytes { 0 };
    int m_resultCode = 0;
    CryptTask::Failure m_failure = CryptTask::Failure::None; // its kind, beside m_resultCode
    QString m_message;
    QString m_reason;
    std::atomic<bool> m_cancelled { false };
    const std::atomic<bool>* m_deletesSources = nullptr;
    zervcrypto_file_decrypt_t* m_decryptor = nullptr;
    bool m_resident = false;
    // A resident worker's hand-over, under m_mutex: a task is bound and not yet
    // taken, a task runs (from setTask() until it has been reported), the
    // thread is to end.
    bool m_hasWork = false;
    bool m_working = false;
    bool m_quitting = false;
    QWaitCondition m_workGiven; // m_hasWork or m_quitting set
    QWaitCondition m_workDone; // m_working cleared
    mutable QMutex m_mutex;
};
