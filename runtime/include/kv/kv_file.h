/*
 * Korvel platform runtime: files by path.
 *
 * Deleting, renaming, copying, links, times and owners of files named by path;
 * path text helpers; mode predicates; buffered read streams. Files by handle and
 * kv_file_stat are in kv_core.h.
 *
 * Every function returns 0 or an error code: the system's errno, 22 (EINVAL) for
 * an invalid argument, one of the fixed codes of kv_core.h or a library code such
 * as KV_ENOSPACE. Paths are UTF-8 with forward slashes and go to the system as they
 * are (Linux needs no wide-character form). EINTR is retried inside.
 */
#pragma once

#include "kv/kv_core.h"

#include <stdio.h>

KV_BEGIN_DECLS

/* Invalid handle (6): a stream that is null or fails to close. */
#define KV_ERR_INVALID_HANDLE EBADF

/* --------------------------------------------------------------- files by path */

/* Delete a file (unlink). A folder gives EISDIR; a symbolic link is removed
 * itself, never its target. */
KV_API int kv_file_delete(const char* path);

/*
 * Rename old_path to new_path without ever replacing an existing new_path, whatever
 * holds it (file, folder, link, dangling link): that gives EEXIST. This is the
 * library's one rename-without-replace; the application's own file moves use it.
 *
 * Uses renameat2(RENAME_NOREPLACE). Where the file system does not offer it
 * (renameat2 fails with EINVAL, ENOSYS or ENOTSUP):
 * - anything but a folder is moved with link + unlink, which never replaces a name
 *   either. When the old name cannot be removed, the new name is removed again
 *   (if it still names the same file) and the unlink's error returned, so the file
 *   keeps exactly its old name. Hard links must be allowed (fs.protected_hardlinks:
 *   an unprivileged caller may need to own the file), else link's error comes back.
 * - a folder is NOT moved: no plain rename can refuse a folder created at
 *   new_path after a check, so the call returns renameat2's error (EINVAL, ENOSYS
 *   or ENOTSUP) rather than risk replacing it. Local Linux file systems all offer
 *   RENAME_NOREPLACE; this serves some network and FUSE file systems.
 */
KV_API int kv_file_rename(const char* old_path, const char* new_path);

/* new_path becomes a hard link to existing_path (link). */
KV_API int kv_file_hardlink(const char* existing_path, const char* new_path);

/* link_path becomes a symbolic link holding target (symlink). */
KV_API int kv_file_symlink(const char* target, const char* link_path);

/*
 * The text of the symbolic link path into buffer (size bytes, zero-terminated).
 * Size 0: KV_ENOSPACE. Not a link: EINVAL (22). A text that does not fit is cut
 * and KV_ENOSPACE returned.
 */
KV_API int kv_file_readlink(const char* path, char* buffer, size_t size);

/* Not supported: 22. */
KV_API int kv_file_readlink_source(void);

/*
 * The absolute path of path with every link, "." and ".." resolved (realpath);
 * the file must exist. A result that does not fit in out gives
 * KV_ERR_INSUFFICIENT_BUFFER (ERANGE). Backslashes are ordinary file-name
 * characters here and are left as they are.
 */
KV_API int kv_file_realpath(const char* path, char* out, size_t size);

/* Set access and modification time of path (links followed) to seconds since
 * 1970 UTC; a negative time sets both to now (utimensat). */
KV_API int kv_file_utime(const char* path, int64_t seconds);

/*
 * Copy source to destination, opened with kv_file_openrw(disposition):
 * KV_OPEN_EXISTING requires the destination to exist, anything else creates it.
 * The data goes in 4096-byte blocks, each written completely across partial
 * writes. Afterwards the destination is cut to the length copied, so that an
 * existing longer destination keeps no tail of its old contents. Returns the
 * first error; a failed write is logged by kv_file_write
 * ("kv_file_write: WriteFile failed. error=%d") and stops the copy.
 */
KV_API int kv_file_copy(const char* source, const char* destination, int disposition);

/* ----------------------------------------------------------------- owner change */

