// Mutex with owner, named mutex, condition and semaphore over pthreads, lock files and POSIX semaphores.
#include "kv/kv_sync.h"
#include "runtime/src/kv_internal.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

using namespace kv::internal;

namespace {

constexpr int kLive = 1;
constexpr int kDestroyed = -1;

int64_t currentThreadId()
{
    return static_cast<int64_t>(gettid());
}

// The owner field is read by other threads without the lock (they only compare it
// with their own id, which the owner alone ever stores), so access it atomically.
int64_t ownerOf(const kv_mutex_t* m)
{
    return __atomic_load_n(&m->owner, __ATOMIC_RELAXED);
}

void setOwner(kv_mutex_t* m, int64_t id)
{
    __atomic_store_n(&m->owner, id, __ATOMIC_RELAXED);
}

bool live(const kv_mutex_t* m)
{
    return m && m->handle == kLive;
}

// The result of locking the native mutex. EOWNERDEAD: its holder ended without
// releasing it; the caller now holds it, marks it usable again and becomes its
// owner, and learns that what the mutex guards may be half changed.
int lockedResult(kv_mutex_t* m, int64_t self, int rc)
{
    if (rc == EOWNERDEAD) {
        rc = pthread_mutex_consistent(&m->native);
        if (rc != 0) {
            pthread_mutex_unlock(&m->native);
            return rc;
        }
        setOwner(m, self);
        return KV_ERR_WAIT_ABANDONED;
    }
    if (rc != 0)
        return rc;
    setOwner(m, self);
    return 0;
}

// An absolute CLOCK_MONOTONIC time `milliseconds` from now.
timespec deadlineAfter(uint64_t milliseconds)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(milliseconds / 1000);
    ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_nsec -= 1000000000L;
        ts.tv_sec += 1;
    }
    return ts;
}

// The lock file's name: "Global\kv_mutex_<name>" with the caller's backslashes
// turned into slashes, the seventh character set back to a backslash, and then
// every slash written as a backslash, so that the caller's part never reaches
// into another folder.
int namedMutexFileName(const char* name, char* file, size_t size)
{
    // A cut name would quietly share its lock with every name of the same prefix.
    const int needed = boundedFormat(nullptr, 0, "Global\\kv_mutex_%s", name);
    if (needed < 0 || needed >= KV_NAMED_MUTEX_NAME_SIZE)
        return KV_ENOSPACE;
    char global[KV_NAMED_MUTEX_NAME_SIZE];
    boundedFormat(global, sizeof global, "Global\\kv_mutex_%s", name);
    for (char* p = global; *p; ++p) {
        if (*p == '\\')
            *p = '/';
    }
    global[6] = '\\';
    if (static_cast<size_t>(needed) > NAME_MAX || static_cast<size_t>(needed) >= size)
        return KV_ERR_FILENAME_TOO_LONG;
    for (size_t i = 0;; ++i) {
        file[i] = global[i] == '/' ? '\\' : global[i];
        if (!global[i])
            break;
    }
    return 0;
}

// The folder of the lock files: $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp; a
// variable counts only when it holds an absolute path.
const char* lockFolder()
{
    for (const char* variable : { "XDG_RUNTIME_DIR", "TMPDIR" }) {
        const char* value = getenv(variable);
        if (value && value[0] == '/')
            return value;
    }
    return "/tmp";
}

// States of a named mutex handle within its process.
constexpr int kFree = 0;
constexpr int kTaking = 1; // one thread is taking the lock file
constexpr int kHeld = 2;

// The first byte of a lock file is 1 while a holder has it and 0 once released,
// so that whoever gets the lock after a holder died learns of it.
constexpr char kMarkerHeld = 1;
constexpr char kMarkerFree = 0;

// Serialises handles taken over by a forked child (see adoptAfterFork).
pthread_mutex_t gAdoptLock = PTHREAD_MUTEX_INITIALIZER;

struct AdoptLockAfterFork {
    AdoptLockAfterFork()
    {
        // A thread of the parent may have held it at the fork.
        pthread_atfork(nullptr, nullptr, [] { pthread_mutex_init(&gAdoptLock, nullptr); });
    }
} gAdoptLockAfterFork;

int lockFile(int fd, bool wait)
{
    return retryOnEintr([&] { return flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)); }) == 0 ? 0 : lastError(EIO);
}

