#include "cli/JsonReporter.h"

#include "engine/LocalPath.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonValue orNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

} // namespace

QByteArray JsonReporter::task(const Task& task) const
{
    static const QString kStatus[]
        = { QStringLiteral("finished"), QStringLiteral("failed"), QStringLiteral("cancelled") };
    QJsonObject object;
    object.insert(QStringLiteral("type"), QStringLiteral("task"));
    // Exact names, except those that are not UTF-8, which JSON cannot hold:
    // those show escaped, as on a terminal.
    object.insert(QStringLiteral("source"), LocalPath::displayName(task.source));
    object.insert(QStringLiteral("destination"), orNull(LocalPath::displayName(task.destination)));
    object.insert(QStringLiteral("status"), kStatus[static_cast<int>(task.outcome)]);
    object.insert(QStringLiteral("message"), LocalPath::displayName(task.message));
    object.insert(QStringLiteral("reason"), orNull(task.reason));
    object.insert(QStringLiteral("error"), orNull(task.error));
    object.insert(QStringLiteral("bytes"), task.bytes);
    object.insert(QStringLiteral("seconds"), task.seconds);
    // The candidate that opened the envelope, by its position (1 for the first);
    // never the passphrase itself.
    object.insert(QStringLiteral("passphrase"),
        task.passphrase < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(task.passphrase + 1));
    return compact(object);
}

QByteArray JsonReporter::planned(const QString& source, const QString& destination) const
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), QStringLiteral("planned"));
    object.insert(QStringLiteral("source"), LocalPath::displayName(source));
    object.insert(QStringLiteral("destination"), LocalPath::displayName(destination));
    return compact(object);
}

QByteArray JsonReporter::problem(const Problem& problem) const
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), QStringLiteral("path"));
    object.insert(QStringLiteral("source"), LocalPath::displayName(problem.source));
    object.insert(QStringLiteral("status"), QStringLiteral("failed"));
    object.insert(QStringLiteral("error"), problem.error);
    object.insert(QStringLiteral("message"), problem.message);
    object.insert(QStringLiteral("reason"), orNull(problem.reason));
    return compact(object);
}

QByteArray JsonReporter::summary(const BatchSummary& summary) const
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), QStringLiteral("summary"));
    object.insert(QStringLiteral("finished"), summary.finished);
    object.insert(QStringLiteral("failed"), summary.failed);
    object.insert(QStringLiteral("cancelled"), summary.notDone);
    object.insert(QStringLiteral("total"), summary.total);
    object.insert(QStringLiteral("missing"), summary.missing);
    object.insert(QStringLiteral("unreadable"), summary.unreadable);
    object.insert(QStringLiteral("skipped"), summary.skipped);
    object.insert(QStringLiteral("journaled"), summary.journaled);
    object.insert(QStringLiteral("recordedDeleted"), summary.recordedRemoved);
    object.insert(QStringLiteral("bytes"), summary.bytes);
    object.insert(QStringLiteral("seconds"), summary.seconds);
    object.insert(QStringLiteral("interrupted"), summary.interrupted);
    object.insert(QStringLiteral("test"), summary.test);
    object.insert(QStringLiteral("exitStatus"), summary.exitStatus);
    return compact(object);
}

QByteArray JsonReporter::info(const Info& info) const
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), QStringLiteral("info"));
    object.insert(QStringLiteral("source"), info.source);
    object.insert(QStringLiteral("envelope"), info.envelope);
    if (info.envelope) {
        object.insert(QStringLiteral("plaintextSize"), info.plaintextSize);
        object.insert(QStringLiteral("keyRecords"), info.keyRecords);
        object.insert(QStringLiteral("trailerSize"), info.trailerSize);
    } else {
        object.insert(QStringLiteral("message"), info.message);
    }
    return compact(object);
}

QByteArray JsonReporter::infoSummary(const InfoSummary& summary) const
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), QStringLiteral("summary"));
    object.insert(QStringLiteral("envelopes"), summary.envelopes);
    object.insert(QStringLiteral("notEnvelopes"), summary.notEnvelopes);
    object.insert(QStringLiteral("total"), summary.envelopes + summary.notEnvelopes);
    object.insert(QStringLiteral("missing"), summary.missing);
    object.insert(QStringLiteral("unreadable"), summary.unreadable);
    object.insert(QStringLiteral("skipped"), summary.skipped);
    object.insert(QStringLiteral("exitStatus"), summary.exitStatus);
    return compact(object);
}
