#include "tasks/ReloadFailedTask.h"

#include "engine/DecryptManager.h"

bool ReloadFailedTask::equals(const Task*) const
{
    return true;
}

QString ReloadFailedTask::announcement() const
{
    return QStringLiteral("Reloading failed tasks...");
}

BackgroundTask::Report ReloadFailedTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck&)
{
    if (decrypt.reloadFailed())
        return { Channel::StatusReloadFailedTask, QStringLiteral("Failed Tasks reloaded.") };
    return { Channel::StatusReloadFailedTask, decrypt.lastError() };
}
