#include "engine/SafeFile.h"
#include "kv/kv_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

int closeKeepingError(int fd, int error)
{
    close(fd);
    return error;
}

int syncPath(const QByteArray& path, int flags)
{
    int fd;
    do
        fd = open(path.constData(), flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    if (fsync(fd) != 0 && errno != EINVAL) // EINVAL: the file system has nothing to flush
        return closeKeepingError(fd, errno);
    return closeKeepingError(fd, 0);
}

} // namespace

int SafeFile::createUnnamed(const QString& folder)
{
    int fd;
    do
        fd = open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int SafeFile::linkNoReplace(int fd, const QString& to)
{
    // linkat() on the descriptor's /proc entry links the open file itself; unlike
    // AT_EMPTY_PATH it needs no privilege. Like link(), it never replaces a name.
    const QByteArray self = QByteArray("/proc/self/fd/") + QByteArray::number(fd);
    if (linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(to).constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    return errno;
}

int SafeFile::createTemporary(const QString& folder, QString* path)
{
    auto* random = QRandomGenerator::global();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate
            = folder + QStringLiteral("/.korvel-%1.part").arg(random->generate64(), 16, 16, QLatin1Char('0'));
        const int fd = open(
            QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *path = candidate;
            return fd;
        }
        if (errno != EEXIST && errno != EINTR)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

int SafeFile::renameNoReplace(const QString& from, const QString& to)
{
    return kv_file_rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData());
}

int SafeFile::syncToDisk(const QString& path)
{
    if (const int error = syncPath(QFile::encodeName(path), O_RDONLY | O_NOFOLLOW))
        return error;
    return syncPath(QFile::encodeName(QFileInfo(path).absolutePath()), O_RDONLY | O_DIRECTORY);
}
