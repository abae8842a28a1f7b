// One envelope file to decrypt: where it is, where its plaintext goes, the
// passphrase, and what the manager did with the source afterwards.
//
// The paths are read from several threads (the dispatch thread, worker threads,
// the window and the background task thread), so they are kept behind a lock
// and handed out as copies; the flags are atomics. The passphrases are not
// copied into the record: it refers to shared Passphrase holders (the
// manager's, for the records of a run), which are wiped when the run ends.
#pragma once

#include "engine/FileIdentity.h"
#include "engine/Passphrase.h"
#include "engine/Task.h"

#include <QMetaType>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

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

    // The first candidate passphrase as text ("" when there is none, or once its
    // holder has been wiped).
    QString passphrase() const;
    // The holder of the first candidate; null when none was set.
    std::shared_ptr<const Passphrase> passphraseHolder() const;
    // The candidate passphrases as text, tried in this order when the envelope is
    // opened.
    QStringList passphrases() const;
    // The candidates' holders, in their order.
    QList<std::shared_ptr<const Passphrase>> passphraseHolders() const;
    QString source() const;
    QString loadedSource() const;
    QString destination() const;
    // Where the plaintext keeps its layout below an output folder (OutputFolders);
    // empty for a file that lands in the output folder itself.
    QString outputBase() const;
    // The output folder the plaintext goes below (its folders made on the way);
    // empty when it goes next to its source.
    QString outputRoot() const;
    // The system's text for a failure to write the output ("No space left on
    // device"), shown beside the status text; empty when there is none.
    QString reason() const;
    // The source file the worker decrypted, taken from the descriptor it read;
    // not known before. Only that file is ever deleted or renamed.
    FileIdentity sourceIdentity() const;

    void setSource(const QString& source);
    // One candidate, in a holder of the record's own.
    void setPassphrase(const QString& passphrase);
    // One candidate: refers to a shared holder instead of holding a copy.
    void setPassphrase(std::shared_ptr<const Passphrase> holder);
    // Several candidates, each in a holder of the record's own.
    void setPassphrases(const QStringList& passphrases);
    // Several candidates, referring to shared holders.
    void setPassphrases(QList<std::shared_ptr<const Passphrase>> holders);
    void setDestination(const QString& destination);
    void setOutputBase(const QString& outputBase);
    void setOutputRoot(const QString& outputRoot);
    void setReason(const QString& reason);
    void setSourceIdentity(const FileIdentity& identity);

    // "korvel-env", compared case-insensitively with a file's suffix.
    static QString envelopeExtension();

    // The plaintext name for a source before any "(decrypted)" suffix: an envelope
    // loses its extension; any other file keeps its own name (so it is always taken).
    static QString withoutDecryptedSuffix(const QString& source);
    // The same name in another folder.
    static QString withoutDecryptedSuffix(const QString& source, const QString& folder);
    // The n-th name (n >= 1) of the "(decrypted)" sequence for an unsuffixed
    // destination: report.pdf gives report(decrypted).pdf, report(decrypted 2).pdf,
    // report(decrypted 3).pdf, ...; a name that already holds "(decrypted)" starts
    // at "(decrypted 2)" in every place it occurs.
    static QString suffixedDestination(const QString& unsuffixed, int n);
    // Whether a file, folder or link (even a dangling one) holds that name.
    static bool nameTaken(const QString& path);
    // The first name of the sequence (unsuffixed, then the "(decrypted)" names)
    // that nothing on disk holds and that reserved does not name.
    static QString freeDestination(const QString& unsuffixed, const QSet<QString>& reserved);

    // The "(decrypted)" naming was applied to the destination.
    std::atomic<bool> destinationSuffixed { false };
    // The source lacks the envelope extension and gets it appended after success.
    std::atomic<bool> renameSourceOnSuccess { false };
    // The manager deleted the envelope source after the file was decrypted.
    std::atomic<bool> sourceDeleted { false };
    // Decrypted to its end to test it, with no output written and the source left
    // alone; the destination stays empty.
    std::atomic<bool> verifyOnly { false };
    // The plaintext gets its envelope's modification time (DecryptManager::setKeepTimes).
    std::atomic<bool> keepTime { false };
    // Index of the candidate passphrase that opened the envelope; -1 while none has.
    std::atomic<int> passphraseIndex { -1 };
    // The finished output's data and name were flushed to disk (by the worker
    // before it reported completion, or by the manager before a deletion).
    std::atomic<bool> outputDurable { false };
    // Why a folder on the way to the destination below an output folder could
    // not be made (an errno: EACCES, EROFS...); 0 when all were made or there.
    // Writing there then fails for this cause, not for the missing folder.
    std::atomic<int> outputFolderError { 0 };
    // What kind of failure ended a failed task, for programs that sort them
    // (the command's JSON "error"); None while it has not failed.
    enum class Failure { None, Passphrase, NotEnvelope, Read, Write, Missing, Other };
    std::atomic<Failure> failure { Failure::None };

private:
    CryptTask& operator=(const CryptTask&) = delete;

    mutable QMutex m_lock;
    QList<std::shared_ptr<const Passphrase>> m_passphrases;
    QString m_source;
    QString m_loadedSource;
    QString m_destination;
    QString m_outputBase;
    QString m_outputRoot;
    QString m_reason;
    FileIdentity m_sourceIdentity;
};

Q_DECLARE_METATYPE(CryptTask)
// Carried by queued notifications to the window.
Q_DECLARE_METATYPE(const CryptTask*)
