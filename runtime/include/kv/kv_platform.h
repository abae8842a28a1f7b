/*
 * Korvel platform runtime: machine and user information.
 *
 * Host name, operating system, locale, mount points and their free space, the
 * user's name and id, the product's installation directory (kept in the
 * registry, see kv_registry.h) and the folders near the executable that hold
 * the product's configuration. The error texts (kv_platform_errstr) live in
 * kv_core.h. This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/* Where the product's installation directory is recorded: the value
 * "InstallDir" of the key "SOFTWARE\Korvel\ZERV" in the local-machine hive. */
#define KV_INSTALL_KEY "SOFTWARE\\Korvel\\ZERV"
#define KV_INSTALL_VALUE "InstallDir"

/* One mount point. The library was first written for drive letters; on Linux
 * every mount point stands in for a drive. */
typedef struct kv_drive_t {
    char root[KV_PATH_MAX]; /* the mount point as /proc/self/mounts gives it ("/", "/home") */
    struct kv_drive_t* next;
} kv_drive_t;

/* Size of one mounted file system. */
typedef struct kv_mount_t {
    char path[KV_PATH_MAX]; /* the mount point or the path asked about */
    char fstype[KV_PATH_MAX]; /* always empty */
    char device[KV_PATH_MAX]; /* always empty */
    uint64_t total_bytes; /* f_blocks * f_frsize */
    uint64_t used_bytes; /* total_bytes - avail_bytes */
    uint64_t avail_bytes; /* f_bavail * f_frsize: what the caller may still use */
    uint64_t other_bytes; /* always 0 */
    int error; /* 0, or KV_ERR_NOT_READY when the size could not be read */
    struct kv_mount_t* next;
} kv_mount_t;

#define KV_LOCALE_FIELD 129

/* The process locale's name, split into its parts. */
typedef struct kv_locale_t {
    char language[KV_LOCALE_FIELD]; /* "en" */
    char territory[KV_LOCALE_FIELD]; /* "US" */
    char codeset[KV_LOCALE_FIELD]; /* "UTF-8" */
} kv_locale_t;

/* The nice value that stands for "above normal" thread priority: one step above
 * the normal 0. */
#define KV_THREAD_NICE_ABOVE_NORMAL (-1)

/* Set the calling thread's priority to "above normal": its nice value becomes
 * KV_THREAD_NICE_ABOVE_NORMAL (setpriority on the thread id), whatever it was, so
 * a second call changes nothing. Returns 1 when set, and also when the system does
 * not permit it (an unprivileged caller may not go below its current nice value;
 * the thread then keeps its priority); 0 on any other failure. */
KV_API int kv_platform_thread_init(void);

/* The host name (gethostname), cut to size - 1 bytes when longer. Returns 0;
 * null out or size <= 0: 22; a failed query: its errno. */
KV_API int kv_platform_hostname(char* out, int size);

/* "Linux <release> <version>" from uname(2). KV_ENOSPACE when the text had to
 * be cut; null out or size <= 0: 22. */
KV_API int kv_platform_os(char* out, int size);

/* Write "Linux" (6 bytes) into out. Null: 22. */
KV_API int kv_platform_build_os(char* out);

/* Write "UNSET" (6 bytes) into out. Null: 22. */
KV_API int kv_platform_build_ver(char* out);

/* The installation directory: kv_reg_get of KV_INSTALL_KEY / KV_INSTALL_VALUE in
 * the local-machine hive, with its codes (*size in/out as there). */
KV_API int kv_platform_root(char* out, unsigned* size);

/* As kv_platform_root, with every backslash turned into "/". */
KV_API int kv_platform_winpath(char* out, unsigned* size);

/* Not supported: the id is ignored; out (when non-null) is emptied when flag is
 * non-zero. Returns 0. kv_platform_gname is the same function. */
KV_API int kv_platform_uname(int id, char* out, int flag);
KV_API int kv_platform_gname(int id, char* out, int flag);

