// A writer thread fed by a ring of buffers: writes a worker's plaintext on a
// thread of its own, so that the kernel copies one buffer into the page cache
// while the worker reads and decrypts the next.
//
// The worker fills the buffers of a small ring piece by piece (space(), then
// commit()); a full buffer goes to the writer thread, which writes the buffers
// to the descriptor in the order they were filled. Memory stays bounded: when
// every buffer waits to be written, the worker waits for one to come free.
//
// A failed write stops the writer for good: the buffers after it are dropped and
// nothing more reaches the file; commit() and finish() report it, error() keeps
// the errno. abandon() drops what is not yet written and returns once nothing
// more can be written. No side polls: both wait on condition variables. The
// writer thread runs at a background thread's priority (ThreadPriority).
//
// The writer thread pays only for large plaintexts and only while a core is free for
// the writer: worthwhile() decides at the start of a file, and while a file is
// written the worker steps aside (writes its buffers itself, after the queue has
// drained) whenever every core already has a busy worker.
#pragma once

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class RingWriter {
    Q_DISABLE_COPY_MOVE(RingWriter)

public:
    // Size of one buffer of the ring (one write(2) each) and their number:
    // 512 KiB per worker at most, allocated as the plaintext needs them. Small
    // buffers matter: the writer copies each into the page cache while it is
    // still in the caches the two cores share (bench/decrypt_throughput prints
    // the writer thread's CPU time per GiB; README, "Figures", keeps the last
    // measurement).
    static constexpr size_t kBufferSize = 64 * 1024;
    static constexpr size_t kBuffers = 8;
    // Largest piece space() must make room for.
    static constexpr size_t kPieceSize = 1024;
    // Smallest plaintext that gets a writer thread: below it, starting the
    // thread, setting up the ring and handing buffers over cost more CPU time
    // than the overlap may (bench/decrypt_throughput with KORVEL_BENCH_SWEEP=1
    // measures both paths by size; README, "Figures").
    static constexpr uint64_t kDefaultThreshold = 16u << 20;

    // Counts the calling worker among the busy ones for as long as it lives.
    class BusyWorker {
        Q_DISABLE_COPY_MOVE(BusyWorker)

    public:
        BusyWorker();
        ~BusyWorker();
    };

    // Whether a plaintext of `size` bytes is worth a writer thread now: at least
    // the threshold, and a core free for the writer (busy workers, this one
    // included, fewer than the cores the process may run on).
    static bool worthwhile(uint64_t size);
    // Busy workers are fewer than the cores.
    static bool coreFree();

    // Seams for tests and benchmarks. The threshold (0 overlaps every file,
    // UINT64_MAX none); the number of cores (0: the cores this process may run
    // on); how many writer threads have been started so far, and the CPU time
    // (user + system) that those which ended spent.
    static void setThreshold(uint64_t bytes);
    static uint64_t threshold();
    static void setCoreCount(int cores);
    static int coreCount();
    static uint64_t threadsStarted();
    static double writerCpuSeconds();

    // A writer with its thread started for the open descriptor fd (which it does
    // not own); null when memory or a thread cannot be had.
    static std::unique_ptr<RingWriter> start(int fd);
    // Abandons what is not yet written, joins the thread and wipes the buffers.
    ~RingWriter();

    // Room for the next piece (at least kPieceSize bytes) in the buffer being filled.
    uint8_t* space() { return m_buffers[m_tail % kBuffers] + m_fill; }
    // Adds the `length` bytes just put at space(); a full buffer goes to the
    // writer (this waits while every buffer is taken). False once a write has
    // failed: the bytes are then dropped.
    bool commit(size_t length)
    {
        m_fill += length;
        if (kBufferSize - m_fill < kPieceSize)
            handOver();
        return !m_failed.load(std::memory_order_acquire);
    }
    // Hands over the buffer being filled and waits until every byte is written
    // (or a write failed); the thread has ended when it returns. True when all
    // was written.
    bool finish();
    // Drops everything not yet written and waits for the thread to end; nothing
    // is written after it returns.
    void abandon();
    // errno of the failed write; 0 while none failed.
    int error() const;

private:
    explicit RingWriter(int fd);
    static uint8_t* allocateBuffer();
    void handOver();
    void writerLoop();
    // Writes a whole buffer; 0 or errno.
    int writeBuffer(const uint8_t* data, size_t length);
    void stopThread();

    const int m_fd;
    uint8_t* m_buffers[kBuffers] = {};
    size_t m_lengths[kBuffers] = {};
    // Buffers [m_head, m_tail) wait for the writer, in order; m_tail is the one the
    // worker fills (m_fill bytes so far) and is free while m_tail - m_head < kBuffers.
    // m_head moves on only once its buffer is written.
    uint64_t m_head = 0;
    uint64_t m_tail = 0;
    size_t m_fill = 0;
    bool m_closing = false; // no more buffers will come: end once the queue is empty
    bool m_abandoned = false; // drop the queue and end now
    int m_error = 0;
    std::atomic<bool> m_failed { false };
    mutable std::mutex m_lock;
    std::condition_variable m_toWriter; // a buffer queued, or closing or abandoned
    std::condition_variable m_toWorker; // a buffer written, or the writer failed
    std::thread m_thread;
};
