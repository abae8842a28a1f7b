// korvelcrypt-cli --journal: a file that records every source whose task
// finished, so that a rerun after a kill or an interrupt skips them.
//
// The file begins with a header line that names it and its kind (decryption or
// test), so that a journal is never mistaken for another file (and no other
// file is ever appended to); then one record per finished source, four fields
// each ended by a NUL byte: its resolved path (Journal::key()), the path of its
// plaintext (empty in a test), its relative path (relativeKey()) and its
// fingerprint(). A journal of an earlier version holds the resolved paths alone
// or with the plaintexts, and goes on so.
//
// A source is recorded when its resolved path is, or when its relative path is
// recorded with the same fingerprint: a tree moved, or a medium mounted under
// another path, resumes where it stopped, and a different file that happens to
// share a relative path is never taken for a recorded one. A record is written as soon
// as its task is reported, so that a killed process loses none that was
// reported; the records and the plaintexts they stand for are flushed to disk in
// batches (every few hundred records and at least once a second while records
// come in), plaintexts first. When sources are deleted, a source's record is
// written and flushed before it goes (recordDurably()), after its plaintext is
// on disk. A record cut short by a crash is dropped when the journal is opened
// again.
//
// One process writes a journal at a time: it is locked (flock) while open, and
// a second process is refused, or waits for the lock when it asks to.
//
// In memory the journal keeps a 128-bit digest of each recorded path, not the
// path itself, so that the journal of a million files costs little.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

#include <sys/types.h>

class Journal {
public:
    Journal() = default;
    // Safe to use from two threads: the main thread and the manager's source
    // remover (recordDurably()).
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // What the recorded sources went through: a decryption, or a test that wrote
    // nothing. A journal keeps its kind; a run of the other kind refuses it.
    enum class Kind { Decrypt, Test };

    // Creates the file (for the owner alone) or opens an existing journal of the
    // kind and reads its records. False with *error set when it cannot be read or
    // written, is not a journal or is one of the other kind, or another process
    // holds it (*inUse is then set). With waiting, calls waiting() once if another
    // process holds it, then waits until that process lets it go.
    bool open(const QString& path, Kind kind, QString* error, bool* inUse = nullptr,
        const std::function<void()>& waiting = {});

    // Whether the source (as named, with its output base, CryptTask::outputBase())
    // was recorded, at this path or under its relative path with its bytes.
    bool contains(const QString& source, const QString& outputBase) const;
    qsizetype size() const;

    // Records a finished source whose plaintext (empty for a test) lies at
    // destination. False with *error set when the record cannot be written.
    bool record(const QString& source, const QString& outputBase, const QString& destination, QString* error);
    // The same, flushed to disk before it returns (the plaintext must be on disk
    // already); a source recorded before is not recorded again.
    bool recordDurably(const QString& source, const QString& outputBase, const QString& destination, QString* error);
    // The plaintexts recorded for the given sources (as named), read back from
    // the file: source -> plaintext path, for those recorded with one.
    QHash<QString, QString> destinationsOf(const QStringList& sources) const;
    // Flushes the plaintexts recorded since the last flush, then the journal.
    // False with *error set when the journal cannot be flushed.
    bool sync(QString* error);
    // Records written since the last flush.
    bool dirty() const;

    // The key a source is recorded under: its absolute path with its folder's
    // symbolic links resolved (the file's own name is kept), so that a folder
    // reached through a link is the same folder; the absolute, cleaned path when
    // the folder cannot be resolved.
    static QString key(const QString& source);
    // The key that stays when the tree moves: the source's path below its output
    // base (SourceSelection::shardKey(), where it lands below -o).
    static QString relativeKey(const QString& source, const QString& outputBase);
    // What tells one source from another with the same relative path: its size
    // and the SHA-256 of its first and last 4 KiB (an envelope's key records and
    // salts lie there); empty when it cannot be read.
    static QByteArray fingerprint(const QString& source);

private:
    // Reads the records after the header of the open, locked journal fd into the
    // digests, cutting off a record a crash left unfinished; false with *error set.
    bool readRecords(int fd, qint64 headerSize, QString* error);
    // Takes a record's fields into the digests.
    void remember(const QByteArray* field);
    struct Digest {
        quint64 high = 0;
        quint64 low = 0;
        bool operator==(const Digest& other) const { return high == other.high && low == other.low; }
    };
    friend size_t qHash(const Digest& digest, size_t seed) { return qHashMulti(seed, digest.high, digest.low); }
    static Digest digestOf(const QByteArray& key);
    // onDisk: the plaintext is on disk already, so sync() need not flush it.
    bool recordLocked(
        const QString& source, const QString& outputBase, const QString& destination, bool onDisk, QString* error);
    bool syncLocked(QString* error);

    mutable QMutex m_lock;
    int m_fd = -1;
    int m_fields = 0; // fields a record holds: 1, 2 (with plaintexts) or 4
    qint64 m_headerSize = 0;
    QString m_path;
    QSet<Digest> m_digests; // of key()
    QSet<Digest> m_relative; // of relativeKey()
    QSet<Digest> m_identities; // of relativeKey(), NUL, fingerprint()
    // A folder on each file system that holds plaintexts recorded since the last flush.
    QHash<dev_t, QString> m_unsyncedFolders;
    int m_unsynced = 0;
    QElapsedTimer m_sinceSync;
};
