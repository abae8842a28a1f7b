/*
 * Korvel platform runtime: directories.
 *
 * Listing a folder, creating folders (recursively, with a callback), deleting
 * them (recursively) and a depth-first walk. Listings use opendir/readdir and come
 * in the file system's order. Returns follow kv_core.h: 0, errno, 22 or a library
 * code such as KV_EEND.
 *
 * Symbolic links are never followed by the recursive functions: kv_dir_delete
 * removes a link itself, never what it points to, and the walk reports a link as
 * an entry without entering it. Folders are opened with O_NOFOLLOW and every
 * folder entered is checked against the folders above it, so that a loop (a bind
 * mount of a folder inside itself, or a folder swapped for a link while it is
 * walked) stops with ELOOP instead of recursing without end.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/* An open listing. Use kv_dir_init before anything else. */
typedef struct kv_dir_t {
    void* handle; /* DIR*, null while closed */
    int pending; /* the entry below has been read but not handed out yet */
    const void* entry; /* struct dirent* of the pending entry, null at the end */
} kv_dir_t;

/* Zero the listing and mark it closed. Null: 22. */
KV_API int kv_dir_init(kv_dir_t* dir);
/* Non-zero while the listing is open. */
KV_API int kv_dir_valid(const kv_dir_t* dir);

/*
 * Start listing path (links followed). The first entry is read now and handed out
 * by the first kv_dir_next. A path of KV_PATH_MAX - 2 bytes or more (no room for
 * a search pattern in a path buffer) returns KV_ERR_INSUFFICIENT_BUFFER (ERANGE);
 * otherwise errno of opendir/readdir.
 */
KV_API int kv_dir_open(const char* path, kv_dir_t* dir);
/* The next entry name (including "." and "..") into out (KV_PATH_MAX bytes).
 * KV_EEND at the end; KV_ENOSPACE (out emptied) for a name that does not fit;
 * 22 for a closed listing. */
KV_API int kv_dir_next(kv_dir_t* dir, char out[KV_PATH_MAX]);
/* End the listing (closedir) and mark it closed. A closed listing: 0. */
KV_API int kv_dir_close(kv_dir_t* dir);

/*
 * Called for every folder kv_dir_create_callback meets: created is 1 for a folder
 * it made, 0 for one that existed. A non-zero result stops the creation and is
 * returned.
 */
typedef int (*kv_dir_create_callback_t)(const char* path, int created, void* arg);

/* kv_dir_create_callback without a callback. */
KV_API int kv_dir_create(const char* path, int mode, int recursive);

/*
 * Create the folder path with permission mode (less the umask; mkdir).
 * An existing folder, or a link to one, calls back with 0 and returns the
 * callback's result (0 without one); anything else that exists returns
 * KV_ERR_DIRECTORY (ENOTDIR). When path is missing and recursive is set, every
 * leading part (up to each separator of kv_path_next_dirsep; drive roots and UNC
 * servers are never parts) is created first the same way, each part of
 * KV_PATH_MAX bytes or more giving KV_ERR_INSUFFICIENT_BUFFER; the first error
 * stops. A folder made calls back with 1. A folder that appears between the check
 * and mkdir (another process creating it) counts as existing. A null or empty
 * path: 22. Other failures return errno.
 */
KV_API int kv_dir_create_callback(
    const char* path, int mode, int recursive, kv_dir_create_callback_t callback, void* arg);

/*
 * Remove the folder path (rmdir). With recursive set, its contents go first:
 * folders by recursion, anything else (links included) with kv_file_delete; a
 * joined entry path of KV_PATH_MAX bytes or more gives KV_ENOSPACE; the first
 * error stops and is returned. A recursive delete of a symbolic link removes the
 * link and leaves its target alone.
 */
KV_API int kv_dir_delete(const char* path, int recursive);

/* Kinds reported by kv_dir_walk_iterate. */
#define KV_WALK_FILE 1 /* a regular file */
#define KV_WALK_DIR 2 /* a folder; its contents follow */
#define KV_WALK_END 3 /* the end of a folder; the name is ".." */
#define KV_WALK_OTHER 6 /* anything else: links, devices, FIFOs, sockets */

/* A depth-first walk. */
typedef struct kv_dir_walk_t kv_dir_walk_t;

/*
 * Start a walk of path (KV_PATH_MAX bytes at most, else KV_ENOSPACE) into *walk.
 * A regular file is a walk of that one file; a folder is listed; anything else,
 * a symbolic link included, returns KV_ERR_DIRECTORY. On failure *walk is null
 * (ENOMEM when memory runs out).
 */
KV_API int kv_dir_walk_init(kv_dir_walk_t** walk, const char* path);

/*
 * The next entry into out (size bytes) and its kind (KV_WALK_*). A folder's entry
 * (KV_WALK_DIR) is followed by its contents and then by "..", KV_WALK_END; the
 * walked folder's own end is reported too, and then KV_EEND. A one-file walk
 * gives the file (KV_WALK_FILE) and then KV_EEND. "." and ".." of the listings are
 * skipped. A folder that cannot be entered (opening, memory, ELOOP for a loop) is
 * reported with KV_WALK_DIR and that error; the walk goes on with its next entry.
 */
KV_API int kv_dir_walk_iterate(kv_dir_walk_t* walk, char* out, size_t size, int* kind);
/* Leave the folder the walk is in (its end is not reported). No folder: 22. */
KV_API int kv_dir_walk_pop(kv_dir_walk_t* walk);
/* Close and free the walk and set *walk to null. */
KV_API int kv_dir_walk_release(kv_dir_walk_t** walk);

KV_END_DECLS
