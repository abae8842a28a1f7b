#include "cli/BatchDecrypt.h"

#include "cli/InterruptWatcher.h"
#include "cli/Journal.h"
#include "cli/ProgressLine.h"
#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"
#include "engine/FileIdentity.h"
#include "engine/FileLoading.h"
#include "engine/LocalPath.h"
#include "engine/SourceRemover.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <sys/stat.h>

namespace {

// At most ten redraws a second.
constexpr int kProgressIntervalMs = 100;
// --progress, for logs: a whole line every ten seconds.
constexpr int kProgressLinesIntervalMs = 10000;
// How often journal records are flushed while a long task keeps new ones away.
constexpr int kJournalIntervalMs = 1000;
// Paths handed to the manager at a time.
constexpr qsizetype kAddChunk = 4096;

// The stable word for a failure's class (--json "error"); the manual page lists them.
QString failureWord(CryptTask::Failure failure)
{
    switch (failure) {
    case CryptTask::Failure::Passphrase:
        return QStringLiteral("passphrase");
    case CryptTask::Failure::NotEnvelope:
        return QStringLiteral("not-envelope");
    case CryptTask::Failure::Read:
        return QStringLiteral("read");
    case CryptTask::Failure::Write:
        return QStringLiteral("write");
    case CryptTask::Failure::Missing:
        return QStringLiteral("missing");
    case CryptTask::Failure::None:
    case CryptTask::Failure::Other:
        break;
    }
    return QStringLiteral("other");
}

// Whether path is new to seen (and now in it): two 64-bit hashes with
// different seeds, so that millions of paths cost little and never collide
// in practice.
bool markSeen(QSet<QPair<size_t, size_t>>* seen, const QString& path)
{
    const QPair<size_t, size_t> key { qHash(path, size_t(0x9e3779b97f4a7c15ULL)),
        qHash(path, size_t(0x6a09e667f3bcc909ULL)) };
    const qsizetype before = seen->size();
    seen->insert(key);
    return seen->size() != before;
}

double roundedSeconds(qint64 ms)
{
    return static_cast<double>(ms) / 1000.0;
}

} // namespace

