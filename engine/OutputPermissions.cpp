#include "engine/OutputPermissions.h"

#include "engine/LocalPath.h"

#include <acl/libacl.h>
#include <sys/acl.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OutputPermissions::follow(int fd, int from, mode_t mode)
{
    struct stat source { };
    struct stat target { };
    if (fstat(from, &source) != 0 || fstat(fd, &target) != 0)
        return errno;
    // A setgid folder, or the process's own group, would otherwise decide.
    bool restricted = target.st_gid != source.st_gid && fchown(fd, static_cast<uid_t>(-1), source.st_gid) != 0;
    if (acl_t acl = acl_get_fd(from)) {
        mode_t equivalent = 0;
        // Only an ACL with more than the owner, group and other entries needs copying.
        if (acl_equiv_mode(acl, &equivalent) == 1) {
            if (acl_set_fd(fd, acl) != 0) {
                restricted = true;
            } else if (fstat(fd, &target) == 0) {
                // The ACL's bits, but never an execute bit, nor one the umask took.
                if (fchmod(fd, target.st_mode & mode & 0666) != 0)
                    restricted = true;
            }
        }
        acl_free(acl);
    }
    if (restricted && fchmod(fd, mode & 0700) != 0)
        return errno;
    return 0;
}

int OutputPermissions::followFolder(const QString& path, const QString& from, mode_t mode)
{
    const int folder = open(LocalPath::encode(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return errno;
    const int source = open(LocalPath::encode(from).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = source < 0 ? errno : follow(folder, source, mode);
    if (source < 0 && fchmod(folder, mode & 0700) != 0)
        error = errno;
    if (source >= 0)
        close(source);
    close(folder);
    return error;
}
