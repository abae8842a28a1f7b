#include "engine/SourceRemover.h"

#include "engine/LocalPath.h"

#include <QCoreApplication>

#include "engine/CryptTask.h"
#include "engine/FileIdentity.h"
#include "engine/SafeFile.h"
#include "engine/ThreadPriority.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// Moves the file named `from` to `to` only while that name leads to the file
// that was read: it is renamed first (never over another name), then looked at
// under its new name, and put back when it is another file. An identity
// refreshed by the rename goes to *moved. 0 done, ESTALE when another file held
// the name (it keeps that name, or, when even that was taken meanwhile, the
// new one), or the errno of the rename.
int moveIfSame(const QString& from, const QString& to, const FileIdentity& read, FileIdentity* moved)
{
    if (const int error = SafeFile::renameNoReplace(from, to))
        return error;
    *moved = FileIdentity::ofPath(to);
    if (moved->sameFile(read) && moved->size == read.size)
        return 0;
    SafeFile::renameNoReplace(to, from);
    return ESTALE;
}

SourceRemover::Removal removeSource(
    CryptTask* task, const QString& source, const SourceRemover::BeforeRemoval& before, QString* reason)
{
    int statError = 0;
    const FileIdentity current = FileIdentity::ofPath(source, &statError);
    if (statError == ENOENT)
        return SourceRemover::Removal::Missing;
    // Only the file that was decrypted goes, and only as it was read.
    const FileIdentity read = task->sourceIdentity();
    if (!current.unchanged(read))
        return SourceRemover::Removal::Changed;
    // The source may only go while its plaintext is there, and on disk.
    const QString destination = task->destination();
    struct stat status { };
    if (lstat(LocalPath::encode(destination).constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        *reason = QCoreApplication::translate("SourceRemover", "Decrypted file %1 is not there").arg(destination);
        return SourceRemover::Removal::Failed;
    }
    if (!task->outputDurable.load()) {
        if (const int error = SafeFile::syncToDisk(destination)) {
            *reason = QCoreApplication::translate("SourceRemover", "Decrypted file %1 could not be flushed to disk: %2")
                          .arg(destination, systemText(error));
            return SourceRemover::Removal::Failed;
        }
        task->outputDurable.store(true);
    }
    // Whatever records the decryption does so before the source goes.
    if (before && !before(task, reason))
        return SourceRemover::Removal::Failed;
    // Moved aside under a name of its own first: what is unlinked is then surely
    // the file that was read, even when another one is renamed onto its name.
    const QString aside = QFileInfo(source).absolutePath()
        + QStringLiteral("/.korvel-%1.gone").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
    FileIdentity moved;
    const int error = moveIfSame(source, aside, read, &moved);
    if (error == ESTALE)
        return SourceRemover::Removal::Changed;
    if (error != 0) {
        *reason = systemText(error);
        return SourceRemover::Removal::Failed;
    }
    if (unlink(LocalPath::encode(aside).constData()) != 0) {
        *reason = systemText(errno);
        SafeFile::renameNoReplace(aside, source);
        return SourceRemover::Removal::Failed;
    }
    return SourceRemover::Removal::Removed;
}

} // namespace

SourceRemover::~SourceRemover()
{
    {
        std::lock_guard<std::mutex> locker(m_lock);
        m_ending = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join(); // runs what is queued first
}

SourceRemover::Outcome SourceRemover::dispose(
    CryptTask* task, const QString& source, bool remove, bool rename, const BeforeRemoval& before)
{
    Outcome outcome;
    if (remove)
        outcome.removal = removeSource(task, source, before, &outcome.reason);
    outcome.sourceChanged = outcome.removal == Removal::Changed;
    outcome.renameAsked = rename && (!remove || outcome.removal == Removal::Failed);
    if (outcome.renameAsked) {
        const QString renamed = source + QLatin1Char('.') + CryptTask::envelopeExtension();
        const FileIdentity read = task->sourceIdentity();
        FileIdentity moved;
        const int error
            = FileIdentity::ofPath(source).unchanged(read) ? moveIfSame(source, renamed, read, &moved) : ESTALE;
        if (error == 0) {
            outcome.renamedTo = renamed;
            // Renaming changed its change time: a later deletion knows it by the new one.
            task->setSourceIdentity(moved);
        } else if (error == ESTALE) {
            outcome.sourceChanged = true;
        }
    }
    return outcome;
}

void SourceRemover::submit(CryptTask* task, bool remove, bool rename, QObject* receiver,
    std::function<void(Outcome)> done, BeforeRemoval before)
{
    const QString source = task->source();
    auto job = [task, source, remove, rename, receiver, done = std::move(done), before = std::move(before)] {
        const Outcome outcome = dispose(task, source, remove, rename, before);
        // A receiver destroyed before the call arrives discards it with its other
        // posted events.
        QMetaObject::invokeMethod(
            receiver, [done, outcome] { done(outcome); }, Qt::QueuedConnection);
    };
    {
        std::lock_guard<std::mutex> locker(m_lock);
        m_jobs.push_back(std::move(job));
        if (!m_thread.joinable())
            m_thread = std::thread(&SourceRemover::loop, this);
    }
    m_wake.notify_one();
}

void SourceRemover::drain()
{
    std::unique_lock<std::mutex> locker(m_lock);
    m_idle.wait(locker, [this] { return m_jobs.empty() && !m_running; });
}

void SourceRemover::loop()
{
    ThreadPriority::lowerCurrentThread();
    std::unique_lock<std::mutex> locker(m_lock);
    for (;;) {
        m_wake.wait(locker, [this] { return m_ending || !m_jobs.empty(); });
        if (m_jobs.empty())
            return; // ending, and nothing left to run
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_running = true;
        locker.unlock();
        job();
        locker.lock();
        m_running = false;
        if (m_jobs.empty())
            m_idle.notify_all();
    }
}
