#include "engine/TransferEstimator.h"

#include <QElapsedTimer>

#include <algorithm>
#include <utility>

namespace {

qint64 monotonicMs()
{
    static const QElapsedTimer origin = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return origin.elapsed();
}

} // namespace

TransferEstimator::TransferEstimator(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock(monotonicMs))
{ }

void TransferEstimator::start(qint64 totalBytes, qint64 bytesDone)
{
    m_total = std::max<qint64>(0, totalBytes);
    m_done = std::clamp<qint64>(bytesDone, 0, m_total);
    m_samples.clear();
    m_samples.push_back({ m_clock(), m_done });
}

void TransferEstimator::update(qint64 bytesDone)
{
    m_done = std::clamp<qint64>(bytesDone, m_done, std::max(m_total, m_done));
    const qint64 now = m_clock();
    m_samples.push_back({ now, m_done });
    // Keep one sample at or before the window's start, so that the rate always
    // spans the whole window once the run is that old.
    while (m_samples.size() > 2 && m_samples[1].ms <= now - WindowMs) {
        m_samples.pop_front();
    }
}

double TransferEstimator::bytesPerSecond() const
{
    if (m_samples.size() < 2) {
        return -1.0;
    }
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    const qint64 span = last.ms - first.ms;
    if (span < MinSpanMs) {
        return -1.0;
    }
    return double(last.bytes - first.bytes) * 1000.0 / double(span);
}

double TransferEstimator::secondsLeft() const
{
    if (m_done >= m_total) {
        return 0.0;
    }
    const double rate = bytesPerSecond();
    if (rate <= 0.0) {
        return -1.0;
    }
    return double(m_total - m_done) / rate;
}
