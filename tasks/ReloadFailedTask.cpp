#include "tasks/ReloadFailedTask.h"

#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"

bool ReloadFailedTask::equals(const Task*) const
{
    return true;
}

void ReloadFailedTask::run(TaskManager& manager)
{
    emit manager.started(QStringLiteral("Reloading failed tasks..."), true);
    DecryptManager* decrypt = DecryptManager::instance();
    if (decrypt->reloadFailed()) {
        emit manager.statusReloadFailedTask(QStringLiteral("Failed Tasks reloaded."));
    } else {
        emit manager.statusReloadFailedTask(decrypt->lastError());
    }
}
