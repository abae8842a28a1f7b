#pragma once

#include "tasks/BackgroundTask.h"

// Puts the sources of failed tasks back on the pending list.
class ReloadFailedTask : public BackgroundTask {
    Q_OBJECT

public:
    // Every reload is the same operation.
    bool equals(const Task* other) const override;

    QString announcement() const override;
    // Runs to its end once started, whatever the cancel flag says. A refusal
    // answers the decrypt manager's own error text.
    Report run(DecryptManager& decrypt, const FileLoading::CancelCheck& cancelled) override;
};
