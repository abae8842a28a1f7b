// A thread that decrypts one envelope file into one destination file.
//
// The decrypt manager binds a task to an idle worker (setTask starts the thread),
// the worker reports through its signals and the task record, and the manager
// resets it before it goes back to the pool. The plaintext is written to a
// temporary file in the destination's folder and only gets its final name once
// the task ends with output to keep, so a partly written file never shows up
// under the destination name; the final name never replaces an existing file.
#pragma once

#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>

struct zervcrypto_file_decrypt_t;
class CryptTask;

class ZervDecryptWorker : public QThread {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ZervDecryptWorker)

public:
    explicit ZervDecryptWorker(int id, QObject* parent = nullptr);
    // Cancels a running decryption and waits for the thread to end before the
    // object goes away.
    ~ZervDecryptWorker() override;

    int id() const { return m_id; }
    // The bound task; null when idle.
    CryptTask* task() const;
    // Binds the task and starts the thread at low priority; a null task sets
    // result code -3 ("Invalid file") and starts nothing.
    void setTask(CryptTask* task);
    // Back to the state after construction (apart from the id); waits for a
    // thread that is still ending.
    void reset();

    QString errorText() const;
    float progressFraction() const;
    int resultCode() const;
    QString message() const;

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
    // Gives the temporary file its final name without replacing anything: the
    // task's destination, or the next free name of its "(decrypted)" sequence.
    bool publish(const QString& temporary, int fd);
    void closeDecryptor();

    const int m_id;
    CryptTask* m_task = nullptr;
    QString m_source;
    QString m_destination;
    QString m_passphrase;
    std::atomic<uint64_t> m_totalBytes { 0 };
    std::atomic<uint64_t> m_doneBytes { 0 };
    int m_resultCode = 0;
    QString m_message;
    std::atomic<bool> m_cancelled { false };
    zervcrypto_file_decrypt_t* m_decryptor = nullptr;
    mutable QMutex m_mutex;
};
