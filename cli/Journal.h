// korvelcrypt-cli --journal: a file that records every source whose task
// finished, so that a rerun after a kill or an interrupt skips them.
//
// The file begins with a header line that names it and its kind (decryption or
// test), so that a journal is never mistaken for another file (and no other
// file is ever appended to); then one record per finished source: its absolute
// path, ended by a NUL byte. A record is written as soon as its task is
// reported, so that a killed process loses none that was reported; the records and the plaintexts they stand for are
// flushed to disk in batches (every few hundred records and at least once a second while records come in), plaintexts
// first. A record cut short by a crash is dropped when the journal is opened again.
//
// In memory the journal keeps a 128-bit digest of each recorded path, not the
// path itself, so that the journal of a million files costs little.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>

#include <sys/types.h>

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // What the recorded sources went through: a decryption, or a test that wrote
    // nothing. A journal keeps its kind; a run of the other kind refuses it.
    enum class Kind { Decrypt, Test };

    // Creates the file (for the owner alone) or opens an existing journal of the
    // kind and reads its records. False with *error set when it cannot be read or
    // written, is not a journal or is one of the other kind.
    bool open(const QString& path, Kind kind, QString* error);

    // Whether the source (as named; compared by absolute path) was recorded.
    bool contains(const QString& source) const;
    qsizetype size() const { return m_digests.size(); }

    // Records a finished source whose plaintext (empty for a test) lies at
    // destination. False with *error set when the record cannot be written.
    bool record(const QString& source, const QString& destination, QString* error);
    // Flushes the plaintexts recorded since the last flush, then the journal.
    // False with *error set when the journal cannot be flushed.
    bool sync(QString* error);
    // Records written since the last flush.
    bool dirty() const { return m_unsynced > 0; }

    // The key a source is recorded under: its absolute, cleaned path.
    static QString key(const QString& source);

private:
    struct Digest {
        quint64 high = 0;
        quint64 low = 0;
        bool operator==(const Digest& other) const { return high == other.high && low == other.low; }
    };
    friend size_t qHash(const Digest& digest, size_t seed) { return qHashMulti(seed, digest.high, digest.low); }
    static Digest digestOf(const QByteArray& key);

    int m_fd = -1;
    QString m_path;
    QSet<Digest> m_digests;
    // A folder on each file system that holds plaintexts recorded since the last flush.
    QHash<dev_t, QString> m_unsyncedFolders;
    int m_unsynced = 0;
    QElapsedTimer m_sinceSync;
};