/*
 * Owner change with chown(2). A context holds the resolved account: a user id
 * (getpwnam) or, with a non-zero group flag, a group id (getgrnam), so that a
 * context changes the owner or the group. The process needs the right to change
 * owners (root or CAP_CHOWN); there are no privileges to switch on Linux.
 *
 * A "domain\name" user is accepted when the domain is "." or this host's name;
 * an empty domain or one with characters no host name has logs
 * "Invalid domain name: %s" and returns 22, another domain logs
 * "Domain %s not found" and returns ENOENT, and a domain of KV_PATH_MAX bytes or
 * more returns KV_ERR_INSUFFICIENT_BUFFER. An unknown user logs
 * "User %s\\%s not found" or "User %s not found", an unknown group
 * "Group %s not found", and returns ENOENT.
 */
typedef struct kv_chown_context_t kv_chown_context_t;

/* Resolve user into a new context (*context; null on failure). Null arguments: 22;
 * allocation failure: ENOMEM. */
KV_API int kv_file_chown_create_context(const char* user, int group, kv_chown_context_t** context);
/* Apply the context to path (links followed). Failure logs
 * "Unable to SetFileSecurity for %s.  %d" and returns errno. */
KV_API int kv_file_chown_context(const kv_chown_context_t* context, const char* path);
/* Free the context and set *context to null. */
KV_API int kv_file_chown_release_context(kv_chown_context_t** context);
/* Create a context, apply it to path, release it; the first error. */
KV_API int kv_file_chown(const char* path, const char* user, int group);

/* ---------------------------------------------------------------- path texts */

/* Every backslash of path becomes "/", in place. Null: 22. */
KV_API int kv_file_tounixpath(char* path);

/*
 * out = dir, a "/" when dir is non-empty and does not end in "/", then name.
 * Size 0 does nothing and returns 0. When the result (with its zero) exceeds size,
 * KV_ENOSPACE and out is left as it was. out may be the same buffer as dir.
 */
KV_API int kv_file_append_path(const char* dir, const char* name, char* out, size_t size);

/* *out points just after the last "/" of path (the whole path when there is none).
 * A path that is empty or ends in "/": *out is null and KV_ENOBASENAME. Null out
 * or path: 22. *out is a char* into path, as strrchr's result is, so that callers
 * can hold it in a char*: write through it only when path itself is writable. */
KV_API int kv_file_basename(const char* path, char** out);

/*
 * In place, the folder part of path. A path must begin with a root: "/" (one
 * character), a drive root "C:/" (three) or "//" (two); any other path becomes
 * ".". The last "/" and the run of "/" before it are cut away; when that would
 * reach into the root, the path becomes the root. Null or empty: left alone.
 * Always 0.
 */
KV_API int kv_file_dirname(char* path);

/* 0 when a equals b, or a is a shorter prefix of b and either a ends in "/" or b
 * continues with "/"; otherwise KV_EPATHMISMATCH. */
KV_API int kv_file_path_compare(const char* a, const char* b);

/*
 * "drwxr-xr-x" style text of st into out: the kind letter (d, -, c, b, f, s, l;
 * "-" for any other kind) and r, w or x for each set bit of 0400 to 01 ("-" when
 * clear). Size 10 or less: KV_ENOSPACE.
 */
KV_API int kv_file_permissions(const kv_stat_t* st, char* out, size_t size);

/* -------------------------------------------------------------- mode predicates */

/* True (1) when the file-type bits (mode & 0xF000) name the kind. Linux has block
 * devices, FIFOs, links and sockets, so every predicate answers from the bits. */
KV_API int kv_isreg(int mode); /* 0x8000 */
KV_API int kv_isdir(int mode); /* 0x4000 */
KV_API int kv_ischr(int mode); /* 0x2000 */
KV_API int kv_isblk(int mode); /* 0x6000 */
KV_API int kv_isfifo(int mode); /* 0x1000 */
KV_API int kv_islnk(int mode); /* 0xA000 */
KV_API int kv_issock(int mode); /* 0xC000 */

/* ----------------------------------------------------------------- read streams */

/* Open path as a C stream for reading in text mode ("r", close-on-exec). Returns
 * 0 or errno; 22 for null arguments. */
KV_API int kv_filestream_openread(const char* path, FILE** out);
/* Null pointer: 22. A null stream or a failing fclose: KV_ERR_INVALID_HANDLE. The
 * stream is gone after fclose either way, so *stream is set to null then. */
KV_API int kv_filestream_close(FILE** stream);

KV_END_DECLS
