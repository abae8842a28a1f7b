#include "tasks/BackgroundTask.h"

QString BackgroundTask::announcement() const
{
    return {};
}
