#include "tasks/DeleteEncryptedTask.h"

#include "engine/DecryptManager.h"
#include "tasks/TaskManager.h"

bool DeleteEncryptedTask::equals(const Task*) const
{
    return true;
}

void DeleteEncryptedTask::run(TaskManager& manager)
{
    emit manager.started(QStringLiteral("Deleting encrypted source files..."), true);
    if (DecryptManager::instance()->deleteEncrypted()) {
        emit manager.statusMessage(QStringLiteral("Encrypted source files deleted from finished tasks."), false);
    } else {
        emit manager.statusMessage(QStringLiteral("Not all encrypted files could be deleted."), false);
    }
}
