#include "engine/RingWriter.h"

#include "engine/ThreadPriority.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <system_error>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace {

std::atomic<int> s_busyWorkers { 0 };
std::atomic<uint64_t> s_threshold { RingWriter::kDefaultThreshold };
std::atomic<int> s_cores { 0 };
std::atomic<uint64_t> s_threadsStarted { 0 };
std::atomic<uint64_t> s_writerCpuNanoseconds { 0 };

// The cores this process may run on (its affinity mask), at least 1.
int availableCores()
{
    static const int cores = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
            return CPU_COUNT(&set);
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        return online > 0 ? static_cast<int>(online) : 1;
    }();
    return cores;
}

} // namespace

RingWriter::BusyWorker::BusyWorker()
{
    s_busyWorkers.fetch_add(1, std::memory_order_relaxed);
}

RingWriter::BusyWorker::~BusyWorker()
{
    s_busyWorkers.fetch_sub(1, std::memory_order_relaxed);
}

bool RingWriter::worthwhile(uint64_t size)
{
    return size >= s_threshold.load(std::memory_order_relaxed) && coreFree();
}

bool RingWriter::coreFree()
{
    return s_busyWorkers.load(std::memory_order_relaxed) < coreCount();
}

void RingWriter::setThreshold(uint64_t bytes)
{
    s_threshold.store(bytes);
}

uint64_t RingWriter::threshold()
{
    return s_threshold.load();
}

void RingWriter::setCoreCount(int cores)
{
    s_cores.store(cores > 0 ? cores : 0);
}

int RingWriter::coreCount()
{
    const int cores = s_cores.load(std::memory_order_relaxed);
    return cores > 0 ? cores : availableCores();
}

uint64_t RingWriter::threadsStarted()
{
    return s_threadsStarted.load();
}

double RingWriter::writerCpuSeconds()
{
    return static_cast<double>(s_writerCpuNanoseconds.load()) / 1e9;
}

std::unique_ptr<RingWriter> RingWriter::start(int fd)
{
    std::unique_ptr<RingWriter> writer(new (std::nothrow) RingWriter(fd));
    if (!writer)
        return nullptr;
    // The others come as the plaintext needs them.
    writer->m_buffers[0] = allocateBuffer();
    if (!writer->m_buffers[0])
        return nullptr;
    try {
        writer->m_thread = std::thread([w = writer.get()] { w->writerLoop(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    pthread_setname_np(writer->m_thread.native_handle(), "korvel-writer"); // for profilers and top
    s_threadsStarted.fetch_add(1);
    return writer;
}

RingWriter::RingWriter(int fd)
    : m_fd(fd)
{ }

RingWriter::~RingWriter()
{
    abandon();
    // The ring held plaintext.
    for (uint8_t* buffer : m_buffers) {
        if (buffer) {
            OPENSSL_cleanse(buffer, kBufferSize);
            std::free(buffer);
        }
    }
}

int RingWriter::error() const
{
    std::lock_guard<std::mutex> locker(m_lock);
    return m_error;
}

int RingWriter::writeBuffer(const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(m_fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO; // a regular file that takes nothing would never take the rest
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

uint8_t* RingWriter::allocateBuffer()
{
    return static_cast<uint8_t*>(std::aligned_alloc(64, kBufferSize));
}

void RingWriter::handOver()
{
    if (m_fill == 0)
        return;
    // A buffer never used before has never been queued: the worker may set it up
    // without the lock.
    uint8_t*& next = m_buffers[(m_tail + 1) % kBuffers];
    if (!next)
        next = allocateBuffer();
    if (!coreFree() || !next) {
        // Every core has a busy worker, so a second thread here would only take
        // turns with the others (or there is no memory for another buffer). Write
        // this buffer on the worker's own thread, once those before it are
        // written, so that the order stays.
        std::unique_lock<std::mutex> locker(m_lock);
        m_toWorker.wait(locker, [this] { return m_head == m_tail || m_error != 0; });
        if (m_error == 0) {
            locker.unlock();
            const int error = writeBuffer(m_buffers[m_tail % kBuffers], m_fill);
            locker.lock();
            if (error != 0) {
                m_error = error;
                m_failed.store(true, std::memory_order_release);
            }
        }
        m_fill = 0;
        return;
    }
    std::unique_lock<std::mutex> locker(m_lock);
    if (m_error == 0) {
        m_lengths[m_tail % kBuffers] = m_fill;
        ++m_tail;
        m_toWriter.notify_one();
        m_toWorker.wait(locker, [this] { return m_tail - m_head < kBuffers || m_error != 0; });
    }
    // After a failure the buffer is dropped and the ring is reused for nothing.
    m_fill = 0;
}

void RingWriter::writerLoop()
{
    // A background thread like the worker that feeds it: it makes way for the window.
    ThreadPriority::lowerCurrentThread();
    struct CpuTime {
        ~CpuTime()
        {
            timespec used {};
            if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0)
                s_writerCpuNanoseconds.fetch_add(
                    static_cast<uint64_t>(used.tv_sec) * 1000000000u + static_cast<uint64_t>(used.tv_nsec));
        }
    } const cpuTime;
    std::unique_lock<std::mutex> locker(m_lock);
    for (;;) {
        m_toWriter.wait(locker, [this] { return m_head != m_tail || m_closing || m_abandoned; });
        if (m_abandoned || m_head == m_tail)
            break; // abandoned, or closing with every buffer written
        const size_t slot = m_head % kBuffers;
        locker.unlock();
        const int error = writeBuffer(m_buffers[slot], m_lengths[slot]);
        locker.lock();
        if (error != 0) {
            // Nothing after a failed write reaches the file: the rest is dropped.
            m_error = error;
            m_failed.store(true, std::memory_order_release);
            m_head = m_tail;
            m_toWorker.notify_one();
            break;
        }
        if (m_abandoned)
            break;
        ++m_head;
        m_toWorker.notify_one();
    }
}

void RingWriter::stopThread()
{
    m_toWriter.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

bool RingWriter::finish()
{
    if (m_fill > 0) {
        std::lock_guard<std::mutex> locker(m_lock);
        if (m_error == 0) {
            m_lengths[m_tail % kBuffers] = m_fill;
            ++m_tail;
        }
        m_fill = 0;
    }
    {
        std::lock_guard<std::mutex> locker(m_lock);
        m_closing = true;
    }
    stopThread();
    return !m_failed.load();
}

void RingWriter::abandon()
{
    {
        std::lock_guard<std::mutex> locker(m_lock);
        m_abandoned = true;
    }
    m_fill = 0;
    stopThread();
}
