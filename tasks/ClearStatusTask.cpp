#include "tasks/ClearStatusTask.h"

#include "engine/DecryptManager.h"

namespace {

// What a clear of one status announces, calls and answers.
struct Clear {
    const char* announce;
    bool (DecryptManager::*operation)();
    const char* done;
    const char* notDone;
};

const Clear* clearFor(Task::STATUS status)
{
    static const Clear finished { "Clearing finished tasks...", &DecryptManager::clearFinished,
        "All finished tasks cleared.", "Could not clear finished tasks." };
    static const Clear failed { "Clearing failed tasks...", &DecryptManager::clearFailed, "All failed tasks cleared.",
        "Could not clear failed tasks." };
    static const Clear pending { "Clearing pending tasks...", &DecryptManager::clearPending,
        "All pending tasks cleared.", "Could not clear pending tasks." };
    static const Clear all { "Clearing all tasks...", &DecryptManager::clearAll, "All tasks cleared",
        "Could not clear all tasks." };
    switch (status) {
    case Task::FINISHED:
        return &finished;
    case Task::FAILED:
        return &failed;
    case Task::CANCELLED:
    case Task::WAITING:
        return &pending;
    case Task::CLEARED:
        return &all;
    default:
        return nullptr;
    }
}

} // namespace

ClearStatusTask::ClearStatusTask(Task::STATUS status)
    : m_status(status)
{ }

bool ClearStatusTask::equals(const Task* other) const
{
    const auto* clear = dynamic_cast<const ClearStatusTask*>(other);
    return clear && clear->m_status == m_status;
}

QString ClearStatusTask::announcement() const
{
    const Clear* clear = clearFor(m_status);
    return clear ? QString::fromLatin1(clear->announce) : QString();
}

BackgroundTask::Report ClearStatusTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck&)
{
    const Clear* clear = clearFor(m_status);
    if (!clear)
        return { Channel::StatusCleared, QStringLiteral("No files cleared for unknown status.") };
    return { Channel::StatusCleared,
        QString::fromLatin1((decrypt.*clear->operation)() ? clear->done : clear->notDone) };
}
