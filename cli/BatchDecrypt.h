// One korvelcrypt-cli run: loads the named files and folders into the decrypt
// manager as the file-load task does, decrypts them on the manager's worker pool,
// and reports every task as it ends (text lines or JSON objects), a summary at
// the end, and, on a terminal, a live progress line.
//
// Everything here runs on the main thread; the manager's notifications arrive
// queued, so a finished task is reported only after the manager has renamed or
// deleted its source.
#pragma once

#include "cli/CliReporter.h"
#include "engine/FileLoading.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdio>

class CryptTask;
class DecryptManager;
class InterruptWatcher;
class Journal;

class BatchDecrypt : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BatchDecrypt)

public:
    struct Settings {
        int threads = 1;
        bool deleteEncrypted = false;
        // The folder every plaintext goes below (-o); empty: next to each source.
        QString outputRoot;
        // Records every finished source (--journal); not owned, may be null.
        Journal* journal = nullptr;
        // Decrypt every envelope to its end and write nothing (--test).
        bool verifyOnly = false;
        // Draw the live progress line on err (only when it is a terminal, and not --quiet).
        bool progress = false;
        // --progress: a whole progress line on err every 10 seconds and at the
        // end, for logs (instead of the live line).
        bool progressLines = false;
        // --keep-times: each plaintext gets its source's modification time.
        bool keepTimes = false;
    };

    // reporter words each line (not owned; it outlives the batch).
    BatchDecrypt(
        const Settings& settings, const CliReporter& reporter, FILE* out, FILE* err, QObject* parent = nullptr);
    // Destroys the decrypt manager: waits for its threads, releases its records.
    ~BatchDecrypt() override;

    // Queues what a find (SourceSelection) left to do; journaled is the number of
    // sources the journal already records. Every path goes to the manager
    // absolute and clean, and the manager skips duplicates, so a file named twice
    // ("d/", "/abs/d") is decrypted once; reports name a file as the arguments
    // first did. Inputs that do not exist are reported on err and make the run end
    // with status 1. Returns the number of tasks queued.
    int load(const FileLoading::Result& found, int journaled = 0);

    // Deletes the sources a journal records as decrypted whose plaintexts are in
    // place (flushed to disk first): what a run killed between a source's record
    // and its deletion left. A source whose plaintext is not there is kept, and
    // said so. Returns how many were deleted.
    int removeRecorded(const QStringList& sources);

    // Decrypts what load() queued and returns the exit status: 0 when every task
    // finished, 1 when any failed (or a path was missing, or a source could not be
    // renamed or deleted, or a folder could not be read), 128 + the signal number
    // after SIGINT or SIGTERM, and 141 (128 + SIGPIPE) once standard output was
    // closed (the batch then ends as interrupted).
    // Each envelope is opened with the first of the candidate passphrases (in their
    // order) that matches it.
    int run(const QStringList& passphrases);

    // For a long list read while the run goes on: starts the run at once, with
    // nothing or little queued; load() then adds to it, and run() waits for the
    // rest once the list is done (its passphrases are then not used again).
    void begin(const QStringList& passphrases);
    // A signal came or standard output was closed: nothing more need be loaded.
    bool stopping() const { return m_signal != 0; }

signals:
    // stopping() has become true.
    void stopRequested();

private slots:
    void onTaskChanged(const CryptTask* task);
    void onManagerError(const QString& message);
    void onAllFinished();
    void onInterrupted(int signalNumber);
    void onProgressTick();

private:
    using Outcome = CliReporter::Outcome;

    // Prints the task's line or object, records it in the journal and releases it.
    void report(const CryptTask* task, Outcome outcome);
    // source: the task's source as the inputs named it.
    void printTask(const CryptTask* task, const QString& source, Outcome outcome, qint64 bytes, double seconds);
    void journalRecord(const CryptTask* task);
    void syncJournal();
    void reportRemaining();
    void finishIfIdle();
    void startRun(const QStringList& passphrases);
    void noteDuplicates();
    // Ends the batch after a signal or a closed standard output (m_signal set).
    void cancelRest();
    int exitStatus() const;
    void printSummary(double seconds);

    void printOut(const QByteArray& line);
    void printErr(const QString& message);
    void printProgress();
    void clearProgress();
    qint64 sizeOf(const QString& path) const { return m_sizes.value(path).size; }
    // How the inputs first named the queued path (before it is reported).
    QString shownName(const QString& path) const;

    const Settings m_settings;
    const CliReporter& m_reporter;
    FILE* const m_out;
    FILE* const m_err;
    DecryptManager* m_manager;
    InterruptWatcher* m_watcher = nullptr;

    // Every queued path not yet reported: its size when loaded and, when it was
    // first named by a folder input, that folder's index in m_folderNames
    // (kBelowWorkingFolder: named by its path below the working folder).
    struct Queued {
        qint64 size = 0;
        int folder = -1;
    };
    static constexpr int kBelowWorkingFolder = -2;
    QString m_workingFolder; // with a slash
    QHash<QString, Queued> m_sizes;
    // Every path queued in this run, as two independent 64-bit hashes (a source
    // named twice is taken once, even after its first naming was reported).
    QSet<QPair<size_t, size_t>> m_seen;
    qsizetype m_duplicates = 0; // not yet said
    bool m_running = false; // the manager was started
    bool m_streaming = false; // begin(): the feed is open until run()
    bool m_ended = false; // the run was seen to end (finishIfIdle)
    // The folder inputs: each absolute and clean with a slash, and as named with one.
    QList<QPair<QString, QString>> m_folderNames;
    // Files named directly whose names differ from their paths: how the inputs
    // first named them (few, unless a list names millions by relative paths).
    QHash<QString, QString> m_names;
    int m_total = 0;
    qint64 m_totalBytes = 0;
    int m_missing = 0;
    int m_unreadable = 0; // folders that could not be read
    int m_skipped = 0; // files in folders that are no envelopes
    int m_alreadyDecrypted = 0; // of them, envelopes whose plaintexts stand (--existing skip)
    int m_journaled = 0; // sources the journal records as done before
    int m_recordedRemoved = 0; // of them, deleted by removeRecorded()
    bool m_journalFailed = false; // said once
    int m_problems = 0; // sources that could not be renamed or deleted, and other manager errors

    QHash<const CryptTask*, QElapsedTimer> m_started; // first notification per record
    QSet<const CryptTask*> m_reported; // reported, not yet released
    int m_finished = 0;
    int m_failed = 0;
    int m_cancelled = 0;
    qint64 m_bytesDone = 0; // sources of reported tasks

    int m_signal = 0;
    bool m_outputClosed = false; // the reader of standard output quit (EPIPE)
    QElapsedTimer m_clock;
    QTimer m_progressTimer;
    QTimer m_journalTimer;
    bool m_progressShown = false;
    double m_shownBytes = 0;
    QEventLoop m_loop;
};
