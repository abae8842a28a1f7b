#include "tasks/DeleteEncryptedTask.h"

#include "engine/DecryptManager.h"

bool DeleteEncryptedTask::equals(const Task*) const
{
    return true;
}

QString DeleteEncryptedTask::announcement() const
{
    return QStringLiteral("Deleting encrypted source files...");
}

BackgroundTask::Report DeleteEncryptedTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck&)
{
    if (decrypt.deleteEncrypted())
        return { Channel::StatusMessage, QStringLiteral("Encrypted source files deleted from finished tasks.") };
    return { Channel::StatusMessage, QStringLiteral("Not all encrypted files could be deleted.") };
}
