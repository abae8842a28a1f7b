#include "tasks/ReloadFailedTask.h"

#include <QCoreApplication>

#include "engine/DecryptManager.h"

bool ReloadFailedTask::equals(const Task*) const
{
    return true;
}

QString ReloadFailedTask::announcement() const
{
    return QCoreApplication::translate("ReloadFailedTask", "Reloading failed tasks...");
}

BackgroundTask::Report ReloadFailedTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck&)
{
    if (decrypt.reloadFailed())
        return { Channel::StatusReloadFailedTask,
            QCoreApplication::translate("ReloadFailedTask", "Failed Tasks reloaded.") };
    return { Channel::StatusReloadFailedTask, decrypt.lastError() };
}
