// Files by path: delete, rename, links, times, copy, owners, path texts, mode
// predicates and read streams.
#include "kv/kv_file.h"
#include "runtime/src/kv_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <new>
#include <pwd.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

struct kv_chown_context_t {
    int group; // non-zero: id is a group id
    unsigned id;
};

namespace kv::internal {

namespace {

// Runs a reentrant account lookup (getpwnam_r, getgrnam_r) with a buffer that
// grows while the lookup asks for more room.
template <typename Record, typename Lookup, typename Use> int lookupByName(const char* name, Lookup lookup, Use use)
{
    if (!name || !*name)
        return ENOENT;
    size_t bufferSize = 1024;
    for (;;) {
        char* buffer = static_cast<char*>(malloc(bufferSize));
        if (!buffer)
            return ENOMEM;
        Record record;
        Record* found = nullptr;
        const int rc = retryCodeOnEintr([&] { return lookup(name, &record, buffer, bufferSize, &found); });
        if (rc == 0 && found)
            use(*found);
        free(buffer);
        if (rc == ERANGE && bufferSize < (1u << 20)) {
            bufferSize *= 4;
            continue;
        }
        if (rc != 0)
            return rc;
        return found ? 0 : ENOENT;
    }
}

} // namespace

int findAccount(const char* name, Account* account)
{
    return lookupByName<passwd>(name, getpwnam_r, [account](const passwd& pw) {
        account->uid = pw.pw_uid;
        account->gid = pw.pw_gid;
        account->home[0] = '\0';
        if (pw.pw_dir && strlen(pw.pw_dir) < sizeof account->home)
            memcpy(account->home, pw.pw_dir, strlen(pw.pw_dir) + 1);
    });
}

int findGroup(const char* name, gid_t* gid)
{
    return lookupByName<group>(name, getgrnam_r, [gid](const group& gr) { *gid = gr.gr_gid; });
}

} // namespace kv::internal

using namespace kv::internal;

namespace {

// Characters that no host or domain name holds.
bool validDomainName(const char* domain)
{
    return *domain && strpbrk(domain, "/\\[]:|<>+=;,?*\"") == nullptr;
}

// Checks the domain part of "domain\name": this host (or ".") only, since there
// are no domain controllers to ask here.
int checkDomain(const char* domain)
{
    if (!validDomainName(domain)) {
        kv_err("Invalid domain name: %s", domain);
        return EINVAL;
    }
    if (strcmp(domain, ".") == 0)
        return 0;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && strcasecmp(host, domain) == 0)
        return 0;
    kv_err("Domain %s not found", domain);
    return KV_ERR_FILE_NOT_FOUND;
}

int writeAll(kv_file_t* file, const char* data, unsigned count)
{
    while (count > 0) {
        unsigned written = 0;
        const int rc = kv_file_write(file, data, count, &written);
        if (rc != 0)
            return rc;
        if (written == 0) {
            // A write that makes no progress would repeat for ever.
            kv_err("kv_file_write: WriteFile failed. error=%d", EIO);
            return EIO;
        }
        data += written;
        count -= written;
    }
    return 0;
}

char kindLetter(int type)
{
    switch (type) {
    case KV_FTYPE_DIR:
        return 'd';
    case KV_FTYPE_CHR:
        return 'c';
    case KV_FTYPE_BLK:
        return 'b';
    case KV_FTYPE_FIFO:
        return 'f';
    case KV_FTYPE_SOCK:
        return 's';
    case KV_FTYPE_LNK:
        return 'l';
    default:
        return '-';
    }
}

int fileKind(int mode)
{
    return mode & 0xF000;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ files by path

int kv_file_delete(const char* path)
{
    if (!path)
        return EINVAL;
    return unlink(path) == 0 ? 0 : lastError();
}

int kv_file_rename(const char* old_path, const char* new_path)
{
    if (!old_path || !new_path)
        return EINVAL;
    if (renameat2(AT_FDCWD, old_path, AT_FDCWD, new_path, RENAME_NOREPLACE) == 0)
        return 0;
    const int err = lastError();
    // EINVAL and ENOTSUP: the file system cannot rename without replacing (glibc
    // reports a kernel without renameat2 as EINVAL too); ENOSYS for completeness.
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP)
        return err;
    struct stat source;
    if (lstat(old_path, &source) != 0)
        return lastError();
    // A folder cannot be hard-linked, and any check of new_path followed by a
    // plain rename would replace an empty folder created in between: refuse.
    if (S_ISDIR(source.st_mode))
        return err;
    // A hard link never replaces a name; then the old name goes.
    if (linkat(AT_FDCWD, old_path, AT_FDCWD, new_path, 0) != 0)
        return lastError();
    if (unlink(old_path) == 0)
        return 0;
    const int unlinkError = lastError();
    // Undo the link, but only while new_path still names the source itself.
    struct stat target;
    if (lstat(new_path, &target) == 0 && target.st_dev == source.st_dev && target.st_ino == source.st_ino)
        unlink(new_path);
    return unlinkError;
}

