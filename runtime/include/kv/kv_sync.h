/*
 * Korvel platform runtime: synchronisation.
 *
 * An in-process mutex that knows its owner thread, a system-wide named mutex, a
 * signalling condition, and a counting semaphore. Every object is created by its
 * init, used, and closed by its destroy; after destroy its handle field is -1
 * (fd for the named mutex) and every call on it but destroy returns 22. Failures
 * are logged through kv_log. EINTR is retried inside. This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"
#include "kv/kv_time.h"

#include <pthread.h>
#include <semaphore.h>

KV_BEGIN_DECLS

/* ---------------------------------------------------------------- mutex */

/*
 * A pthread mutex plus the kernel thread id (gettid) of its owner, 0 when not
 * owned. The owner field is written only by the owning thread while it holds the
 * native mutex, so a caller can compare it with its own id without locking.
 */
typedef struct kv_mutex_t {
    pthread_mutex_t native;
    int handle; /* 1 after init, -1 after destroy */
    int64_t owner; /* owning thread id, 0 when not owned */
} kv_mutex_t;

/*
 * Create an unowned mutex. kv_mutex_init_recursive is the same function: the
 * owner rules below apply to both (a second acquire by the owner returns -1 and
 * takes no second lock, so the owner must not release twice). Failure logs
 * "kv_mutex_init failed, err=%d" and returns the pthread error.
 */
KV_API int kv_mutex_init(kv_mutex_t* mutex);
KV_API int kv_mutex_init_recursive(kv_mutex_t* mutex);

/* Wait without limit. The owner calling again gets -1 at once (no second lock is
 * taken). A failed lock returns the pthread error; on success the caller is
 * recorded as owner and 0 returned. The native mutex is robust: when a thread
 * ended while holding it, the next acquirer gets KV_ERR_WAIT_ABANDONED
 * (EOWNERDEAD here) and holds the mutex, now usable again, as its owner; what
 * the mutex guards may have been left half changed. (A plain pthread mutex would
 * block every later acquirer for ever.) */
KV_API int kv_mutex_acquire(kv_mutex_t* mutex);

/* As kv_mutex_acquire without waiting: a mutex held by another thread returns
 * KV_ERR_WAIT_TIMEOUT (ETIMEDOUT here) at once; an abandoned one
 * KV_ERR_WAIT_ABANDONED, held. */
KV_API int kv_mutex_acquire_nb(kv_mutex_t* mutex);

/* A caller that is not the owner gets KV_ERR_ACCESS_DENIED (EACCES here) and the
 * mutex stays held. Otherwise clear the owner and unlock; when unlocking fails the
 * caller is recorded as owner again and the pthread error returned. */
KV_API int kv_mutex_release(kv_mutex_t* mutex);

/* Destroy the native mutex and set handle to -1. Failure (for example a held
 * mutex, EBUSY) logs "kv_mutex_destroy, CloseHandle failed, err=%d" and returns
 * the error; the mutex then stays usable. */
KV_API int kv_mutex_destroy(kv_mutex_t* mutex);

/* ---------------------------------------------------------- named mutex */

/* Longest formatted name, "Global\kv_mutex_" and the caller's name, with its zero. */
#define KV_NAMED_MUTEX_NAME_SIZE 520

/*
 * A system-wide mutex. It has no owner thread: any thread of the process that
 * holds it may release it, and the holder must not acquire it twice (the second
 * acquire waits for ever, as on a semaphore of count 1).
 *
 * Backing: an exclusive flock on a lock file, which the kernel drops when the
 * holding process ends, however it ends. (A POSIX named semaphore outlives its
 * processes: one whose holder died stayed taken for ever.) The first byte of the
 * file is 1 while a holder has the lock and 0 once it released it, so the next
 * process or handle to get the lock after a holder ended (or destroyed its
 * handle) without releasing learns of it: its acquire returns
 * KV_ERR_WAIT_ABANDONED (EOWNERDEAD here) and it holds the mutex, as after any
 * acquire. Threads of one process sharing one handle queue on a condition of the
 * handle; waiting never polls.
 *
 * Naming: the caller's name is formatted as "Global\kv_mutex_%s" into
 * KV_NAMED_MUTEX_NAME_SIZE bytes, and every backslash of the caller's part becomes
 * "/" (so "a\b" and "a/b" name the same mutex). As a file name each "/" is then
 * written as a backslash: "x/y" is the file "Global\kv_mutex_x\y" in the lock
 * folder, which is $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp (a variable counts
 * when it holds an absolute path). Processes meet only when they see the same
 * folder: "system-wide" means the processes of one account's session here. The
 * file is created with permission 0666 less the umask, is never followed through
 * a link, must be a regular file, and stays when the last handle closes (removing
 * it while in use would let two holders in).
 *
 * What differs from a semaphore: another process cannot release a mutex held
 * elsewhere, and neither can another handle of the same process (EOVERFLOW, as
 * for a free mutex). A forked child that uses a handle inherited from its parent
 * gets a handle of its own at that first use: it does not hold what the parent
 * held, and excludes the parent like any other process.
 */
typedef struct kv_named_mutex_t {
    int fd; /* the lock file; -1 after destroy */
    int state; /* within this process: 0 free, 1 being taken, 2 held through this handle */
    int pid; /* the process the descriptor was opened for */
    pthread_mutex_t gate; /* guards state */
    pthread_cond_t changed; /* signalled when state returns to free */
} kv_named_mutex_t;

