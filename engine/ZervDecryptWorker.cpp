#include "engine/ZervDecryptWorker.h"

#include <QCoreApplication>

#include "engine/CryptTask.h"
#include "engine/EncodedPassphrases.h"
#include "engine/FileIdentity.h"
#include "engine/LocalPath.h"
#include "engine/OutputPermissions.h"
#include "engine/Passphrase.h"
#include "engine/RingWriter.h"
#include "engine/SafeFile.h"
#include "engine/ThreadPriority.h"
#include "engine/zervcrypto.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QMutexLocker>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How far along the "(decrypted N)" sequence the worker looks for a free name.
constexpr int kMaxNameAttempts = 100000;

// Plaintext gathered before each write to the output.
constexpr size_t kOutputBufferSize = 65536;

// A failed read and a wrong passphrase report the same result code.
static_assert(ZERVCRYPTO_EREAD == ZERVCRYPTO_EPASSPHRASE);
// The decryptor writes its pieces straight into the writer's buffers.
static_assert(RingWriter::kPieceSize >= ZERVCRYPTO_PIECE_SIZE);

// Set once linking an unnamed output into place failed where a hidden temporary
// then worked (no /proc, say): later outputs start as hidden temporaries rather
// than being written twice.
std::atomic<bool> g_linkingFails { false };

QString systemText(int error)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

} // namespace

// The output while a run writes it: a descriptor without a name, or one with a
// hidden temporary name, and the plaintext waiting to be written to it.
struct ZervDecryptWorker::OutputFile {
    int fd = -1;
    QString temporary; // the hidden name while it has one; empty for an unnamed file
    bool published = false; // it has its final name
    mode_t mode = 0600; // permission bits it was created with (less the umask)
    std::unique_ptr<uint8_t[]> buffer;
    size_t used = 0;
    int error = 0; // errno of the write that failed
    int heldCopy = -1; // the hidden copy of an unnamed output, kept locked until it has its name

    bool write(const uint8_t* data, size_t length)
    {
        if (used + length > kOutputBufferSize && !flush())
            return false;
        std::memcpy(buffer.get() + used, data, length);
        used += length;
        return true;
    }

