// Shared between the units of the runtime library; never installed, never exported.
#pragma once

#include <cstdarg>

namespace kv::internal {

// Log state 0: not open; 1 or 2: open. Only the log unit changes it.
extern int logOpenState;

// The log unit's line writer, installed while the log is open. Level 0 "ERR",
// 1 "LOG", 2 "DBG". Its result is dropped by the three log calls.
using LogWriter = int (*)(int level, const char* format, va_list args);
extern LogWriter logWriter;

// Text of a library code 0x7000..0x7010, or nullptr for any other code.
const char* libraryErrorText(int code);

} // namespace kv::internal
