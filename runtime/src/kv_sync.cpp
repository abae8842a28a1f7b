// Mutex with owner, named mutex, condition and semaphore over pthreads and POSIX semaphores.
#include "kv/kv_sync.h"
#include "runtime/src/kv_internal.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
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

// "Global\kv_mutex_<name>" with the caller's backslashes turned into slashes, then
// the POSIX form: "/" and that name with every slash written as a backslash.
int namedMutexPath(const char* name, char* path, size_t size)
{
    // A cut name would quietly share its semaphore with every name of the same prefix.
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
    // The semaphore lives as the file "sem.<name>" in /dev/shm.
    if (static_cast<size_t>(needed) + 4 > NAME_MAX)
        return KV_ERR_FILENAME_TOO_LONG;
    path[0] = '/';
    size_t i = 0;
    for (; global[i] && i + 2 < size; ++i)
        path[i + 1] = global[i] == '/' ? '\\' : global[i];
    path[i + 1] = '\0';
    return global[i] ? KV_ENOSPACE : 0;
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
    const int rc = pthread_mutex_init(&mutex->native, nullptr);
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
    const int rc = pthread_mutex_lock(&mutex->native);
    if (rc != 0)
        return rc;
    setOwner(mutex, self);
    return 0;
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
    if (rc != 0)
        return rc;
    setOwner(mutex, self);
    return 0;
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
    mutex->sem = nullptr;
    char path[KV_NAMED_MUTEX_NAME_SIZE + 1];
    int rc = namedMutexPath(name, path, sizeof path);
    if (rc != 0)
        return rc;
    errno = 0;
    sem_t* const sem = retryOnEintr([&] { return sem_open(path, O_CREAT, 0666, 1); }, SEM_FAILED);
    if (sem == SEM_FAILED) {
        rc = lastError(EINVAL);
        kv_log("kv_named_mutex_init failed, err=%d", rc);
        return rc;
    }
    mutex->sem = sem;
    return 0;
}

int kv_named_mutex_acquire(kv_named_mutex_t* mutex)
{
    if (!mutex || !mutex->sem)
        return EINVAL;
    if (retryOnEintr([&] { return sem_wait(mutex->sem); }) != 0) {
        const int rc = lastError(EINVAL);
        kv_log("kv_named_mutex_acquire failed, err=%d", rc);
        return rc;
    }
    return 0;
}

int kv_named_mutex_acquire_nb(kv_named_mutex_t* mutex)
{
    if (!mutex || !mutex->sem)
        return EINVAL;
    if (retryOnEintr([&] { return sem_trywait(mutex->sem); }) == 0)
        return 0;
    if (errno == EAGAIN) {
        kv_log("kv_named_mutex_acquire_nb: unknown err=%d:", KV_ERR_WAIT_TIMEOUT);
        return KV_ERR_WAIT_TIMEOUT;
    }
    const int rc = lastError(EINVAL);
    kv_log("kv_named_mutex_acquire_nb failed, err=%d", rc);
    return rc;
}

int kv_named_mutex_release(kv_named_mutex_t* mutex)
{
    if (!mutex || !mutex->sem)
        return EINVAL;
    // The count stays at most 1; the check and the post are not one step, so two
    // releases of a held mutex racing each other can still both pass it.
    int value = 0;
    int rc = 0;
    if (sem_getvalue(mutex->sem, &value) != 0)
        rc = lastError(EINVAL);
    else if (value >= 1)
        rc = EOVERFLOW;
    else if (sem_post(mutex->sem) != 0)
        rc = lastError(EINVAL);
    if (rc != 0) {
        kv_log("kv_named_mutex_release failed. err=%d &m->sem=0x%llx, m->sem=0x%llx", rc,
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&mutex->sem)),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(mutex->sem)));
    }
    return rc;
}

int kv_named_mutex_destroy(kv_named_mutex_t* mutex)
{
    if (!mutex || !mutex->sem)
        return EINVAL;
    if (sem_close(mutex->sem) != 0) {
        const int rc = lastError(EINVAL);
        kv_log("kv_named_mutex_destroy, CloseHandle failed, err=%d", rc);
        return rc;
    }
    mutex->sem = nullptr;
    return 0;
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