    bool flush()
    {
        size_t done = 0;
        while (done < used) {
            const ssize_t n = ::write(fd, buffer.get() + done, used - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        used = 0;
        return true;
    }

    // Wipes the plaintext and closes the descriptor; output that never got its
    // final name goes with it.
    void close()
    {
        if (buffer)
            OPENSSL_cleanse(buffer.get(), kOutputBufferSize);
        buffer.reset();
        used = 0;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        if (!published && !temporary.isEmpty())
            ::unlink(LocalPath::encode(temporary).constData());
        if (heldCopy >= 0)
            ::close(heldCopy);
        heldCopy = -1;
    }
};

bool ZervDecryptWorker::writesHiddenTemporaries()
{
    return g_linkingFails.load();
}

ZervDecryptWorker::ZervDecryptWorker(int id, QObject* parent)
    : QThread(parent)
    , m_id(id)
{
    connect(this, &QThread::finished, this, &ZervDecryptWorker::onFinished, Qt::DirectConnection);
}

ZervDecryptWorker::~ZervDecryptWorker()
{
    m_cancelled.store(true);
    {
        QMutexLocker locker(&m_mutex);
        m_quitting = true;
        m_workGiven.wakeAll();
    }
    quit();
    // The thread uses this object to its last instruction: never free it under a running thread.
    wait();
    closeDecryptor();
}

CryptTask* ZervDecryptWorker::task() const
{
    QMutexLocker locker(&m_mutex);
    return m_task;
}

void ZervDecryptWorker::setTask(CryptTask* task)
{
    {
        QMutexLocker locker(&m_mutex);
        m_task = task;
        if (!task) {
            m_resultCode = InvalidSource;
            m_message = QCoreApplication::translate("ZervDecryptWorker", "Invalid file");
            return;
        }
        task->workerId.store(m_id);
        task->setStatus(Task::DECRYPTING);
        m_source = task->source();
        m_destination = task->destination();
        m_outputRoot = task->outputRoot();
        m_passphrases = task->passphraseHolders();
        m_verifyOnly = task->verifyOnly.load();
        m_keepTime = task->keepTime.load();
        if (m_resident) {
            m_hasWork = true;
            m_working = true;
            m_workGiven.wakeAll();
        }
    }
    if (m_resident) {
        if (!isRunning())
            start(QThread::LowPriority);
        return;
    }
    // A thread that has reported but not yet returned cannot be started again.
    wait();
    start(QThread::LowPriority);
}

bool ZervDecryptWorker::waitForTask(unsigned long milliseconds)
{
    if (!m_resident)
        return wait(milliseconds);
    QMutexLocker locker(&m_mutex);
    QDeadlineTimer deadline(
        milliseconds == ULONG_MAX ? QDeadlineTimer::Forever : QDeadlineTimer(static_cast<qint64>(milliseconds)));
    while (m_working)
        if (!m_workDone.wait(&m_mutex, deadline))
            return !m_working;
    return true;
}

void ZervDecryptWorker::reset()
{
    if (m_resident) {
        // The thread stays; the task it may still run ends first.
        bool running = false;
        {
            QMutexLocker locker(&m_mutex);
            running = m_working;
        }
        if (running) {
            m_cancelled.store(true);
            waitForTask();
        }
    } else if (isRunning()) {
        m_cancelled.store(true);
        quit();
        if (!wait(50))
            wait(); // the next setTask() must find the thread ended
    }
    QMutexLocker locker(&m_mutex);
    m_cancelled.store(false);
    m_resultCode = Success;
    m_failure = CryptTask::Failure::None;
    m_totalBytes.store(0);
    m_doneBytes.store(0);
    m_passphrases.clear();
    m_verifyOnly = false;
    m_keepTime = false;
    m_source = QString();
    m_destination = QString();
    m_outputRoot = QString();
    m_task = nullptr;
    m_message = QString();
    m_reason = QString();
}

QString ZervDecryptWorker::errorText() const
{
    QMutexLocker locker(&m_mutex);
    const QString code = QString::number(m_resultCode);
    switch (m_resultCode) {
    case Success:
        return QString();
    case DestinationUnwritable:
        return QCoreApplication::translate("ZervDecryptWorker", "Could not write to destination.")
            + QStringLiteral(" - Code: ") + code;
    case EnvelopeCorrupt:
        return QCoreApplication::translate("ZervDecryptWorker", "Input file is corrupted or not encrypted.")
            + QStringLiteral(" Code: ") + code;
    default:
        return m_message + QStringLiteral(" Code: ") + code;
    }
}

float ZervDecryptWorker::progressFraction() const
{
    const uint64_t total = m_totalBytes.load();
    return total == 0 ? 0.0f : static_cast<float>(static_cast<double>(m_doneBytes.load()) / total);
}

int ZervDecryptWorker::resultCode() const
{
    QMutexLocker locker(&m_mutex);
    return m_resultCode;
}

QString ZervDecryptWorker::message() const
{
    QMutexLocker locker(&m_mutex);
    return m_message;
}

QString ZervDecryptWorker::reason() const
{
    QMutexLocker locker(&m_mutex);
    return m_reason;
}

void ZervDecryptWorker::closeDecryptor()
{
    zervcrypto_file_decrypt_close(&m_decryptor);
}

int ZervDecryptWorker::keepSourceTime(int fd) const
{
    if (!m_keepTime)
        return 0;
    struct stat source { };
    if (::fstat(kv_file_desc(&m_decryptor->file), &source) != 0)
        return errno;
    const timespec times[2] = { { 0, UTIME_OMIT }, source.st_mtim };
    return ::futimens(fd, times) == 0 ? 0 : errno;
}

int ZervDecryptWorker::publish(OutputFile* out)
{
    const QString folder = QFileInfo(m_destination).absolutePath();
    // An unnamed output is linked in, a hidden one renamed.
    const auto place = [&](const QString& name) {
        if (out->temporary.isEmpty()) {
            const int error = SafeFile::linkNoReplace(out->fd, name);
            // A name too long, a folder gone, no room: the task's own failure.
            if (error == 0 || error == EEXIST || !SafeFile::linkingUnavailable(error, name))
                return error;
            // Linking goes through /proc, which a chroot or a small container may
            // lack: the data moves to a hidden temporary, which is renamed instead.
            if (const int copyError
                = SafeFile::copyToTemporary(out->fd, folder, out->mode, &out->temporary, &out->heldCopy))
                return copyError;
            if (const int permissionError
                = OutputPermissions::follow(out->heldCopy, kv_file_desc(&m_decryptor->file), out->mode))
                return permissionError;
            if (const int timeError = keepSourceTime(out->heldCopy))
                return timeError; // the copy was written just now
            if (error == ENOENT)
                g_linkingFails.store(true);
        }
        return SafeFile::renameNoReplace(out->temporary, name);
    };
    int error = place(m_destination);
    if (error == EEXIST) {
        // Taken since the manager chose it: move on along the same "(decrypted)" sequence.
        const QString unsuffixed = CryptTask::withoutDecryptedSuffix(m_source, QFileInfo(m_destination).absolutePath());
        for (int n = 1; error == EEXIST && n <= kMaxNameAttempts; ++n) {
            const QString candidate = CryptTask::suffixedDestination(unsuffixed, n);
            if (candidate == m_destination)
                continue;
            error = place(candidate);
            if (error == 0) {
                m_destination = candidate;
                m_task->setDestination(candidate);
                m_task->destinationSuffixed.store(true);
            }
        }
    }
    return error;
}

int ZervDecryptWorker::syncFolders() const
{
    QString folder = QFileInfo(m_destination).absolutePath();
    if (const int error = SafeFile::syncFolder(folder))
        return error;
    const QString below = m_outputRoot + QLatin1Char('/');
    if (m_outputRoot.isEmpty() || (folder != m_outputRoot && !folder.startsWith(below)))
        return 0;
    while (folder != m_outputRoot && folder.size() > 1) {
        folder = QFileInfo(folder).absolutePath();
        if (const int error = SafeFile::syncFolder(folder))
            return error;
    }
    // The output folder itself may have been made by this run.
    return SafeFile::syncFolder(QFileInfo(m_outputRoot).absolutePath());
}

void ZervDecryptWorker::fail(int code, const QString& message)
{
    m_resultCode = code;
    m_message = message;
    // A failure of the read after a successful open (the same code as a wrong
    // passphrase) is set as Read where it happens.
    using Failure = CryptTask::Failure;
    m_failure = code == InvalidSource                              ? Failure::Missing
        : code == OutputDiscarded || code == DestinationUnwritable ? Failure::Write
        : code == PassphraseOrReadFailed                           ? Failure::Passphrase
        : code == EnvelopeCorrupt                                  ? Failure::NotEnvelope
        : code == EnvelopeUnreadable                               ? Failure::Read
                                                                   : Failure::Other;
}

void ZervDecryptWorker::failWriting(int code, int error)
{
    if (code == OutputDiscarded)
        m_message = QCoreApplication::translate("ZervDecryptWorker", "Could not write out to device.");
    m_resultCode = code;
    m_failure = CryptTask::Failure::Write;
    m_reason = systemText(error);
}

void ZervDecryptWorker::run()
{
    // Before anything else, so that the window is never kept waiting by this
    // thread; once for all the tasks it takes.
    ThreadPriority::lowerCurrentThread();
    if (!m_resident) {
        runTask(); // reported by onFinished(), as the thread ends
        return;
    }
    for (;;) {
        {
            QMutexLocker locker(&m_mutex);
            while (!m_hasWork && !m_quitting)
                m_workGiven.wait(&m_mutex);
            if (!m_hasWork)
                break;
            m_hasWork = false;
        }
        runTask();
        report();
        QMutexLocker locker(&m_mutex);
        m_working = false;
        m_workDone.wakeAll();
    }
    OPENSSL_thread_stop();
}

void ZervDecryptWorker::runTask()
{
    emit started(this);
    kv_log("ZervDecryptWorker::run()");
    OutputFile out;
    if (checkSource() && openDecryptor()) {
        if (m_verifyOnly)
            finishTest(produce(nullptr));
        else if (openOutput(&out))
            finishOutput(&out, produce(&out));
    }
    // The one clean-up path, whichever step ended the run.
    closeDecryptor();
    out.close();
}

bool ZervDecryptWorker::checkSource()
{
    struct stat sourceInfo { };
    if (!LocalPath::status(m_source, &sourceInfo)) {
        fail(InvalidSource, QCoreApplication::translate("ZervDecryptWorker", "Source file does not exist."));
        return false;
    }
    if (!S_ISREG(sourceInfo.st_mode)) {
        fail(InvalidSource, QCoreApplication::translate("ZervDecryptWorker", "Source is not a file."));
        return false;
    }
    m_totalBytes.fetch_add(static_cast<uint64_t>(sourceInfo.st_size));
    return true;
}

bool ZervDecryptWorker::openDecryptor()
{
    m_decryptor = zervcrypto_file_decrypt_init();
    if (!m_decryptor) {
        kv_log("zervcrypto_file_decrypt_init returned NULL");
        fail(DecrypterUnavailable, QCoreApplication::translate("ZervDecryptWorker", "Could not initialize decrypter."));
        return false;
    }
    kv_log("ZervDecryptWorker::run() - passed init");

    // Every candidate is checked against the key records before any plaintext
    // exists: one that does not match costs no output at all. The passphrases stay
    // in their holders; only copies that are wiped at once are used.
    unsigned matched = 0;
    const EncodedPassphrases candidates(m_passphrases);
    const unsigned opened = zervcrypto_file_decrypt_open_any(
        m_decryptor, candidates.data(), candidates.count(), LocalPath::encode(m_source).constData(), &matched, nullptr);
    if (opened == ZERVCRYPTO_OK && m_task) {
        m_task->passphraseIndex.store(static_cast<int>(matched));
        // The file actually read, whatever its name leads to later.
        m_task->setSourceIdentity(FileIdentity::ofDescriptor(kv_file_desc(&m_decryptor->file)));
    }
    if (opened != ZERVCRYPTO_OK) {
        kv_log("zervcrypto_file_decrypt_open returned %d", static_cast<int>(opened));
        fail(static_cast<int>(opened), QString::fromUtf8(m_decryptor->error_text));
        return false;
    }
    kv_log("ZervDecryptWorker::run() - passed open");
    return true;
}

bool ZervDecryptWorker::openOutput(OutputFile* out)
{
    // The plaintext grows in a file without a name (or, where that cannot work,
    // under a hidden one) beside its destination, and only gets the destination
    // name once it is complete (or kept after a read failure). It is never more
    // readable than its envelope: the envelope's read and write bits, less the umask.
    const QString folder = QFileInfo(m_destination).absolutePath();
    out->mode = static_cast<mode_t>(m_decryptor->file_status.mode) & 0666;
    if (!g_linkingFails.load())
        out->fd = SafeFile::createUnnamed(folder, out->mode);
    if (out->fd < 0)
        out->fd = SafeFile::createTemporary(folder, &out->temporary, out->mode);
    if (out->fd < 0) {
        const int error = errno;
        // A folder that could not be made: the cause is why it was not, not that it is missing.
        const int folderError = m_task->outputFolderError.load();
        // its text is fixed; the message stays as it is
        failWriting(DestinationUnwritable, error == ENOENT && folderError != 0 ? folderError : error);
        return false;
    }
    // The envelope's group and access ACL, before a byte of plaintext is in it.
    if (const int error = OutputPermissions::follow(out->fd, kv_file_desc(&m_decryptor->file), out->mode)) {
        failWriting(DestinationUnwritable, error);
        return false;
    }
    out->buffer = std::make_unique<uint8_t[]>(kOutputBufferSize);
    kv_log("ZervDecryptWorker::run() - passed outfile");
    return true;
}

ZervDecryptWorker::Produced ZervDecryptWorker::produce(OutputFile* out)
{
    // A large plaintext is written by a thread of its own while this one reads and
    // decrypts the next pieces; a small one goes straight through the output's
    // buffer. Both see the same pieces in the same order, and stop at the same
    // points for the same reasons.
    const RingWriter::BusyWorker busy;
    const std::unique_ptr<RingWriter> writer
        = out && RingWriter::worthwhile(m_decryptor->header.plaintext_size) ? RingWriter::start(out->fd) : nullptr;
    uint8_t buffer[ZERVCRYPTO_PIECE_SIZE];
    uint32_t length = 0;
    Produced produced = Produced::Stopped;
    for (;;) {
        kv_log("ZervDecryptWorker::run() - producing loop: %d ", static_cast<int>(length));
        uint8_t* piece = writer ? writer->space() : buffer;
        const unsigned result = zervcrypto_file_decrypt_read(m_decryptor, piece, &length);
        if (result != ZERVCRYPTO_OK) {
            fail(static_cast<int>(result), QString::fromUtf8(m_decryptor->error_text));
            m_failure = CryptTask::Failure::Read;
            produced = Produced::ReadFailed;
            break;
        }
        if (length == 0)
            break;
        // A test (no output) only reads the plaintext to its end.
        if (out && !(writer ? writer->commit(length) : out->write(piece, length))) {
            produced = Produced::WriteFailed;
            break;
        }
        m_doneBytes.fetch_add(length);
        if (CryptTask* task = m_task)
            task->setProgress(progressFraction());
        if (m_cancelled.load())
            break;
    }
    OPENSSL_cleanse(buffer, sizeof buffer);

    // What was handed out before the loop stopped reaches the file, except after a
    // cancel or a failed write, when nothing more is written.
    bool drained = true;
    if (writer) {
        if (produced == Produced::WriteFailed || (produced == Produced::Stopped && m_cancelled.load()))
            writer->abandon();
        else
            drained = writer->finish();
    } else if (produced == Produced::ReadFailed && out) {
        // The plaintext before a failed read is kept, so it must be on the file now.
        drained = out->flush();
    }
    if (produced == Produced::WriteFailed || !drained) {
        // A write that failed before a later read did counts first: the output goes.
        failWriting(OutputDiscarded, writer ? writer->error() : out->error);
        produced = Produced::WriteFailed;
    }
    return produced;
}

void ZervDecryptWorker::finishOutput(OutputFile* out, Produced produced)
{
    if (produced == Produced::ReadFailed) {
        // The plaintext read so far is kept, under the destination name.
        out->published = out->flush() && publish(out) == 0;
        return;
    }
    if (produced == Produced::WriteFailed)
        return;
    if (m_cancelled.load()) {
        fail(OutputDiscarded, QCoreApplication::translate("ZervDecryptWorker", "Cancelled by user"));
        return;
    }
    if (!out->flush()) {
        failWriting(OutputDiscarded, out->error);
        return;
    }
    // After the last write, which would set the time again. A plaintext that
    // cannot get the time asked for is not given out as done.
    if (const int error = keepSourceTime(out->fd)) {
        failWriting(OutputDiscarded, error);
        return;
    }
    // When the source may be deleted, the data reaches the disk before the output
    // gets its name, and the name before completion is reported, so that the
    // manager can delete the source at once without flushing anything itself.
    const bool durable = !m_deletesSources || m_deletesSources->load();
    if (durable) {
        if (const int error = SafeFile::syncData(out->fd)) {
            failWriting(OutputDiscarded, error);
            return;
        }
    }
    // An unnamed file is linked while its descriptor is still open.
    if (const int error = publish(out)) {
        failWriting(DestinationUnwritable, error);
        return;
    }
    out->published = true;
    if (durable) {
        if (const int error = syncFolders()) {
            // The name might not survive a crash: the task fails, so its source is
            // kept; the complete plaintext stays where it is.
            failWriting(DestinationUnwritable, error);
            return;
        }
        if (CryptTask* task = m_task)
            task->outputDurable.store(true);
    }
    kv_log("ZervDecryptWorker::run() - exit");
    m_resultCode = Success;
}

void ZervDecryptWorker::finishTest(Produced produced)
{
    if (produced != Produced::Stopped)
        return;
    if (m_cancelled.load()) {
        fail(OutputDiscarded, QCoreApplication::translate("ZervDecryptWorker", "Cancelled by user"));
        return;
    }
    m_resultCode = Success;
}

void ZervDecryptWorker::onFinished()
{
    kv_log("ZervDecryptWorker::onFinished()");
    // A resident worker has reported each task as it ended.
    if (m_resident)
        return;
    report();
    // Release OpenSSL's per-thread state now: the thread ends right after this
    // slot, and a process that exits at that moment would otherwise race the
    // library's thread-exit clean-up.
    OPENSSL_thread_stop();
}

void ZervDecryptWorker::report()
{
    int code;
    {
        QMutexLocker locker(&m_mutex);
        code = m_resultCode;
    }
    CryptTask* task = m_task;
    if (code != Success && m_cancelled.load()) {
        if (task) {
            task->setStatus(Task::CANCELLED);
            task->setProgress(progressFraction());
        }
        emit failed(this);
    } else if (code != Success) {
        if (task) {
            task->setReason(reason());
            task->failure.store(m_failure);
            task->setMessage(errorText());
            task->setStatus(Task::FAILED);
        }
        emit failed(this);
    } else {
        if (task) {
            task->setProgress(1.0f);
            task->setStatus(Task::FINISHED);
        }
        // Before the manager may hand this worker its next task.
        closeDecryptor();
        emit completed(this);
    }
}
