#pragma once

#include "engine/Task.h"

class TaskManager;

// Clears the decrypt manager's tasks of one status (CLEARED means all of them).
class ClearStatusTask : public Task {
    Q_OBJECT

public:
    explicit ClearStatusTask(Task::STATUS status);

    Task::STATUS clearStatus() const { return m_status; }

    // Another clear of the same status.
    bool equals(const Task* other) const override;

    void run(TaskManager& manager);

private:
    Task::STATUS m_status;
};
