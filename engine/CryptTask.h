// One envelope file to decrypt: where it is, where its plaintext goes, the
// passphrase, and what the manager did with the source afterwards.
//
// The paths are read from several threads (the dispatch thread, worker threads,
// the window and the background task thread), so they are kept behind a lock
// and handed out as copies; the flags are atomics. The passphrase is not copied
// into the record: it refers to a shared Passphrase (the manager's, for the
// records of a run), which is wiped when the run ends.
#pragma once

#include "engine/Passphrase.h"
#include "engine/Task.h"

#include <QMetaType>
#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>

class CryptTask : public Task {
public:
    CryptTask();
    explicit CryptTask(const QString& source);
    CryptTask(const CryptTask& other);
    ~CryptTask() override;

    QString statusText() const override;
    bool equals(const Task* other) const override;

    // The passphrase as text ("" once its holder has been wiped).
    QString passphrase() const;
    // The holder the record refers to; null when none was set.
    std::shared_ptr<const Passphrase> passphraseHolder() const;
    QString source() const;
    QString loadedSource() const;
    QString destination() const;
    // The system's text for a failure to write the output ("No space left on
    // device"), shown beside the status text; empty when there is none.
    QString reason() const;

    void setSource(const QString& source);
    // A holder of the record's own for this passphrase.
    void setPassphrase(const QString& passphrase);
    // Refers to a shared holder instead of holding a copy.
    void setPassphrase(std::shared_ptr<const Passphrase> holder);
    void setDestination(const QString& destination);
    void setReason(const QString& reason);

    // "korvel-env", compared case-insensitively with a file's suffix.
    static QString envelopeExtension();

    // The plaintext name for a source before any "(decrypted)" tag: an envelope
    // loses its extension; any other file keeps its own name (so it is always taken).
    static QString untaggedDestination(const QString& source);
    // The n-th name (n >= 1) of the "(decrypted)" sequence for an untagged
    // destination: report.pdf gives report(decrypted).pdf, report(decrypted 2).pdf,
    // report(decrypted 3).pdf, ...; a name that already holds "(decrypted)" starts
    // at "(decrypted 2)" in every place it occurs.
    static QString taggedDestination(const QString& untagged, int n);
    // Whether a file, folder or link (even a dangling one) holds that name.
    static bool nameTaken(const QString& path);

    // The "(decrypted)" naming was applied to the destination.
    std::atomic<bool> destinationTagged { false };
    // The source lacks the envelope extension and gets it appended after success.
    std::atomic<bool> renameSourceOnSuccess { false };
    // The manager deleted the envelope source after the file was decrypted.
    std::atomic<bool> sourceDeleted { false };
    // The finished output's data and name were flushed to disk (by the worker
    // before it reported completion, or by the manager before a deletion).
    std::atomic<bool> outputDurable { false };

private:
    CryptTask& operator=(const CryptTask&) = delete;

    mutable QMutex m_lock;
    std::shared_ptr<const Passphrase> m_passphrase;
    QString m_source;
    QString m_loadedSource;
    QString m_destination;
    QString m_reason;
};

Q_DECLARE_METATYPE(CryptTask)
// Carried by queued notifications to the window.
Q_DECLARE_METATYPE(const CryptTask*)
