/*
 * Korvel platform runtime: core.
 *
 * Result codes, the log switches and the gate of the three log calls, bounded
 * copying into fixed buffers, 64-bit byte order, and files by handle.
 *
 * Every function returns an int result code and passes results through
 * out-parameters: 0 for success; otherwise the system's errno, 22 (EINVAL) for an
 * invalid argument, one of the fixed platform codes below, or a library code
 * 0x7000..0x7010. Nothing throws. Strings are UTF-8, zero-terminated, with forward
 * slashes. This header compiles as C.
 */
#pragma once

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#if defined(KV_BUILDING_LIBRARY)
#define KV_API __attribute__((visibility("default")))
#else
#define KV_API
#endif

#ifdef __cplusplus
#define KV_BEGIN_DECLS extern "C" {
#define KV_END_DECLS }
#else
#define KV_BEGIN_DECLS
#define KV_END_DECLS
#endif

#if defined(__GNUC__)
#define KV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KV_PRINTF(fmt, args)
#endif

KV_BEGIN_DECLS

/* ---------------------------------------------------------------- result codes */

#define KV_OK 0

/* Library codes; kv_platform_errstr() gives their texts. */
#define KV_EDOCROOT 0x7000 /* "Invalid doc root path" */
#define KV_ESEPARATOR 0x7001 /* "Invalid command or token separator mismatch" */
#define KV_ENOBASENAME 0x7002 /* "Base file/directory name not found in path" */
#define KV_EPATHMISMATCH 0x7003 /* "File/directory path mismatch" */
#define KV_EUTF 0x7004 /* "Illegal UTF string" */
#define KV_ENOSPACE 0x7005 /* "Insufficient buffer space" */
#define KV_EEND 0x7006 /* "End or directory reached" */
#define KV_ELIBOPEN 0x7007 /* "Library open/close failed" */
#define KV_ELIBLOAD 0x7008 /* "Library module loading failed" */
#define KV_EUUID 0x7009 /* "Could not create UUID string" */
#define KV_ECONFIGXML 0x700A /* "Could not parse xml file for configs" */
#define KV_ELOCALE 0x700B /* "Could not read locale info" */
#define KV_EMD5 0x700C /* "Could not compute md5sum" */
#define KV_ELOG 0x700D /* "Could not log message" */
#define KV_EUSERNAME 0x700E /* "Invalid user name" */
#define KV_EUAC 0x700F /* "Parse error inside UAC" */
#define KV_ENOXFER 0x7010 /* "No transmitting xfer found" */

#define KV_ERRCODE_FIRST KV_EDOCROOT
#define KV_ERRCODE_LAST KV_ENOXFER

/*
 * Fixed platform codes the library reports itself. The library was first
 * written against Windows error numbers; on POSIX each stands for its errno
 * equivalent (Windows number in brackets).
 */
#define KV_ERR_FILE_NOT_FOUND ENOENT /* (2) */
#define KV_ERR_PATH_NOT_FOUND ENOENT /* (3) */
#define KV_ERR_ACCESS_DENIED EACCES /* (5) */
#define KV_ERR_NOT_ENOUGH_MEMORY ENOMEM /* (8) */
#define KV_ERR_NOT_READY EIO /* (21) */
#define KV_ERR_INVALID_ARG EINVAL /* (22, the same number here) */
#define KV_ERR_INSUFFICIENT_BUFFER ERANGE /* (122) */
#define KV_ERR_WAIT_ABANDONED EOWNERDEAD /* (128) */
#define KV_ERR_FILENAME_TOO_LONG ENAMETOOLONG /* (206) */
#define KV_ERR_WAIT_TIMEOUT ETIMEDOUT /* (258) */
#define KV_ERR_STILL_ACTIVE 259 /* (259) a process has not exited yet; no errno has that meaning */
#define KV_ERR_DIRECTORY ENOTDIR /* (267) */
#define KV_ERR_NO_SYSTEM_RESOURCES ENOBUFS /* (1450) EAGAIN is treated the same way */
#define KV_ERR_WOULD_BLOCK EWOULDBLOCK /* (10035) */
#define KV_ERR_TIMED_OUT ETIMEDOUT /* (10060) */

