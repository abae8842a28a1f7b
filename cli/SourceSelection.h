// What one korvelcrypt-cli run works on: the paths named on the command line and
// those a list names (--files-from), found by the engine's loading rules, less
// the sources of other shards (--shard) and those a journal records (--journal).
//
// One rule names every source for the layout below -o, --exclude, --shard and
// the journal: its relative path, the path below its argument's root. A folder
// named on the command line is walked and its root is its parent, so the
// folder's own name leads ("archive/sub/a.korvel-env", as cp -r keeps it); a
// listed path's root is the working folder, or --root; a file named on the
// command line is its own name. Walks and lists pass over hidden entries alike
// (a name beginning with "." anywhere below the root).
#pragma once

#include "engine/FileLoading.h"

#include <QString>
#include <QStringList>

#include <functional>

class Journal;

namespace SourceSelection {
struct Selection;

struct Settings {
    bool allFiles = false; // every file found in folders, not only envelopes
    bool skipDecrypted = false; // pass over envelopes whose plaintext stands already
    QString outputRoot; // where plaintexts go (for skipDecrypted); empty: beside each source
    QString filesFrom; // a list of further paths; "-" is standard input
    // The folder listed paths are taken below (--root, absolute and clean);
    // empty: the working folder. A listed path outside it is refused.
    QString root;
    bool nullSeparated = false; // the list separates names by NUL, not by lines
    QStringList excludes; // wildcard patterns (--exclude) for relative paths or names
    int shardIndex = 0; // 1..shardCount, 0 for every source
    int shardCount = 0;
    const Journal* journal = nullptr; // its sources are left out
    // The journal's sources that are still there are kept in
    // Selection::recorded (sources to delete, --delete-encrypted).
    bool keepRecorded = false;
    // When set, told of every file passed over, with why (--verbose).
    std::function<void(const QString& name, const QString& why)> passedOver;
    // When set, what a list names is handed on piece by piece as it is read (the
    // selection holds each piece alone, to be taken out); false stops the reading.
    std::function<bool(Selection&)> onPiece;
    // When set, called instead of a read of the list that would wait (a pipe whose
    // writer pauses); returns once the descriptor is readable, or false to stop.
    std::function<bool(int fd)> whileWaiting;
};

struct Selection {
    FileLoading::Result found; // what is left to work on
    int journaled = 0; // sources left out because the journal records them
    QStringList recorded; // those of them, when Settings::keepRecorded
};

// Finds and filters. The files a list names are taken as those found in
// folders: only envelopes unless allFiles, the others counted as skipped.
// False with *error set when the list cannot be read or names a path outside
// its root.
bool select(const QStringList& paths, const Settings& settings, Selection* selection, QString* error);

// The names in a list: one a line (a "\r" before the newline goes too) or, with
// nullSeparated, ended by NUL bytes as find -print0 writes them; empty names
// are passed over. "-" reads standard input.
// They are handed to batch a few thousand at a time (with whileWaiting, also
// whenever the writer of a pipe pauses), in their order, each decoded by LocalPath, so that a
// name that is not UTF-8 still names its file.
bool readList(const QString& file, bool nullSeparated, const std::function<void(QStringList&)>& batch, QString* error,
    const std::function<bool(int fd)>& whileWaiting = {});

// The source's relative path (see above), the same on every machine that sees
// the same tree wherever it is mounted: its path below the group's output base,
// which is where it lands below -o.
QString shardKey(const FileLoading::Group& group, qsizetype index);
// Whether an --exclude pattern matches the relative path: a pattern that begins
// with "/" the whole path, any other the path or any tail of it that begins
// after a "/" (so also the name alone), as rsync matches. fnmatch() over the
// bytes, "*" crossing "/" too.
bool excluded(const QString& key, const QStringList& patterns);
// Whether a relative path has a hidden part (one beginning with ".").
bool hidden(const QString& key);
// The shard (1 to count) a key falls in: the first eight bytes of the key's
// SHA-256 (over its UTF-8 bytes), read as a big-endian number, modulo count, plus 1.
int shardOf(const QString& key, int count);
} // namespace SourceSelection
