// The record of one unit of work shown to the user: a status, a progress
// fraction, a failure message and the worker that took it.
//
// A worker thread writes status, progress and message while the manager and the
// window read them from their own threads, so status and progress are atomics
// and the message is replaced as a whole under a small lock of its own.
#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

class Task : public QObject {
    Q_OBJECT

public:
    enum STATUS {
        DECRYPTING = 0,
        FINISHED = 1,
        FAILED = 2,
        CANCELLED = 3,
        WAITING = 4, // initial
        CLEARED = 5, // only used in clear requests, to mean every task
    };

    Task();
    // A new object (no parent) with the other's status, progress, message and worker.
    Task(const Task& other);
    ~Task() override;

    virtual STATUS status() const;
    virtual QString statusText() const;
    virtual float progress() const;
    virtual void setProgress(float progress);
    virtual void setStatus(STATUS status);
    virtual QString message() const;
    virtual bool equals(const Task* other) const = 0;

    void setMessage(const QString& message);

    // Id of the worker that took the task; -1 while none has.
    std::atomic<int> workerId { -1 };

private:
    Task& operator=(const Task&) = delete;

    std::atomic<int> m_status { WAITING };
    mutable QMutex m_messageLock;
    QString m_message;
    std::atomic<float> m_progress { 0.0f };
};