int unlockFile(int fd)
{
    return retryOnEintr([&] { return flock(fd, LOCK_UN); }) == 0 ? 0 : lastError(EIO);
}

int writeMarker(int fd, char marker)
{
    const ssize_t n = retryOnEintr([&] { return pwrite(fd, &marker, 1, 0); });
    return n == 1 ? 0 : lastError(EIO);
}

// Holds a lock file whose previous holder did not release it: 1, else 0, or -errno.
int readMarker(int fd)
{
    char marker = kMarkerFree;
    const ssize_t n = retryOnEintr([&] { return pread(fd, &marker, 1, 0); });
    if (n < 0)
        return -lastError(EIO);
    return n == 1 && marker != kMarkerFree ? 1 : 0;
}

// A handle that a forked child inherited shares its parent's open file, and a
// flock belongs to the open file: the child would take the lock "again" while the
// parent holds it. The child's first use therefore opens the file anew (through
// /proc, so it is the same file even if its name was replaced meanwhile) in place
// of the inherited descriptor, and starts holding nothing.
int adoptAfterFork(kv_named_mutex_t* m)
{
    const int self = getpid();
    if (__atomic_load_n(&m->pid, __ATOMIC_ACQUIRE) == self)
        return 0;
    pthread_mutex_lock(&gAdoptLock);
    int rc = 0;
    if (__atomic_load_n(&m->pid, __ATOMIC_RELAXED) != self) {
        char proc[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", m->fd);
        const int fd = openCloexec(proc, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            rc = lastError(EIO);
        } else {
            if (dup3(fd, m->fd, O_CLOEXEC) < 0)
                rc = lastError(EIO);
            closeFd(fd);
        }
        if (rc == 0) {
            // The parent's threads may have held or waited on these at the fork.
            pthread_mutex_init(&m->gate, nullptr);
            pthread_cond_init(&m->changed, nullptr);
            m->state = kFree;
            __atomic_store_n(&m->pid, self, __ATOMIC_RELEASE);
        }
    }
    pthread_mutex_unlock(&gAdoptLock);
    return rc;
}

// Take the lock file for a handle its caller has reserved (state kTaking): 0,
// KV_ERR_WAIT_ABANDONED (held now too), EWOULDBLOCK when !wait and another handle
// holds it, or an errno.
int takeLockFile(kv_named_mutex_t* m, bool wait)
{
    int rc = lockFile(m->fd, wait);
    if (rc != 0)
        return rc;
    const int abandoned = readMarker(m->fd);
    rc = abandoned < 0 ? -abandoned : writeMarker(m->fd, kMarkerHeld);
    if (rc != 0) {
        unlockFile(m->fd);
        return rc;
    }
    return abandoned ? KV_ERR_WAIT_ABANDONED : 0;
}

// kv_named_mutex_acquire (wait) and kv_named_mutex_acquire_nb, before logging.
int namedAcquire(kv_named_mutex_t* m, bool wait)
{
    if (int rc = adoptAfterFork(m))
        return rc;
    pthread_mutex_lock(&m->gate);
    if (!wait && m->state != kFree) {
        pthread_mutex_unlock(&m->gate);
        return KV_ERR_WAIT_TIMEOUT;
    }
    // Threads of this process that use the same handle queue here, not on the
    // lock file, which cannot tell them apart.
    while (m->state != kFree)
        pthread_cond_wait(&m->changed, &m->gate);
    m->state = kTaking;
    pthread_mutex_unlock(&m->gate);

    int rc = takeLockFile(m, wait);
    if (rc == EWOULDBLOCK)
        rc = KV_ERR_WAIT_TIMEOUT;
    pthread_mutex_lock(&m->gate);
    if (rc == 0 || rc == KV_ERR_WAIT_ABANDONED) {
        m->state = kHeld;
    } else {
        m->state = kFree;
        pthread_cond_broadcast(&m->changed);
    }
    pthread_mutex_unlock(&m->gate);
    return rc;
}

// The event wait of kv_cond_wait and kv_cond_timedwait: wait until a signal given
// after the wait began, or one still pending; then reacquire the caller's mutex and
// reset the event. deadline null: no limit.
int condWait(kv_cond_t* c, const timespec* deadline)
{
    if (!c || c->handle != kLive || !live(c->mutex))
        return EINVAL;
    int rc = pthread_mutex_lock(&c->lock);
    if (rc != 0)
        return rc;
    const unsigned generation = c->generation;
    // Released under the event lock, so no signal can slip between release and wait.
    rc = kv_mutex_release(c->mutex);
    if (rc != 0) {
        pthread_mutex_unlock(&c->lock);
        return rc;
    }
    int waitRc = 0;
    while (!c->signalled && c->generation == generation) {
        waitRc
            = deadline ? pthread_cond_timedwait(&c->event, &c->lock, deadline) : pthread_cond_wait(&c->event, &c->lock);
        if (waitRc != 0)
            break;
    }
    if (waitRc == 0 || waitRc == ETIMEDOUT) {
        // A signal that arrived with the time-out still counts.
        if (c->signalled || c->generation != generation)
            waitRc = 0;
    }
    pthread_mutex_unlock(&c->lock);

    rc = kv_mutex_acquire(c->mutex);
    if (rc != 0)
        return rc;
    if (waitRc == ETIMEDOUT)
        return KV_ERR_TIMED_OUT;
    if (waitRc != 0)
        return waitRc;
    rc = pthread_mutex_lock(&c->lock);
    if (rc != 0)
        return rc;
    c->signalled = 0;
    pthread_mutex_unlock(&c->lock);
    return 0;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ mutex

int kv_mutex_init(kv_mutex_t* mutex)
{
    if (!mutex)
        return EINVAL;
    // Robust, so that a thread ending while it holds the mutex hands the next
    // acquirer the abandoned result instead of blocking it for ever.
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        if (rc == 0)
            rc = pthread_mutex_init(&mutex->native, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        kv_log("kv_mutex_init failed, err=%d", rc);
        mutex->handle = kDestroyed;
        return rc;
    }
    mutex->owner = 0;
    mutex->handle = kLive;
    return 0;
}

int kv_mutex_init_recursive(kv_mutex_t* mutex)
{
    return kv_mutex_init(mutex);
}

int kv_mutex_acquire(kv_mutex_t* mutex)
{
    if (!live(mutex))
        return EINVAL;
    const int64_t self = currentThreadId();
    if (ownerOf(mutex) == self)
        return -1;
    return lockedResult(mutex, self, pthread_mutex_lock(&mutex->native));
}

int kv_mutex_acquire_nb(kv_mutex_t* mutex)
{
    if (!live(mutex))
        return EINVAL;
    const int64_t self = currentThreadId();
    if (ownerOf(mutex) == self)
        return -1;
    const int rc = pthread_mutex_trylock(&mutex->native);
    if (rc == EBUSY)
        return KV_ERR_WAIT_TIMEOUT;
    return lockedResult(mutex, self, rc);
}

int kv_mutex_release(kv_mutex_t* mutex)
{
    if (!live(mutex))
        return EINVAL;
    const int64_t self = currentThreadId();
    if (ownerOf(mutex) != self)
        return KV_ERR_ACCESS_DENIED;
    setOwner(mutex, 0);
    const int rc = pthread_mutex_unlock(&mutex->native);
    if (rc != 0) {
        setOwner(mutex, self);
        return rc;
    }
    return 0;
}

int kv_mutex_destroy(kv_mutex_t* mutex)
{
    if (!live(mutex))
        return EINVAL;
    const int rc = pthread_mutex_destroy(&mutex->native);
    if (rc != 0) {
        kv_log("kv_mutex_destroy, CloseHandle failed, err=%d", rc);
        return rc;
    }
    mutex->handle = kDestroyed;
    mutex->owner = 0;
    return 0;
}

// ------------------------------------------------------------------ named mutex

int kv_named_mutex_init(kv_named_mutex_t* mutex, const char* name)
{
    if (!mutex || !name)
        return EINVAL;
    mutex->fd = -1;
    char file[NAME_MAX + 1];
    int rc = namedMutexFileName(name, file, sizeof file);
    if (rc != 0)
        return rc;
    char path[PATH_MAX];
    const int length = boundedFormat(nullptr, 0, "%s/%s", lockFolder(), file);
    if (length < 0 || length >= PATH_MAX)
        return KV_ERR_FILENAME_TOO_LONG;
    boundedFormat(path, sizeof path, "%s/%s", lockFolder(), file);

    // Never through a link, and never blocking on a FIFO planted under the name.
    const int fd = openCloexec(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        rc = lastError(EINVAL);
    } else {
        struct stat st;
        if (fstat(fd, &st) != 0)
            rc = lastError(EINVAL);
        else if (!S_ISREG(st.st_mode))
            rc = EINVAL;
        // The marker byte exists from the start, so setting it never needs space.
        else if (st.st_size == 0 && ftruncate(fd, 1) != 0)
            rc = lastError(EINVAL);
        if (rc == 0) {
            rc = pthread_mutex_init(&mutex->gate, nullptr);
            if (rc == 0) {
                rc = pthread_cond_init(&mutex->changed, nullptr);
                if (rc != 0)
                    pthread_mutex_destroy(&mutex->gate);
            }
        }
        if (rc != 0)
            closeFd(fd);
    }
    if (rc != 0) {
        kv_log("kv_named_mutex_init failed, err=%d", rc);
        return rc;
    }
    mutex->state = kFree;
    mutex->pid = getpid();
    mutex->fd = fd;
    return 0;
}

int kv_named_mutex_acquire(kv_named_mutex_t* mutex)
{
    if (!mutex || mutex->fd < 0)
        return EINVAL;
    const int rc = namedAcquire(mutex, true);
    if (rc == KV_ERR_WAIT_ABANDONED)
        kv_log("kv_named_mutex_acquire: wait abandoned");
    else if (rc != 0)
        kv_log("kv_named_mutex_acquire failed, err=%d", rc);
    return rc;
}

int kv_named_mutex_acquire_nb(kv_named_mutex_t* mutex)
{
    if (!mutex || mutex->fd < 0)
        return EINVAL;
    const int rc = namedAcquire(mutex, false);
    if (rc == KV_ERR_WAIT_ABANDONED)
        kv_log("kv_named_mutex_acquire_nb: wait abandoned");
    else if (rc == KV_ERR_WAIT_TIMEOUT)
        kv_log("kv_named_mutex_acquire_nb: unknown err=%d:", rc);
    else if (rc != 0)
        kv_log("kv_named_mutex_acquire_nb failed, err=%d", rc);
    return rc;
}

int kv_named_mutex_release(kv_named_mutex_t* mutex)
{
    if (!mutex || mutex->fd < 0)
        return EINVAL;
    int rc = adoptAfterFork(mutex);
    if (rc == 0) {
        pthread_mutex_lock(&mutex->gate);
        if (mutex->state != kHeld) {
            // Free here, being taken, or held through another handle: releasing
            // must never let a second holder in.
            rc = EOVERFLOW;
        } else {
            // Cleared before the unlock: once unlocked, the next holder may read it.
            rc = writeMarker(mutex->fd, kMarkerFree);
            if (rc == 0) {
                rc = unlockFile(mutex->fd);
                if (rc != 0)
                    writeMarker(mutex->fd, kMarkerHeld);
            }
            if (rc == 0) {
                mutex->state = kFree;
                pthread_cond_broadcast(&mutex->changed);
            }
        }
        pthread_mutex_unlock(&mutex->gate);
    }
    if (rc != 0) {
        kv_log("kv_named_mutex_release failed. err=%d &m->sem=0x%" PRIxPTR ", m->sem=0x%llx", rc,
            reinterpret_cast<uintptr_t>(&mutex->fd), static_cast<unsigned long long>(mutex->fd));
    }
    return rc;
}

int kv_named_mutex_destroy(kv_named_mutex_t* mutex)
{
    if (!mutex || mutex->fd < 0)
        return EINVAL;
    // A forked child's copy of the gate may be in any state: leave it alone.
    if (__atomic_load_n(&mutex->pid, __ATOMIC_ACQUIRE) == getpid()) {
        pthread_cond_destroy(&mutex->changed);
        pthread_mutex_destroy(&mutex->gate);
    }
    // Closing drops a lock still held through this handle; its marker stays set,
    // so the next holder learns that it was abandoned.
    const int rc = closeFd(mutex->fd);
    mutex->fd = -1;
    mutex->state = kFree;
    if (rc != 0)
        kv_log("kv_named_mutex_destroy, CloseHandle failed, err=%d", rc);
    return rc;
}

// ------------------------------------------------------------------ condition

int kv_cond_init(kv_cond_t* cond, kv_mutex_t* mutex)
{
    if (!cond || !mutex)
        return EINVAL;
    cond->handle = kDestroyed;
    cond->mutex = mutex;
    cond->signalled = 0;
    cond->generation = 0;
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&cond->event, &attr);
        pthread_condattr_destroy(&attr);
    }
    if (rc == 0) {
        rc = pthread_mutex_init(&cond->lock, nullptr);
        if (rc != 0)
            pthread_cond_destroy(&cond->event);
    }
    if (rc != 0) {
        kv_log("kv_cond_init failed, err=%d", rc);
        return rc;
    }
    cond->handle = kLive;
    return 0;
}

