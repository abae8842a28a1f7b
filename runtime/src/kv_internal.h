// Shared between the units of the runtime library; never installed, never exported.
#pragma once

#include "kv/kv_core.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Test seam of the log: the source of the seconds since 1970 in its time stamps,
// so that a test can write lines for any moment. Null (the start) is time(2).
// Exported for the tests only; no public header declares it.
extern "C" KV_API void kv_log_set_clock(int64_t (*clock)(void));

namespace kv::internal {

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
