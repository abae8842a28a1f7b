// File operations that never replace, truncate or write through an existing
// file or link, and that make data durable before anything depends on it.
#pragma once

#include <QString>

#include <sys/types.h>

namespace SafeFile {
// Creates a new, empty file in folder that has no name yet (O_TMPFILE, open
// for reading and writing, permission bits mode less the umask): if the
// process dies it vanishes with its descriptor. Returns the descriptor, or -1
// with errno set (also where the file system does not offer unnamed files).
int createUnnamed(const QString& folder, mode_t mode = 0666);

// Gives the unnamed file open as fd the name `to` unless a file, folder or
// link holds that name: 0, EEXIST when the name is taken, or another errno.
// It links the descriptor's /proc/self/fd entry, so it fails (ENOENT) where
// /proc is not mounted; copyToTemporary() is the way out then.
int linkNoReplace(int fd, const QString& to);
// Whether linkNoReplace(fd, to) failed with error because linking cannot
// work here (no /proc, or a file system without links), not because of the
// name `to` (too long, its folder missing, no room, ...), which is the task's
// own failure.
bool linkingUnavailable(int error, const QString& to);

// Creates a new, empty file with a unique hidden name in folder
// (".korvel-<16 hex digits>.part"; exclusive creation, permission bits mode
// less the umask), locked (flock) for as long as the descriptor is open, so
// that removeStaleTemporaries() knows a living writer holds it. Returns the
// descriptor and fills *path, or -1 with errno set.
int createTemporary(const QString& folder, QString* path, mode_t mode = 0666);

// Copies the whole file open as fd (which must be readable) into a new hidden
// temporary in folder (mode as for createTemporary) and flushes the copy's
// data to disk. Returns 0 and fills *path, or an errno with nothing left behind.
// With held, the copy's descriptor stays open (and the copy locked) for the
// caller, who closes it once the copy has its final name.
int copyToTemporary(int fd, const QString& folder, mode_t mode, QString* path, int* held = nullptr);

// Removes the hidden temporaries in folder that no living writer holds: the
// ".korvel-*.part" files a killed run left (createTemporary()) and the
// ".korvel-*.gone" sources it had moved aside to delete (SourceRemover), each
// once nobody holds its lock and it has not been written to for a minute.
// Returns how many went.
int removeStaleTemporaries(const QString& folder);

// Gives `from` the name `to` unless a file, folder or link holds that name:
// 0, EEXIST when the name is taken, or another errno. The runtime's
// kv_file_rename does it (renameat2(RENAME_NOREPLACE), or link()+unlink()
// where the file system does not offer it; see kv/kv_file.h).
int renameNoReplace(const QString& from, const QString& to);

// Flushes a file's data and its folder's entry to disk (fsync of both): 0 or errno.
int syncToDisk(const QString& path);

// Flushes the data of the file open as fd to disk (fdatasync): 0 or errno.
int syncData(int fd);
// Writes all length bytes, again after an interrupted or short write: 0, or
// the errno of the write that failed.
int writeAll(int fd, const void* data, size_t length);

// Flushes a folder's entries (names just linked or renamed into it) to disk
// (fsync of the folder): 0 or errno.
int syncFolder(const QString& folder);
} // namespace SafeFile
