#include "engine/FileIdentity.h"

#include "engine/LocalPath.h"

#include <cerrno>
#include <sys/stat.h>

namespace {

FileIdentity fromStatus(const struct stat& status)
{
    FileIdentity identity;
    identity.known = S_ISREG(status.st_mode);
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    identity.size = static_cast<int64_t>(status.st_size);
    identity.changedSeconds = static_cast<int64_t>(status.st_ctim.tv_sec);
    identity.changedNanoseconds = static_cast<int64_t>(status.st_ctim.tv_nsec);
    return identity;
}

} // namespace

FileIdentity FileIdentity::ofDescriptor(int fd)
{
    struct stat status { };
    return fstat(fd, &status) == 0 ? fromStatus(status) : FileIdentity();
}

FileIdentity FileIdentity::ofPath(const QString& path, int* error)
{
    struct stat status { };
    if (lstat(LocalPath::encode(path).constData(), &status) != 0) {
        if (error)
            *error = errno;
        return {};
    }
    if (error)
        *error = 0;
    return fromStatus(status);
}
