// Shared between the units of the runtime library; never installed, never exported.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <sys/types.h>

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

} // namespace kv::internal
