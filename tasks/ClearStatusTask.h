#pragma once

#include "tasks/BackgroundTask.h"

// Clears the decrypt manager's tasks of one status (CLEARED means all of them).
class ClearStatusTask : public BackgroundTask {
    Q_OBJECT

public:
    explicit ClearStatusTask(Task::STATUS status);

    Task::STATUS clearStatus() const { return m_status; }

    // Another clear of the same status.
    bool equals(const Task* other) const override;

    // "Clearing ... tasks..." for a status it can clear; nothing otherwise.
    QString announcement() const override;
    // Runs to its end once started, whatever the cancel flag says.
    Report run(DecryptManager& decrypt, const FileLoading::CancelCheck& cancelled) override;

private:
    Task::STATUS m_status;
};
