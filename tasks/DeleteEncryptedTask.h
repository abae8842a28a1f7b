#pragma once

#include "engine/Task.h"

class TaskManager;

// Deletes the encrypted sources of finished tasks.
class DeleteEncryptedTask : public Task {
    Q_OBJECT

public:
    // Every deletion is the same operation.
    bool equals(const Task* other) const override;

    void run(TaskManager& manager);
};
