// The status bar's speed display while a run decrypts: throughput in MB/s and
// the time left, both from bytes rather than files, so that one large file
// shows how it moves.
//
// At the start of a run the files taken for it are listed once, running first,
// then waiting in their order, and their sizes are read on a thread of the
// label's own (a run of a hundred thousand files must not hold up the window).
// While a run lasts no file joins the waiting list and files leave it from the
// front, so the bytes still waiting follow from how many wait; to them come the
// unfinished parts of the running files. The label hides between runs.
#pragma once

#include "engine/TransferEstimator.h"

#include <QHash>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class CryptTask;
class DecryptManager;
class QThread;

class SpeedLabel : public QLabel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpeedLabel)

public:
    static constexpr int IntervalMs = 1000;

    explicit SpeedLabel(QWidget* parent = nullptr, TransferEstimator::Clock clock = {});
    ~SpeedLabel() override;

    // A run of manager's files begins: the label shows and starts measuring.
    void start(DecryptManager* manager);
    // The run has ended: the label stops and hides.
    void stop();

    const TransferEstimator& estimator() const { return m_estimator; }
    // Whether the sizes of the run's files are known (the estimate has begun).
    bool sized() const { return !m_waitingBytes.empty(); }

    // The label's text for a rate (bytes per second, negative while unknown)
    // and a time left (seconds, negative while unknown).
    static QString describe(double bytesPerSecond, double secondsLeft);
    // m:ss, or h:mm:ss from an hour on.
    static QString timeText(double seconds);
    // For each index i, the bytes of paths i to the end (one more entry, 0, at
    // the end). Empty when interrupted (stop() or destruction). Reads the disk.
    static std::vector<qint64> bytesFrom(const QStringList& paths);
    // The part not yet done of each running task's file; sizes holds their sizes.
    static qint64 runningBytesLeft(const QList<CryptTask*>& running, const QHash<QString, qint64>& sizes);

public slots:
    // Reads the manager's state and shows the new estimate (every IntervalMs).
    void sample();

signals:
    // The sizes of a run's files are known (emitted on the label's thread).
    void sizesKnown();

private:
    void onSized();
    void stopSizing();
    qint64 bytesDone();

    QPointer<DecryptManager> m_manager;
    // The run's files, running first, then waiting in their order.
    QStringList m_files;
    // bytesFrom(m_files), once known.
    std::vector<qint64> m_waitingBytes;
    // Sizes of the files seen running.
    QHash<QString, qint64> m_runningSizes;
    QThread* m_sizing = nullptr;
    quint64 m_run = 0;
    std::shared_ptr<std::vector<qint64>> m_sized;
    TransferEstimator m_estimator;
    QTimer m_timer;
};
