#include "engine/Task.h"

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
        return QStringLiteral("Decrypting");
    case FINISHED:
        return QStringLiteral("Finished");
    case FAILED: {
        const QString text = message();
        return text.isEmpty() ? QStringLiteral("Error") : QStringLiteral("Error (%1)").arg(text, 0, QLatin1Char(' '));
    }
    case CANCELLED:
        return QStringLiteral("Cancelled");
    case WAITING:
        return QStringLiteral("Waiting");
    case CLEARED:
        return QStringLiteral("Cleared");
    default:
        return QStringLiteral("Unknown");
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
