#include "cli/TextReporter.h"

#include "engine/LocalPath.h"

namespace {

// A name as ls -b prints it, so that no name can break a line of the output in
// two or forge one. --json needs none of this.
QString escapedName(const QString& name)
{
    return LocalPath::escaped(LocalPath::encode(name));
}

} // namespace

TextReporter::TextReporter(bool quiet)
    : m_quiet(quiet)
{ }

QByteArray TextReporter::task(const Task& task) const
{
    const QString source = escapedName(task.source);
    switch (task.outcome) {
    case Outcome::Finished:
        if (m_quiet)
            return {};
        // A test has no destination to name.
        return (QStringLiteral("OK\t") + source
            + (task.verifyOnly ? QString() : QLatin1Char('\t') + escapedName(task.destination)))
            .toUtf8();
    case Outcome::Failed: {
        QString message = task.message;
        if (!task.reason.isEmpty())
            message += QStringLiteral(" (%1)").arg(task.reason);
        return (QStringLiteral("FAILED\t") + source + QLatin1Char('\t') + escapedName(message)).toUtf8();
    }
    case Outcome::Cancelled:
        if (m_quiet)
            return {};
        return (QStringLiteral("CANCELLED\t") + source).toUtf8();
    }
    return {};
}

QByteArray TextReporter::planned(const QString& source, const QString& destination) const
{
    // The list is what a dry run is for: shown even when quiet.
    return (LocalPath::escaped(LocalPath::encode(source)) + QStringLiteral(" -> ")
        + LocalPath::escaped(LocalPath::encode(destination)))
        .toUtf8();
}

QByteArray TextReporter::problem(const Problem&) const
{
    // Said on standard error (CliReporter::problemText()), and counted in the summary.
    return {};
}

QByteArray TextReporter::summary(const BatchSummary& summary) const
{
    if (m_quiet)
        return {};
    QString line = QStringLiteral("%1 finished, %2 failed, %3 total")
                       .arg(summary.finished)
                       .arg(summary.failed)
                       .arg(summary.total);
    if (summary.skipped > 0)
        line += QStringLiteral(", %1 skipped").arg(summary.skipped);
    if (summary.missing > 0)
        line += QStringLiteral(", %1 missing").arg(summary.missing);
    if (summary.unreadable > 0)
        line += QStringLiteral(", %1 folders unreadable").arg(summary.unreadable);
    if (summary.journaled > 0)
        line += QStringLiteral(", %1 done before").arg(summary.journaled);
    if (summary.recordedRemoved > 0)
        line += QStringLiteral(" (%1 of their sources deleted now)").arg(summary.recordedRemoved);
    if (summary.interrupted)
        line += QStringLiteral(" (interrupted: %1 not decrypted)").arg(summary.notDone);
    return line.toUtf8();
}

QByteArray TextReporter::info(const Info& info) const
{
    if (!info.envelope)
        return (QStringLiteral("NOT-ENVELOPE\t") + info.source + QLatin1Char('\t') + info.message).toUtf8();
    if (m_quiet)
        return {};
    return QStringLiteral("ENVELOPE\t%1\t%2\t%3\t%4")
        .arg(info.source)
        .arg(info.plaintextSize)
        .arg(info.keyRecords)
        .arg(info.trailerSize)
        .toUtf8();
}

QByteArray TextReporter::infoSummary(const InfoSummary& summary) const
{
    if (m_quiet)
        return {};
    QString line = QStringLiteral("%1 envelopes, %2 not envelopes, %3 total")
                       .arg(summary.envelopes)
                       .arg(summary.notEnvelopes)
                       .arg(summary.envelopes + summary.notEnvelopes);
    if (summary.skipped > 0)
        line += QStringLiteral(", %1 skipped").arg(summary.skipped);
    if (summary.unreadable > 0)
        line += QStringLiteral(", %1 folders unreadable").arg(summary.unreadable);
    return line.toUtf8();
}
