#include "cli/CliReporter.h"

#include "cli/JsonReporter.h"
#include "cli/TextReporter.h"

std::unique_ptr<CliReporter> CliReporter::make(bool json, bool quiet)
{
    if (json)
        return std::make_unique<JsonReporter>();
    return std::make_unique<TextReporter>(quiet);
}

QList<CliReporter::Problem> CliReporter::problemsOf(const FileLoading::Result& found)
{
    QList<Problem> problems;
    for (const FileLoading::Skipped& skipped : found.skipped) {
        if (skipped.exists)
            problems.append(
                { skipped.input, QStringLiteral("not-a-file"), QStringLiteral("neither a file nor a folder"), {} });
        else
            problems.append(
                { skipped.input, QStringLiteral("missing"), QStringLiteral("No such file or directory"), {} });
    }
    for (const FileLoading::Unreadable& folder : found.unreadable)
        problems.append(
            { folder.folder, QStringLiteral("read"), QStringLiteral("cannot read the folder"), folder.reason });
    return problems;
}

QString CliReporter::problemText(const Problem& problem)
{
    if (problem.error == QLatin1String("not-a-file"))
        return QStringLiteral("'%1' is neither a file nor a folder; skipped.").arg(problem.source);
    if (problem.error == QLatin1String("missing"))
        return QStringLiteral("cannot access '%1': %2").arg(problem.source, problem.message);
    return QStringLiteral("cannot read the folder '%1': %2; nothing in it was taken")
        .arg(problem.source, problem.reason);
}