int kv_cond_wait(kv_cond_t* cond)
{
    return condWait(cond, nullptr);
}

int kv_cond_timedwait(kv_cond_t* cond, const kv_timeval_t* limit)
{
    if (!limit)
        return condWait(cond, nullptr);
    const int64_t ms = static_cast<int64_t>(limit->tv_sec) * 1000 + limit->tv_usec / 1000;
    const timespec deadline = deadlineAfter(ms > 0 ? static_cast<uint64_t>(ms) : 0);
    return condWait(cond, &deadline);
}

int kv_cond_signal(kv_cond_t* cond)
{
    if (!cond || cond->handle != kLive)
        return EINVAL;
    int rc = pthread_mutex_lock(&cond->lock);
    if (rc == 0) {
        cond->signalled = 1;
        ++cond->generation;
        rc = pthread_cond_broadcast(&cond->event);
        pthread_mutex_unlock(&cond->lock);
    }
    if (rc != 0)
        kv_log("kv_cond_signal SetEvent failed, err=%d", rc);
    return rc;
}

int kv_cond_destroy(kv_cond_t* cond)
{
    if (!cond || cond->handle != kLive)
        return EINVAL;
    const int rc = pthread_cond_destroy(&cond->event);
    pthread_mutex_destroy(&cond->lock);
    cond->handle = kDestroyed;
    return rc;
}