/* Size of a path buffer throughout the library. */
#define KV_PATH_MAX 520

/*
 * Text of a result code into out (size bytes, size > 0). Library codes
 * 0x7000..0x7010 give the table text; any other code gives the system's message
 * for that errno (strerror_r), without a trailing newline.
 * Null out or size 0: 22. A failed system lookup returns its error.
 */
KV_API int kv_platform_errstr(int code, char* out, int size);

/* The buffer after a successful kv_platform_errstr(), otherwise the constant
 * text "Could not retrieve error message". */
KV_API const char* kv_platform_errstr_inline(int code, char* buffer, int size);

/* ----------------------------------------------------------------- log gate */

/*
 * Process-wide switches, plain ints read without a lock: a change takes effect
 * at the next call. Each setter returns the value it was given.
 */
KV_API int kv_log_set(int enabled); /* 0 disables every log call (initially 1) */
KV_API int kv_log_get(void);
KV_API int kv_dbg_set(int level); /* kv_dbg writes only while non-zero (initially 0) */
KV_API int kv_dbg_get(void);
KV_API int kv_dbg_set_all(int level); /* library-internal debug level (initially 0) */
KV_API int kv_dbg_get_all(void);

/*
 * One printf-style line at level "ERR", "LOG" or "DBG". Always return 0 and never
 * report a failed write. They write nothing while the log is disabled or not open
 * (before kv_log_init, after kv_log_cleanup); kv_dbg also while the debug level is 0.
 */
KV_API int kv_err(const char* format, ...) KV_PRINTF(1, 2);
KV_API int kv_log(const char* format, ...) KV_PRINTF(1, 2);
KV_API int kv_dbg(const char* format, ...) KV_PRINTF(1, 2);

/* ------------------------------------------------------------ bounded copying */

/*
 * Copy src to dst + *position in a buffer of size bytes, keep it NUL-terminated
 * and advance *position by what was copied. A null position counts as 0 and is
 * not advanced. Returns KV_ENOSPACE when src did not fit whole (the copy is then
 * truncated). dst or src null, or *position >= size: logs
 * "kv_str_to failure, args %p %p %lu %lu %p", empties dst (when it has room for
 * the NUL) and returns 22. Overlapping dst and src are allowed.
 */
KV_API int kv_str_to(char* dst, const char* src, unsigned size, unsigned* position);

/* As kv_str_to, with src's leading and trailing white space (isspace) left out. */
KV_API int kv_trimmed_str_to(char* dst, const char* src, unsigned size, unsigned* position);

/* kv_str_to at position 0 without logging: 0, KV_ENOSPACE when truncated, or 22. */
KV_API int kv_str_ncpy(char* dst, const char* src, unsigned size);

/* Append src to the text in dst (size bytes): 22 on null arguments, 0 and no
 * change for an empty src, KV_ENOSPACE when dst is already full or src is cut. */
KV_API int kv_str_ncat(char* dst, const char* src, unsigned size);

/* ---------------------------------------------------------------- byte order */

/* Swap a 64-bit value between host order and network (big-endian) order.
 * kv_ntohll and kv_htonll are the same function. */
KV_API uint64_t kv_ntohll(uint64_t value);
KV_API uint64_t kv_htonll(uint64_t value);

/* ----------------------------------------------------------- files by handle */

/* An open file: a file descriptor, -1 when no file is open. */
typedef int kv_file_t;

