// The status bar's speed display while a run decrypts: throughput in MB/s and
// the time left, both from bytes rather than files, so that one large file
// shows how it moves.
//
// At the start of a run the sizes of the waiting files are read once; every
// second the bytes still to do are those of the files still waiting plus the
// unfinished part of each running file, and the rest is done. The label hides
// between runs.
#pragma once

#include "engine/TransferEstimator.h"

#include <QHash>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

class CryptTask;
class DecryptManager;

class SpeedLabel : public QLabel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpeedLabel)

public:
    static constexpr int IntervalMs = 1000;

    explicit SpeedLabel(QWidget* parent = nullptr, TransferEstimator::Clock clock = {});

    // A run of manager's waiting files begins: the label shows and starts measuring.
    void start(DecryptManager* manager);
    // The run has ended: the label stops and hides.
    void stop();

    const TransferEstimator& estimator() const { return m_estimator; }

    // The label's text for a rate (bytes per second, negative while unknown)
    // and a time left (seconds, negative while unknown).
    static QString describe(double bytesPerSecond, double secondsLeft);
    // m:ss, or h:mm:ss from an hour on.
    static QString timeText(double seconds);
    // Bytes still to do: the waiting paths whole, the running tasks for the part
    // not yet done; sizes holds each path's size.
    static qint64 bytesLeft(
        const QStringList& pending, const QList<CryptTask*>& running, const QHash<QString, qint64>& sizes);

public slots:
    // Reads the manager's lists and shows the new estimate (every IntervalMs).
    void sample();

private:
    qint64 sizeOf(const QString& path);

    QPointer<DecryptManager> m_manager;
    QHash<QString, qint64> m_sizes;
    TransferEstimator m_estimator;
    QTimer m_timer;
};
