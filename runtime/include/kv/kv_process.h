/*
 * Korvel platform runtime: processes and the environment.
 *
 * Children are started with fork and exec; everything the child needs, the
 * search of PATH included, is prepared before the fork, and between the two the
 * child makes only async-signal-safe calls, so these functions may be called
 * from a program with threads. A command line is split into
 * arguments as a shell would for plain words: blanks and tabs separate them,
 * double or single quotes group (no expansion of any kind), and outside single
 * quotes a backslash makes a following backslash or quote literal. The program
 * (the first argument) is looked up along PATH when it holds no "/". No
 * descriptor other than 0, 1 and 2 reaches the child, its signal mask is empty
 * and SIGPIPE has its default action. A program that cannot be started is
 * reported by the starting call with the errno of the failed exec (ENOENT for a
 * missing program), and such a child never runs. This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

#define KV_PROCESS_NAME 512

/* A started child. Zeroed by kv_process_create and kv_process_fork. */
typedef struct kv_process_t {
    int handle; /* a pidfd for the child, -1 when none (waits then poll waitpid) */
    int thread; /* POSIX has no separate thread handle: -1 */
    int pid; /* the child's process id */
    int tid; /* the id of its main thread, equal to pid */
    int token; /* uid of the account from kv_process_runas; -1 when none */
    int exited; /* 1 once the child has been reaped */
    int exit_code;
    int killed; /* set by kv_process_kill */
    char user[KV_PROCESS_NAME]; /* the account from kv_process_runas */
    char domain[KV_PROCESS_NAME]; /* its domain part, "" when none */
} kv_process_t;

/* Who to start a child as (kv_process_runas). */
typedef struct kv_credentials_t {
    const char* user; /* "name" or "domain\name" */
    const char* password; /* not checked on this platform, see kv_process_runas */
} kv_credentials_t;

/* Called by kv_process_fork with its record before the child starts; a non-zero
 * result ends kv_process_fork with that result. */
typedef int (*kv_process_callback_t)(kv_process_t* process, void* arg);

/*
 * Start the command line with the caller's environment and working directory.
 * Command lines over 65535 bytes: KV_ERR_INSUFFICIENT_BUFFER; one without any
 * argument: 22. Any failure logs "kv_process_create(): error starting process
 * (errno=%d)" through kv_dbg and returns the errno.
 */
KV_API int kv_process_create(kv_process_t* process, const char* command_line);

/*
 * Start a detached child (its own session; the library never waits for it
 * later, and it is no zombie when it ends) with a fresh environment: "PATH=" and
 * the caller's PATH (the one variable a program needs here to find others),
 * then at most 2046 of the given "NAME=value" strings (null entries are
 * skipped), sorted byte-wise. A block (every entry with its NUL, and one more)
 * over 32766 bytes: KV_ERR_NOT_ENOUGH_MEMORY. Waits at most 4000 ms for the
 * child to end, then returns without ending it: 0 or the errno of the start.
 */
KV_API int kv_process_spawn(const char* command_line, const char* const* env, int count);

/*
 * Prepare process to start as another account (kv_process_fork's callback). The
 * user "domain\name" is split at the first backslash (domain over 511 bytes:
 * KV_ERR_INSUFFICIENT_BUFFER); a domain must be "." or this host's name. The
 * account comes from getpwnam: unknown account or domain: ENOENT. There is no
 * interactive logon here: the password is not checked, and only root may start
 * a child as an account other than its own (EPERM otherwise). Success stores
 * user, domain and, as token, the account's uid in process.
 */
KV_API int kv_process_runas(kv_process_t* process, const kv_credentials_t* credentials);

/*
 * Start command_line, as another account when the callback (called with process
 * and arg) set a token. A null process starts a detached child (see
 * kv_process_spawn) that cannot be waited for. The three reserved arguments are
 * ignored.
 * As another account the child gets the account's uid, gid and supplementary
 * groups (getgrouplist), each changed only where it differs from the caller's:
 * changing them needs root even when nothing would change, so this is how an
 * account that is not root can start a process as itself. (Groups count as the
 * same when they are the same set, the effective group included.) The child has
 * the caller's environment with HOME, USER, LOGNAME and SHELL taken from the
 * account, its own process group, and as working directory the profile folder
 * when given, else the account's home, else "/" when that home cannot be
 * entered. The token is -1 again afterwards. Returns 0 or the first error.
 */
KV_API int kv_process_fork(kv_process_t* process, const char* command_line, const char* profile_dir, void* reserved1,
    void* reserved2, void* reserved3, kv_process_callback_t callback, void* arg);

/*
 * Wait up to milliseconds (negative: without limit) for the child. *state: 0 it
 * has ended (the token is set to -1), 1 time-out, 2 never happens here; each
 * returns 0. A failed wait sets *state to 3 and returns the errno.
 */
KV_API int kv_process_wait(kv_process_t* process, int milliseconds, int* state);

/*
 * Whether the child has ended, without waiting. Running: *done = 0 and *exit_code
 * = KV_ERR_STILL_ACTIVE, nothing is closed. Ended: *done = 1, *exit_code its exit
 * status (0 after kv_process_kill; 128 + the signal when another signal ended
 * it), and the pidfd is closed and the token set to -1.
 */
KV_API int kv_process_exited(kv_process_t* process, int* done, int* exit_code);

/*
 * End the child at once (SIGKILL); it then counts as having exited with code 0.
 * A child that was already reaped: ESRCH. Failures log "kv_process_kill():
 * error terminating process (errno=%d)" through kv_dbg.
 */
KV_API int kv_process_kill(kv_process_t* process);

/* Not supported: returns 0. */
KV_API int kv_process_waitany(void);

/*
 * Set (or, with a null value, remove) a variable of the running process. Name
 * null, empty or holding "=": 22; name or value of 8192 bytes or more:
 * KV_ERR_INSUFFICIENT_BUFFER. The environment is shared by the whole process;
 * this function and kv_process_getenv take one lock between them.
 */
KV_API int kv_process_setenv(const char* name, const char* value);

/* The variable's value into out. Unset: 22; longer than size - 1 bytes:
 * KV_ERR_INSUFFICIENT_BUFFER; out is then empty. */
KV_API int kv_process_getenv(const char* name, char* out, int size);

KV_END_DECLS
