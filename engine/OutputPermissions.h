// A plaintext, and a folder made for plaintexts, is never readable by anyone
// who cannot read what it stands for: it gets the group of its envelope (or
// source folder) and that file's access ACL. Where the process may not give it
// that group, or cannot copy the ACL, the group and others get no bits at all.
#pragma once

#include <QString>

#include <sys/types.h>

namespace OutputPermissions {
// The file open as fd (created with the permission bits mode, less the
// umask) follows the file open as from. 0, or the errno of the fchmod that
// should have taken the group's and others' bits away.
int follow(int fd, int from, mode_t mode);
// The same for a folder just made at path, following the folder at from.
int followFolder(const QString& path, const QString& from, mode_t mode);
} // namespace OutputPermissions
