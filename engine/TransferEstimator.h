// Throughput and time left of a run measured in bytes, for a progress display
// that a single large file does not leave standing still.
//
// The caller feeds the bytes done so far (at any pace, typically once a second);
// the rate is taken over the samples of the last few seconds, so a burst or a
// stall moves it smoothly, and the time left is the bytes still to do at that
// rate. The clock is injected: the default is a monotonic clock, tests pass
// their own.
#pragma once

#include <QtGlobal>

#include <deque>
#include <functional>

class TransferEstimator {
public:
    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    // How far back the rate looks.
    static constexpr qint64 WindowMs = 5000;
    // The shortest span of samples that gives a rate at all.
    static constexpr qint64 MinSpanMs = 1000;

    explicit TransferEstimator(Clock clock = {});

    // A new run of totalBytes of which bytesDone are done already (measuring
    // starts now); forgets earlier samples.
    void start(qint64 totalBytes, qint64 bytesDone = 0);
    // Bytes done so far in the run, read now. A value below an earlier one (a
    // cancelled piece going back to the queue) counts as no progress.
    void update(qint64 bytesDone);

    qint64 totalBytes() const { return m_total; }
    qint64 bytesDone() const { return m_done; }
    // Bytes per second over the last WindowMs; negative while there is no rate
    // yet (fewer than MinSpanMs of samples).
    double bytesPerSecond() const;
    // Seconds until the total is done at the current rate: 0 once it is done,
    // negative when unknown (no rate yet, or nothing moving).
    double secondsLeft() const;

private:
    struct Sample {
        qint64 ms;
        qint64 bytes;
    };

    Clock m_clock;
    std::deque<Sample> m_samples;
    qint64 m_total = 0;
    qint64 m_done = 0;
};
