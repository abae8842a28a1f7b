#include "tasks/ClearStatusTask.h"

#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"

ClearStatusTask::ClearStatusTask(Task::STATUS status)
    : m_status(status)
{ }

bool ClearStatusTask::equals(const Task* other) const
{
    const auto* clear = dynamic_cast<const ClearStatusTask*>(other);
    return clear && clear->m_status == m_status;
}

void ClearStatusTask::run(TaskManager& manager)
{
    DecryptManager* decrypt = DecryptManager::instance();
    QString announce;
    QString done;
    QString notDone;
    bool (DecryptManager::*clear)() = nullptr;
    switch (m_status) {
    case Task::FINISHED:
        announce = QStringLiteral("Clearing finished tasks...");
        clear = &DecryptManager::clearFinished;
        done = QStringLiteral("All finished tasks cleared.");
        notDone = QStringLiteral("Could not clear finished tasks.");
        break;
    case Task::FAILED:
        announce = QStringLiteral("Clearing failed tasks...");
        clear = &DecryptManager::clearFailed;
        done = QStringLiteral("All failed tasks cleared.");
        notDone = QStringLiteral("Could not clear failed tasks.");
        break;
    case Task::CANCELLED:
    case Task::WAITING:
        announce = QStringLiteral("Clearing pending tasks...");
        clear = &DecryptManager::clearPending;
        done = QStringLiteral("All pending tasks cleared.");
        notDone = QStringLiteral("Could not clear pending tasks.");
        break;
    case Task::CLEARED:
        announce = QStringLiteral("Clearing all tasks...");
        clear = &DecryptManager::clearAll;
        done = QStringLiteral("All tasks cleared");
        notDone = QStringLiteral("Could not clear all tasks.");
        break;
    default:
        emit manager.statusCleared(QStringLiteral("No files cleared for unknown status."));
        return;
    }
    emit manager.started(announce, true);
    emit manager.statusCleared((decrypt->*clear)() ? done : notDone);
}