/* File kinds, the type field of kv_stat_t. */
#define KV_FTYPE_DIR 0
#define KV_FTYPE_REG 1
#define KV_FTYPE_CHR 2
#define KV_FTYPE_BLK 3
#define KV_FTYPE_FIFO 4
#define KV_FTYPE_SOCK 5
#define KV_FTYPE_LNK 6
#define KV_FTYPE_OTHER 0xFFFF

/* kv_file_stat flags; they may be combined. */
#define KV_STAT_NOFOLLOW 1 /* the symbolic link itself rather than its target */
#define KV_STAT_INO 2 /* also fill ino */

/* kv_file_openrw disposition: the file must exist (any other value creates it). */
#define KV_OPEN_EXISTING 7

/* File status; every field is zeroed before it is filled. */
typedef struct kv_stat_t {
    uint64_t ino; /* st_ino; kv_file_stat fills it only with KV_STAT_INO */
    uint64_t size; /* bytes */
    int type; /* KV_FTYPE_* */
    int mode; /* st_mode: file-type bits (0x4000 dir, 0x8000 regular, ...) and permissions */
    int uid; /* owner id (st_uid as int; POSIX ids are not cut to 16 bits) */
    int gid; /* group id */
    int64_t ctime; /* status-change time (POSIX has no creation time), seconds since 1970 UTC */
    int64_t mtime; /* last modification, seconds since 1970 UTC */
    int64_t atime; /* last access, seconds since 1970 UTC */
} kv_stat_t;

/* Set *file to -1 (no file open). Null: 22. */
KV_API int kv_file_init(kv_file_t* file);
/* Non-zero when file is non-null and holds an open descriptor. */
KV_API int kv_file_valid(const kv_file_t* file);
/* The raw descriptor (-1 for a null pointer). */
KV_API int kv_file_desc(const kv_file_t* file);

/* Open an existing file for reading (O_RDONLY). */
KV_API int kv_file_openread(const char* path, kv_file_t* file);
/* Open for appending, creating it with permission mode when missing (O_APPEND). */
KV_API int kv_file_openappend(const char* path, kv_file_t* file, int mode);
/* Open for writing, creating it (0666 less the umask) when missing, then cut it to
 * length 0; when cutting fails the file is closed and the error returned. */
KV_API int kv_file_openwrite(const char* path, kv_file_t* file);
/* Open for reading and writing without truncating; KV_OPEN_EXISTING requires the
 * file to exist, any other disposition creates it (0666 less the umask). */
KV_API int kv_file_openrw(const char* path, kv_file_t* file, int disposition);

/* Null: 22. An open file is closed and set to -1; a closed one is left alone (0). */
KV_API int kv_file_close(kv_file_t* file);
/* fsync. Null or closed: 22. */
KV_API int kv_file_flush(kv_file_t* file);

/* One read of up to count bytes; *got is set to what was read. 0 bytes with
 * result 0 is the end of the file. Exhausted resources (ENOBUFS, EAGAIN) are
 * retried up to 10 times; EINTR is retried without counting. */
KV_API int kv_file_read(kv_file_t* file, void* buffer, unsigned count, unsigned* got);
/* One write; *written receives what was written (may be less than asked). */
KV_API int kv_file_write(kv_file_t* file, const void* buffer, unsigned count, unsigned* written);
/* Seek to offset from the start, then one write. */
KV_API int kv_file_pwrite(kv_file_t* file, const void* buffer, unsigned count, uint64_t offset, unsigned* written);
/* whence 0 from the start, 1 from the current position, 2 from the end. */
KV_API int kv_file_seek(kv_file_t* file, int64_t offset, int whence);
/* Seek to length from the start and end the file there (ftruncate). */
KV_API int kv_file_truncate(kv_file_t* file, uint64_t length);

/* Status of an open file. */
KV_API int kv_file_fstat(kv_file_t* file, kv_stat_t* st);
/* Status by path; flags KV_STAT_NOFOLLOW and KV_STAT_INO. */
KV_API int kv_file_stat(const char* path, kv_stat_t* st, int flags);

KV_END_DECLS
