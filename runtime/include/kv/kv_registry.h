/*
 * Korvel platform runtime: the registry.
 *
 * A small file-backed store of string values, laid out like the registry the
 * library was first written for: a hive (root key), keys given as a path of
 * names separated by backslashes, and named values in each key.
 *
 * On disk every hive is a folder and every key one file in it:
 *
 *   <hive folder>/<key path, "\" turned into "/", lower-cased>.key
 *
 * so the value "InstallDir" of "SOFTWARE\Korvel\ZERV" in the local-machine hive
 * lives in /var/lib/korvel/registry/HKEY_LOCAL_MACHINE/software/korvel/zerv.key.
 * Key and value names are matched without regard to (ASCII) case. The hive
 * folders are
 *
 *   HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS:
 *       /var/lib/korvel/registry/<hive name>
 *   HKEY_CURRENT_USER:
 *       $HOME/.local/share/korvel/registry/HKEY_CURRENT_USER
 *
 * and all of them move to $KV_REGISTRY_ROOT/<hive name> while that variable is
 * set and not empty (read by the registry alone, on every call; tests use it).
 *
 * A key file holds one value a line, "<type>\t<name>\t<data>", with backslash,
 * tab, CR and LF written as \\, \t, \r and \n; the types are "sz" (a string),
 * "expand_sz" (a string with unexpanded %VAR% references) and anything else (not
 * a string). Keys are created by the installer (an empty file is an empty key);
 * kv_reg_set and kv_reg_del change existing keys only. A change rewrites the
 * key into a temporary file beside it ("<key file>.XXXXXX", flocked by its
 * writer until the rename), syncs it, renames it over the key and then syncs the
 * folder, so that the change survives a power loss; all under an exclusive
 * flock on "<hive folder>/.lock", so readers see the old or the new key whole
 * and two processes writing at once never lose each other's values. Each change
 * first removes the temporaries in the key's folder that no writer holds (left
 * by writers killed mid-change). The key keeps its permission bits, and its
 * owner and group when root rewrites it (another writer keeps the group where
 * it belongs to it). A failed folder sync is returned although the new value is
 * already in place; a file system that cannot sync folders is accepted.
 *
 * Codes: 0; 22 for a null argument, an unknown hive, or a key path with an empty,
 * "." or ".." name or a "/"; ENOENT (the platform's "file not found") for a
 * missing key or value; other errno values from the file system. This header
 * compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/* Hives (root keys). */
#define KV_HKEY_CLASSES_ROOT 0
#define KV_HKEY_CURRENT_USER 1
#define KV_HKEY_LOCAL_MACHINE 2
#define KV_HKEY_USERS 3

/*
 * Read the string value name (null or "" for the key's default value) of key
 * into out, whose size *size gives. Success: 0 and *size = text length + 1. A
 * value that does not fit: KV_ENOSPACE and *size = the size it needs. A value
 * that is not "sz" or "expand_sz": 22 (references are not expanded).
 */
KV_API int kv_reg_get(int root, const char* key, const char* name, char* out, unsigned* size);

/* Store value as the string value name ("sz") of an existing key. */
KV_API int kv_reg_set(int root, const char* key, const char* name, const char* value);

/* Delete the value name of an existing key; a missing value is ENOENT. */
KV_API int kv_reg_del(int root, const char* key, const char* name);

KV_END_DECLS
