#include "engine/FileLoading.h"

#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "engine/LocalPath.h"
#include "engine/OutputFolders.h"
#include "engine/zervcrypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool isCancelled(const FileLoading::CancelCheck& cancelled)
{
    return cancelled && cancelled();
}

// How a folder named with trailing slashes ("photos/", as shells complete it)
// shows in the names of the files under it: "photos/a.jpg".
QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

bool hasParentStep(const QString& path)
{
    return path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

bool matches(const QString& name, const QString& nameFilter)
{
    if (nameFilter == QStringLiteral("*"))
        return true;
    // As a folder listing filters: a wildcard, in any case.
    const QRegularExpression pattern(
        QRegularExpression::wildcardToRegularExpression(nameFilter), QRegularExpression::CaseInsensitiveOption);
    return pattern.match(name).hasMatch();
}

// Whether a file's name (or path) ends in the envelope extension, in any case.
bool hasEnvelopeExtension(const QString& name)
{
    const QString extension = CryptTask::envelopeExtension();
    return name.size() > extension.size() && name.at(name.size() - extension.size() - 1) == QLatin1Char('.')
        && name.endsWith(extension, Qt::CaseInsensitive);
}

// One walk below a folder, and the choices a load makes among the files it
// finds, made as each is found: a file is looked into through its folder's open
// descriptor, not by its whole path again.
struct Walk {
    QString nameFilter; // for the first folder; subfolders take every name
    const FileLoading::CancelCheck* cancelled = nullptr;
    QStringList* result = nullptr;
    QList<FileLoading::Unreadable>* unreadable = nullptr;
    // A load's choices (find()): the folder input the walk began at, for the
    // folder filter; envelopes only, counting the files passed over; files found.
    QString root;
    const std::function<bool(const QString& folder, const QString& file)>* folderFilter = nullptr;
    bool envelopesOnly = false;
    int notEnvelopes = 0;
    std::atomic<qint64>* found = nullptr;
    bool recursive = true;
};

// The walk of one folder (prefix: its path with a slash, and the same as bytes).
// Each folder is read once, by its bytes, so that every name the system holds is
// found, whether UTF-8 or not; the entry's type comes with its name where the
// file system gives it, and from lstat otherwise.
bool walkFolder(const QString& prefix, const QByteArray& prefixBytes, bool first, Walk& walk)
{
    DIR* dir = opendir(prefixBytes.constData());
    if (!dir) {
        // Said, never passed over in silence: what it holds is not in the result.
        if (walk.unreadable)
            walk.unreadable->append({ withoutTrailingSlashes(prefix), LocalPath::errorText(errno) });
        return true;
    }
    const QString nameFilter = first ? walk.nameFilter : QStringLiteral("*");
    QList<QByteArray> folders;
    bool stopped = false;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') // hidden, "." and ".."
            continue;
        if (isCancelled(*walk.cancelled)) {
            stopped = true;
            break;
        }
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat status { };
            if (fstatat(dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISREG(status.st_mode) ? DT_REG : S_ISDIR(status.st_mode) ? DT_DIR : DT_UNKNOWN;
        }
        if (type == DT_REG) {
            const QString decoded = LocalPath::decode(QByteArray::fromRawData(entry->d_name, qstrlen(entry->d_name)));
            if (!matches(decoded, nameFilter))
                continue;
            if (walk.found)
                walk.found->fetch_add(1, std::memory_order_relaxed);
            // Sized to fit: an archive's list holds millions of these, and a string
            // grown by appending keeps spare room.
            QString path;
            path.reserve(prefix.size() + decoded.size());
            path.append(prefix).append(decoded);
            if (walk.folderFilter && !(*walk.folderFilter)(walk.root, path))
                continue;
            if (walk.envelopesOnly && !hasEnvelopeExtension(decoded)
                && zervcrypto_file_has_record_marker_at(dirfd(dir), entry->d_name) != 1) {
                ++walk.notEnvelopes;
                continue;
            }
            walk.result->append(path);
        } else if (type == DT_DIR && walk.recursive) {
            folders.append(QByteArray(entry->d_name));
        }
    }
    closedir(dir);
    if (stopped)
        return false;
    for (const QByteArray& name : std::as_const(folders)) {
        if (!walkFolder(prefix + LocalPath::decode(name) + QLatin1Char('/'), prefixBytes + name + '/', false, walk))
            return false;
    }
    return true;
}

// The files below folder (see walkDirectory()); false when cancelled.
bool walkBelow(const QString& folder, Walk& walk)
{
    // "/" names its entries "/name", not "//name".
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return walkFolder(prefix, LocalPath::encode(prefix), true, walk);
}

} // namespace

