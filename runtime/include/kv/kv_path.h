/*
 * Korvel platform runtime: paths.
 *
 * Paths are UTF-8 strings with forward slashes. This family turns any input path
 * into that canonical form, joins and splits paths, classifies them, finds the
 * executable and the product root, finds files along search lists and finds home
 * directories.
 *
 * Canonical form: backslashes become "/", runs of "/" become one, "." components
 * are dropped, ".." removes the component before it, and the root prefix is
 * normalised. The prefix kinds, recognised after backslashes become slashes:
 *   UNC       "//" + at least two more characters + a "/" after the fourth one:
 *             written "//server/share/" (extra slashes are skipped; a missing
 *             server separator or an empty share is malformed)
 *   drive     a letter and ":": written as the letter, ":" and "/"
 *   rooted    "/" (a leading "//" that is not UNC is one root slash)
 *   relative  nothing
 * The drive and UNC kinds are plain text rules here: Linux has neither, but the
 * texts keep their meaning for paths that travel between systems. There is no
 * trailing "/" except in a bare prefix ("/", "C:/", "//server/share/"), no "."
 * component, and ".." only at the start of a relative path. An empty result is
 * ".". Paths starting with "zerv://" are not file paths and stay as they are.
 *
 * Paths need no conversion to a native form on Linux (they are UTF-8 already), so
 * no function here converts to or from wide characters.
 *
 * Canonicalisation and the functions built on it return -1 on failure rather than
 * an error code. Every output passed with a size is zero-terminated within it.
 * All functions are re-entrant.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/* Capacity of the component array of kv_path_t: enough for any path that fits in
 * KV_PATH_MAX bytes (every component takes at least two bytes with its "/"). */
#define KV_PATH_MAX_COMPONENTS (KV_PATH_MAX / 2)

/* One component of kv_path_t: text (not zero-terminated) and its length. */
typedef struct kv_path_component_t {
    const char* text;
    size_t length;
} kv_path_component_t;

/* A path split into a prefix and components. The components point into the
 * caller's text; the record owns none of them. The entry after the last component
 * has a null text. */
typedef struct kv_path_t {
    char prefix[KV_PATH_MAX];
    int count;
    kv_path_component_t components[KV_PATH_MAX_COMPONENTS + 1];
} kv_path_t;

/* ------------------------------------------------------ canonical form, joining */

/*
 * Canonical form of in into out (size bytes). in and out may be the same buffer.
 * Null or empty in: out becomes "" and 0. Returns -1 for a null out or size 0, an
 * input holding a line feed, a malformed UNC path, or a result that does not fit
 * (out is then still zero-terminated). A "zerv://" input is copied unchanged; one
 * that does not fit returns -1 rather than a cut copy.
 * Also -1: a relative path whose result would begin with a letter and ":"
 * ("./C:x", "a/../C:x"). Written out, that result reads as the drive path "C:/x"
 * the next time it is canonicalised, so the relative path has no canonical form
 * of its own; the drive form would silently change what it names. (A drive path
 * written as "C:x" itself is a drive path and gives "C:/x".)
 */
KV_API int kv_path_canonical_path(const char* in, char* out, size_t size);

/*
 * Canonical form of base joined with rel; rel is always taken relative to base,
 * so its leading "/" are skipped. An empty (or null) base, or a base "." with a rel
 * that does not start with "/", gives the canonical form of rel. Size 0 returns 0
 * and writes nothing. The join is built in a working buffer of its own, so a join
 * longer than out fails only when its canonical form does not fit: -1, never a
 * silently cut path.
 */
KV_API int kv_path_append(const char* base, const char* rel, char* out, size_t size);

/* Canonical form of in with ".." appended (in is at most KV_PATH_MAX - 4 bytes).
 * Returns the length of out, or -1 (null or empty in, no fit). "/" stays "/",
 * "a" gives ".", "." gives "..". */
KV_API int kv_path_parent_dir(const char* in, char* out, size_t size);

/*
 * The next "/" that ends a leading part of path that could be created as a folder:
 * leading "/" are skipped, then the next "/" is taken, except that the "/" of a
 * drive root ("C:/") and the "/" after a UNC server ("//srv/") are passed over in
 * favour of the following one. Null when there is none. Called again with the
 * returned pointer it finds the separator after that.
 */
KV_API const char* kv_path_next_dirsep(const char* path);

/*
 * The prefix of path (see above) into prefix (KV_PATH_MAX bytes) and *rest to the
 * text after it. Returns 0, or -1 for a malformed UNC path or a prefix longer than
 * the prefix buffer. For a UNC path with nothing after the share *rest is null.
 */
KV_API int kv_path_extract_prefix(const char* path, char* prefix, const char** rest);

/* The UNC prefix "//server/share/" of path into prefix (KV_PATH_MAX bytes), *rest
 * as kv_path_extract_prefix. Returns 0, or -1 when path is not a well-formed UNC
 * path. */
KV_API int kv_path_unc_parts(const char* path, char* prefix, const char** rest);

/* Every backslash within the first length bytes of path (stopping at its end)
 * becomes "/". Returns 0 (22 for a null path). */
KV_API int kv_path_convert_path_to_forward_slashes(char* path, size_t length);

/* 1 when, after leading white space, a letter and ":" follow, else 0. When the
 * next character is neither "/" nor a backslash it also logs
 * "kv_path_has_windows_drive_letter: Path \"%s\" has a windows drive letter with no leading slash." */
KV_API int kv_path_has_windows_drive_letter(const char* path);

/* ------------------------------------------------------- executable and product */

