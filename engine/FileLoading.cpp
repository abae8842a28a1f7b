#include "engine/FileLoading.h"

#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "engine/OutputFolders.h"
#include "engine/zervcrypto.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool isCancelled(const FileLoading::CancelCheck& cancelled)
{
    return cancelled && cancelled();
}

// A folder named with trailing slashes ("photos/", as shells complete it) would
// give every file under it a doubled slash ("photos//a.jpg"), and the same file
// a second name that the duplicate test cannot see.
QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
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

void Result::append(const Result& other)
{
    inputs += other.inputs;
    cancelled = cancelled || other.cancelled;
    groups.append(other.groups);
    skipped.append(other.skipped);
    added += other.added;
    notEnvelopes += other.notEnvelopes;
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
        return QStringLiteral("No files found.");
    if (duplicates() == 0)
        return QStringLiteral("%1 files loaded successfully.").arg(added);
    return QStringLiteral("%1 files loaded. %2 duplicates skipped.").arg(added).arg(duplicates());
}

QStringList walkDirectory(
    const QString& folder, const QString& nameFilter, bool recursive, const CancelCheck& cancelled)
{
    QStringList result;
    const QDir dir(folder);
    const QStringList files = dir.entryList(
        QStringList { nameFilter }, QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : files) {
        if (isCancelled(cancelled))
            return {};
        // Sized to fit: an archive's list holds millions of these, and a string
        // grown by appending keeps spare room.
        QString path;
        path.reserve(folder.size() + 1 + name.size());
        path.append(folder).append(QLatin1Char('/')).append(name);
        if (QFileInfo(path).isFile())
            result.append(path);
    }
    if (!recursive)
        return result;
    const QStringList folders = dir.entryList(
        QStringList { QStringLiteral("*") }, QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : folders) {
        if (isCancelled(cancelled))
            return {};
        result.append(walkDirectory(folder + QLatin1Char('/') + name, QStringLiteral("*"), true, cancelled));
    }
    return result;
}

bool mayBeEnvelope(const QString& path)
{
    // The name alone decides for an envelope's own extension, so that a folder of
    // envelopes costs no read; anything else gets one look at its last bytes.
    if (QFileInfo(path).suffix().compare(CryptTask::envelopeExtension(), Qt::CaseInsensitive) == 0)
        return true;
    return zervcrypto_file_has_record_marker(path.toUtf8().constData()) == 1;
}

Result find(const QStringList& inputs, const CancelCheck& cancelled, const LoadOptions& options)
{
    Result result;
    result.inputs = inputs.size();
    if (inputs.isEmpty())
        return result;
    for (const QString& given : inputs) {
        if (isCancelled(cancelled)) {
            result.cancelled = true;
            return result;
        }
        const QString path = withoutTrailingSlashes(given);
        const QFileInfo info(path);
        if (info.isFile()) {
            // Files named one after another share a group while they share a base.
            const QString base = options.keepListedPaths ? OutputFolders::baseOfListed(path) : QString();
            if (result.groups.isEmpty() || !result.groups.constLast().folder.isEmpty()
                || result.groups.constLast().outputBase != base)
                result.groups.append(Group { QString(), base, {} });
            result.groups.last().files.append(path);
        } else if (info.isDir()) {
            QStringList files = walkDirectory(path, QStringLiteral("*"), true, cancelled);
            if (options.envelopesOnly) {
                const qsizetype before = files.size();
                files.removeIf([](const QString& file) { return !mayBeEnvelope(file); });
                result.notEnvelopes += static_cast<int>(before - files.size());
            }
            result.groups.append(
                { path, options.keepListedPaths ? OutputFolders::baseOfListed(path) : OutputFolders::baseOfFolder(path),
                    files });
        } else {
            result.skipped.append({ given, info.exists() });
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