namespace FileLoading {

QStringList Result::files() const
{
    QStringList all;
    all.reserve(fileCount());
    for (const Group& group : groups)
        all.append(group.files);
    return all;
}

QStringList Result::names() const
{
    QStringList all;
    all.reserve(fileCount());
    for (const Group& group : groups)
        for (qsizetype i = 0; i < group.files.size(); ++i)
            all.append(group.nameOf(i));
    return all;
}

QString Group::nameOf(qsizetype index) const
{
    if (folder.isEmpty()) {
        const QString name = named.value(index, files.value(index));
        return name.isNull() ? files.at(index).mid(workingFolder.size()) : name;
    }
    // "/" names its files "/a", any other folder "folder/a".
    const QString prefix = shown.endsWith(QLatin1Char('/')) ? shown : shown + QLatin1Char('/');
    const qsizetype below = folder.endsWith(QLatin1Char('/')) ? folder.size() : folder.size() + 1;
    return prefix + files.at(index).mid(below);
}

void Group::keepOnly(const std::function<bool(const QString& file, qsizetype index)>& keep)
{
    QStringList keptFiles;
    QStringList keptNames;
    for (qsizetype i = 0; i < files.size(); ++i) {
        if (!keep(files.at(i), i))
            continue;
        keptFiles.append(files.at(i));
        if (i < named.size())
            keptNames.append(named.at(i));
    }
    files = std::move(keptFiles);
    named = std::move(keptNames);
}

void Result::append(const Result& other)
{
    inputs += other.inputs;
    cancelled = cancelled || other.cancelled;
    qsizetype from = 0;
    // Files named one after another share a group while they share a base, across
    // finds too.
    if (!groups.isEmpty() && !other.groups.isEmpty()) {
        Group& last = groups.last();
        const Group& first = other.groups.constFirst();
        if (last.folder.isEmpty() && first.folder.isEmpty() && last.outputBase == first.outputBase
            && last.workingFolder == first.workingFolder) {
            last.files.append(first.files);
            last.named.append(first.named);
            from = 1;
        }
    }
    groups.append(other.groups.mid(from));
    skipped.append(other.skipped);
    unreadable.append(other.unreadable);
    added += other.added;
    notEnvelopes += other.notEnvelopes;
    alreadyDecrypted += other.alreadyDecrypted;
}

void Result::forEachOnce(const std::function<void(const Group& group, qsizetype index)>& visit) const
{
    QSet<QString> seen;
    for (const Group& group : groups) {
        for (qsizetype i = 0; i < group.files.size(); ++i) {
            if (seen.contains(group.files.at(i)))
                continue;
            seen.insert(group.files.at(i));
            visit(group, i);
        }
    }
}

qsizetype Result::fileCount() const
{
    qsizetype count = 0;
    for (const Group& group : groups)
        count += group.files.size();
    return count;
}

QString Result::summary() const
{
    if (inputs == 0)
        return QCoreApplication::translate("FileLoading", "No files found.");
    QString text;
    if (duplicates() == 0 && notEnvelopes == 0 && alreadyDecrypted == 0)
        text = QCoreApplication::translate("FileLoading", "%1 files loaded successfully.").arg(added);
    else if (duplicates() == 0)
        text = QCoreApplication::translate("FileLoading", "%1 files loaded.").arg(added);
    else
        text = QCoreApplication::translate("FileLoading", "%1 files loaded. %2 duplicates skipped.")
                   .arg(added)
                   .arg(duplicates());
    if (notEnvelopes > 0)
        text += QLatin1Char(' ')
            + QCoreApplication::translate("FileLoading", "%1 files that are not envelopes skipped.").arg(notEnvelopes);
    if (alreadyDecrypted > 0)
        text += QLatin1Char(' ')
            + QCoreApplication::translate("FileLoading", "%1 already decrypted skipped.").arg(alreadyDecrypted);
    if (!unreadable.isEmpty())
        text += QLatin1Char(' ')
            + QCoreApplication::translate("FileLoading", "%1 folders could not be read, first '%2': %3.")
                  .arg(unreadable.size())
                  .arg(LocalPath::displayName(unreadable.constFirst().folder), unreadable.constFirst().reason);
    return text;
}

QStringList walkDirectory(const QString& folder, const QString& nameFilter, bool recursive,
    const CancelCheck& cancelled, QList<Unreadable>* unreadable)
{
    QStringList result;
    Walk walk;
    walk.nameFilter = nameFilter;
    walk.cancelled = &cancelled;
    walk.result = &result;
    walk.unreadable = unreadable;
    walk.recursive = recursive;
    if (!walkBelow(folder, walk))
        return {};
    return result;
}

QString plainName(const QString& source, const QString& outputBase, const QString& outputRoot)
{
    if (!outputRoot.isEmpty())
        return CryptTask::withoutDecryptedSuffix(source, OutputFolders::folderOf(outputRoot, source, outputBase));
    if (QFileInfo(source).suffix().compare(CryptTask::envelopeExtension(), Qt::CaseInsensitive) != 0)
        return {};
    return CryptTask::withoutDecryptedSuffix(source);
}

bool mayBeEnvelope(const QString& path)
{
    // The name alone decides for an envelope's own extension, so that a folder of
    // envelopes costs no read; anything else gets one look at its last bytes.
    if (hasEnvelopeExtension(path))
        return true;
    return zervcrypto_file_has_record_marker(LocalPath::encode(path).constData()) == 1;
}

QString absoluteCleanPath(const QString& path)
{
    if (path.isEmpty())
        return {};
    // Joined by hand: QFileInfo::absoluteFilePath() would already fold "..".
    const QString absolute = QDir::isAbsolutePath(path) ? path : LocalPath::currentFolder() + QLatin1Char('/') + path;
    const QString clean = QDir::cleanPath(absolute);
    if (!hasParentStep(absolute))
        return clean;
    // The system takes ".." from where a symbolic link leads, the text folding
    // from where the link stands: where they part, the system's file counts.
    const QString canonical = LocalPath::canonical(absolute);
    if (canonical.isEmpty())
        return absolute; // the system reaches nothing there ("missing/.."): nor may the load
    if (hasParentStep(clean) || LocalPath::canonical(clean) != canonical)
        return canonical;
    return clean;
}

Result find(const QStringList& inputs, const CancelCheck& cancelled, const LoadOptions& options)
{
    Result result;
    result.inputs = inputs.size();
    if (inputs.isEmpty())
        return result;
    const QString workingFolder = LocalPath::currentFolder() + QLatin1Char('/');
    for (const QString& given : inputs) {
        if (isCancelled(cancelled)) {
            result.cancelled = true;
            return result;
        }
        const QString path = absoluteCleanPath(given);
        struct stat info { };
        const bool exists = !path.isEmpty() && LocalPath::status(path, &info);
        // How the input names it: shown in messages, and what a listed path keeps.
        const QString shown = withoutTrailingSlashes(given);
        if (exists && S_ISREG(info.st_mode)) {
            if (options.found)
                options.found->fetch_add(1, std::memory_order_relaxed);
            // Files named one after another share a group while they share a base.
            const QString base = options.keepListedPaths ? OutputFolders::baseOfListed(shown) : QString();
            if (result.groups.isEmpty() || !result.groups.constLast().folder.isEmpty()
                || result.groups.constLast().outputBase != base)
                result.groups.append(Group { QString(), QString(), base, {}, {}, QString() });
            // The same text is kept once.
            Group& group = result.groups.last();
            if (group.workingFolder.isEmpty())
                group.workingFolder = workingFolder;
            if (path == shown) {
                group.files.append(shown); // the same text is kept once
                group.named.append(shown);
            } else {
                group.files.append(path);
                const bool below = path.size() == workingFolder.size() + shown.size() && path.startsWith(workingFolder)
                    && path.endsWith(shown);
                group.named.append(below ? QString() : shown);
            }
        } else if (exists && S_ISDIR(info.st_mode)) {
            QList<Unreadable> unreadable;
            QStringList files;
            Walk walk;
            walk.nameFilter = QStringLiteral("*");
            walk.cancelled = &cancelled;
            walk.result = &files;
            walk.unreadable = &unreadable;
            walk.root = path;
            walk.folderFilter = options.folderFilter ? &options.folderFilter : nullptr;
            walk.envelopesOnly = options.envelopesOnly;
            walk.found = options.found;
            if (!walkBelow(path, walk)) {
                result.cancelled = true;
                return result;
            }
            // Named as the input names the folder ("photos/locked").
            for (Unreadable& folder : unreadable)
                folder.folder = shown + folder.folder.mid(path.size());
            result.unreadable.append(unreadable);
            result.notEnvelopes += walk.notEnvelopes;
            result.groups.append({ path, shown,
                options.keepListedPaths ? OutputFolders::baseOfListed(shown) : OutputFolders::baseOfFolder(path), files,
                {}, QString() });
        } else {
            result.skipped.append({ given, exists });
        }
    }
    if (options.skipDecrypted) {
        for (Group& group : result.groups) {
            const qsizetype before = group.files.size();
            group.keepOnly([&](const QString& file, qsizetype) {
                const QString plain = plainName(file, group.outputBase, options.outputRoot);
                return plain.isEmpty() || !CryptTask::nameTaken(plain);
            });
            result.alreadyDecrypted += static_cast<int>(before - group.files.size());
        }
    }
    if (isCancelled(cancelled))
        result.cancelled = true;
    return result;
}

Result load(
    const QStringList& inputs, DecryptManager& manager, const CancelCheck& cancelled, const LoadOptions& options)
{
    Result result = find(inputs, cancelled, options);
    if (result.cancelled)
        return result;
    for (const Group& group : std::as_const(result.groups)) {
        const int added = manager.addFiles(group.files, group.outputBase);
        result.added += added;
        // Refused while decrypting: said once is enough.
        if (added == 0 && manager.isDecrypting())
            break;
    }
    return result;
}

} // namespace FileLoading
