#include "engine/OutputFolders.h"

#include "engine/LocalPath.h"
#include "engine/OutputPermissions.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <sys/stat.h>

namespace {

QString absoluteClean(const QString& path)
{
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : LocalPath::currentFolder() + QLatin1Char('/') + path);
}

// mkdir with the given mode: whether it made the folder. An existing entry is
// left alone; any other failure is kept in *error (the first one only), the
// cause the plaintext cannot be written there. errno stays mkdir's.
bool makeFolder(const QString& path, mode_t mode, int* error)
{
    if (::mkdir(LocalPath::encode(path).constData(), mode) == 0)
        return true;
    if (errno != EEXIST && error && *error == 0)
        *error = errno;
    return false;
}

} // namespace

QString OutputFolders::baseOfFolder(const QString& folder)
{
    const QString absolute = absoluteClean(folder);
    return absolute == QStringLiteral("/") ? absolute : QFileInfo(absolute).absolutePath();
}

QString OutputFolders::baseOfListed(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    if (QDir::isAbsolutePath(clean))
        return QStringLiteral("/");
    QString base = LocalPath::currentFolder();
    for (qsizetype at = 0; clean.mid(at) == QStringLiteral("..") || clean.mid(at).startsWith(QStringLiteral("../"));
         at += 3)
        base += QStringLiteral("/..");
    return QDir::cleanPath(base);
}

QString OutputFolders::relativePath(const QString& source, const QString& outputBase)
{
    const QString absolute = absoluteClean(source);
    const QString name = QFileInfo(absolute).fileName();
    if (outputBase.isEmpty())
        return name;
    const QString base = QDir::cleanPath(outputBase);
    const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
    if (!absolute.startsWith(prefix) || absolute.size() == prefix.size())
        return name;
    return absolute.mid(prefix.size());
}

QString OutputFolders::folderOf(const QString& root, const QString& source, const QString& outputBase)
{
    QString folder = absoluteClean(root);
    const QStringList parts = relativePath(source, outputBase).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i + 1 < parts.size(); ++i)
        folder += QLatin1Char('/') + parts.at(i);
    return folder;
}

QString OutputFolders::prepare(
    const QString& root, const QString& source, const QString& outputBase, QSet<QString>* known, int* error)
{
    const QString top = absoluteClean(root);
    const auto isKnown = [known](const QString& folder) { return known && known->contains(folder); };
    // Made now or there already (an entry that is no folder shows when writing into it).
    const auto remember = [known](const QString& folder, bool made) {
        if (known && (made || errno == EEXIST))
            known->insert(folder);
    };
    // The output folder itself (and what is missing above it) holds plaintexts
    // of many sources: the owner's alone.
    if (!isKnown(top)) {
        struct stat status { };
        if (!LocalPath::status(top, &status) || !S_ISDIR(status.st_mode)) {
            QString partial;
            for (const QString& part : top.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
                partial += QLatin1Char('/') + part;
                // Only what is missing is made.
                if (struct stat above {}; !LocalPath::status(partial, &above))
                    makeFolder(partial, 0700, error);
            }
        }
        if (known && LocalPath::status(top, &status) && S_ISDIR(status.st_mode))
            known->insert(top);
    }

    const QStringList parts = relativePath(source, outputBase).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // The source folders that the output folders stand for, innermost last: the
    // relative path's folders end the source's own folder chain.
    QStringList sourceFolders;
    QString sourceFolder = QFileInfo(absoluteClean(source)).absolutePath();
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        sourceFolders.prepend(sourceFolder);
        sourceFolder = QFileInfo(sourceFolder).absolutePath();
    }
    QString folder = top;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        folder += QLatin1Char('/') + parts.at(i);
        if (isKnown(folder))
            continue;
        struct stat status { };
        const mode_t granted
            = ::stat(LocalPath::encode(sourceFolders.at(i)).constData(), &status) == 0 ? (status.st_mode & 077) : 0;
        // A folder made here follows its source folder's group and access ACL too.
        const bool made = makeFolder(folder, 0700 | granted, error);
        remember(folder, made);
        if (made)
            OutputPermissions::followFolder(folder, sourceFolders.at(i), 0700 | granted);
    }
    return folder;
}
