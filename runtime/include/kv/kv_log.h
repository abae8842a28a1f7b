/*
 * Korvel platform runtime: the log.
 *
 * One process-wide log. kv_err, kv_log and kv_dbg (kv_core.h) write one line
 * each,
 *
 *   2011-03-04 17:05:09 [1a2c-00000f10] LOG DecryptManager::run()\r\n
 *
 * with the local time, the process id and the calling thread's id (gettid), to
 * a size-limited file that rotates through ten numbered files. The time is taken
 * in 64-bit seconds (localtime_r), so lines written after January 2038 carry
 * their true date; the 32-bit kv_time_localtime is not used here. A forked child
 * writes its own process and thread id. A fork never waits for another thread's
 * line (which may be blocked on a full pipe): a child forked while another
 * thread was in the middle of a line writes no lines until its log is closed
 * and opened again. For the name
 * dir/app.log the lines go to dir/app.N.log (N = 0..9; a name without a dot
 * gives dir/app.N), and dir/app.log is a hard link to the file in use. The
 * numbered files are opened without following a symbolic link and without
 * blocking, and must be regular files: a link, FIFO, folder or device under a
 * numbered name is refused like a file that cannot be opened, at start and at
 * rotation, so the log never writes into or creates another file through a
 * planted link and never hangs on a FIFO. The hard link is made to the opened
 * file itself. A line
 * identical to the one before is not written; the next different line is
 * preceded by "Last message repeated %d times". Lines longer than 4093 bytes
 * are cut. Calls from any number of threads are serialised: each line is
 * written whole and in one write.
 *
 * This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/*
 * Open the log. The first argument is ignored. A second call, even after a
 * failed first one, does nothing and returns 0 (until kv_log_cleanup).
 * The name "-" writes every line, without the time stamp, to standard error
 * only. A name without "/" is placed in <product root>/var/log when that
 * folder exists, else beside the executable (the folder is created when
 * missing). Backslashes in the name become "/".
 * Codes: null name 22; a name of 520 bytes or more KV_ERR_FILENAME_TOO_LONG; an
 * empty name, or one that ends in "/" or "\" and so names no file, 22 (such a
 * name would otherwise make the log write "<folder>.0" beside the folder, or
 * "/.0"); a folder that cannot be listed: its errno (after "Error opening log
 * directory %s" on standard error); a file that cannot be opened, or that is not
 * a regular file: 22 (after "Cannot open log file: %s" on standard error).
 */
KV_API int kv_log_init(intptr_t reserved, const char* name);

/* Close the log (the file is synced first); kv_log_init may then open it again.
 * When the log was not open: -2. */
KV_API int kv_log_cleanup(void);

/* Also write lines of level index i (0 "ERR", 1 "LOG", 2 "DBG") to standard
 * error, without time stamp, when i <= level; -1 (the initial value) echoes
 * nothing. Returns level. */
KV_API int kv_log_set_echo(int level);

/*
 * The size (initially 10 MiB) past which the log moves to the next numbered
 * file. The file's size is read at opening, every 64th line and whenever the
 * bytes this process wrote take it past the limit, so lines that other
 * processes append are counted within 64 lines. Megabytes 1..4095 set it to megabytes * 1048576 bytes and return that
 * byte count (as a 32-bit value: from 2048 MiB on it reads negative). Any other
 * value, 0 and below included, changes nothing and is returned.
 */
KV_API int kv_log_set_logfile_size(int megabytes);

KV_END_DECLS
