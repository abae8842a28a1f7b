// Which file a name led to when it was read: its device, inode, size and change
// time. A source is deleted or renamed only while its name still leads to the
// file that was decrypted, never to one put in its place meanwhile.
#pragma once

#include <QString>

#include <cstdint>

struct FileIdentity {
    bool known = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t changedSeconds = 0;
    int64_t changedNanoseconds = 0;

    // The identity of the file open as fd; not known when fstat fails.
    static FileIdentity ofDescriptor(int fd);
    // The identity of what path names (a link itself, not what it leads to); not
    // known, with *error set to the errno, when lstat fails. A name that is no
    // regular file is never known.
    static FileIdentity ofPath(const QString& path, int* error = nullptr);

    // The same file: device and inode (renaming a file changes its change time).
    bool sameFile(const FileIdentity& other) const
    {
        return known && other.known && device == other.device && inode == other.inode;
    }
    // The same file, and unchanged since: size and change time as well.
    bool unchanged(const FileIdentity& other) const
    {
        return sameFile(other) && size == other.size && changedSeconds == other.changedSeconds
            && changedNanoseconds == other.changedNanoseconds;
    }
};
