#include "engine/FileLoading.h"

#include "engine/DecryptManager.h"

#include <QDir>
#include <QFileInfo>

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

} // namespace

namespace FileLoading {

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
    // "/" names its entries "/name", not "//name".
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    const QStringList files = dir.entryList(
        QStringList { nameFilter }, QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : files) {
        if (isCancelled(cancelled))
            return {};
        const QString path = prefix + name;
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
        result.append(walkDirectory(prefix + name, QStringLiteral("*"), true, cancelled));
    }
    return result;
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

Result load(const QStringList& inputs, DecryptManager& manager, const CancelCheck& cancelled)
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
        const QString path = absoluteCleanPath(given);
        const QFileInfo info(path);
        if (!path.isEmpty() && info.isFile()) {
            result.found.append(path);
            result.named.append(withoutTrailingSlashes(given));
        } else if (!path.isEmpty() && info.isDir()) {
            const QStringList files = walkDirectory(path, QStringLiteral("*"), true, cancelled);
            QString shown = withoutTrailingSlashes(given);
            if (!shown.endsWith(QLatin1Char('/')))
                shown += QLatin1Char('/');
            const qsizetype below = path.endsWith(QLatin1Char('/')) ? path.size() : path.size() + 1;
            for (const QString& file : files) {
                result.found.append(file);
                result.named.append(shown + file.mid(below));
            }
        } else {
            result.skipped.append({ given, !path.isEmpty() && info.exists() });
        }
    }
    if (isCancelled(cancelled)) {
        result.cancelled = true;
        return result;
    }
    result.added = manager.addFiles(result.found);
    return result;
}

} // namespace FileLoading
