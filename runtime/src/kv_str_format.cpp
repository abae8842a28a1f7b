// The library's bounded formatter: every fixed buffer the library formats into goes through here.
#include "kv/kv_core.h"
#include "runtime/src/kv_internal.h"

#include <cstdio>

namespace kv::internal {

namespace {

// Shared body: the result vsnprintf gave, or a negative value after emptying the buffer.
// The callers' format strings are checked at their own calls.
__attribute__((format(printf, 3, 0))) int formatInto(char* buffer, size_t size, const char* format, va_list args)
{
    if (size == 0)
        return vsnprintf(nullptr, 0, format, args);
    if (!buffer)
        return -1;
    const int needed = vsnprintf(buffer, size, format, args);
    if (needed < 0) {
        buffer[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(needed) >= size && kv_dbg_get_all() >= 2)
        kv_dbg("Call to snprintf() lead to a truncation");
    return needed;
}

} // namespace

int boundedFormat(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int needed = formatInto(buffer, size, format, args);
    va_end(args);
    if (size > 0 && needed >= 0 && static_cast<size_t>(needed) >= size)
        return static_cast<int>(size - 1);
    return needed;
}

int boundedFormatV(char* buffer, size_t size, const char* format, va_list args)
{
    // The log writer's callers pass literal formats, checked at their calls (KV_PRINTF).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int needed = formatInto(buffer, size, format, args);
#pragma GCC diagnostic pop
    if (size > 0 && needed >= 0 && static_cast<size_t>(needed) >= size)
        return static_cast<int>(size);
    return needed;
}

} // namespace kv::internal