int kv_file_hardlink(const char* existing_path, const char* new_path)
{
    if (!existing_path || !new_path)
        return EINVAL;
    return link(existing_path, new_path) == 0 ? 0 : lastError();
}

int kv_file_symlink(const char* target, const char* link_path)
{
    if (!target || !link_path)
        return EINVAL;
    return symlink(target, link_path) == 0 ? 0 : lastError();
}

int kv_file_readlink(const char* path, char* buffer, size_t size)
{
    if (size == 0)
        return KV_ENOSPACE;
    if (!path || !buffer)
        return EINVAL;
    buffer[0] = '\0';
    const ssize_t n = readlink(path, buffer, size);
    if (n < 0)
        return lastError();
    if (static_cast<size_t>(n) >= size) {
        buffer[size - 1] = '\0';
        return KV_ENOSPACE;
    }
    buffer[n] = '\0';
    return 0;
}

int kv_file_readlink_source(void)
{
    return EINVAL;
}

int kv_file_realpath(const char* path, char* out, size_t size)
{
    if (!path || !out || size == 0)
        return EINVAL;
    out[0] = '\0';
    char* resolved = realpath(path, nullptr);
    if (!resolved)
        return lastError();
    const size_t length = strlen(resolved);
    int rc = KV_ERR_INSUFFICIENT_BUFFER;
    if (length < size) {
        memcpy(out, resolved, length + 1);
        rc = 0;
    }
    free(resolved);
    return rc;
}

int kv_file_utime(const char* path, int64_t seconds)
{
    if (!path)
        return EINVAL;
    timespec times[2];
    for (timespec& t : times) {
        t.tv_sec = seconds < 0 ? 0 : static_cast<time_t>(seconds);
        t.tv_nsec = seconds < 0 ? UTIME_NOW : 0;
    }
    return utimensat(AT_FDCWD, path, times, 0) == 0 ? 0 : lastError();
}

int kv_file_copy(const char* source, const char* destination, int disposition)
{
    if (!source || !destination)
        return EINVAL;
    kv_file_t in;
    kv_file_t out;
    kv_file_init(&in);
    kv_file_init(&out);
    kv_stat_t st;
    int rc = kv_file_openread(source, &in);
    if (rc == 0)
        rc = kv_file_openrw(destination, &out, disposition);
    if (rc == 0)
        rc = kv_file_stat(source, &st, 0);

    uint64_t copied = 0;
    while (rc == 0) {
        char block[4096];
        unsigned got = 0;
        rc = kv_file_read(&in, block, sizeof block, &got);
        if (rc != 0 || got == 0)
            break;
        rc = writeAll(&out, block, got);
        copied += got;
    }
    if (rc == 0)
        rc = kv_file_truncate(&out, copied);
    kv_file_close(&in);
    kv_file_close(&out);
    return rc;
}

// ------------------------------------------------------------------ owner change

int kv_file_chown_create_context(const char* user, int group, kv_chown_context_t** context)
{
    if (!context)
        return EINVAL;
    *context = nullptr;
    if (!user)
        return EINVAL;

    char domain[KV_PATH_MAX] = {};
    const char* name = user;
    if (const char* backslash = strchr(user, '\\')) {
        const size_t length = static_cast<size_t>(backslash - user);
        if (length >= sizeof domain)
            return KV_ERR_INSUFFICIENT_BUFFER;
        memcpy(domain, user, length);
        name = backslash + 1;
        if (const int rc = checkDomain(domain))
            return rc;
    }

    auto* created = new (std::nothrow) kv_chown_context_t { group != 0 ? 1 : 0, 0 };
    if (!created)
        return KV_ERR_NOT_ENOUGH_MEMORY;
    int rc;
    if (group) {
        gid_t gid = 0;
        rc = findGroup(name, &gid);
        created->id = gid;
        if (rc == ENOENT)
            kv_err("Group %s not found", name);
    } else {
        Account account;
        rc = findAccount(name, &account);
        created->id = account.uid;
        if (rc == ENOENT) {
            if (domain[0])
                kv_err("User %s\\%s not found", domain, name);
            else
                kv_err("User %s not found", name);
        }
    }
    if (rc != 0) {
        delete created;
        return rc;
    }
    *context = created;
    return 0;
}

int kv_file_chown_context(const kv_chown_context_t* context, const char* path)
{
    if (!context || !path)
        return EINVAL;
    const uid_t uid = context->group ? static_cast<uid_t>(-1) : static_cast<uid_t>(context->id);
    const gid_t gid = context->group ? static_cast<gid_t>(context->id) : static_cast<gid_t>(-1);
    if (chown(path, uid, gid) == 0)
        return 0;
    const int err = lastError();
    kv_err("Unable to SetFileSecurity for %s.  %d", path, err);
    return err;
}

