// Monotonic microsecond clock, time-value arithmetic and calendar conversions.
#include "kv/kv_time.h"
#include "runtime/src/kv_internal.h"

#include <cerrno>
#include <cstring>
#include <numeric>

namespace {

constexpr int64_t kTicksPerSecond = 1000000000; // CLOCK_MONOTONIC in nanoseconds
constexpr int64_t kUsecPerSec = 1000000;
// Microseconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeEpochUsec = 11644473600000000LL;

// Clock state, set once by kv_time_init before other threads use the clock.
// The divisor and multiplier start out as they would be after kv_time_init, so
// elapsed times before it are measured from the clock's own origin.
struct ClockScale {
    uint64_t divisor;
    uint64_t multiplier;
};

// Microseconds per tick as a reduced fraction: exact for any frequency, and the
// smallest factors for the 128-bit product.
constexpr ClockScale scaleFor(uint64_t frequency)
{
    const uint64_t common = std::gcd(frequency, static_cast<uint64_t>(kUsecPerSec));
    return ClockScale { frequency / common, static_cast<uint64_t>(kUsecPerSec) / common };
}
static_assert(scaleFor(kTicksPerSecond).divisor == 1000 && scaleFor(kTicksPerSecond).multiplier == 1);

int64_t gFrequency = kTicksPerSecond;
ClockScale gScale = scaleFor(kTicksPerSecond);
uint64_t gStartTicks = 0; // 0: not initialised

int readTicks(uint64_t* ticks)
{
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return kv::internal::lastError(EINVAL);
    *ticks
        = static_cast<uint64_t>(ts.tv_sec) * static_cast<uint64_t>(kTicksPerSecond) + static_cast<uint64_t>(ts.tv_nsec);
    return 0;
}

// Shared by the three interval functions; name starts their complaint.
int usecSince(const char* name, const kv_timeval_t* then, kv_timeval_t* nowOut, uint64_t* usec)
{
    if (!then || !usec)
        return EINVAL;
    kv_timeval_t now;
    const int rc = kv_time_gettimeofday(&now, nullptr);
    if (rc != 0)
        return rc;
    if (nowOut)
        *nowOut = now;
    if (then->tv_sec > now.tv_sec || (then->tv_sec == now.tv_sec && then->tv_usec > now.tv_usec)) {
        kv_err("%s: big old %lld.%lld > %lld.%lld", name, static_cast<long long>(then->tv_sec),
            static_cast<long long>(then->tv_usec), static_cast<long long>(now.tv_sec),
            static_cast<long long>(now.tv_usec));
        return EINVAL;
    }
    *usec = static_cast<uint64_t>(kv_time_get_usec_diff(&now, then));
    return 0;
}

} // namespace

extern "C" {

int kv_time_init(void)
{
    if (gStartTicks != 0)
        return 0;
    timespec resolution;
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
        const int rc = kv::internal::lastError(EINVAL);
        kv_log("Error from QueryPerformanceFrequency, error=%d", rc);
        return rc;
    }
    gFrequency = kTicksPerSecond;
    gScale = scaleFor(static_cast<uint64_t>(gFrequency));
    uint64_t ticks;
    const int rc = readTicks(&ticks);
    if (rc != 0)
        return rc;
    gStartTicks = ticks;
    return 0;
}

int kv_time_sys_tick_frequency(int64_t* frequency)
{
    if (!frequency)
        return EINVAL;
    *frequency = gFrequency;
    return 0;
}

int kv_time_print(void)
{
    kv_log("Time init: ticks per sec=%lld start_ticks=%llu", static_cast<long long>(gFrequency),
        static_cast<unsigned long long>(gStartTicks));
    kv_log("           multipliers tick=%llu usec=%llu", static_cast<unsigned long long>(gScale.divisor),
        static_cast<unsigned long long>(gScale.multiplier));
    return 0;
}

int kv_time_gettimeofday(kv_timeval_t* tv, void* /*ignored*/)
{
    if (!tv)
        return EINVAL;
    uint64_t ticks;
    const int rc = readTicks(&ticks);
    if (rc != 0)
        return rc;
    // 128 bits: the 64-bit product would wrap after some weeks of elapsed ticks.
    const unsigned __int128 elapsed = static_cast<unsigned __int128>(ticks - gStartTicks) * gScale.multiplier;
    const uint64_t usec = static_cast<uint64_t>(elapsed / gScale.divisor);
    tv->tv_sec = static_cast<int32_t>(usec / kUsecPerSec);
    tv->tv_usec = static_cast<int32_t>(usec % kUsecPerSec);
    return 0;
}

