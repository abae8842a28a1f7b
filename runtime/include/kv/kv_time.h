/*
 * Korvel platform runtime: clock, time values and calendar.
 *
 * The clock is clock_gettime(CLOCK_MONOTONIC) read in nanoseconds, so its tick
 * frequency is 1000000000. Elapsed microseconds are ticks * multiplier / divisor
 * (see kv_time_init), counted from kv_time_init; before it, from the clock's own
 * origin. Calendar conversions use localtime_r, gmtime_r, mktime and strftime.
 * This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

#include <time.h>

KV_BEGIN_DECLS

/* A time value: seconds and microseconds (0..999999 when normalised). */
typedef struct kv_timeval_t {
    int32_t tv_sec;
    int32_t tv_usec;
} kv_timeval_t;

/*
 * Once per process (a later call returns 0): read the tick frequency, compute the
 * divisor and multiplier and record the current tick count as start. The divisor
 * and multiplier are frequency and 1000000 reduced by their greatest common
 * divisor (1000 and 1 here), so the conversion is exact. (Dividing both by 4 while
 * the divisor is above 4194304 would suit a counter of a few MHz; with nanosecond
 * ticks it cuts the multiplier from 3906.25 to 3906 and the clock runs 64 ppm,
 * some 5.5 s a day, slow.)
 * A failing clock logs "Error from QueryPerformanceFrequency, error=%d" and
 * returns errno. Call it before other threads use the clock.
 */
KV_API int kv_time_init(void);

/* The raw tick frequency (1000000000). Null: 22. */
KV_API int kv_time_sys_tick_frequency(int64_t* frequency);

/* Log the clock state through kv_log: "Time init: ticks per sec=%lld start_ticks=%llu"
 * and "           multipliers tick=%llu usec=%llu". */
KV_API int kv_time_print(void);

/*
 * Time elapsed since kv_time_init (not the calendar time), split into seconds and
 * microseconds: whole microseconds, exactly (elapsed nanoseconds / 1000, rounded
 * down). The product is formed in 128 bits, so it does not wrap however long the
 * process runs. The second argument is ignored. Null tv: 22; a failing
 * clock returns errno.
 */
KV_API int kv_time_gettimeofday(kv_timeval_t* tv, void* ignored);

/*
 * Microseconds from then to now (kv_time_gettimeofday). When then lies after now,
 * logs "get_usec_since: big old %lld.%lld > %lld.%lld" (then, now) through kv_err
 * and returns 22; null arguments 22.
 */
KV_API int kv_time_get_usec_since(const kv_timeval_t* then, uint64_t* usec);
/* The same; message "get_usec_since_small: big old %lld.%lld > %lld.%lld". */
KV_API int kv_time_get_usec_since_small(const kv_timeval_t* then, uint64_t* usec);
/* The same, also storing the current time value in *now; message
 * "getnstore_usec_since: big old %lld.%lld > %lld.%lld". */
KV_API int kv_time_getnstore_usec_since(const kv_timeval_t* then, kv_timeval_t* now, uint64_t* usec);

/* (a.sec - b.sec) * 1000000 + (a.usec - b.usec); 0 when either is null. */
KV_API int64_t kv_time_get_usec_diff(const kv_timeval_t* a, const kv_timeval_t* b);

/* Add usec microseconds, carrying into the seconds. Null: 22. A sum whose seconds
 * do not fit 32 bits is ERANGE and leaves tv unchanged. */
KV_API int kv_time_tv_incr(kv_timeval_t* tv, uint64_t usec);
/* Subtract at most 1000000 microseconds (larger amounts are cut to 1000000),
 * borrowing one second when needed. Null: 22. */
KV_API int kv_time_tv_dec(kv_timeval_t* tv, uint64_t usec);

/* Local calendar time of *seconds (widened to 64 bits): localtime_r. Null
 * arguments 22; a failed conversion returns errno (EOVERFLOW). */
KV_API int kv_time_localtime(const int32_t* seconds, struct tm* calendar);
/* UTC calendar time: gmtime_r. Null arguments 22; a failed conversion errno. */
KV_API int kv_time_gmtime(const int64_t* seconds, struct tm* calendar);
/* Local calendar time to seconds (mktime, which also normalises *calendar); 22
 * when not representable or for null arguments. */
KV_API int kv_time_mktime(struct tm* calendar, int64_t* seconds);

/* Local time of *seconds printed as "%Y-%m-%d %H:%M" into buffer; 122
 * (KV_ERR_INSUFFICIENT_BUFFER) when it does not fit size bytes with its zero; null
 * arguments, size 0 or a failed conversion 22. */
KV_API int kv_time_strftime(const int64_t* seconds, char* buffer, unsigned size);

/*
 * A file time (100-nanosecond units since 1601-01-01 UTC, as two 32-bit words) to
 * seconds since 1970: divide by 10, subtract 11644473600000000 microseconds,
 * divide by 1000000; the divisions truncate toward zero. Null out: 22.
 */
KV_API int kv_time_convert_epoch(int64_t* seconds, uint32_t low, uint32_t high);

KV_END_DECLS
