// Loading files and folders into the decrypt manager: the one set of rules that
// the window's file-load task and the command-line tool both follow.
//
// Inputs are taken in the given order. A file is taken as it is, whatever its
// name or extension (which files are envelopes is decided when a worker opens
// them); a folder is searched recursively; an input that does not exist, or is
// neither file nor folder, contributes nothing. Every path is made absolute and
// clean before it reaches the decrypt manager, which skips paths already pending:
// one file named in several ways ("set5/", "/home/me/set5", "set5") is one task.
// Everything here runs on the calling thread and checks the caller's cancel
// predicate before every entry it examines.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class DecryptManager;

namespace FileLoading {

// Answers true once the caller wants the work to stop; an empty one never does.
using CancelCheck = std::function<bool()>;

// An input that contributed nothing.
struct Skipped {
    QString input; // as given
    bool exists = false; // it exists, but is neither a file nor a folder
};

// What one load found and what the decrypt manager took of it.
struct Result {
    qsizetype inputs = 0; // number of inputs given
    bool cancelled = false; // stopped by the cancel predicate; nothing was added
    QStringList found; // every file found (absolute and clean), in input order, repeats included
    // Beside found: each file as the inputs name it (the input itself, or the
    // folder as given followed by the path below it), for messages.
    QStringList named;
    QList<Skipped> skipped; // in input order
    int added = 0; // paths the decrypt manager took into its pending list

    qsizetype duplicates() const { return found.size() - added; }
    // "No files found." when no input was given; otherwise "%1 files loaded
    // successfully." or, when paths were skipped, "%1 files loaded. %2 duplicates
    // skipped.".
    QString summary() const;
};

// The files under folder whose names match nameFilter: the folder's own files
// first (no symbolic links, no hidden entries, in the order the file system lists
// them), then, when recursive, those of each subfolder, depth first. A folder
// that cannot be listed contributes nothing. Returns an empty list as soon as
// cancelled answers true.
QStringList walkDirectory(
    const QString& folder, const QString& nameFilter, bool recursive, const CancelCheck& cancelled = {});

// The path as an absolute one without ".", "..", doubled or trailing slashes,
// relative paths taken from the current folder; an empty path stays empty.
// Symbolic links are kept, except where folding "link/.." by its text would name
// another file than the system reaches: there the path with every link resolved
// is given. A path with ".." that the system cannot follow ("missing/..") is
// only made absolute, so that it still names nothing.
QString absoluteCleanPath(const QString& path);

// Collects the files named by inputs (each made absolute and clean first) and
// hands them to the decrypt manager's addFiles(). When cancelled answers true the
// load ends at once and adds nothing.
Result load(const QStringList& inputs, DecryptManager& manager, const CancelCheck& cancelled = {});

} // namespace FileLoading