BatchDecrypt::BatchDecrypt(const Settings& settings, const CliReporter& reporter, FILE* out, FILE* err, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_reporter(reporter)
    , m_out(out)
    , m_err(err)
    , m_manager(DecryptManager::instance())
{
    m_manager->onChangeNumThreads(settings.threads);
    DecryptManager::setDeleteEncryptedSetting([on = settings.deleteEncrypted] { return on; });
    m_manager->setVerifyOnly(settings.verifyOnly);
    // The worker gives each plaintext its envelope's time before it gets its name.
    m_manager->setKeepTimes(settings.keepTimes && !settings.verifyOnly);
    m_manager->setOutputRoot(settings.outputRoot);
    if (Journal* journal = settings.journal; journal && settings.deleteEncrypted && !settings.verifyOnly) {
        // A source is recorded, on disk, before it goes: a crash between the two
        // leaves a recorded source, which the next run deletes (removeRecorded()).
        m_manager->setBeforeSourceRemoval([journal](const CryptTask* task, QString* reason) {
            return journal->recordDurably(task->source(), task->outputBase(), task->destination(), reason);
        });
    }
    // Queued even though the manager lives on this thread: a completion is then
    // seen after the manager has renamed or deleted the source, and allFinished()
    // after the notifications of the last tasks.
    connect(m_manager, qOverload<const CryptTask*>(&DecryptManager::statsChanged), this, &BatchDecrypt::onTaskChanged,
        Qt::QueuedConnection);
    connect(m_manager, &DecryptManager::error, this, &BatchDecrypt::onManagerError, Qt::QueuedConnection);
    connect(m_manager, &DecryptManager::allFinished, this, &BatchDecrypt::onAllFinished, Qt::QueuedConnection);
    m_progressTimer.setInterval(kProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &BatchDecrypt::onProgressTick);
    // Records that came in during a quiet second reach the disk all the same.
    m_journalTimer.setInterval(kJournalIntervalMs);
    connect(&m_journalTimer, &QTimer::timeout, this, [this] {
        if (m_settings.journal && m_settings.journal->dirty())
            syncJournal();
    });
}

BatchDecrypt::~BatchDecrypt()
{
    delete m_watcher;
    // The batch owns the decrypt manager it built; nothing else uses it.
    DecryptManager::destroyInstance();
    DecryptManager::setDeleteEncryptedSetting({});
    // The records were released with deleteLater(); no event loop runs any more.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int BatchDecrypt::load(const FileLoading::Result& found, int journaled)
{
    // The window's file-load task follows the same rules (FileLoading); the batch
    // hands the found files over itself because it needs them, for the sizes
    // behind the progress line and the byte counts.
    m_skipped += found.notEnvelopes + found.alreadyDecrypted;
    m_alreadyDecrypted += found.alreadyDecrypted;
    m_journaled += journaled;
    for (const CliReporter::Problem& problem : CliReporter::problemsOf(found)) {
        ++(problem.error == QLatin1String("read") ? m_unreadable : m_missing);
        printErr(CliReporter::problemText(problem));
        printOut(m_reporter.problem(problem));
    }
    int added = 0;
    for (const FileLoading::Group& group : found.groups) {
        int folder = -1;
        if (!group.folder.isEmpty()) {
            folder = static_cast<int>(m_folderNames.size());
            const auto withSlash
                = [](const QString& path) { return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/'); };
            m_folderNames.append({ withSlash(group.folder), withSlash(group.shown) });
        }
        // In pieces: the manager copies what it is given, and a copy of a whole
        // archive's list would only raise the peak.
        QStringList fresh;
        const auto hand = [&] {
            added += m_manager->addFiles(fresh, group.outputBase);
            fresh.clear();
        };
        for (qsizetype i = 0; i < group.files.size(); ++i) {
            const QString& path = group.files.at(i);
            // The first naming counts, even when it was decrypted already (a list
            // is taken while the run goes on).
            if (!markSeen(&m_seen, path))
                continue;
            fresh.append(path);
            int naming = folder;
            if (folder < 0) {
                const QString& named = group.named.at(i);
                if (named.isNull()) {
                    naming = kBelowWorkingFolder;
                    m_workingFolder = group.workingFolder;
                } else if (named != path) {
                    m_names.insert(path, named);
                }
            }
            struct stat status { };
            const qint64 size = LocalPath::status(path, &status) ? status.st_size : 0;
            m_sizes.insert(path, { size, naming });
            m_totalBytes += size;
            if (fresh.size() >= kAddChunk)
                hand();
        }
        if (!fresh.isEmpty())
            hand();
    }
    m_total += added;
    m_duplicates += found.fileCount() - added;
    if (!m_streaming)
        noteDuplicates();
    return added;
}

void BatchDecrypt::noteDuplicates()
{
    if (m_duplicates > 0 && m_reporter.notes())
        printErr(QStringLiteral("%1 files loaded. %2 duplicates skipped.").arg(m_total).arg(m_duplicates));
    m_duplicates = 0;
}

int BatchDecrypt::removeRecorded(const QStringList& sources)
{
    if (!m_settings.journal || sources.isEmpty())
        return 0;
    const QHash<QString, QString> destinations = m_settings.journal->destinationsOf(sources);
    for (const QString& source : sources) {
        const QString destination = destinations.value(source);
        CryptTask task(source);
        task.setDestination(destination);
        // The file there now is the one recorded: nothing decrypted it in this run.
        task.setSourceIdentity(FileIdentity::ofPath(source));
        SourceRemover::Outcome outcome;
        if (destination.isEmpty()) {
            outcome.removal = SourceRemover::Removal::Failed;
            // A journal of the first version, or a source found again elsewhere
            // (its record names the plaintext where the tree stood then).
            outcome.reason = QStringLiteral("no plaintext recorded for it at this path");
        } else {
            outcome = SourceRemover::dispose(&task, source, true, false);
        }
        if (outcome.removal == SourceRemover::Removal::Removed) {
            ++m_recordedRemoved;
        } else if (outcome.removal != SourceRemover::Removal::Missing) {
            ++m_problems;
            printErr(QStringLiteral("'%1' is recorded as decrypted but was kept: %2")
                         .arg(source, outcome.reason.isEmpty() ? QStringLiteral("it changed") : outcome.reason));
        }
    }
    return m_recordedRemoved;
}

void BatchDecrypt::startRun(const QStringList& passphrases)
{
    m_running = true;
    m_watcher = new InterruptWatcher();
    connect(m_watcher, &InterruptWatcher::interrupted, this, &BatchDecrypt::onInterrupted);
    m_manager->startDecrypt(passphrases);
    if (m_settings.progressLines && !m_settings.progress)
        m_progressTimer.setInterval(kProgressLinesIntervalMs);
    if (m_settings.progress || m_settings.progressLines)
        m_progressTimer.start();
    if (m_settings.journal)
        m_journalTimer.start();
}

void BatchDecrypt::begin(const QStringList& passphrases)
{
    m_clock.start();
    m_streaming = true;
    m_manager->openFeed();
    startRun(passphrases);
}

int BatchDecrypt::run(const QStringList& passphrases)
{
    if (m_streaming) {
        m_streaming = false;
        noteDuplicates();
        m_manager->closeFeed();
    } else {
        m_clock.start();
        if (m_total > 0)
            startRun(passphrases);
    }
    if (m_running) {
        // A run cancelled while its list was read may have ended already.
        if (!m_ended)
            m_loop.exec();
        m_journalTimer.stop();
        m_progressTimer.stop();
        clearProgress();
    }
    if (m_settings.progressLines && !m_settings.progress)
        printProgress(); // the last one: where the run ended
    reportRemaining();
    syncJournal();
    // An unmounted mount point or a mistyped folder looks like an empty run.
    if (m_total == 0 && m_journaled == 0 && m_recordedRemoved == 0 && m_alreadyDecrypted == 0)
        printErr(QStringLiteral("no envelope found; nothing to do."));
    printSummary(roundedSeconds(m_clock.elapsed()));
    return exitStatus();
}

void BatchDecrypt::onTaskChanged(const CryptTask* task)
{
    if (!task || m_reported.contains(task))
        return;
    if (!m_started.contains(task)) {
        QElapsedTimer clock;
        clock.start();
        m_started.insert(task, clock);
    }
    Outcome outcome;
    switch (task->status()) {
    case CryptTask::FINISHED:
        outcome = Outcome::Finished;
        break;
    case CryptTask::FAILED:
        outcome = Outcome::Failed;
        break;
    case CryptTask::CANCELLED:
        outcome = Outcome::Cancelled;
        break;
    default:
        return;
    }
    // The worker sets the outcome before the manager handles it (a progress tick
    // may show it first), and a finished task's source may still be being deleted;
    // the manager's own notification follows.
    if (!m_manager->isSettled(task))
        return;
    report(task, outcome);
}

void BatchDecrypt::report(const CryptTask* task, Outcome outcome)
{
    // Until the record is gone a late notification may still name it.
    m_reported.insert(task);
    connect(task, &QObject::destroyed, this, [this, task] { m_reported.remove(task); });
    const QString loaded = task->loadedSource();
    const qint64 bytes = sizeOf(loaded);
    const QString source = shownName(loaded);
    const auto started = m_started.constFind(task);
    const double seconds = started == m_started.cend() ? 0.0 : roundedSeconds(started->elapsed());
    m_started.remove(task);
    m_sizes.remove(loaded);
    m_names.remove(loaded);
    m_bytesDone += bytes;
    printTask(task, source, outcome, bytes, seconds);
    if (outcome == Outcome::Finished && m_settings.journal)
        journalRecord(task);
    // Nothing of a reported task is kept: a run over millions of files holds only
    // the files still to do.
    m_manager->releaseTask(task);
}

void BatchDecrypt::journalRecord(const CryptTask* task)
{
    QString error;
    // Under the name it was found by and, after a rename, under its new name,
    // which a rerun finds; a deleted source was recorded before it went.
    Journal* const journal = m_settings.journal;
    const QString base = task->outputBase();
    bool ok = task->sourceDeleted.load() && journal->contains(task->source(), base)
        ? true
        : journal->record(task->source(), base, task->destination(), &error);
    if (ok && task->loadedSource() != task->source())
        ok = journal->record(task->loadedSource(), base, task->destination(), &error);
    if (!ok && !m_journalFailed) {
        m_journalFailed = true;
        ++m_problems;
        printErr(error);
    }
}

void BatchDecrypt::syncJournal()
{
    QString error;
    if (m_settings.journal && !m_settings.journal->sync(&error) && !m_journalFailed) {
        m_journalFailed = true;
        ++m_problems;
        printErr(error);
    }
}

QString BatchDecrypt::shownName(const QString& path) const
{
    const auto queued = m_sizes.constFind(path);
    if (queued != m_sizes.cend() && queued->folder == kBelowWorkingFolder && path.startsWith(m_workingFolder))
        return path.mid(m_workingFolder.size());
    if (queued != m_sizes.cend() && queued->folder >= 0) {
        const auto& [folder, shown] = m_folderNames.at(queued->folder);
        if (path.startsWith(folder))
            return shown + path.mid(folder.size());
    }
    return m_names.value(path, path);
}

void BatchDecrypt::printTask(
    const CryptTask* task, const QString& source, Outcome outcome, qint64 bytes, double seconds)
{
    CliReporter::Task report;
    report.source = source;
    report.destination = task->destination();
    report.outcome = outcome;
    report.message = task->statusText();
    report.bytes = bytes;
    report.seconds = seconds;
    report.passphrase = task->passphraseIndex.load();
    report.verifyOnly = m_settings.verifyOnly;
    switch (outcome) {
    case Outcome::Finished:
        ++m_finished;
        break;
    case Outcome::Failed:
        ++m_failed;
        report.message = task->message();
        // The system's own words for a failed write ("No space left on device").
        report.reason = task->reason();
        report.error = failureWord(task->failure.load());
        // Only plaintext kept after a read failure stays under the destination name.
        if (struct stat info {}; !LocalPath::status(report.destination, &info))
            report.destination.clear();
        break;
    case Outcome::Cancelled:
        ++m_cancelled;
        report.destination.clear();
        break;
    }
    printOut(m_reporter.task(report));
}

void BatchDecrypt::reportRemaining()
{
    // Every finished and failed record has been announced by now; this only
    // guards the counts against a notification that never came.
    for (const CryptTask* task : m_manager->getCompletedTasks()) {
        if (!m_reported.contains(task))
            report(task, Outcome::Finished);
    }
    for (const CryptTask* task : m_manager->getFailedTasks()) {
        if (!m_reported.contains(task))
            report(task, Outcome::Failed);
    }
}

void BatchDecrypt::onManagerError(const QString& message)
{
    ++m_problems;
    printErr(message);
}

void BatchDecrypt::onAllFinished()
{
    // Queued once more, so that the notifications the manager posted after
    // allFinished() (those of the last task) are handled first.
    QMetaObject::invokeMethod(this, &BatchDecrypt::finishIfIdle, Qt::QueuedConnection);
}

void BatchDecrypt::finishIfIdle()
{
    if (!m_manager->isDecrypting()) {
        m_ended = true;
        m_loop.quit();
    }
}

void BatchDecrypt::onInterrupted(int signalNumber)
{
    if (m_signal != 0)
        return; // already cancelling
    m_signal = signalNumber;
    emit stopRequested();
    cancelRest();
}

void BatchDecrypt::cancelRest()
{
    // As the Decrypt button does: running tasks end as cancelled and their paths
    // go back to the pending list, where they stay.
    m_manager->cancel();
    finishIfIdle();
}

void BatchDecrypt::onProgressTick()
{
    if (m_settings.progressLines && !m_settings.progress) {
        printProgress();
        return;
    }
    double bytes = static_cast<double>(m_bytesDone);
    for (const CryptTask* task : m_manager->getRunningTasks()) {
        if (!m_reported.contains(task))
            bytes += task->progress() * static_cast<double>(sizeOf(task->loadedSource()));
    }
    // Between the manager taking a completed task off its worker and the queued
    // report of it here, the task is counted nowhere: never let the line go back.
    m_shownBytes = std::max(m_shownBytes, bytes);
    bytes = m_shownBytes;
    const QString line = ProgressLine::text(m_finished + m_failed + m_cancelled, m_total, bytes,
        static_cast<double>(m_totalBytes), m_clock.elapsed() / 1000.0);
    const QByteArray text = "\r" + line.toUtf8() + "\x1b[K";
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), m_err);
    std::fflush(m_err);
    m_progressShown = true;
}

void BatchDecrypt::printProgress()
{
    const QString line = ProgressLine::text(m_finished + m_failed + m_cancelled, m_total,
        static_cast<double>(m_bytesDone), static_cast<double>(m_totalBytes), m_clock.elapsed() / 1000.0);
    printErr(QStringLiteral("progress: ") + line);
}

void BatchDecrypt::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\x1b[K", m_err);
    std::fflush(m_err);
    m_progressShown = false;
}

int BatchDecrypt::exitStatus() const
{
    if (m_signal != 0)
        return 128 + m_signal;
    return (m_failed > 0 || m_missing > 0 || m_unreadable > 0 || m_problems > 0) ? 1 : 0;
}

void BatchDecrypt::printSummary(double seconds)
{
    CliReporter::BatchSummary summary;
    summary.finished = m_finished;
    summary.failed = m_failed;
    summary.notDone = m_total - m_finished - m_failed;
    summary.total = m_total;
    summary.missing = m_missing;
    summary.unreadable = m_unreadable;
    summary.skipped = m_skipped;
    summary.journaled = m_journaled;
    summary.recordedRemoved = m_recordedRemoved;
    summary.bytes = m_totalBytes;
    summary.seconds = seconds;
    summary.interrupted = m_signal != 0;
    summary.test = m_settings.verifyOnly;
    summary.exitStatus = exitStatus();
    printOut(m_reporter.summary(summary));
}

void BatchDecrypt::printOut(const QByteArray& line)
{
    if (line.isEmpty())
        return;
    clearProgress();
    const bool written
        = std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_out) == static_cast<size_t>(line.size())
        && std::fputc('\n', m_out) != EOF && std::fflush(m_out) == 0;
    if (written || errno != EPIPE || m_outputClosed)
        return;
    // The reader quit: what finished is (or is about to be) journaled; the rest
    // is cancelled as after SIGINT, once this report is done.
    m_outputClosed = true;
    printErr(QStringLiteral("standard output was closed; the batch ends as interrupted."));
    if (m_signal == 0) {
        m_signal = SIGPIPE;
        emit stopRequested();
        QMetaObject::invokeMethod(this, &BatchDecrypt::cancelRest, Qt::QueuedConnection);
    }
}

void BatchDecrypt::printErr(const QString& message)
{
    clearProgress();
    const QByteArray text = "korvelcrypt-cli: " + LocalPath::displayName(message).toUtf8() + "\n";
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), m_err);
    std::fflush(m_err);
}
