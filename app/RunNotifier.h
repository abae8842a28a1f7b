// Decides whether the end of a decryption run is worth a desktop notification:
// only a run that took more than MinRunMs and ended while the user was busy
// elsewhere (the window not active). The notice says how many files finished
// and how many failed in the run; noticeDue() carries it to whatever shows it.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class RunNotifier : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RunNotifier)

public:
    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    static constexpr qint64 MinRunMs = 5000;

    explicit RunNotifier(QObject* parent = nullptr, Clock clock = {});

    static bool worthNotifying(qint64 runMs, bool windowActive);

    // A run starts with these totals of finished and failed tasks.
    void runStarted(int finished, int failed);
    // The run has ended with these totals; emits noticeDue() when it is worth
    // it. Returns whether it did. Without a started run, nothing happens.
    bool runEnded(int finished, int failed, bool windowActive);

signals:
    void noticeDue(const QString& summary, const QString& body);

private:
    Clock m_clock;
    bool m_running = false;
    qint64 m_startMs = 0;
    int m_finishedAtStart = 0;
    int m_failedAtStart = 0;
};
