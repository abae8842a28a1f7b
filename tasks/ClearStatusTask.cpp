#include "tasks/ClearStatusTask.h"

#include <QCoreApplication>

#include "engine/DecryptManager.h"

namespace {

// What a clear of one status announces, calls and answers (texts translated
// in the context "ClearStatusTask" when they are shown).
struct Clear {
    const char* announce;
    bool (DecryptManager::*operation)();
    const char* done;
    const char* notDone;
};

const Clear* clearFor(Task::STATUS status)
{
    static const Clear finished { QT_TRANSLATE_NOOP("ClearStatusTask", "Clearing finished tasks..."),
        &DecryptManager::clearFinished, QT_TRANSLATE_NOOP("ClearStatusTask", "All finished tasks cleared."),
        QT_TRANSLATE_NOOP("ClearStatusTask", "Could not clear finished tasks.") };
    static const Clear failed { QT_TRANSLATE_NOOP("ClearStatusTask", "Clearing failed tasks..."),
        &DecryptManager::clearFailed, QT_TRANSLATE_NOOP("ClearStatusTask", "All failed tasks cleared."),
        QT_TRANSLATE_NOOP("ClearStatusTask", "Could not clear failed tasks.") };
    static const Clear pending { QT_TRANSLATE_NOOP("ClearStatusTask", "Clearing pending tasks..."),
        &DecryptManager::clearPending, QT_TRANSLATE_NOOP("ClearStatusTask", "All pending tasks cleared."),
        QT_TRANSLATE_NOOP("ClearStatusTask", "Could not clear pending tasks.") };
    static const Clear all { QT_TRANSLATE_NOOP("ClearStatusTask", "Clearing all tasks..."), &DecryptManager::clearAll,
        QT_TRANSLATE_NOOP("ClearStatusTask", "All tasks cleared"),
        QT_TRANSLATE_NOOP("ClearStatusTask", "Could not clear all tasks.") };
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
    return clear ? QCoreApplication::translate("ClearStatusTask", clear->announce) : QString();
}

BackgroundTask::Report ClearStatusTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck&)
{
    const Clear* clear = clearFor(m_status);
    if (!clear)
        return { Channel::StatusCleared,
            QCoreApplication::translate("ClearStatusTask", "No files cleared for unknown status.") };
    return { Channel::StatusCleared,
        QCoreApplication::translate("ClearStatusTask", (decrypt.*clear->operation)() ? clear->done : clear->notDone) };
}
