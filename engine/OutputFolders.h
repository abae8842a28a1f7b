// Where a plaintext goes when the decrypt manager writes below an output folder
// instead of next to each source.
//
// A loaded file carries an output base: the absolute folder whose layout is kept
// below the output folder (the parent of a folder that was loaded, so that the
// folder's own name is kept, as cp -r does), or nothing for a file that lands in
// the output folder itself.
#pragma once

#include <QSet>
#include <QString>

namespace OutputFolders {
// The output base of the files found in the folder `folder` (as given): its
// absolute, cleaned parent ("/" for the root folder).
QString baseOfFolder(const QString& folder);

// The output base of a path read from a list, which keeps the path as listed:
// "/" for an absolute path; for a relative one the working folder, or, when
// the path begins with ".." steps, the folder those steps lead to (so that
// the path keeps what follows them).
QString baseOfListed(const QString& path);

// The source's path below the output folder: its absolute, cleaned path
// relative to outputBase, or just its file name when the base is empty or
// does not hold it. Never absolute, never with a ".." component.
QString relativePath(const QString& source, const QString& outputBase);

// The folder below root that the source's plaintext goes to, as prepare()
// names it, made or not.
QString folderOf(const QString& root, const QString& source, const QString& outputBase);

// The folder below root that the source's plaintext goes to, created with
// every missing folder on the way. root itself and the folders above it are
// made for the owner alone (0700); a folder that stands for a source folder
// gets the owner's full rights and, for the group and others, no more than
// the source folder grants them (the umask may take away more). Folders that
// exist are left as they are. Returns the folder's path whether or not it
// could be made (writing into it then fails and says so); the first folder
// that could not be made leaves its errno in *error when error is given. With
// `known`, the folders in it are taken as there and not made again, and every
// folder made or found on the way is added to it: many files in one folder
// cost one mkdir.
QString prepare(const QString& root, const QString& source, const QString& outputBase, QSet<QString>* known = nullptr,
    int* error = nullptr);
} // namespace OutputFolders
