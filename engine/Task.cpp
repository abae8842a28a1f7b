#include "engine/Task.h"

#include <QCoreApplication>

#include <QMutexLocker>

Task::Task()
    : QObject(nullptr)
{ }

Task::Task(const Task& other)
    : QObject(nullptr)
    , workerId(other.workerId.load())
    , m_status(other.status())
    , m_message(other.message())
    , m_progress(other.progress())
{ }

Task::~Task() = default;

Task::STATUS Task::status() const
{
    return static_cast<STATUS>(m_status.load());
}

QString Task::statusText() const
{
    switch (m_status.load()) {
    case DECRYPTING:
        return QCoreApplication::translate("Task", "Decrypting");
    case FINISHED:
        return QCoreApplication::translate("Task", "Finished");
    case FAILED: {
        const QString text = message();
        return text.isEmpty() ? QCoreApplication::translate("Task", "Error")
                              : QCoreApplication::translate("Task", "Error (%1)").arg(text, 0, QLatin1Char(' '));
    }
    case CANCELLED:
        return QCoreApplication::translate("Task", "Cancelled");
    case WAITING:
        return QCoreApplication::translate("Task", "Waiting");
    case CLEARED:
        return QCoreApplication::translate("Task", "Cleared");
    default:
        return QCoreApplication::translate("Task", "Unknown");
    }
}

float Task::progress() const
{
    return m_progress.load();
}

void Task::setProgress(float progress)
{
    m_progress.store(progress);
}

void Task::setStatus(STATUS status)
{
    m_status.store(status);
}

QString Task::message() const
{
    QMutexLocker locker(&m_messageLock);
    return m_message;
}

void Task::setMessage(const QString& message)
{
    QMutexLocker locker(&m_messageLock);
    m_message = message;
}
