// One korvelcrypt-cli run: loads the named files and folders into the decrypt
// manager as the file-load task does, decrypts them on the manager's worker pool,
// and reports every task as it ends (text lines or JSON objects), a summary at
// the end, and, on a terminal, a live progress line.
//
// Everything here runs on the main thread; the manager's notifications arrive
// queued, so a finished task is reported only after the manager has renamed or
// deleted its source.
#pragma once

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

class BatchDecrypt : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BatchDecrypt)

public:
    struct Settings {
        int threads = 1;
        bool deleteEncrypted = false;
        bool quiet = false;
        bool json = false;
        // Draw the live progress line on err (only when it is a terminal).
        bool progress = false;
    };

    BatchDecrypt(const Settings& settings, FILE* out, FILE* err, QObject* parent = nullptr);
    // Destroys the decrypt manager: waits for its threads, releases its records.
    ~BatchDecrypt() override;

    // Files are taken as they are, folders are walked recursively (no hidden
    // entries, no symbolic links); every found path goes to the manager absolute
    // and clean, and the manager skips duplicates, so a file named twice ("d/",
    // "/abs/d") is decrypted once. Reports name a file as the arguments first did. A path that does not exist is
    // reported on err and makes the run end with status 1. Returns the number of tasks queued.
    int load(const QStringList& paths);

    // Decrypts what load() queued and returns the exit status: 0 when every task
    // finished, 1 when any failed (or a path was missing, or a source could not be
    // renamed or deleted), 128 + the signal number after SIGINT or SIGTERM.
    int run(const QString& passphrase);

private slots:
    void onTaskChanged(const CryptTask* task);
    void onManagerError(const QString& message);
    void onAllFinished();
    void onInterrupted(int signalNumber);
    void onProgressTick();

private:
    enum class Outcome { Finished, Failed, Cancelled };

    void report(const CryptTask* task, Outcome outcome);
    void reportRemaining();
    void finishIfIdle();
    int exitStatus() const;
    void printSummary(double seconds);

    void printOut(const QByteArray& line);
    void printErr(const QString& message);
    void clearProgress();
    qint64 sizeOf(const QString& path) const { return m_sizes.value(path, 0); }
    QString shownName(const QString& path) const { return m_names.value(path, path); }

    const Settings m_settings;
    FILE* const m_out;
    FILE* const m_err;
    DecryptManager* m_manager;
    InterruptWatcher* m_watcher = nullptr;

    QHash<QString, qint64> m_sizes; // every queued path and its size when loaded
    QHash<QString, QString> m_names; // every queued path and how the arguments first named it
    int m_total = 0;
    qint64 m_totalBytes = 0;
    int m_missing = 0;
    int m_problems = 0; // sources that could not be renamed or deleted, and other manager errors

    QHash<const CryptTask*, QElapsedTimer> m_started; // first notification per record
    QSet<const CryptTask*> m_reported;
    int m_finished = 0;
    int m_failed = 0;
    int m_cancelled = 0;
    qint64 m_bytesDone = 0; // sources of reported tasks

    int m_signal = 0;
    QElapsedTimer m_clock;
    QTimer m_progressTimer;
    bool m_progressShown = false;
    double m_shownBytes = 0;
    QEventLoop m_loop;
};
