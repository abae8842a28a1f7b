// A long list operation that the task manager runs on its thread: a small record
// of its inputs plus one run step. The step does its work through the decrypt
// manager it is handed and answers one line of text for the user; the task
// manager, which owns its signals, announces the step and sends that line on.
// A task is run once and released by the task manager with deleteLater().
#pragma once

#include "engine/FileLoading.h"
#include "engine/Task.h"

#include <QString>

class DecryptManager;

class BackgroundTask : public Task {
    Q_OBJECT

public:
    // Which of the task manager's signals carries the step's result line.
    enum class Channel {
        None, // nothing is sent (a load that was cancelled)
        FilesLoaded, // filesLoaded(text)
        StatusCleared, // statusCleared(text)
        StatusReloadFailedTask, // statusReloadFailedTask(text)
        StatusMessage, // statusMessage(text, false)
    };

    struct Report {
        Channel channel = Channel::None;
        QString text;
    };

    // What the task manager announces with started(text, true) on its thread
    // before the step runs; empty when the step announces nothing.
    virtual QString announcement() const;

    // The step, on the task manager's thread. cancelled reads the task manager's
    // cancel flag; only steps that may stop part-way look at it.
    virtual Report run(DecryptManager& decrypt, const FileLoading::CancelCheck& cancelled) = 0;
};
