#include "cli/Journal.h"

#include "engine/LocalPath.h"
#include "engine/OutputFolders.h"
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
// on disk, so its journal is of a kind of its own. A record of these holds four
// fields: the source's key(), its plaintext (empty in a test), its relativeKey()
// and its fingerprint().
const QByteArray kDecryptHeader = QByteArrayLiteral("korvelcrypt-cli journal 3\n");
const QByteArray kTestHeader = QByteArrayLiteral("korvelcrypt-cli test journal 2\n");
constexpr int kFields = 4;

// Every kind of journal this version reads, and how many fields its records
// hold. Earlier versions recorded the source's key() alone (1), or with its
// plaintext (2); such a journal goes on as it began.
struct Header {
    QByteArray text;
    Journal::Kind kind;
    int fields;
};
const Header kHeaders[] = {
    { kDecryptHeader, Journal::Kind::Decrypt, kFields },
    { QByteArrayLiteral("korvelcrypt-cli journal 2\n"), Journal::Kind::Decrypt, 2 },
    { QByteArrayLiteral("korvelcrypt-cli journal 1\n"), Journal::Kind::Decrypt, 1 },
    { kTestHeader, Journal::Kind::Test, kFields },
    { QByteArrayLiteral("korvelcrypt-cli test journal 1\n"), Journal::Kind::Test, 1 },
};
// The longest header, and then some: enough to read one.
constexpr qsizetype kHeadBytes = 64;
// The bytes a fingerprint reads at each end of a source.
constexpr qint64 kFingerprintBytes = 4096;

// Takes the whole records (each of `fields` fields ended by NUL) that bytes
// holds from *start on, and moves *start past them.
void takeRecords(
    const QByteArray& bytes, qsizetype* start, int fields, const std::function<void(const QByteArray*)>& take)
{
    QByteArray field[kFields];
    for (;;) {
        qsizetype at = *start;
        for (int n = 0; n < fields; ++n) {
            const qsizetype end = bytes.indexOf('\0', at);
            if (end < 0)
                return;
            field[n] = bytes.mid(at, end - at);
            at = end + 1;
        }
        take(field);
        *start = at;
    }
}

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

QString Journal::relativeKey(const QString& source, const QString& outputBase)
{
    return OutputFolders::relativePath(source, outputBase);
}

