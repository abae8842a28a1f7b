// Shared between the units of the runtime library; never installed, never exported.
#pragma once

#include "kv/kv_core.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <sys/types.h>
#include <type_traits>
#include <unistd.h>

// Test seam of the log: the source of the seconds since 1970 in its time stamps,
// so that a test can write lines for any moment. Null (the start) is time(2).
// Exported for the tests only; no public header declares it.
extern "C" KV_API void kv_log_set_clock(int64_t (*clock)(void));

namespace kv::internal {

// ------------------------------------------------------------------ system calls
// The one copy of the small system-call helpers every unit needs. (Their names
// carry no "kv__" prefix: C++ reserves names that hold a double underscore.)

// The error of the call that just failed: errno, or fallback when the call left
// errno at 0 (a library must never report a failure as 0).
inline int lastError(int fallback = EIO)
{
    return errno != 0 ? errno : fallback;
}

// Calls call() again for as long as it returns `failed` with errno EINTR, and
// returns its last result. For calls that return -1 and set errno (open, read,
// write, fsync, waitpid, ...), or a given failure value (sem_open: SEM_FAILED).
template <typename Call, typename Result = std::invoke_result_t<Call&>> Result retryOnEintr(Call&& call, Result failed)
{
    Result result;
    do {
        result = call();
    } while (result == failed && errno == EINTR);
    return result;
}

template <typename Call> auto retryOnEintr(Call&& call)
{
    using Result = std::invoke_result_t<Call&>;
    return retryOnEintr(call, static_cast<Result>(-1));
}

// The same for calls that return their error number (getpwnam_r, pthread_*):
// calls again while the result is EINTR.
template <typename Call> int retryCodeOnEintr(Call&& call)
{
    int rc;
    do {
        rc = call();
    } while (rc == EINTR);
    return rc;
}

// open(2) with O_CLOEXEC added, retried on EINTR: the descriptor, or -1 with errno.
inline int openCloexec(const char* path, int flags, mode_t mode = 0)
{
    return retryOnEintr([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

// close(2), not retried: on Linux the descriptor is released even when close
// fails with EINTR, and a retry could close a descriptor another thread just
// opened. Returns 0 (EINTR counts as done) or the error; errno is left as it was,
// so a failure path can close and then report the error it met.
inline int closeFd(int fd)
{
    const int saved = errno;
    const int rc = ::close(fd) == 0 || errno == EINTR ? 0 : lastError();
    errno = saved;
    return rc;
}

// Writes all of data, retrying on EINTR and after short writes: 0 or the error
// (EIO when the system accepts nothing).
inline int writeAll(int fd, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = retryOnEintr([&] { return ::write(fd, next, size); });
        if (n < 0)
            return lastError();
        if (n == 0)
            return EIO;
        next += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Sleeps the whole time even when signals arrive.
inline void sleepMs(int ms)
{
    if (ms <= 0)
        return;
    timespec left { ms / 1000, (ms % 1000) * 1000000L };
    retryOnEintr([&] { return nanosleep(&left, &left); });
}

// ------------------------------------------------------------------ shared state

// Log state 0: not open; 1 or 2: open. Only the log unit changes it.
extern int logOpenState;

// The log unit's line writer, installed while the log is open. Level 0 "ERR",
// 1 "LOG", 2 "DBG". Its result is dropped by the three log calls.
using LogWriter = int (*)(int level, const char* format, va_list args);
extern LogWriter logWriter;

// Text of a library code 0x7000..0x7010, or nullptr for any other code.
const char* libraryErrorText(int code);

// An account of this system, as getpwnam reports it.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    char home[4096] = {};
};

// Looks an account up by name: 0, ENOENT when there is none, or the lookup's error.
// A home folder longer than the record holds is left empty.
int findAccount(const char* name, Account* account);

// Looks a group up by name: 0, ENOENT when there is none, or the lookup's error.
int findGroup(const char* name, gid_t* gid);
// Value of a digit byte: "0"-"9" are 0-9, letters "A"-"Z" and "a"-"z" 10-35;
// any other byte is 36, above every base.
int digitValue(unsigned char c);

// The library's bounded formatter: vsnprintf into (buffer, size), truncating and
// always zero-terminating. Size 0 writes nothing and returns the length the output
// would need. On truncation it reports "Call to snprintf() lead to a truncation"
// through kv_dbg while the library debug level is 2 or more, and returns size - 1
// (the length written). A null buffer with a non-zero size, or a format error,
// returns -1 (with the buffer emptied where there is one).
int boundedFormat(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The same over an argument list for the log writer; returns size itself on
// truncation, so the caller can tell a cut line from one that just fits.
int boundedFormatV(char* buffer, size_t size, const char* format, va_list args);

} // namespace kv::internal
