#include "cli/SourceSelection.h"

#include "cli/Journal.h"
#include "engine/CryptTask.h"
#include "engine/LocalPath.h"
#include "engine/OutputFolders.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fnmatch.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Names of a list handed on at a time: the names as read never all stay in
// memory beside the paths made of them.
constexpr qsizetype kListBatch = 4096;

// The path of a file whose name holds at least one more part than the folder
// (with its slash) that it lies below.
bool below(const QString& path, const QString& folderWithSlash)
{
    return path.size() > folderWithSlash.size() && path.startsWith(folderWithSlash);
}

// Why a relative path is not this run's to do (--exclude, --shard); empty when it is.
QString whyNotOurs(const QString& key, const SourceSelection::Settings& settings)
{
    if (SourceSelection::excluded(key, settings.excludes))
        return QStringLiteral("excluded");
    if (settings.shardCount > 0) {
        const int shard = SourceSelection::shardOf(key, settings.shardCount);
        if (shard != settings.shardIndex)
            return QStringLiteral("shard %1/%2").arg(shard).arg(settings.shardCount);
    }
    return {};
}

// One select(): what it was asked, where its answer goes, and the root of its
// listed paths (with a slash).
struct Run {
    const SourceSelection::Settings& settings;
    SourceSelection::Selection* selection;
    QString root;
    QString rootPrefix;
};

// Keeps the files that why answers empty for; tells of the others. Returns how
// many went. A folder's files (no names kept beside them) go in place when
// nobody is told, so that a walk of millions holds one list at its peak; why
// then gets no index (-1).
int drop(const Run& run, FileLoading::Group& group, const std::function<QString(const QString&, qsizetype)>& why)
{
    if (group.named.isEmpty() && !run.settings.passedOver)
        return static_cast<int>(group.files.removeIf([&](const QString& file) { return !why(file, -1).isEmpty(); }));
    const qsizetype before = group.files.size();
    group.keepOnly([&](const QString& file, qsizetype index) {
        const QString reason = why(file, index);
        if (!reason.isEmpty() && run.settings.passedOver)
            run.settings.passedOver(group.nameOf(index), reason);
        return reason.isEmpty();
    });
    return static_cast<int>(before - group.files.size());
}

// Leaves out the files in walked folders that are not this run's before
// anything counts them: the key is the path below the folder's parent, or below
// the root for a folder a list names.
std::function<bool(const QString&, const QString&)> walkFilter(const Run& run, bool listed)
{
    if (run.settings.shardCount == 0 && run.settings.excludes.isEmpty())
        return {};
    return [&run, listed](const QString& folder, const QString& file) {
        const qsizetype cut = listed        ? run.rootPrefix.size()
            : folder == QStringLiteral("/") ? 1
                                            : folder.lastIndexOf(QLatin1Char('/')) + 1;
        const QString key = file.mid(cut);
        const QString why = whyNotOurs(key, run.settings);
        if (!why.isEmpty() && run.settings.passedOver)
            run.settings.passedOver(key, why);
        return why.isEmpty();
    };
}

// A listed group's files are taken below the root, where they land below -o;
// false with *error set when one lies outside it.
bool rebase(const Run& run, FileLoading::Group& group, QString* error)
{
    const auto outside = [&](const QString& name) {
        *error = QStringLiteral("'%1' is listed but is not below %2 '%3'; list paths below it, or give --root "
                                "a folder that holds them all.")
                     .arg(name,
                         run.settings.root.isEmpty() ? QStringLiteral("the working folder") : QStringLiteral("--root"),
                         run.root);
        return false;
    };
    if (!group.folder.isEmpty() && group.folder != run.root && !below(group.folder, run.rootPrefix))
        return outside(group.shown);
    for (qsizetype i = 0; group.folder.isEmpty() && i < group.files.size(); ++i)
        if (!below(group.files.at(i), run.rootPrefix))
            return outside(group.nameOf(i));
    group.outputBase = run.root;
    // Each file is absolute, clean and below the root: its relative path follows the root's.
    drop(run, group, [&](const QString& file, qsizetype) {
        return SourceSelection::hidden(file.mid(run.rootPrefix.size())) ? QStringLiteral("hidden") : QString();
    });
    return true;
}

