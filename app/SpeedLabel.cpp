#include "app/SpeedLabel.h"

#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"

#include <QFileInfo>
#include <QLocale>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr double kBytesPerMegabyte = 1000.0 * 1000.0;
// Beyond this the estimate says nothing useful.
constexpr double kLongestTimeLeft = 100.0 * 3600.0;

qint64 fileSize(const QString& path)
{
    return std::max<qint64>(0, QFileInfo(path).size());
}

} // namespace

SpeedLabel::SpeedLabel(QWidget* parent, TransferEstimator::Clock clock)
    : QLabel(parent)
    , m_estimator(std::move(clock))
    , m_timer(this)
{
    m_timer.setInterval(IntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &SpeedLabel::sample);
    setAccessibleName(tr("Speed and time left"));
    hide();
}

SpeedLabel::~SpeedLabel()
{
    stopSizing();
}

void SpeedLabel::start(DecryptManager* manager)
{
    stop();
    m_manager = manager;
    if (manager) {
        // The dispatch thread may have taken the first files already.
        for (const CryptTask* task : manager->getRunningTasks()) {
            m_files.append(task->loadedSource());
        }
        m_files.append(manager->getPendingPaths());
    }
    auto sized = std::make_shared<std::vector<qint64>>();
    m_sized = sized;
    m_sizing = QThread::create([sized, files = m_files] { *sized = bytesFrom(files); });
    // A finish of an earlier run's sizing, still on its way, is not this run's.
    const quint64 run = ++m_run;
    connect(m_sizing, &QThread::finished, this, [this, run] {
        if (run == m_run) {
            onSized();
        }
    });
    m_sizing->start(QThread::LowPriority);
    setText(describe(-1.0, -1.0));
    show();
    m_timer.start();
}

void SpeedLabel::stop()
{
    stopSizing();
    m_timer.stop();
    m_manager = nullptr;
    m_files.clear();
    m_waitingBytes.clear();
    m_runningSizes.clear();
    hide();
}

void SpeedLabel::stopSizing()
{
    if (!m_sizing) {
        return;
    }
    ++m_run;
    m_sizing->requestInterruption();
    m_sizing->wait();
    delete m_sizing;
    m_sizing = nullptr;
    m_sized.reset();
}

void SpeedLabel::onSized()
{
    if (!m_sizing) {
        return;
    }
    m_sizing->wait();
    delete m_sizing;
    m_sizing = nullptr;
    m_waitingBytes = std::move(*m_sized);
    m_sized.reset();
    if (m_waitingBytes.empty() || !m_manager) {
        return;
    }
    // Measuring starts now; what the run did while the sizes were read is done already.
    m_estimator.start(m_waitingBytes.front(), bytesDone());
    emit sizesKnown();
}

void SpeedLabel::sample()
{
    if (!m_manager) {
        stop();
        return;
    }
    if (!sized()) {
        return;
    }
    m_estimator.update(bytesDone());
    setText(describe(m_estimator.bytesPerSecond(), m_estimator.secondsLeft()));
}

qint64 SpeedLabel::bytesDone()
{
    const qsizetype files = qsizetype(m_waitingBytes.size()) - 1;
    const qsizetype waiting = std::clamp<qsizetype>(m_manager->getNumPending(), 0, files);
    const QList<CryptTask*> running = m_manager->getRunningTasks();
    for (const CryptTask* task : running) {
        const QString path = task->loadedSource();
        if (!m_runningSizes.contains(path)) {
            m_runningSizes.insert(path, fileSize(path));
        }
    }
    const qint64 left = m_waitingBytes[size_t(files - waiting)] + runningBytesLeft(running, m_runningSizes);
    return m_waitingBytes.front() - left;
}

std::vector<qint64> SpeedLabel::bytesFrom(const QStringList& paths)
{
    std::vector<qint64> from(size_t(paths.size()) + 1, 0);
    for (qsizetype i = paths.size() - 1; i >= 0; --i) {
        if (QThread::currentThread()->isInterruptionRequested()) {
            return {};
        }
        from[size_t(i)] = from[size_t(i) + 1] + fileSize(paths.at(i));
    }
    return from;
}

qint64 SpeedLabel::runningBytesLeft(const QList<CryptTask*>& running, const QHash<QString, qint64>& sizes)
{
    double left = 0.0;
    for (const CryptTask* task : running) {
        const double part = 1.0 - std::clamp(double(task->progress()), 0.0, 1.0);
        left += double(sizes.value(task->loadedSource())) * part;
    }
    return qint64(std::llround(left));
}

QString SpeedLabel::describe(double bytesPerSecond, double secondsLeft)
{
    if (bytesPerSecond < 0.0 || !std::isfinite(bytesPerSecond)) {
        return tr("Measuring speed...");
    }
    const QString rate = QLocale().toString(bytesPerSecond / kBytesPerMegabyte, 'f', 1);
    if (secondsLeft < 0.0 || !std::isfinite(secondsLeft) || secondsLeft > kLongestTimeLeft) {
        return tr("%1 MB/s").arg(rate);
    }
    return tr("%1 MB/s, %2 left").arg(rate, timeText(secondsLeft));
}

QString SpeedLabel::timeText(double seconds)
{
    const qint64 whole = seconds > 0.0 ? qint64(std::ceil(seconds)) : 0;
    const qint64 hours = whole / 3600;
    const QString secondsPart = QStringLiteral("%1").arg(whole % 60, 2, 10, QLatin1Char('0'));
    if (hours == 0) {
        return QStringLiteral("%1:%2").arg(whole / 60).arg(secondsPart);
    }
    const QString minutesPart = QStringLiteral("%1").arg(whole / 60 % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3").arg(hours).arg(minutesPart, secondsPart);
}
