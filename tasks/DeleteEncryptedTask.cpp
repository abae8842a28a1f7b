#include "tasks/DeleteEncryptedTask.h"

#include <QCoreApplication>

#include "engine/DecryptManager.h"

bool DeleteEncryptedTask::equals(const Task*) const
{
    return true;
}

QString DeleteEncryptedTask::announcement() const
{
    return QCoreApplication::translate("DeleteEncryptedTask", "Deleting encrypted source files...");
}

BackgroundTask::Report DeleteEncryptedTask::run(DecryptManager& decrypt, const FileLoading::CancelCheck&)
{
    if (decrypt.deleteEncrypted())
        return { Channel::StatusMessage,
            QCoreApplication::translate("DeleteEncryptedTask", "Encrypted source files deleted from finished tasks.") };
    return { Channel::StatusMessage,
        QCoreApplication::translate("DeleteEncryptedTask", "Not all encrypted files could be deleted.") };
}
