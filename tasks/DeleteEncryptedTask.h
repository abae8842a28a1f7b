#pragma once

#include "tasks/BackgroundTask.h"

// Deletes the encrypted sources of finished tasks.
class DeleteEncryptedTask : public BackgroundTask {
    Q_OBJECT

public:
    // Every deletion is the same operation.
    bool equals(const Task* other) const override;

    QString announcement() const override;
    // Runs to its end once started, whatever the cancel flag says.
    Report run(DecryptManager& decrypt, const FileLoading::CancelCheck& cancelled) override;
};
