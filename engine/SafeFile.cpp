#include "engine/SafeFile.h"

#include "engine/LocalPath.h"
#include "kv/kv_file.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <openssl/crypto.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int closeKeepingError(int fd, int error)
{
    close(fd);
    return error;
}

// fsync and fdatasync report EINVAL where the file system has nothing to flush.
bool flushed(int result)
{
    return result == 0 || errno == EINVAL;
}

// fsync of what path names, opened with flags: 0 or errno.
int syncPath(const QByteArray& path, int flags)
{
    int fd;
    do
        fd = open(path.constData(), flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    if (!flushed(fsync(fd)))
        return closeKeepingError(fd, errno);
    return closeKeepingError(fd, 0);
}

// Copies size bytes from the start of from to to, in the kernel where it can;
// otherwise through a buffer that is wiped afterwards (the data is plaintext).
int copyContents(int from, int to, off_t size)
{
    off_t offset = 0;
    while (offset < size) {
        const ssize_t n = copy_file_range(from, &offset, to, nullptr, static_cast<size_t>(size - offset), 0);
        if (n > 0)
            continue;
        if (n == 0)
            return EIO; // the file shrank under us
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return errno;
        break;
    }
    constexpr size_t kBufferSize = 65536;
    auto buffer = std::make_unique<char[]>(kBufferSize);
    int error = 0;
    while (error == 0 && offset < size) {
        const ssize_t n = pread(from, buffer.get(), kBufferSize, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        error = SafeFile::writeAll(to, buffer.get(), static_cast<size_t>(n));
        offset += n;
    }
    OPENSSL_cleanse(buffer.get(), kBufferSize);
    return error;
}

} // namespace

int SafeFile::createUnnamed(const QString& folder, mode_t mode)
{
    int fd;
    do
        fd = open(LocalPath::encode(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

int SafeFile::linkNoReplace(int fd, const QString& to)
{
    // linkat() on the descriptor's /proc entry links the open file itself; unlike
    // AT_EMPTY_PATH it needs no privilege. Like link(), it never replaces a name.
    const QByteArray self = QByteArray("/proc/self/fd/") + QByteArray::number(fd);
    if (linkat(AT_FDCWD, self.constData(), AT_FDCWD, LocalPath::encode(to).constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    return errno;
}

bool SafeFile::linkingUnavailable(int error, const QString& to)
{
    switch (error) {
    case ENOENT: {
        // The destination's folder missing says the same; with the folder there,
        // what is missing is the descriptor's /proc entry.
        struct stat folder { };
        return stat(LocalPath::encode(QFileInfo(to).absolutePath()).constData(), &folder) == 0
            && S_ISDIR(folder.st_mode);
    }
    case EPERM:
    case EOPNOTSUPP:
    case ENOSYS:
        return true;
    default:
        return false;
    }
}

int SafeFile::removeStaleTemporaries(const QString& folder)
{
    constexpr time_t kQuietSeconds = 60;
    const QByteArray encoded = LocalPath::encode(folder);
    DIR* dir = opendir(encoded.constData());
    if (!dir)
        return 0;
    int removed = 0;
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        // ".korvel-" + 16 hex digits + ".part" or ".gone"
        if (name.size() != 29 || !name.startsWith(".korvel-") || !(name.endsWith(".part") || name.endsWith(".gone")))
            continue;
        bool hex = true;
        for (qsizetype i = 8; i < 24; ++i)
            hex = hex && std::isxdigit(static_cast<unsigned char>(name.at(i)));
        if (!hex)
            continue;
        const QByteArray path = encoded + '/' + name;
        struct stat named { };
        if (lstat(path.constData(), &named) != 0 || !S_ISREG(named.st_mode) || now - named.st_mtime < kQuietSeconds)
            continue;
        const int fd = open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat opened { };
        // Unlocked, and still the file of that name: nobody writes it any more.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev
            && opened.st_ino == named.st_ino && unlink(path.constData()) == 0)
            ++removed;
        close(fd);
    }
    closedir(dir);
    return removed;
}

int SafeFile::createTemporary(const QString& folder, QString* path, mode_t mode)
{
    auto* random = QRandomGenerator::global();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate
            = folder + QStringLiteral("/.korvel-%1.part").arg(random->generate64(), 16, 16, QLatin1Char('0'));
        const int fd = open(
            LocalPath::encode(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            // Held until the descriptor closes: a later run leaves it alone meanwhile.
            flock(fd, LOCK_EX | LOCK_NB);
            *path = candidate;
            return fd;
        }
        if (errno != EEXIST && errno != EINTR)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

int SafeFile::copyToTemporary(int fd, const QString& folder, mode_t mode, QString* path, int* held)
{
    struct stat status { };
    if (fstat(fd, &status) != 0)
        return errno;
    QString temporary;
    const int copy = createTemporary(folder, &temporary, mode);
    if (copy < 0)
        return errno;
    int error = copyContents(fd, copy, status.st_size);
    if (error == 0 && !flushed(fdatasync(copy)))
        error = errno;
    if (error != 0) {
        unlink(LocalPath::encode(temporary).constData());
        close(copy);
        return error;
    }
    *path = temporary;
    if (held)
        *held = copy;
    else
        close(copy);
    return 0;
}

int SafeFile::renameNoReplace(const QString& from, const QString& to)
{
    return kv_file_rename(LocalPath::encode(from).constData(), LocalPath::encode(to).constData());
}

int SafeFile::syncToDisk(const QString& path)
{
    if (const int error = syncPath(LocalPath::encode(path), O_RDONLY | O_NOFOLLOW))
        return error;
    return syncFolder(QFileInfo(path).absolutePath());
}

int SafeFile::writeAll(int fd, const void* data, size_t length)
{
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

int SafeFile::syncData(int fd)
{
    return flushed(fdatasync(fd)) ? 0 : errno;
}

int SafeFile::syncFolder(const QString& folder)
{
    return syncPath(LocalPath::encode(folder), O_RDONLY | O_DIRECTORY);
}