int kv_file_chown_release_context(kv_chown_context_t** context)
{
    if (!context)
        return EINVAL;
    delete *context;
    *context = nullptr;
    return 0;
}

int kv_file_chown(const char* path, const char* user, int group)
{
    kv_chown_context_t* context = nullptr;
    int rc = kv_file_chown_create_context(user, group, &context);
    if (rc == 0)
        rc = kv_file_chown_context(context, path);
    kv_file_chown_release_context(&context);
    return rc;
}

// ------------------------------------------------------------------ path texts

int kv_file_tounixpath(char* path)
{
    if (!path)
        return EINVAL;
    for (char* p = path; *p; ++p)
        if (*p == '\\')
            *p = '/';
    return 0;
}

int kv_file_append_path(const char* dir, const char* name, char* out, size_t size)
{
    if (size == 0)
        return 0;
    if (!dir || !name || !out)
        return EINVAL;
    const size_t dirLength = strlen(dir);
    const size_t nameLength = strlen(name);
    const size_t sep = dirLength > 0 && dir[dirLength - 1] != '/' ? 1 : 0;
    if (dirLength + sep + nameLength + 1 > size)
        return KV_ENOSPACE;
    // The name moves first: out may be dir, and then dir is already in place.
    memmove(out + dirLength + sep, name, nameLength + 1);
    memmove(out, dir, dirLength);
    if (sep)
        out[dirLength] = '/';
    return 0;
}

int kv_file_basename(const char* path, char** out)
{
    if (!out)
        return EINVAL;
    *out = nullptr;
    if (!path)
        return EINVAL;
    const size_t length = strlen(path);
    if (length == 0 || path[length - 1] == '/')
        return KV_ENOBASENAME;
    // Like strrchr, the result points into the caller's text without its const.
    const char* slash = strrchr(path, '/');
    *out = const_cast<char*>(slash ? slash + 1 : path);
    return 0;
}

int kv_file_dirname(char* path)
{
    if (!path || !*path)
        return 0;
    size_t root;
    if ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) {
        root = path[1] == ':' && path[2] == '/' ? 3 : 0;
    } else if (path[0] == '/') {
        root = path[1] == '/' ? 2 : 1;
    } else {
        root = 0;
    }
    if (root == 0) {
        strcpy(path, ".");
        return 0;
    }
    char* slash = strrchr(path, '/');
    size_t cut = static_cast<size_t>(slash - path);
    while (cut > 0 && path[cut - 1] == '/')
        --cut;
    path[cut < root ? root : cut] = '\0';
    return 0;
}

int kv_file_path_compare(const char* a, const char* b)
{
    if (!a || !b)
        return KV_EPATHMISMATCH;
    const size_t aLength = strlen(a);
    if (strcmp(a, b) == 0)
        return 0;
    if (strlen(b) > aLength && strncmp(a, b, aLength) == 0
        && ((aLength > 0 && a[aLength - 1] == '/') || b[aLength] == '/'))
        return 0;
    return KV_EPATHMISMATCH;
}

int kv_file_permissions(const kv_stat_t* st, char* out, size_t size)
{
    if (size <= 10)
        return KV_ENOSPACE;
    if (!st || !out)
        return EINVAL;
    static constexpr char kLetters[] = "rwxrwxrwx";
    out[0] = kindLetter(st->type);
    for (int i = 0; i < 9; ++i)
        out[1 + i] = (st->mode & (0400 >> i)) ? kLetters[i] : '-';
    out[10] = '\0';
    return 0;
}

// ------------------------------------------------------------------ mode predicates

int kv_isreg(int mode)
{
    return fileKind(mode) == 0x8000;
}

int kv_isdir(int mode)
{
    return fileKind(mode) == 0x4000;
}

int kv_ischr(int mode)
{
    return fileKind(mode) == 0x2000;
}

int kv_isblk(int mode)
{
    return fileKind(mode) == 0x6000;
}

int kv_isfifo(int mode)
{
    return fileKind(mode) == 0x1000;
}

int kv_islnk(int mode)
{
    return fileKind(mode) == 0xA000;
}

int kv_issock(int mode)
{
    return fileKind(mode) == 0xC000;
}

// ------------------------------------------------------------------ read streams

int kv_filestream_openread(const char* path, FILE** out)
{
    if (!path || !out)
        return EINVAL;
    *out = fopen(path, "re");
    return *out ? 0 : lastError();
}

int kv_filestream_close(FILE** stream)
{
    if (!stream)
        return EINVAL;
    if (!*stream)
        return KV_ERR_INVALID_HANDLE;
    const int r = fclose(*stream);
    *stream = nullptr;
    return r == 0 ? 0 : KV_ERR_INVALID_HANDLE;
}

} // extern "C"