int kv_time_get_usec_since(const kv_timeval_t* then, uint64_t* usec)
{
    return usecSince("get_usec_since", then, nullptr, usec);
}

int kv_time_get_usec_since_small(const kv_timeval_t* then, uint64_t* usec)
{
    return usecSince("get_usec_since_small", then, nullptr, usec);
}

int kv_time_getnstore_usec_since(const kv_timeval_t* then, kv_timeval_t* now, uint64_t* usec)
{
    if (!now)
        return EINVAL;
    return usecSince("getnstore_usec_since", then, now, usec);
}

int64_t kv_time_get_usec_diff(const kv_timeval_t* a, const kv_timeval_t* b)
{
    if (!a || !b)
        return 0;
    return (static_cast<int64_t>(a->tv_sec) - b->tv_sec) * kUsecPerSec
        + (static_cast<int64_t>(a->tv_usec) - b->tv_usec);
}

int kv_time_tv_incr(kv_timeval_t* tv, uint64_t usec)
{
    if (!tv)
        return EINVAL;
    const uint64_t wholeSeconds = usec / kUsecPerSec;
    int64_t micro = static_cast<int64_t>(tv->tv_usec) + static_cast<int64_t>(usec % kUsecPerSec);
    int64_t seconds = tv->tv_sec + static_cast<int64_t>(wholeSeconds); // below 2^45: no overflow
    if (micro > kUsecPerSec - 1) {
        micro -= kUsecPerSec;
        seconds += 1;
    }
    if (seconds > INT32_MAX || seconds < INT32_MIN)
        return ERANGE;
    tv->tv_sec = static_cast<int32_t>(seconds);
    tv->tv_usec = static_cast<int32_t>(micro);
    return 0;
}

int kv_time_tv_dec(kv_timeval_t* tv, uint64_t usec)
{
    if (!tv)
        return EINVAL;
    const int64_t amount = usec > static_cast<uint64_t>(kUsecPerSec) ? kUsecPerSec : static_cast<int64_t>(usec);
    int64_t micro = static_cast<int64_t>(tv->tv_usec) - amount;
    int64_t seconds = tv->tv_sec;
    if (micro < 0) {
        micro += kUsecPerSec;
        seconds -= 1;
    }
    if (seconds < INT32_MIN)
        return ERANGE;
    tv->tv_sec = static_cast<int32_t>(seconds);
    tv->tv_usec = static_cast<int32_t>(micro);
    return 0;
}

int kv_time_localtime(const int32_t* seconds, struct tm* calendar)
{
    if (!seconds || !calendar)
        return EINVAL;
    const time_t t = static_cast<time_t>(static_cast<int64_t>(*seconds));
    errno = 0;
    if (!localtime_r(&t, calendar))
        return kv::internal::lastError(EOVERFLOW);
    return 0;
}

int kv_time_gmtime(const int64_t* seconds, struct tm* calendar)
{
    if (!seconds || !calendar)
        return EINVAL;
    const time_t t = static_cast<time_t>(*seconds);
    errno = 0;
    if (!gmtime_r(&t, calendar))
        return kv::internal::lastError(EOVERFLOW);
    return 0;
}

int kv_time_mktime(struct tm* calendar, int64_t* seconds)
{
    if (!calendar || !seconds)
        return EINVAL;
    errno = 0;
    const time_t t = mktime(calendar);
    // -1 is also one second before 1970 (UTC); only errno tells the two apart.
    if (t == static_cast<time_t>(-1) && errno != 0)
        return EINVAL;
    *seconds = static_cast<int64_t>(t);
    return 0;
}

int kv_time_strftime(const int64_t* seconds, char* buffer, unsigned size)
{
    if (!seconds || !buffer || size == 0)
        return EINVAL;
    const time_t t = static_cast<time_t>(*seconds);
    struct tm calendar;
    if (!localtime_r(&t, &calendar)) {
        buffer[0] = '\0';
        return EINVAL;
    }
    if (strftime(buffer, size, "%Y-%m-%d %H:%M", &calendar) == 0) {
        buffer[0] = '\0';
        return KV_ERR_INSUFFICIENT_BUFFER;
    }
    return 0;
}

int kv_time_convert_epoch(int64_t* seconds, uint32_t low, uint32_t high)
{
    if (!seconds)
        return EINVAL;
    const uint64_t fileTime = (static_cast<uint64_t>(high) << 32) | low;
    const int64_t usec = static_cast<int64_t>(fileTime / 10) - kFileTimeEpochUsec;
    *seconds = usec / kUsecPerSec;
    return 0;
}

} // extern "C"