// What select() does to each find's result, in this order: a list's paths are
// taken below the root (those outside refused, hidden ones passed over), other
// shards' and excluded files go, then those that are no envelopes, those
// already decrypted and those the journal records. False with *error set when
// a listed path lies outside the root.
bool refine(const Run& run, FileLoading::Result& found, bool listed, QString* error)
{
    const SourceSelection::Settings& settings = run.settings;
    for (FileLoading::Group& group : found.groups) {
        if (listed && !rebase(run, group, error))
            return false;
        const bool direct = group.folder.isEmpty();
        if (direct && (settings.shardCount > 0 || !settings.excludes.isEmpty()))
            drop(run, group,
                [&](const QString&, qsizetype i) { return whyNotOurs(SourceSelection::shardKey(group, i), settings); });
        // A list is a walk made elsewhere (find -type f): its files are taken as
        // a folder's are, so that the plaintexts of an earlier run are skipped,
        // not failed; files named on the command line are always taken.
        if (!settings.allFiles && (listed || !direct))
            found.notEnvelopes += drop(run, group, [](const QString& file, qsizetype) {
                return FileLoading::mayBeEnvelope(file) ? QString() : QStringLiteral("not an envelope");
            });
        if (settings.skipDecrypted)
            found.alreadyDecrypted += drop(run, group, [&](const QString& file, qsizetype) {
                const QString plain = FileLoading::plainName(file, group.outputBase, settings.outputRoot);
                return plain.isEmpty() || !CryptTask::nameTaken(plain)
                    ? QString()
                    : QStringLiteral("already decrypted as '%1'").arg(plain);
            });
        if (settings.journal)
            run.selection->journaled += drop(run, group, [&](const QString& file, qsizetype) {
                if (!settings.journal->contains(file, group.outputBase))
                    return QString();
                if (settings.keepRecorded)
                    run.selection->recorded.append(file);
                return QStringLiteral("recorded in the journal");
            });
    }
    return true;
}

} // namespace

bool SourceSelection::select(const QStringList& paths, const Settings& settings, Selection* selection, QString* error)
{
    const QString root = settings.root.isEmpty() ? LocalPath::currentFolder() : settings.root;
    const Run run { settings, selection, root, root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/') };
    // Which files are envelopes, or decrypted already, is judged here, after the
    // shards and the root are known.
    FileLoading::LoadOptions options;
    options.folderFilter = walkFilter(run, false);
    selection->found = FileLoading::find(paths, {}, options);
    if (!refine(run, selection->found, false, error))
        return false;
    if (settings.filesFrom.isEmpty())
        return true;
    options.keepListedPaths = true;
    options.folderFilter = walkFilter(run, true);
    bool refused = false;
    bool stopped = settings.onPiece && !settings.onPiece(*selection);
    const bool read = readList(
        settings.filesFrom, settings.nullSeparated,
        [&](QStringList& listed) {
            if (refused || stopped) {
                listed.clear();
                return;
            }
            FileLoading::Result fromList = FileLoading::find(listed, {}, options);
            listed.clear();
            refused = !refine(run, fromList, true, error);
            if (refused)
                return;
            selection->found.append(fromList);
            stopped = settings.onPiece && !settings.onPiece(*selection);
        },
        error, settings.whileWaiting);
    return read && !refused;
}

bool SourceSelection::readList(const QString& file, bool nullSeparated, const std::function<void(QStringList&)>& batch,
    QString* error, const std::function<bool(int fd)>& whileWaiting)
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
    // Read by the descriptor: a pipe's names go on as they come, not once a
    // buffer is full.
    const int fd = list.handle();
    for (;;) {
        if (whileWaiting) {
            pollfd ready { fd, POLLIN, 0 };
            int polled = 0;
            do {
                polled = ::poll(&ready, 1, 0);
            } while (polled < 0 && errno == EINTR);
            if (polled == 0) {
                // The writer paused: what came is handed on first.
                if (!paths.isEmpty()) {
                    batch(paths);
                    paths.clear();
                }
                if (!whileWaiting(fd))
                    break;
            }
        }
        ssize_t got = 0;
        do {
            got = ::read(fd, piece.data(), static_cast<size_t>(piece.size()));
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            *error = QStringLiteral("cannot read the list of files %1: %2").arg(name, LocalPath::errorText(errno));
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
    return OutputFolders::relativePath(group.files.at(index), group.outputBase);
}

bool SourceSelection::excluded(const QString& key, const QStringList& patterns)
{
    if (patterns.isEmpty())
        return false;
    const QByteArray path = LocalPath::encode(key);
    for (const QString& pattern : patterns) {
        const QByteArray bytes = LocalPath::encode(pattern);
        if (bytes.startsWith('/')) {
            if (fnmatch(bytes.constData() + 1, path.constData(), 0) == 0)
                return true;
            continue;
        }
        // The whole path, then each tail that begins after a "/".
        for (qsizetype at = 0;;) {
            if (fnmatch(bytes.constData(), path.constData() + at, 0) == 0)
                return true;
            const qsizetype slash = path.indexOf('/', at);
            if (slash < 0)
                break;
            at = slash + 1;
        }
    }
    return false;
}

bool SourceSelection::hidden(const QString& key)
{
    return key.startsWith(QLatin1Char('.')) || key.contains(QStringLiteral("/."));
}

int SourceSelection::shardOf(const QString& key, int count)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | static_cast<uchar>(hash.at(i));
    return static_cast<int>(value % static_cast<quint64>(count)) + 1;
}