/*
 * Set the process locale from the environment (setlocale(LC_ALL, "")) and split
 * its name with "%128[^_]_%128[^.].%128[^@]": "en_US.UTF-8" gives "en", "US" and
 * "UTF-8". When the categories differ the name of LC_CTYPE is split. No name, or
 * fewer than three parts ("C", "C.UTF-8"): KV_ELOCALE. Null: 22.
 */
KV_API int kv_platform_locale(kv_locale_t* locale);

/*
 * The user name from the environment: "USER" when set and not empty, else
 * "LOGNAME", else "USERNAME". When none is set, logs "Failed to resolve user
 * name, errno:%d, err desc:%s" and returns 22 (an unset variable, as
 * kv_process_getenv reports it). When the name differs from the account of the
 * effective uid (getpwuid_r), logs "Process owner and %USER% name mismatch, using
 * env name". Returns 0, or KV_ENOSPACE when the name was cut to fit.
 */
KV_API int kv_platform_usr(char* out, int size);

/*
 * The user's numeric id from the product's own password file,
 * <installation directory>/etc/passwd (lines "name:x:uid:..."). The user is
 * "USER" when it is set and differs from the account of the effective uid,
 * otherwise that account. Names compare without regard to case. A file without
 * the user: KV_EUSERNAME; a file that cannot be opened or read: its errno; no
 * installation directory: kv_reg_get's code. On any failure *uid is -1.
 */
KV_API int kv_platform_uid(int* uid);

/*
 * In place to "DOMAIN\user" or "user": "user@domain", "domain\user" and
 * "domain/user" are split; the user is lower-cased; a domain equal to "." or to
 * this host's name (full or up to its first dot, any case) is dropped. There is
 * no domain directory on this platform, so any other domain is logged as
 * "Unable to locate domain %s.  Leaving name as is." and kept, upper-cased.
 * User or domain over 511 bytes, or a result that does not fit: KV_ENOSPACE.
 */
KV_API int kv_platform_normalize_user_name(char* name, int size);

/*
 * Every mount point, in the order of /proc/self/mounts, as a new list in *list
 * (release it with kv_platform_free_drives). A mount point longer than 519
 * bytes: KV_ENOSPACE. On failure *list is null and nothing is left allocated.
 */
KV_API int kv_platform_drives(kv_drive_t** list);

/*
 * Sizes (statvfs) of the file system holding path, or, with a null path, of
 * every mount point from kv_platform_drives, as a new list in *list (release it
 * with kv_platform_free_mnt). Backslashes in path become "/", and a UNC path
 * ("//server/share") gets a trailing "/". A file system that does not answer
 * (EIO, ENOTCONN, ESTALE, EHOSTDOWN, ENOMEDIUM; in the scan of every mount point
 * also EACCES and EPERM, e.g. another user's FUSE mount) gives an entry with
 * error KV_ERR_NOT_READY and zero sizes; any other failure frees the list and
 * returns the errno. A path longer than 519 bytes: KV_ENOSPACE.
 */
KV_API int kv_platform_mnt(kv_mount_t** list, const char* path);

/* Free the whole list and set *list to null. Null list: 22. */
KV_API int kv_platform_free_drives(kv_drive_t** list);
KV_API int kv_platform_free_mnt(kv_mount_t** list);

/*
 * Look for the file name in the folders near the executable, in this order (each
 * canonical): its folder D, D/etc, D/.., D/../etc, D/../.., D/../../etc. Found:
 * out holds the file's path and its length is returned; otherwise -1.
 */
KV_API int kv_path_etc_file(const char* name, const char* executable_path, char* out, int size);

/*
 * The folder holding "korvel.conf" (kv_path_etc_file); without one, the product
 * root (kv_path_root_dir) followed by "/etc". Returns the length, or -1 when the
 * root cannot be found or root plus "/etc" does not fit (length + 5 > size).
 */
KV_API int kv_path_etc_dir(const char* executable_path, char* out, int size);

KV_END_DECLS
