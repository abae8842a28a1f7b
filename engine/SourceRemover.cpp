#include "engine/SourceRemover.h"

#include <QCoreApplication>

#include "engine/CryptTask.h"
#include "engine/SafeFile.h"
#include "engine/ThreadPriority.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <cstring>
#include <sys/stat.h>

namespace {

SourceRemover::Removal removeSource(CryptTask* task, const QString& source, QString* reason)
{
    if (!QFileInfo::exists(source))
        return SourceRemover::Removal::Missing;
    // The source may only go while its plaintext is there, and on disk.
    const QString destination = task->destination();
    struct stat status { };
    if (lstat(QFile::encodeName(destination).constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        *reason = QCoreApplication::translate("SourceRemover", "Decrypted file %1 is not there").arg(destination);
        return SourceRemover::Removal::Failed;
    }
    if (!task->outputDurable.load()) {
        if (const int error = SafeFile::syncToDisk(destination)) {
            *reason = QCoreApplication::translate("SourceRemover", "Decrypted file %1 could not be flushed to disk: %2")
                          .arg(destination, QString::fromLocal8Bit(strerror(error)));
            return SourceRemover::Removal::Failed;
        }
        task->outputDurable.store(true);
    }
    QFile file(source);
    if (file.remove())
        return SourceRemover::Removal::Removed;
    *reason = file.errorString();
    return SourceRemover::Removal::Failed;
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

SourceRemover::Outcome SourceRemover::dispose(CryptTask* task, const QString& source, bool remove, bool rename)
{
    Outcome outcome;
    if (remove)
        outcome.removal = removeSource(task, source, &outcome.reason);
    outcome.renameAsked = rename && (!remove || outcome.removal == Removal::Failed);
    if (outcome.renameAsked) {
        const QString renamed = source + QLatin1Char('.') + CryptTask::envelopeExtension();
        if (SafeFile::renameNoReplace(source, renamed) == 0)
            outcome.renamedTo = renamed;
    }
    return outcome;
}

void SourceRemover::submit(
    CryptTask* task, bool remove, bool rename, QObject* receiver, std::function<void(Outcome)> done)
{
    const QString source = task->source();
    auto job = [task, source, remove, rename, receiver, done = std::move(done)] {
        const Outcome outcome = dispose(task, source, remove, rename);
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
