#include "cli/SourceSelection.h"

#include "cli/Journal.h"
#include "engine/LocalPath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <fnmatch.h>

namespace {

// Names of a list handed on at a time: the names as read never all stay in
// memory beside the paths made of them.
constexpr qsizetype kListBatch = 4096;

} // namespace

bool SourceSelection::select(const QStringList& paths, const Settings& settings, Selection* selection, QString* error)
{
    // Another shard's sources and those the journal records go at once (the
    // files found in folders already by the find, before they are counted).
    const auto keepOurs = [&](FileLoading::Result& found) {
        for (FileLoading::Group& group : found.groups) {
            if ((settings.shardCount > 0 || !settings.excludes.isEmpty()) && group.folder.isEmpty())
                group.keepOnly([&](const QString&, qsizetype index) {
                    const QString key = shardKey(group, index);
                    return !excluded(key, settings.excludes)
                        && (settings.shardCount == 0 || shardOf(key, settings.shardCount) == settings.shardIndex);
                });
            if (settings.journal) {
                const qsizetype before = group.files.size();
                group.keepOnly([&](const QString& file, qsizetype) {
                    if (!settings.journal->contains(file))
                        return true;
                    if (settings.keepRecorded)
                        selection->recorded.append(file);
                    return false;
                });
                selection->journaled += static_cast<int>(before - group.files.size());
            }
        }
    };

    FileLoading::LoadOptions options;
    options.envelopesOnly = !settings.allFiles;
    options.skipDecrypted = settings.skipDecrypted;
    options.outputRoot = settings.outputRoot;
    if (settings.shardCount > 0 || !settings.excludes.isEmpty())
        options.folderFilter = [&settings](const QString& folder, const QString& file) {
            const QString key = relativeKey(folder, file);
            return !excluded(key, settings.excludes)
                && (settings.shardCount == 0 || shardOf(key, settings.shardCount) == settings.shardIndex);
        };
    selection->found = FileLoading::find(paths, {}, options);
    keepOurs(selection->found);
    if (settings.filesFrom.isEmpty())
        return true;
    options.keepListedPaths = true;
    return readList(
        settings.filesFrom, settings.nullSeparated,
        [&](QStringList& listed) {
            FileLoading::Result fromList = FileLoading::find(listed, {}, options);
            listed.clear();
            // Another shard's names are no concern of this one's counts.
            keepOurs(fromList);
            // A list is a walk made elsewhere (find -type f): its files are taken as
            // a folder's are, so that the plaintexts of an earlier run are skipped,
            // not failed.
            if (options.envelopesOnly) {
                for (FileLoading::Group& group : fromList.groups) {
                    if (!group.folder.isEmpty())
                        continue;
                    const qsizetype before = group.files.size();
                    group.keepOnly([](const QString& file, qsizetype) { return FileLoading::mayBeEnvelope(file); });
                    fromList.notEnvelopes += static_cast<int>(before - group.files.size());
                }
            }
            selection->found.append(fromList);
        },
        error);
}

bool SourceSelection::readList(
    const QString& file, bool nullSeparated, const std::function<void(QStringList&)>& batch, QString* error)
{
    QStringList paths;
    QFile list;
    QString reason;
    const bool opened = file == QStringLiteral("-")
        ? list.open(stdin, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
        : LocalPath::openForReading(file, &list, {}, &reason);
    const QString name
        = file == QStringLiteral("-") ? QStringLiteral("standard input") : QStringLiteral("'%1'").arg(file);
    if (!opened) {
        *error = QStringLiteral("cannot open the list of files %1: %2")
                     .arg(name, reason.isEmpty() ? list.errorString() : reason);
        return false;
    }
    const char separator = nullSeparated ? '\0' : '\n';
    // Piece by piece: only the names stay, never the whole list at once.
    QByteArray carry;
    QByteArray piece(1 << 16, '\0');
    const auto take = [&](QByteArray bytes) {
        if (!nullSeparated && bytes.endsWith('\r'))
            bytes.chop(1);
        if (bytes.isEmpty())
            return;
        paths.append(LocalPath::decode(bytes));
        if (paths.size() >= kListBatch) {
            batch(paths);
            paths.clear();
        }
    };
    for (;;) {
        const qint64 got = list.read(piece.data(), piece.size());
        if (got < 0) {
            *error = QStringLiteral("cannot read the list of files %1: %2").arg(name, list.errorString());
            return false;
        }
        if (got == 0)
            break;
        carry.append(piece.constData(), got);
        qsizetype start = 0;
        for (qsizetype end; (end = carry.indexOf(separator, start)) >= 0; start = end + 1)
            take(carry.mid(start, end - start));
        carry.remove(0, start);
    }
    take(carry);
    if (!paths.isEmpty())
        batch(paths);
    return true;
}

QString SourceSelection::shardKey(const FileLoading::Group& group, qsizetype index)
{
    if (!group.folder.isEmpty())
        return relativeKey(group.folder, group.files.at(index));
    return QDir::cleanPath(group.nameOf(index));
}

QString SourceSelection::relativeKey(const QString& folder, const QString& file)
{
    const qsizetype below = folder.endsWith(QLatin1Char('/')) ? folder.size() : folder.size() + 1;
    return file.mid(below);
}

bool SourceSelection::excluded(const QString& key, const QStringList& patterns)
{
    if (patterns.isEmpty())
        return false;
    const QByteArray path = LocalPath::encode(key);
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray name = path.mid(slash + 1);
    for (const QString& pattern : patterns) {
        const QByteArray bytes = LocalPath::encode(pattern);
        if (fnmatch(bytes.constData(), path.constData(), 0) == 0
            || fnmatch(bytes.constData(), name.constData(), 0) == 0)
            return true;
    }
    return false;
}

int SourceSelection::shardOf(const QString& key, int count)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | static_cast<uchar>(hash.at(i));
    return static_cast<int>(value % static_cast<quint64>(count)) + 1;
}