/* Canonical path of the running executable (read from /proc/self/exe). The third
 * argument is ignored. Returns its length, or -1. */
KV_API int kv_path_executable_path(char* out, size_t size, const char* ignored);
/* Parent of kv_path_executable_path. Returns its length, or -1. */
KV_API int kv_path_executable_dir(char* out, size_t size, const char* ignored);
/* Finding the executable from argv[0] is not supported: -1. */
KV_API int kv_path_executable_path_from_arg(const char* arg, char* out, size_t size);

/* "product-info.mf", the file that marks the product root. */
KV_API const char* kv_path_product_info_file_name(void);

/*
 * Product root for the executable at exe_path: the first of the executable's
 * folder, its parent and its grandparent that holds "product-info.mf"; when none
 * does, the parent. Returns the length of out (non-negative), or -1.
 */
KV_API int kv_path_root_dir(const char* exe_path, char* out, size_t size);

/* ------------------------------------------------------------ existence, search */

/* 1 when kv_file_stat succeeds on path (links followed), else 0. */
KV_API int kv_path_exists(const char* path);
/* 1 when path exists and is a folder (links followed), else 0. */
KV_API int kv_path_is_dir(const char* path);

/*
 * The first "%s/%s" (folder, name) that exists, for the folders of the
 * null-terminated array dirs, into out. Returns 0, or -1 when none exists, name is
 * null or empty, or a candidate (folder length + name length + 2) exceeds size.
 */
KV_API int kv_path_find_file_in_paths(const char* name, const char* const* dirs, char* out, size_t size);
/* As kv_path_find_file_in_paths with the folders in one string separated by ":"
 * (an empty folder gives "/name"). */
KV_API int kv_path_find_file_in_string_of_paths(const char* name, const char* list, char* out, size_t size);

/* ------------------------------------------------------------------ small rules */

/* Copy in to out (-1 when it does not fit), then drop every trailing "/" (a lone
 * "/" becomes ""). Returns the new length. */
KV_API int kv_path_remove_trailing_slashes(const char* in, char* out, size_t size);
/* In place within the first length bytes of path: a leading "//" stays, every
 * other run of "/" becomes one. Returns the new length of the whole string, or -1
 * for a null path. */
KV_API int kv_path_remove_redundant_slashes(char* path, size_t length);
/* 1 for a path of the UNC kind (backslashes count as slashes), else 0. */
KV_API int kv_path_is_unc_path(const char* path);
/* After leading white space: 0 for a letter with ":", for "/" and for a
 * backslash; 1 otherwise (also for an empty path). */
KV_API int kv_path_is_relative(const char* path);
/*
 * Make path (a buffer of size bytes) rooted, in place: leading white space goes,
 * backslashes become "/"; a drive path must continue with "/" (else the drive
 * warning is logged and 22 returned); UNC and rooted paths stay; a relative path
 * gets a "/" in front, KV_ERR_FILENAME_TOO_LONG (ENAMETOOLONG) when that does not
 * fit. Returns 0.
 */
KV_API int kv_path_enforce_rootedness(char* path, size_t size);
/* 1 when path starts with "zerv://". */
KV_API int kv_path_is_zerv_uri(const char* path);
/*
 * 1 when the relative path climbs out of the folder it is joined to: it is joined
 * to "/a" and to "/b", and either canonical result no longer stays below its
 * folder. A join that does not fit or does not canonicalise counts as leaving
 * (1). Null or empty: 0.
 */
KV_API int kv_path_leaves_home_dir(const char* rel);

/* ------------------------------------------------------------------ home folders */

/* Canonical value of the environment variable "HOME" (at most KV_PATH_MAX - 1
 * bytes). Returns its length, or -1 when unset, empty or too long. */
KV_API int kv_path_home_dir(char* out, size_t size);

/*
 * Home folder of the account user into out; *size holds the capacity of out on
 * entry and the length of the result on success. The account comes from getpwnam;
 * a "domain\name" user is looked up by its name on this system (there are no
 * domain controllers here). Returns 0; 22 for a null argument; ENOENT when the
 * account is unknown or has no home folder; KV_ERR_INSUFFICIENT_BUFFER (ERANGE)
 * when the home does not fit, with *size set to the bytes needed. out is emptied
 * first.
 */
KV_API int kv_path_user_home_dir(const char* user, char* out, size_t* size);

/* getcwd: the buffer, or null. */
KV_API char* kv_path_getcwd(char* buffer, size_t size);

/* ------------------------------------------------------------- component form */

/* Count 0, empty prefix. Null: 22. */
KV_API int kv_path_init(kv_path_t* path);
/* Skip leading "/", then hand every "/"-separated component of text (runs of "/"
 * skipped) to kv_path_change_directory. text must outlive the record. Returns 0,
 * or -1 when the component array is full. */
KV_API int kv_path_string_to_path(kv_path_t* path, const char* text);
/* An empty component or "." does nothing; ".." (followed by "/" or the end) pops
 * the last component when kv_path_can_go_up_a_directory says so; otherwise the
 * component is pushed. Returns 0, or -1 when the array is full. */
KV_API int kv_path_change_directory(kv_path_t* path, const char* component, size_t length);
/* No components: 1 when there is a prefix (the pop then does nothing), else 0.
 * With components: 0 when every one is "..", else 1. */
KV_API int kv_path_can_go_up_a_directory(const kv_path_t* path);
/* The prefix, then the components joined by "/" ("." when that is empty). Returns
 * the length, or -1 when it does not fit. */
KV_API int kv_path_path_to_string(const kv_path_t* path, char* out, size_t size);

KV_END_DECLS