// ------------------------------------------------------------------ semaphore

int kv_sem_init(kv_sem_t* sem, int initial_count)
{
    if (!sem || initial_count < 0 || initial_count > KV_SEM_MAX_COUNT)
        return EINVAL;
    if (sem_init(&sem->native, 0, static_cast<unsigned>(initial_count)) != 0) {
        const int rc = lastError(EINVAL);
        kv_log("kv_sem_init failed, err=%d", rc);
        sem->handle = kDestroyed;
        return rc;
    }
    sem->handle = kLive;
    return 0;
}

int kv_sem_trywait(kv_sem_t* sem, unsigned milliseconds)
{
    if (!sem || sem->handle != kLive)
        return EINVAL;
    int r;
    if (milliseconds == KV_SEM_INFINITE) {
        r = retryOnEintr([&] { return sem_wait(&sem->native); });
    } else {
        const timespec deadline = deadlineAfter(milliseconds);
        r = retryOnEintr([&] { return sem_clockwait(&sem->native, CLOCK_MONOTONIC, &deadline); });
    }
    if (r == 0)
        return 0;
    if (errno == ETIMEDOUT)
        return KV_ERR_WOULD_BLOCK;
    const int rc = lastError(EINVAL);
    kv_log("kv_sem_wait, not signalled, err=%d", rc);
    return rc;
}

int kv_sem_wait(kv_sem_t* sem)
{
    return kv_sem_trywait(sem, KV_SEM_INFINITE);
}

int kv_sem_post(kv_sem_t* sem)
{
    if (!sem || sem->handle != kLive)
        return EINVAL;
    int value = 0;
    int rc = 0;
    if (sem_getvalue(&sem->native, &value) != 0)
        rc = lastError(EINVAL);
    else if (value >= KV_SEM_MAX_COUNT)
        rc = EOVERFLOW;
    else if (sem_post(&sem->native) != 0)
        rc = lastError(EINVAL);
    if (rc != 0)
        kv_log("kv_sem_post, ReleaseSemaphore failed, err=%d", rc);
    return rc;
}

int kv_sem_destroy(kv_sem_t* sem)
{
    if (!sem || sem->handle != kLive)
        return EINVAL;
    if (sem_destroy(&sem->native) != 0) {
        const int rc = lastError(EINVAL);
        kv_log("kv_sem_destroy, CloseHandle failed, err=%d", rc);
        return rc;
    }
    sem->handle = kDestroyed;
    return 0;
}

} // extern "C"
