#pragma once

#include "engine/Task.h"

class TaskManager;

// Puts the sources of failed tasks back on the pending list.
class ReloadFailedTask : public Task {
    Q_OBJECT

public:
    // Every reload is the same operation.
    bool equals(const Task* other) const override;

    void run(TaskManager& manager);
};
