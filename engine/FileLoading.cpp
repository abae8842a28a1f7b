#include "engine/FileLoading.h"

#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "engine/OutputFolders.h"
#include "engine/zervcrypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
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

bool isUtf8(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// The entries of the folder (prefix: its path with a slash) whose names are not
// valid UTF-8: regular files, and folders when recursive; links are passed
// over, as the walk passes them over.
void appendUndecodable(const QByteArray& prefix, bool recursive, QList<FileLoading::Undecodable>* found)
{
    DIR* dir = opendir(prefix.constData());
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || isUtf8(name))
            continue;
        struct stat status { };
        if (lstat((prefix + name).constData(), &status) != 0)
            continue;
        if (S_ISREG(status.st_mode) || (recursive && S_ISDIR(status.st_mode)))
            found->append({ prefix + name, S_ISDIR(status.st_mode) });
    }
    closedir(dir);
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
    added += other.added;
    notEnvelopes += other.notEnvelopes;
    undecodable.append(other.undecodable);
    alreadyDecrypted += other.alreadyDecrypted;
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
    return text;
}

QStringList walkDirectory(const QString& folder, const QString& nameFilter, bool recursive,
    const CancelCheck& cancelled, QList<Undecodable>* undecodable)
{
    QStringList result;
    const QDir dir(folder);
    // "/" names its entries "/name", not "//name".
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    const QStringList files = dir.entryList(
        QStringList { nameFilter }, QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);

    for (const QString& name : files) {
        if (isCancelled(cancelled))
            return {};
        // Sized to fit: an archive's list holds millions of these, and a string
        // grown by appending keeps spare room.
        QString path;
        path.reserve(prefix.size() + name.size());
        path.append(prefix).append(name);
        if (QFileInfo(path).isFile())
            result.append(path);
    }
    const QStringList folders = recursive ? dir.entryList(QStringList { QStringLiteral("*") },
                                    QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted)
                                          : QStringList();
    // The listing leaves out names that are not UTF-8: the folder is read again
    // by its bytes to name them.
    if (undecodable)
        appendUndecodable(QFile::encodeName(prefix), recursive, undecodable);
    if (!recursive)
        return result;
    for (const QString& name : folders) {
        if (isCancelled(cancelled))
            return {};
        result.append(walkDirectory(prefix + name, QStringLiteral("*"), true, cancelled, undecodable));
    }
    return result;
}

QString escapedName(const QByteArray& path)
{
    QString shown;
    for (qsizetype at = 0; at < path.size();) {
        const auto byte = static_cast<unsigned char>(path.at(at));
        // The longest valid UTF-8 sequence that starts here, if any.
        qsizetype length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
        if (length > 1 && !isUtf8(path.mid(at, length)))
            length = 0;
        if (length == 0) {
            shown += QStringLiteral("\\%1").arg(byte, 3, 8, QLatin1Char('0'));
            ++at;
            continue;
        }
        const QString text = QString::fromUtf8(path.mid(at, length));
        at += length;
        const char16_t code = text.at(0).unicode();
        if (code == u'\\')
            shown += QStringLiteral("\\\\");
        else if (code == u'\t')
            shown += QStringLiteral("\\t");
        else if (code == u'\n')
            shown += QStringLiteral("\\n");
        else if (code == u'\r')
            shown += QStringLiteral("\\r");
        else if (code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0))
            shown += QStringLiteral("\\%1").arg(static_cast<int>(code), 3, 8, QLatin1Char('0'));
        else
            shown += text;
    }
    return shown;
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
    if (QFileInfo(path).suffix().compare(CryptTask::envelopeExtension(), Qt::CaseInsensitive) == 0)
        return true;
    return zervcrypto_file_has_record_marker(path.toUtf8().constData()) == 1;
}

QString absoluteCleanPath(const QString& path)
{
    if (path.isEmpty())
        return {};
    // Joined by hand: QFileInfo::absoluteFilePath() would already fold "..".
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    const QString clean = QDir::cleanPath(absolute);
    if (!hasParentStep(absolute))
        return clean;
    // The system takes ".." from where a symbolic link leads, the text folding
    // from where the link stands: where they part, the system's file counts.
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    if (canonical.isEmpty())
        return absolute; // the system reaches nothing there ("missing/.."): nor may the load
    if (hasParentStep(clean) || QFileInfo(clean).canonicalFilePath() != canonical)
        return canonical;
    return clean;
}

Result find(const QStringList& inputs, const CancelCheck& cancelled, const LoadOptions& options)
{
    Result result;
    result.inputs = inputs.size();
    if (inputs.isEmpty())
        return result;
    const QString workingFolder = QDir::currentPath() + QLatin1Char('/');
    for (const QString& given : inputs) {
        if (isCancelled(cancelled)) {
            result.cancelled = true;
            return result;
        }
        const QString path = absoluteCleanPath(given);
        const QFileInfo info(path);
        // How the input names it: shown in messages, and what a listed path keeps.
        const QString shown = withoutTrailingSlashes(given);
        if (!path.isEmpty() && info.isFile()) {
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
        } else if (!path.isEmpty() && info.isDir()) {
            QStringList files = walkDirectory(path, QStringLiteral("*"), true, cancelled, &result.undecodable);
            if (options.envelopesOnly) {
                const qsizetype before = files.size();
                files.removeIf([](const QString& file) { return !mayBeEnvelope(file); });
                result.notEnvelopes += static_cast<int>(before - files.size());
            }
            result.groups.append({ path, shown,
                options.keepListedPaths ? OutputFolders::baseOfListed(shown) : OutputFolders::baseOfFolder(path), files,
                {}, QString() });
        } else {
            result.skipped.append({ given, !path.isEmpty() && info.exists() });
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
