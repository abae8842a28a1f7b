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

#include <atomic>
#include <functional>

class DecryptManager;

namespace FileLoading {

// Answers true once the caller wants the work to stop; an empty one never does.
using CancelCheck = std::function<bool()>;

// How a load chooses among the files it finds in folders.
struct LoadOptions {
    // Take from folders only the files that may be envelopes (mayBeEnvelope());
    // the others are counted in Result::notEnvelopes. Files named as inputs are
    // always taken. Off, every file found is taken (the command-line tool's
    // --all-files).
    bool envelopesOnly = false;
    // The inputs come from a list (a file of names, as tar -T reads): below an
    // output folder each keeps its path as listed (an absolute one without its
    // leading "/", a relative one without leading ".." steps), instead of a file
    // landing in the output folder itself and a folder keeping only its own name.
    bool keepListedPaths = false;
    // An envelope whose plaintext already stands under its plain name (the name
    // before any "(decrypted)" suffix) is passed over and counted in
    // Result::alreadyDecrypted, so that a second run over a decrypted folder
    // writes nothing. Off, such an envelope is decrypted under a "(decrypted)"
    // name beside the plaintext. A source without the envelope extension holds
    // its plaintext's name itself next to it: it is never passed over there.
    bool skipDecrypted = false;
    // Where the plaintexts go (DecryptManager::outputRoot()); empty: next to each
    // source. Only skipDecrypted looks at it.
    QString outputRoot;
    // When set, the files found in a folder (absolute and clean) that it answers
    // false for are left out before anything else looks at them, and counted
    // nowhere: another shard's files (the command's --shard), so that each shard
    // counts only its own share of the files that are no envelopes.
    std::function<bool(const QString& folder, const QString& file)> folderFilter;
    // When set, counts every file found, as it is found (files named directly
    // and every file a folder walk meets, before any choice among them), so
    // that another thread can show how far a long load has come.
    std::atomic<qint64>* found = nullptr;
};

// An input that contributed nothing.
struct Skipped {
    QString input; // as given
    bool exists = false; // it exists, but is neither a file nor a folder
};

// A folder below (or named as) an input that could not be listed: nothing in it
// was found.
struct Unreadable {
    QString folder; // as the inputs name it
    QString reason; // the system's words ("Permission denied")
};

// Files found in one folder input, or a run of files named directly.
struct Group {
    // The folder input they were found in, absolute and clean; empty for files
    // named directly.
    QString folder;
    // The folder as the input names it (trailing slashes dropped), for messages.
    QString shown;
    // Their output base (OutputFolders): the folder input's parent, or empty for
    // files named directly, which land in an output folder itself.
    QString outputBase;
    QStringList files; // absolute and clean
    // For files named directly, beside files: each as its input names it; a null
    // string where that is its path below workingFolder, so that a list of
    // millions of relative names keeps no second copy of each.
    QStringList named;
    // The working folder of the find, with a slash; for files named directly.
    QString workingFolder;

    // How the inputs name the file at index: the input itself, or the folder as
    // given followed by the path below it ("photos/" gives "photos/a.jpg").
    QString nameOf(qsizetype index) const;
    // Keeps the files (and their names) that keep answers true for.
    void keepOnly(const std::function<bool(const QString& file, qsizetype index)>& keep);
};

// What one load found and what the decrypt manager took of it.
struct Result {
    qsizetype inputs = 0; // number of inputs given
    bool cancelled = false; // stopped by the cancel predicate; nothing was added
    QList<Group> groups; // every file found, in input order, repeats included
    QList<Skipped> skipped; // in input order
    QList<Unreadable> unreadable; // folders that could not be listed, in walk order
    int added = 0; // paths the decrypt manager took into its pending list
    int notEnvelopes = 0; // files in folders passed over (LoadOptions::envelopesOnly)
    int alreadyDecrypted = 0; // envelopes passed over (LoadOptions::skipDecrypted)

    // Every file found (absolute and clean), in input order, repeats included.
    QStringList files() const;
    // Beside files(): each as the inputs name it (Group::nameOf()), for messages.
    QStringList names() const;
    // Adds what another find() found after what this one found (a run of files
    // named directly continues the last group when it shares its base).
    void append(const Result& other);
    qsizetype fileCount() const;
    // Calls visit for each file once (a repeat is passed over), in order, with
    // its group and its index there (Group::nameOf() gives its first name).
    void forEachOnce(const std::function<void(const Group& group, qsizetype index)>& visit) const;
    qsizetype duplicates() const { return fileCount() - added; }
    // "No files found." when no input was given; otherwise "%1 files loaded
    // successfully." or, when paths were skipped, "%1 files loaded. %2 duplicates
    // skipped."; files passed over in folders (notEnvelopes) add "%1 files that
    // are not envelopes skipped." (then "successfully" goes), and envelopes passed
    // over for their plaintexts (alreadyDecrypted) "%1 already decrypted
    // skipped."; folders that could not be read add "%1 folders could not be
    // read, first '%2': %3.". Translated in the context "FileLoading".
    QString summary() const;
};

// The files under folder whose names match nameFilter: the folder's own files
// first (no symbolic links, no hidden entries, in the order the file system lists
// them), then, when recursive, those of each subfolder, depth first. A folder
// that cannot be listed contributes nothing and, when unreadable is given, is
// added to it (its path, without a trailing slash) with the system's reason.
// Returns an empty list as soon as cancelled answers true. Names that are not
// UTF-8 are found and walked as any other (LocalPath).
QStringList walkDirectory(const QString& folder, const QString& nameFilter, bool recursive,
    const CancelCheck& cancelled = {}, QList<Unreadable>* unreadable = nullptr);

// The name the source's plaintext gets before any "(decrypted)" suffix: next to
// the source, or below outputRoot when it is not empty (OutputFolders). Empty
// for a source without the envelope extension next to itself, which keeps that
// name for its plaintext.
QString plainName(const QString& source, const QString& outputBase, const QString& outputRoot);

// Whether a file may be an envelope, judged without a passphrase: its name ends
// in ".korvel-env" (in any case), or its last bytes are a trailer record's marker.
bool mayBeEnvelope(const QString& path);

// The path as an absolute one without ".", "..", doubled or trailing slashes,
// relative paths taken from the current folder; an empty path stays empty.
// Symbolic links are kept, except where folding "link/.." by its text would name
// another file than the system reaches: there the path with every link resolved
// is given. A path with ".." that the system cannot follow ("missing/..") is
// only made absolute, so that it still names nothing.
QString absoluteCleanPath(const QString& path);

// Collects the files named by inputs (each made absolute and clean first)
// without handing them to anyone: Result::added stays 0. When cancelled answers
// true it ends at once.
Result find(const QStringList& inputs, const CancelCheck& cancelled = {}, const LoadOptions& options = {});

// find(), then the found files go to the decrypt manager's addFiles(), each
// group with its output base. When cancelled answers true the load ends at once
// and adds nothing.
Result load(const QStringList& inputs, DecryptManager& manager, const CancelCheck& cancelled = {},
    const LoadOptions& options = {});

} // namespace FileLoading
