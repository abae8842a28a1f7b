#include "cli/Journal.h"

#include "engine/LocalPath.h"
#include "engine/SafeFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The first bytes of every journal: a test's records say nothing of plaintexts
// on disk, so its journal is of a kind of its own.
const QByteArray kDecryptHeader = QByteArrayLiteral("korvelcrypt-cli journal 2\n");
// The first version recorded sources without their plaintexts.
const QByteArray kDecryptHeaderFirst = QByteArrayLiteral("korvelcrypt-cli journal 1\n");
const QByteArray kTestHeader = QByteArrayLiteral("korvelcrypt-cli test journal 1\n");
// A batch ends after this many records or this much time.
constexpr int kBatchRecords = 256;
constexpr qint64 kBatchMs = 1000;

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Reads until length bytes are in or the file ends: the number read, or -1.
qsizetype readSome(int fd, char* data, qsizetype length)
{
    qsizetype got = 0;
    while (got < length) {
        const ssize_t n = ::read(fd, data + got, static_cast<size_t>(length - got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

} // namespace

Journal::~Journal()
{
    if (m_fd >= 0) {
        QString ignored;
        sync(&ignored);
        ::close(m_fd); // and the lock goes with it
    }
}

QString Journal::key(const QString& source)
{
    const QFileInfo info(QDir::cleanPath(QFileInfo(source).absoluteFilePath()));
    const QString folder = LocalPath::canonical(info.absolutePath());
    if (folder.isEmpty())
        return info.absoluteFilePath();
    return folder == QStringLiteral("/") ? folder + info.fileName() : folder + QLatin1Char('/') + info.fileName();
}

qsizetype Journal::size() const
{
    QMutexLocker locker(&m_lock);
    return m_digests.size();
}

bool Journal::dirty() const
{
    QMutexLocker locker(&m_lock);
    return m_unsynced > 0;
}

Journal::Digest Journal::digestOf(const QByteArray& key)
{
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    Digest digest;
    std::memcpy(&digest.high, hash.constData(), sizeof digest.high);
    std::memcpy(&digest.low, hash.constData() + sizeof digest.high, sizeof digest.low);
    return digest;
}

bool Journal::open(const QString& path, Kind kind, QString* error, bool* inUse, const std::function<void()>& waiting)
{
    QMutexLocker locker(&m_lock);
    const QByteArray& kHeader = kind == Kind::Test ? kTestHeader : kDecryptHeader;
    const QByteArray& otherHeader = kind == Kind::Test ? kDecryptHeader : kTestHeader;
    m_path = path;
    const QByteArray name = LocalPath::encode(path);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = QStringLiteral("cannot open journal '%1': %2").arg(path, systemText(errno));
        return false;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = QStringLiteral("journal '%1' is not a regular file.").arg(path);
        ::close(fd);
        return false;
    }

    const auto fail = [&](const QString& text) {
        *error = text;
        ::close(fd);
        return false;
    };
    // One writer: a second process would interleave its records with ours.
    int locked;
    do
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK && waiting) {
        // Until the other process ends its run; a signal here ends this one, which
        // has written nothing yet.
        waiting();
        do
            locked = ::flock(fd, LOCK_EX);
        while (locked != 0 && errno == EINTR);
    }
    if (locked != 0) {
        if (errno == EWOULDBLOCK) {
            if (inUse)
                *inUse = true;
            return fail(QStringLiteral("journal '%1' is in use by another korvelcrypt-cli process.").arg(path));
        }
        return fail(QStringLiteral("cannot lock journal '%1': %2").arg(path, systemText(errno)));
    }
    // The header: a file that starts otherwise is no journal and is never
    // appended to. An empty file (or one whose header was cut short) is new.
    QByteArray head(kHeader.size(), '\0');
    const qsizetype headSize = readSome(fd, head.data(), head.size());
    if (headSize < 0)
        return fail(QStringLiteral("cannot read journal '%1': %2").arg(path, systemText(errno)));
    m_withDestinations = kind == Kind::Decrypt;
    m_headerSize = kHeader.size();
    if (kind == Kind::Decrypt && head == kDecryptHeaderFirst) {
        m_withDestinations = false; // it goes on as it began
        head = kHeader;
    }
    if (headSize < kHeader.size()) {
        if (!kHeader.startsWith(head.left(headSize)) && !kDecryptHeaderFirst.startsWith(head.left(headSize)))
            return fail(QStringLiteral("'%1' is not a korvelcrypt-cli journal.").arg(path));
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            return fail(QStringLiteral("cannot write journal '%1': %2").arg(path, systemText(errno)));
        if (const int code = SafeFile::writeAll(fd, kHeader.constData(), static_cast<size_t>(kHeader.size()));
            code != 0 || ::fsync(fd) != 0)
            return fail(QStringLiteral("cannot write journal '%1': %2").arg(path, systemText(code ? code : errno)));
    } else if (head != kHeader) {
        QByteArray start(otherHeader.size(), '\0');
        if (::pread(fd, start.data(), start.size(), 0) == start.size()
            && (start == otherHeader || (kind == Kind::Test && start.startsWith(kDecryptHeaderFirst))))
            return fail(kind == Kind::Test
                    ? QStringLiteral("'%1' is the journal of a decryption; a test needs a journal of its own.")
                          .arg(path)
                    : QStringLiteral("'%1' is the journal of a test (--test); a decryption needs a journal of its own.")
                          .arg(path));
        return fail(QStringLiteral("'%1' is not a korvelcrypt-cli journal.").arg(path));
    } else if (!readRecords(fd, kHeader.size(), error)) {
        ::close(fd);
        return false;
    }
    if (::lseek(fd, 0, SEEK_END) < 0)
        return fail(QStringLiteral("cannot write journal '%1': %2").arg(path, systemText(errno)));
    m_fd = fd;
    m_sinceSync.start();
    return true;
}

bool Journal::readRecords(int fd, qint64 headerSize, QString* error)
{
    const auto failed = [error](const QString& text) {
        *error = text;
        return false;
    };
    const QString& path = m_path;
    // The records, read piece by piece: only their digests stay.
    qint64 complete = headerSize; // where the last whole record ends
    QByteArray carry;
    QByteArray piece(1 << 16, '\0');
    for (;;) {
        const qsizetype got = readSome(fd, piece.data(), piece.size());
        if (got < 0)
            return failed(QStringLiteral("cannot read journal '%1': %2").arg(path, systemText(errno)));
        if (got == 0)
            break;
        carry.append(piece.constData(), got);
        // A record is its source, then (with destinations) its plaintext.
        qsizetype start = 0;
        for (qsizetype end; (end = carry.indexOf('\0', start)) >= 0;) {
            qsizetype next = end + 1;
            if (m_withDestinations) {
                next = carry.indexOf('\0', end + 1);
                if (next < 0)
                    break;
                ++next;
            }
            if (end > start)
                m_digests.insert(digestOf(carry.mid(start, end - start)));
            complete += next - start;
            start = next;
        }
        carry.remove(0, start);
    }
    // A record cut short by a crash has no end: it goes, so that the next one
    // starts clean.
    if (!carry.isEmpty() && ::ftruncate(fd, complete) != 0)
        return failed(QStringLiteral("cannot repair journal '%1': %2").arg(path, systemText(errno)));
    return true;
}

bool Journal::contains(const QString& source) const
{
    const Digest digest = digestOf(LocalPath::encode(key(source)));
    QMutexLocker locker(&m_lock);
    return m_digests.contains(digest);
}

bool Journal::record(const QString& source, const QString& destination, QString* error)
{
    QMutexLocker locker(&m_lock);
    return recordLocked(source, destination, false, error);
}

bool Journal::recordDurably(const QString& source, const QString& destination, QString* error)
{
    QMutexLocker locker(&m_lock);
    if (m_digests.contains(digestOf(LocalPath::encode(key(source)))))
        return true;
    // The plaintext is on disk already: the record follows at once.
    return recordLocked(source, destination, true, error) && syncLocked(error);
}

QHash<QString, QString> Journal::destinationsOf(const QStringList& sources) const
{
    QHash<QString, QString> found;
    QMutexLocker locker(&m_lock);
    if (m_fd < 0 || !m_withDestinations || sources.isEmpty())
        return found;
    QHash<QByteArray, QString> wanted;
    for (const QString& source : sources)
        wanted.insert(LocalPath::encode(key(source)), source);
    QByteArray carry;
    QByteArray piece(1 << 16, '\0');
    for (off_t at = m_headerSize;;) {
        const ssize_t got = ::pread(m_fd, piece.data(), static_cast<size_t>(piece.size()), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        at += got;
        carry.append(piece.constData(), got);
        qsizetype start = 0;
        for (qsizetype end; (end = carry.indexOf('\0', start)) >= 0;) {
            const qsizetype next = carry.indexOf('\0', end + 1);
            if (next < 0)
                break;
            const auto source = wanted.constFind(carry.mid(start, end - start));
            if (source != wanted.cend() && next > end + 1)
                found.insert(source.value(), LocalPath::decode(carry.mid(end + 1, next - end - 1)));
            start = next + 1;
        }
        carry.remove(0, start);
    }
    return found;
}

bool Journal::recordLocked(const QString& source, const QString& destination, bool onDisk, QString* error)
{
    const QByteArray sourceKey = LocalPath::encode(key(source));
    QByteArray record = sourceKey + '\0';
    if (m_withDestinations)
        record
            += LocalPath::encode(destination.isEmpty() ? QString() : QFileInfo(destination).absoluteFilePath()) + '\0';
    if (const int code = SafeFile::writeAll(m_fd, record.constData(), static_cast<size_t>(record.size())); code != 0) {
        *error = QStringLiteral("cannot write journal '%1': %2").arg(m_path, systemText(code));
        return false;
    }
    m_digests.insert(digestOf(sourceKey));
    ++m_unsynced;
    if (!destination.isEmpty() && !onDisk) {
        const QString folder = QFileInfo(destination).absolutePath();
        struct stat status { };
        if (::stat(LocalPath::encode(folder).constData(), &status) == 0 && !m_unsyncedFolders.contains(status.st_dev))
            m_unsyncedFolders.insert(status.st_dev, folder);
    }
    if (m_unsynced >= kBatchRecords || m_sinceSync.elapsed() >= kBatchMs)
        return syncLocked(error);
    return true;
}

bool Journal::sync(QString* error)
{
    QMutexLocker locker(&m_lock);
    return syncLocked(error);
}

bool Journal::syncLocked(QString* error)
{
    if (m_fd < 0)
        return true;
    // The plaintexts first: a record on disk must never name a plaintext that is not.
    for (const QString& folder : std::as_const(m_unsyncedFolders)) {
        const int fd = ::open(LocalPath::encode(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    m_unsyncedFolders.clear();
    m_sinceSync.restart();
    if (m_unsynced == 0)
        return true;
    m_unsynced = 0;
    if (::fdatasync(m_fd) != 0) {
        *error = QStringLiteral("cannot flush journal '%1': %2").arg(m_path, systemText(errno));
        return false;
    }
    return true;
}