/*
 * Open or create the lock file. A name that does not fit
 * KV_NAMED_MUTEX_NAME_SIZE bytes is KV_ENOSPACE; one longer than a file name may
 * be (255 bytes) is ENAMETOOLONG; a null argument 22. Other failures, such as a
 * link (ELOOP) or anything else but a regular file (22) under the name, log
 * "kv_named_mutex_init failed, err=%d" and return the error.
 */
KV_API int kv_named_mutex_init(kv_named_mutex_t* mutex, const char* name);

/* Wait without limit: 0, or KV_ERR_WAIT_ABANDONED after logging
 * "kv_named_mutex_acquire: wait abandoned" when the previous holder ended without
 * releasing (the caller holds the mutex in both cases). A failed wait logs
 * "kv_named_mutex_acquire failed, err=%d" and returns errno. */
KV_API int kv_named_mutex_acquire(kv_named_mutex_t* mutex);

/* Without waiting: a mutex held elsewhere (or through this handle) logs
 * "kv_named_mutex_acquire_nb: unknown err=%d:" with KV_ERR_WAIT_TIMEOUT and returns
 * it (ETIMEDOUT here); an abandoned one logs "kv_named_mutex_acquire_nb: wait
 * abandoned" and returns KV_ERR_WAIT_ABANDONED, held; other failures log
 * "kv_named_mutex_acquire_nb failed, err=%d". */
KV_API int kv_named_mutex_acquire_nb(kv_named_mutex_t* mutex);

/* Release a mutex held through this handle. A handle that does not hold it gets
 * EOVERFLOW and changes nothing, so a release can never let two holders in.
 * Failure logs "kv_named_mutex_release failed. err=%d &m->sem=0x%" PRIxPTR
 * ", m->sem=0x%llx" with the address and the value of the descriptor field (one
 * "0x" each). */
KV_API int kv_named_mutex_release(kv_named_mutex_t* mutex);

/* Close this process's handle and set fd to -1; a mutex still held through it is
 * then free, and counts as abandoned for its next holder. No thread may be
 * waiting on the handle. Failure logs
 * "kv_named_mutex_destroy, CloseHandle failed, err=%d". */
KV_API int kv_named_mutex_destroy(kv_named_mutex_t* mutex);

/* ------------------------------------------------------------ condition */

/*
 * A manual-reset event tied to a kv_mutex_t: a pthread condition variable (on
 * CLOCK_MONOTONIC) with a signalled flag and a signal count under a private lock.
 * A signal wakes every waiter waiting at that moment and stays pending until a
 * woken waiter resets it, so a signal given while nobody waits satisfies the next
 * wait.
 */
typedef struct kv_cond_t {
    kv_mutex_t* mutex;
    pthread_mutex_t lock;
    pthread_cond_t event;
    int signalled;
    unsigned generation; /* signals given so far */
    int handle; /* 1 after init, -1 after destroy */
} kv_cond_t;

/* Remember mutex, create the event not signalled. Failure logs
 * "kv_cond_init failed, err=%d". */
KV_API int kv_cond_init(kv_cond_t* cond, kv_mutex_t* mutex);

/*
 * The caller holds the mutex. Release it (its error is returned), wait for the
 * event without limit, acquire the mutex again (its error is returned), reset the
 * event, return 0.
 */
KV_API int kv_cond_wait(kv_cond_t* cond);

/*
 * kv_cond_wait with a limit of seconds * 1000 + microseconds / 1000
 * milliseconds: when the time runs out the mutex is acquired again and
 * KV_ERR_TIMED_OUT (ETIMEDOUT here) returned. Null limit: no limit.
 */
KV_API int kv_cond_timedwait(kv_cond_t* cond, const kv_timeval_t* limit);

/* Set the event. Failure logs "kv_cond_signal SetEvent failed, err=%d". */
KV_API int kv_cond_signal(kv_cond_t* cond);

/* Close the event and set handle to -1. */
KV_API int kv_cond_destroy(kv_cond_t* cond);

/* ------------------------------------------------------------ semaphore */

#define KV_SEM_MAX_COUNT 32767
/* kv_sem_trywait without limit. */
#define KV_SEM_INFINITE 0xFFFFFFFFu

/* An unnamed POSIX semaphore (sem_t) whose count never exceeds KV_SEM_MAX_COUNT. */
typedef struct kv_sem_t {
    sem_t native;
    int handle; /* 1 after init, -1 after destroy */
} kv_sem_t;

/* Initial count 0..KV_SEM_MAX_COUNT (else 22). Failure logs "kv_sem_init failed, err=%d". */
KV_API int kv_sem_init(kv_sem_t* sem, int initial_count);

/*
 * Take one unit within milliseconds (KV_SEM_INFINITE: no limit; measured on
 * CLOCK_MONOTONIC): 0, or KV_ERR_WOULD_BLOCK (EWOULDBLOCK here) when the time ran
 * out. Other failures log "kv_sem_wait, not signalled, err=%d" and return errno.
 */
KV_API int kv_sem_trywait(kv_sem_t* sem, unsigned milliseconds);
KV_API int kv_sem_wait(kv_sem_t* sem);

/* Add one unit. Failure (EOVERFLOW at KV_SEM_MAX_COUNT) logs
 * "kv_sem_post, ReleaseSemaphore failed, err=%d". */
KV_API int kv_sem_post(kv_sem_t* sem);

/* Close and set handle to -1. Failure logs "kv_sem_destroy, CloseHandle failed, err=%d". */
KV_API int kv_sem_destroy(kv_sem_t* sem);

KV_END_DECLS
