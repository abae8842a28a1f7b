#include "cli/CliReporter.h"

#include "cli/JsonReporter.h"
#include "cli/TextReporter.h"

std::unique_ptr<CliReporter> CliReporter::make(bool json, bool quiet)
{
    if (json)
        return std::make_unique<JsonReporter>();
    return std::make_unique<TextReporter>(quiet);
}
