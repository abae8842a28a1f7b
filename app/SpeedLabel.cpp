#include "app/SpeedLabel.h"

#include "engine/CryptTask.h"
#include "engine/DecryptManager.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr double kBytesPerMegabyte = 1000.0 * 1000.0;
// Beyond this the estimate says nothing useful.
constexpr double kLongestTimeLeft = 100.0 * 3600.0;

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

void SpeedLabel::start(DecryptManager* manager)
{
    m_manager = manager;
    m_sizes.clear();
    qint64 total = 0;
    if (manager) {
        for (const QString& path : manager->getPendingPaths()) {
            total += sizeOf(path);
        }
        for (const CryptTask* task : manager->getRunningTasks()) {
            total += sizeOf(task->loadedSource());
        }
    }
    m_estimator.start(total);
    setText(describe(-1.0, -1.0));
    show();
    m_timer.start();
}

void SpeedLabel::stop()
{
    m_timer.stop();
    m_manager = nullptr;
    m_sizes.clear();
    hide();
}

void SpeedLabel::sample()
{
    if (!m_manager) {
        stop();
        return;
    }
    const QStringList pending = m_manager->getPendingPaths();
    const QList<CryptTask*> running = m_manager->getRunningTasks();
    // A path can only come back (a cancelled task), never arrive new, while a
    // run lasts; its size is already known.
    m_estimator.update(m_estimator.totalBytes() - bytesLeft(pending, running, m_sizes));
    setText(describe(m_estimator.bytesPerSecond(), m_estimator.secondsLeft()));
}

qint64 SpeedLabel::sizeOf(const QString& path)
{
    const auto known = m_sizes.constFind(path);
    if (known != m_sizes.cend()) {
        return *known;
    }
    const qint64 size = std::max<qint64>(0, QFileInfo(path).size());
    m_sizes.insert(path, size);
    return size;
}

qint64 SpeedLabel::bytesLeft(
    const QStringList& pending, const QList<CryptTask*>& running, const QHash<QString, qint64>& sizes)
{
    double left = 0.0;
    for (const QString& path : pending) {
        left += double(sizes.value(path));
    }
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
