#include "app/RunNotifier.h"

#include <QElapsedTimer>

#include <algorithm>
#include <utility>

RunNotifier::RunNotifier(QObject* parent, Clock clock)
    : QObject(parent)
    , m_clock(std::move(clock))
{
    if (!m_clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        m_clock = [timer] { return timer->elapsed(); };
    }
}

bool RunNotifier::worthNotifying(qint64 runMs, bool windowActive)
{
    return !windowActive && runMs > MinRunMs;
}

void RunNotifier::runStarted(int finished, int failed)
{
    m_running = true;
    m_startMs = m_clock();
    m_finishedAtStart = finished;
    m_failedAtStart = failed;
}

bool RunNotifier::runEnded(int finished, int failed, bool windowActive)
{
    if (!m_running) {
        return false;
    }
    m_running = false;
    if (!worthNotifying(m_clock() - m_startMs, windowActive)) {
        return false;
    }
    const int finishedInRun = std::max(0, finished - m_finishedAtStart);
    const int failedInRun = std::max(0, failed - m_failedAtStart);
    emit noticeDue(tr("Decryption finished"), tr("%1 finished, %2 failed").arg(finishedInRun).arg(failedInRun));
    return true;
}
