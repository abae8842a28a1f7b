#include "engine/CryptTask.h"

#include "engine/LocalPath.h"

#include <QCoreApplication>

#include <QFileInfo>
#include <QMutexLocker>

#include <sys/stat.h>

namespace {

const QString kDecryptedSuffix = QStringLiteral("(decrypted)");

QString decryptedSuffix(int n)
{
    return n <= 1 ? kDecryptedSuffix : QStringLiteral("(decrypted %1)").arg(n);
}

} // namespace

CryptTask::CryptTask() = default;

CryptTask::CryptTask(const QString& source)
    : m_source(source)
    , m_loadedSource(source)
{
    qRegisterMetaType<CryptTask>("CryptTask");
}

CryptTask::CryptTask(const CryptTask& other)
    : Task(other)
    , destinationSuffixed(other.destinationSuffixed.load())
    , renameSourceOnSuccess(other.renameSourceOnSuccess.load())
    , sourceDeleted(other.sourceDeleted.load())
    , verifyOnly(other.verifyOnly.load())
    , passphraseIndex(other.passphraseIndex.load())
    , outputDurable(other.outputDurable.load())
{
    QMutexLocker locker(&other.m_lock);
    m_passphrases = other.m_passphrases;
    m_source = other.m_source;
    m_destination = other.m_destination;
    m_loadedSource = other.m_loadedSource;
    m_outputBase = other.m_outputBase;
    m_outputRoot = other.m_outputRoot;
    m_reason = other.m_reason;
    m_sourceIdentity = other.m_sourceIdentity;
}

CryptTask::~CryptTask() = default;

QString CryptTask::statusText() const
{
    if (status() != FINISHED)
        return Task::statusText();
    const bool deleted = sourceDeleted.load();
    const bool suffixed = destinationSuffixed.load();
    if (deleted && suffixed)
        return QCoreApplication::translate(
            "CryptTask", "Finished (Deleted source and (decrypted) appended to destination name)");
    if (deleted)
        return QCoreApplication::translate("CryptTask", "Finished (Deleted source)");
    if (suffixed)
        return QCoreApplication::translate("CryptTask", "Finished ((decrypted) appended to destination name)");
    return QCoreApplication::translate("CryptTask", "Finished");
}

bool CryptTask::equals(const Task* other) const
{
    const auto* task = dynamic_cast<const CryptTask*>(other);
    return task && task->source() == source();
}

QString CryptTask::passphrase() const
{
    const std::shared_ptr<const Passphrase> holder = passphraseHolder();
    return holder ? holder->text() : QString();
}

std::shared_ptr<const Passphrase> CryptTask::passphraseHolder() const
{
    QMutexLocker locker(&m_lock);
    return m_passphrases.value(0);
}

QStringList CryptTask::passphrases() const
{
    QStringList texts;
    for (const std::shared_ptr<const Passphrase>& holder : passphraseHolders())
        texts.append(holder ? holder->text() : QString());
    return texts;
}

QList<std::shared_ptr<const Passphrase>> CryptTask::passphraseHolders() const
{
    QMutexLocker locker(&m_lock);
    return m_passphrases;
}

QString CryptTask::source() const
{
    QMutexLocker locker(&m_lock);
    return m_source;
}

QString CryptTask::loadedSource() const
{
    QMutexLocker locker(&m_lock);
    return m_loadedSource;
}

QString CryptTask::destination() const
{
    QMutexLocker locker(&m_lock);
    return m_destination;
}

QString CryptTask::outputBase() const
{
    QMutexLocker locker(&m_lock);
    return m_outputBase;
}

void CryptTask::setOutputBase(const QString& outputBase)
{
    QMutexLocker locker(&m_lock);
    m_outputBase = outputBase;
}

void CryptTask::setSource(const QString& source)
{
    QMutexLocker locker(&m_lock);
    m_source = source;
}

void CryptTask::setPassphrase(const QString& passphrase)
{
    setPassphrase(std::make_shared<const Passphrase>(passphrase));
}

void CryptTask::setPassphrase(std::shared_ptr<const Passphrase> holder)
{
    QMutexLocker locker(&m_lock);
    m_passphrases = { std::move(holder) };
}

void CryptTask::setPassphrases(const QStringList& passphrases)
{
    QList<std::shared_ptr<const Passphrase>> holders;
    for (const QString& passphrase : passphrases)
        holders.append(std::make_shared<const Passphrase>(passphrase));
    setPassphrases(std::move(holders));
}

void CryptTask::setPassphrases(QList<std::shared_ptr<const Passphrase>> holders)
{
    QMutexLocker locker(&m_lock);
    m_passphrases = std::move(holders);
}

QString CryptTask::reason() const
{
    QMutexLocker locker(&m_lock);
    return m_reason;
}

void CryptTask::setReason(const QString& reason)
{
    QMutexLocker locker(&m_lock);
    m_reason = reason;
}

QString CryptTask::outputRoot() const
{
    QMutexLocker locker(&m_lock);
    return m_outputRoot;
}

void CryptTask::setOutputRoot(const QString& outputRoot)
{
    QMutexLocker locker(&m_lock);
    m_outputRoot = outputRoot;
}

FileIdentity CryptTask::sourceIdentity() const
{
    QMutexLocker locker(&m_lock);
    return m_sourceIdentity;
}

void CryptTask::setSourceIdentity(const FileIdentity& identity)
{
    QMutexLocker locker(&m_lock);
    m_sourceIdentity = identity;
}

void CryptTask::setDestination(const QString& destination)
{
    QMutexLocker locker(&m_lock);
    m_destination = destination;
}

QString CryptTask::envelopeExtension()
{
    return QStringLiteral("korvel-env");
}

QString CryptTask::withoutDecryptedSuffix(const QString& source)
{
    return withoutDecryptedSuffix(source, QFileInfo(source).absolutePath());
}

QString CryptTask::withoutDecryptedSuffix(const QString& source, const QString& folder)
{
    const QFileInfo info(source);
    const QString suffix = info.suffix();
    QString destination = folder + QLatin1Char('/') + info.completeBaseName();
    if (suffix.toLower() != envelopeExtension().toLower() && !suffix.isEmpty())
        destination += QLatin1Char('.') + suffix;
    return destination;
}

QString CryptTask::suffixedDestination(const QString& unsuffixed, int n)
{
    const QFileInfo info(unsuffixed);
    const QString suffix = info.suffix();
    QString base = info.completeBaseName();
    if (base.contains(kDecryptedSuffix))
        base.replace(kDecryptedSuffix, decryptedSuffix(n + 1));
    else
        base += decryptedSuffix(n);
    return info.absolutePath() + QLatin1Char('/') + base + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

bool CryptTask::nameTaken(const QString& path)
{
    struct stat status { };
    return lstat(LocalPath::encode(path).constData(), &status) == 0;
}

QString CryptTask::freeDestination(const QString& unsuffixed, const QSet<QString>& reserved)
{
    QString destination = unsuffixed;
    for (int n = 1; nameTaken(destination) || reserved.contains(destination); ++n)
        destination = suffixedDestination(unsuffixed, n);
    return destination;
}