QByteArray Journal::fingerprint(const QString& source)
{
    int fd;
    do
        fd = ::open(LocalPath::encode(source).constData(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return {};
    struct stat status { };
    QByteArray ends;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const qint64 head = qMin<qint64>(status.st_size, kFingerprintBytes);
        const qint64 tail = qMin<qint64>(status.st_size - head, kFingerprintBytes);
        ends.resize(head + tail);
        if (::pread(fd, ends.data(), static_cast<size_t>(head), 0) != head
            || ::pread(fd, ends.data() + head, static_cast<size_t>(tail), status.st_size - tail) != tail)
            ends.clear();
    }
    ::close(fd);
    if (ends.isEmpty() && status.st_size != 0)
        return {};
    return QByteArray::number(static_cast<qint64>(status.st_size)) + ':'
        + QCryptographicHash::hash(ends, QCryptographicHash::Sha256).toHex();
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
    QByteArray head(kHeadBytes, '\0');
    const ssize_t headSize = ::pread(fd, head.data(), static_cast<size_t>(head.size()), 0);
    if (headSize < 0)
        return fail(QStringLiteral("cannot read journal '%1': %2").arg(path, systemText(errno)));
    head.truncate(headSize);
    const Header* found = nullptr;
    bool begun = false; // the file is a header of this kind cut short
    for (const Header& header : kHeaders) {
        if (head.startsWith(header.text))
            found = &header;
        else if (header.kind == kind && header.text.startsWith(head))
            begun = true;
    }
    if (!found && !begun)
        return fail(QStringLiteral("'%1' is not a korvelcrypt-cli journal.").arg(path));
    if (found && found->kind != kind)
        return fail(kind == Kind::Test
                ? QStringLiteral("'%1' is the journal of a decryption; a test needs a journal of its own.").arg(path)
                : QStringLiteral("'%1' is the journal of a test (--test); a decryption needs a journal of its own.")
                      .arg(path));
    if (!found) {
        const QByteArray& header = kind == Kind::Test ? kTestHeader : kDecryptHeader;
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            return fail(QStringLiteral("cannot write journal '%1': %2").arg(path, systemText(errno)));
        if (const int code = SafeFile::writeAll(fd, header.constData(), static_cast<size_t>(header.size()));
            code != 0 || ::fsync(fd) != 0)
            return fail(QStringLiteral("cannot write journal '%1': %2").arg(path, systemText(code ? code : errno)));
        m_fields = kFields;
        m_headerSize = header.size();
    } else {
        m_fields = found->fields;
        m_headerSize = found->text.size();
        if (::lseek(fd, m_headerSize, SEEK_SET) < 0 || !readRecords(fd, m_headerSize, error)) {
            if (error->isEmpty())
                *error = QStringLiteral("cannot read journal '%1': %2").arg(path, systemText(errno));
            ::close(fd);
            return false;
        }
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
        qsizetype start = 0;
        takeRecords(carry, &start, m_fields, [this](const QByteArray* field) { remember(field); });
        complete += start;
        carry.remove(0, start);
    }
    // A record cut short by a crash has no end: it goes, so that the next one
    // starts clean.
    if (!carry.isEmpty() && ::ftruncate(fd, complete) != 0)
        return failed(QStringLiteral("cannot repair journal '%1': %2").arg(path, systemText(errno)));
    return true;
}

void Journal::remember(const QByteArray* field)
{
    if (!field[0].isEmpty())
        m_digests.insert(digestOf(field[0]));
    if (m_fields < kFields || field[3].isEmpty())
        return;
    m_relative.insert(digestOf(field[2]));
    m_identities.insert(digestOf(field[2] + '\0' + field[3]));
}

bool Journal::contains(const QString& source, const QString& outputBase) const
{
    const QByteArray relative = LocalPath::encode(relativeKey(source, outputBase));
    {
        QMutexLocker locker(&m_lock);
        if (m_digests.contains(digestOf(LocalPath::encode(key(source)))))
            return true;
        // Elsewhere now (a medium mounted under another path, a tree moved): the
        // same relative path is the same source only when its bytes agree.
        if (!m_relative.contains(digestOf(relative)))
            return false;
    }
    const QByteArray print = fingerprint(source);
    QMutexLocker locker(&m_lock);
    return !print.isEmpty() && m_identities.contains(digestOf(relative + '\0' + print));
}

bool Journal::record(const QString& source, const QString& outputBase, const QString& destination, QString* error)
{
    QMutexLocker locker(&m_lock);
    return recordLocked(source, outputBase, destination, false, error);
}

bool Journal::recordDurably(
    const QString& source, const QString& outputBase, const QString& destination, QString* error)
{
    QMutexLocker locker(&m_lock);
    if (m_digests.contains(digestOf(LocalPath::encode(key(source)))))
        return true;
    // The plaintext is on disk already: the record follows at once.
    return recordLocked(source, outputBase, destination, true, error) && syncLocked(error);
}

QHash<QString, QString> Journal::destinationsOf(const QStringList& sources) const
{
    QHash<QString, QString> found;
    QMutexLocker locker(&m_lock);
    if (m_fd < 0 || m_fields < 2 || sources.isEmpty())
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
        takeRecords(carry, &start, m_fields, [&](const QByteArray* field) {
            const auto source = wanted.constFind(field[0]);
            if (source != wanted.cend() && !field[1].isEmpty())
                found.insert(source.value(), LocalPath::decode(field[1]));
        });
        carry.remove(0, start);
    }
    return found;
}

bool Journal::recordLocked(
    const QString& source, const QString& outputBase, const QString& destination, bool onDisk, QString* error)
{
    QByteArray field[kFields];
    field[0] = LocalPath::encode(key(source));
    if (!destination.isEmpty())
        field[1] = LocalPath::encode(QFileInfo(destination).absoluteFilePath());
    if (m_fields == kFields) {
        field[2] = LocalPath::encode(relativeKey(source, outputBase));
        field[3] = fingerprint(source);
    }
    QByteArray record;
    for (int n = 0; n < m_fields; ++n)
        record += field[n] + '\0';
    if (const int code = SafeFile::writeAll(m_fd, record.constData(), static_cast<size_t>(record.size())); code != 0) {
        *error = QStringLiteral("cannot write journal '%1': %2").arg(m_path, systemText(code));
        return false;
    }
    remember(field);
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
