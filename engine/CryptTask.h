// One envelope file to decrypt: where it is, where its plaintext goes, the
// passphrase, and what the manager did with the source afterwards.
//
// The paths and the passphrase are read from several threads (the dispatch
// thread, worker threads, the window and the background task thread), so they
// are kept behind a lock and handed out as copies; the flags are atomics.
#pragma once

#include "engine/Task.h"

#include <QMetaType>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>

class CryptTask : public Task {
public:
    CryptTask();
    explicit CryptTask(const QString& source);
    CryptTask(const CryptTask& other);
    ~CryptTask() override;

    QString statusText() const override;
    bool equals(const Task* other) const override;

    // The first of the candidate passphrases (empty when there is none).
    QString passphrase() const;
    // The candidate passphrases, tried in this order when the envelope is opened.
    QStringList passphrases() const;
    QString source() const;
    QString loadedSource() const;
    QString destination() const;
    // Where the plaintext keeps its layout below an output folder (OutputFolders);
    // empty for a file that lands in the output folder itself.
    QString outputBase() const;

    void setSource(const QString& source);
    // One candidate only.
    void setPassphrase(const QString& passphrase);
    void setPassphrases(const QStringList& passphrases);
    void setDestination(const QString& destination);
    void setOutputBase(const QString& outputBase);

    // "korvel-env", compared case-insensitively with a file's suffix.
    static QString envelopeExtension();

    // The plaintext name for a source before any "(decrypted)" tag: an envelope
    // loses its extension; any other file keeps its own name (so it is always taken).
    static QString untaggedDestination(const QString& source);
    // The same name in another folder.
    static QString untaggedDestination(const QString& source, const QString& folder);
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
    // Decrypted to its end to test it, with no output written and the source left
    // alone; the destination stays empty.
    std::atomic<bool> verifyOnly { false };
    // Index of the candidate passphrase that opened the envelope; -1 while none has.
    std::atomic<int> passphraseIndex { -1 };

private:
    CryptTask& operator=(const CryptTask&) = delete;

    mutable QMutex m_lock;
    QStringList m_passphrases;
    QString m_source;
    QString m_loadedSource;
    QString m_destination;
    QString m_outputBase;
};

Q_DECLARE_METATYPE(CryptTask)
// Carried by queued notifications to the window.
Q_DECLARE_METATYPE(const CryptTask*)
