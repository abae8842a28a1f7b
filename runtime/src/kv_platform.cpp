// Machine and user information: host, OS, locale, mounts, user name and id.
#include "kv/kv_platform.h"
#include "kv/kv_path.h"
#include "kv/kv_process.h"
#include "kv/kv_registry.h"
#include "runtime/src/kv_internal.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mntent.h>
#include <new>
#include <pwd.h>
#include <string>
#include <strings.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

using namespace kv::internal;

namespace {

constexpr int kPasswdLine = 4096;
constexpr size_t kMaxNamePart = 511;

// The account of the effective uid; false when it has none.
bool accountName(std::string* name)
{
    passwd pw;
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) != 0 || !found || !found->pw_name)
        return false;
    *name = found->pw_name;
    return true;
}

// The host name, read once. Function-local statics are initialised once even
// when two threads get here first together.
const std::string& hostName()
{
    static const std::string name = [] {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0)
            host[0] = '\0';
        return std::string(host);
    }();
    return name;
}

bool isThisHost(const std::string& domain)
{
    const std::string& full = hostName();
    if (full.empty())
        return false;
    const std::string shortName = full.substr(0, full.find('.'));
    return strcasecmp(domain.c_str(), full.c_str()) == 0 || strcasecmp(domain.c_str(), shortName.c_str()) == 0;
}

void toLower(std::string& s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
}

void toUpper(std::string& s)
{
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
}

void slashes(char* text)
{
    for (; *text; ++text) {
        if (*text == '\\')
            *text = '/';
    }
}

template <typename Entry> void freeList(Entry** list)
{
    Entry* entry = *list;
    while (entry) {
        Entry* next = entry->next;
        delete entry;
        entry = next;
    }
    *list = nullptr;
}

// Errors of a file system that is there but does not answer now.
bool notReady(int err, bool scanningAll)
{
    switch (err) {
    case EIO:
    case ENOTCONN:
    case ESTALE:
    case EHOSTDOWN:
    case ENOMEDIUM:
        return true;
    case EACCES:
    case EPERM:
        return scanningAll;
    default:
        return false;
    }
}

int statPath(const char* path, kv_mount_t* entry, bool scanningAll)
{
    struct statvfs sv;
    if (retryOnEintr([&] { return statvfs(path, &sv); }) != 0) {
        const int err = lastError();
        if (!notReady(err, scanningAll))
            return err;
        entry->error = KV_ERR_NOT_READY;
        return 0;
    }
    entry->total_bytes = static_cast<uint64_t>(sv.f_blocks) * sv.f_frsize;
    entry->avail_bytes = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize;
    entry->used_bytes = entry->total_bytes - entry->avail_bytes;
    return 0;
}

// The user for kv_platform_uid; empty when there is none.
std::string uidUser()
{
    const char* env = getenv("USER");
    std::string account;
    const bool haveAccount = accountName(&account);
    if (env && *env && (!haveAccount || strcasecmp(env, account.c_str()) != 0)) {
        kv_log("Process owner and env user name mismatch, using env user name");
        return env;
    }
    return haveAccount ? account : std::string(env ? env : "");
}

// The uid of user from the password file; 0, KV_EUSERNAME or an errno.
int findUid(FILE* file, const std::string& user, int* uid)
{
    char line[kPasswdLine];
    while (fgets(line, sizeof line, file)) {
        const size_t len = strlen(line);
        if (len > 0 && line[len - 1] != '\n' && !feof(file)) {
            // Longer than a line may be: skip the rest of it.
            int c;
            while ((c = fgetc(file)) != EOF && c != '\n') { }
            continue;
        }
        char* first = strchr(line, ':');
        char* second = first ? strchr(first + 1, ':') : nullptr;
        char* third = second ? strchr(second + 1, ':') : nullptr;
        if (!third)
            continue;
        *first = '\0';
        kv_dbg("user = %s", line);
        if (strcasecmp(line, user.c_str()) != 0)
            continue;
        const char* digits = second + 1;
        if (digits == third || strspn(digits, "0123456789") != static_cast<size_t>(third - digits))
            continue;
        const unsigned long value = strtoul(digits, nullptr, 10);
        *uid = static_cast<int>(value);
        kv_err("uid for user %s = %u", user.c_str(), static_cast<unsigned>(value));
        return 0;
    }
    if (ferror(file))
        return lastError();
    kv_err("Invalid user name, uid not found for user %s", user.c_str());
    return KV_EUSERNAME;
}

int lookupUid(const std::string& user, int* uid)
{
    char root[KV_PATH_MAX];
    unsigned size = sizeof root;
    if (int rc = kv_platform_root(root, &size))
        return rc;
    const std::string path = std::string(root) + "/etc/passwd";
    FILE* file = fopen(path.c_str(), "re");
    if (!file) {
        const int err = lastError();
        kv_err("Could not open %s errno=%d", path.c_str(), err);
        return err;
    }
    errno = 0;
    const int rc = findUid(file, user, uid);
    fclose(file);
    return rc;
}

} // namespace

extern "C" {

int kv_platform_thread_init(void)
{
    // One fixed level, not a step from the current one: calling again changes nothing.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), KV_THREAD_NICE_ABOVE_NORMAL) == 0)
        return 1;
    return (errno == EACCES || errno == EPERM) ? 1 : 0;
}

int kv_platform_hostname(char* out, int size)
{
    if (!out || size <= 0)
        return EINVAL;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        out[0] = '\0';
        return lastError();
    }
    kv_str_ncpy(out, host, static_cast<unsigned>(size));
    return 0;
}

int kv_platform_os(char* out, int size)
{
    if (!out || size <= 0)
        return EINVAL;
    utsname u;
    if (uname(&u) != 0) {
        out[0] = '\0';
        return lastError();
    }
    const int n = snprintf(out, static_cast<size_t>(size), "Linux %s %s", u.release, u.version);
    if (n < 0)
        return lastError();
    return n >= size ? KV_ENOSPACE : 0;
}

int kv_platform_build_os(char* out)
{
    if (!out)
        return EINVAL;
    memcpy(out, "Linux", 6);
    return 0;
}

int kv_platform_build_ver(char* out)
{
    if (!out)
        return EINVAL;
    memcpy(out, "UNSET", 6);
    return 0;
}

int kv_platform_root(char* out, unsigned* size)
{
    return kv_reg_get(KV_HKEY_LOCAL_MACHINE, KV_INSTALL_KEY, KV_INSTALL_VALUE, out, size);
}

int kv_platform_winpath(char* out, unsigned* size)
{
    const int rc = kv_platform_root(out, size);
    if (rc == 0)
        slashes(out);
    return rc;
}

int kv_platform_uname(int id, char* out, int flag)
{
    (void)id;
    if (out && flag)
        out[0] = '\0';
    return 0;
}

int kv_platform_gname(int id, char* out, int flag)
{
    return kv_platform_uname(id, out, flag);
}

int kv_platform_locale(kv_locale_t* locale)
{
    if (!locale)
        return EINVAL;
    memset(locale, 0, sizeof *locale);
    const char* name = setlocale(LC_ALL, "");
    if (name && (strchr(name, ';') || strchr(name, '=')))
        name = setlocale(LC_CTYPE, nullptr);
    if (!name)
        return KV_ELOCALE;
    const std::string copy(name);
    if (sscanf(copy.c_str(), "%128[^_]_%128[^.].%128[^@]", locale->language, locale->territory, locale->codeset) != 3) {
        memset(locale, 0, sizeof *locale);
        return KV_ELOCALE;
    }
    return 0;
}

int kv_platform_usr(char* out, int size)
{
    if (!out || size <= 0)
        return EINVAL;
    char name[KV_PATH_MAX];
    int rc = kv_process_getenv("USER", name, sizeof name);
    if (rc != 0 || name[0] == '\0') {
        rc = kv_process_getenv("LOGNAME", name, sizeof name);
        if (rc != 0)
            rc = kv_process_getenv("USERNAME", name, sizeof name);
    }
    if (rc != 0) {
        char text[256];
        kv_err(
            "Failed to resolve user name, errno:%d, err desc:%s", rc, kv_platform_errstr_inline(rc, text, sizeof text));
        out[0] = '\0';
        return rc;
    }
    std::string account;
    if (!accountName(&account) || account != name)
        kv_log("Process owner and %%USER%% name mismatch, using env name");
    return kv_str_ncpy(out, name, static_cast<unsigned>(size));
}

int kv_platform_uid(int* uid)
{
    if (!uid)
        return EINVAL;
    *uid = -1;
    std::string user;
    int rc;
    try {
        user = uidUser();
        rc = user.empty() ? KV_EUSERNAME : lookupUid(user, uid);
    } catch (const std::bad_alloc&) {
        rc = ENOMEM;
    }
    if (rc != 0) {
        *uid = -1;
        kv_err("Could not find uid for user [%s]", user.c_str());
    }
    return rc;
}

int kv_platform_normalize_user_name(char* name, int size)
{
    if (!name || size <= 0)
        return EINVAL;
    try {
        const std::string input(name, strnlen(name, static_cast<size_t>(size)));
        std::string user = input;
        std::string domain;
        if (const size_t at = input.find('@'); at != std::string::npos) {
            user = input.substr(0, at);
            domain = input.substr(at + 1);
        } else if (const size_t sep = input.find_first_of("\\/"); sep != std::string::npos) {
            domain = input.substr(0, sep);
            user = input.substr(sep + 1);
        }
        if (user.size() > kMaxNamePart || domain.size() > kMaxNamePart)
            return KV_ENOSPACE;
        toLower(user);
        if (domain == "." || isThisHost(domain))
            domain.clear();
        if (!domain.empty()) {
            // No domain directory to ask for a flat name on this platform.
            kv_err("Unable to locate domain %s.  Leaving name as is.", domain.c_str());
            toUpper(domain);
        }
        const std::string result = domain.empty() ? user : domain + "\\" + user;
        return kv_str_ncpy(name, result.c_str(), static_cast<unsigned>(size));
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int kv_platform_drives(kv_drive_t** list)
{
    if (!list)
        return EINVAL;
    *list = nullptr;
    FILE* mounts = setmntent("/proc/self/mounts", "re");
    if (!mounts)
        return lastError();
    kv_drive_t** tail = list;
    int rc = 0;
    mntent entry;
    char buffer[8192];
    while (getmntent_r(mounts, &entry, buffer, sizeof buffer)) {
        auto* drive = new (std::nothrow) kv_drive_t {};
        if (!drive) {
            rc = ENOMEM;
            break;
        }
        *tail = drive;
        tail = &drive->next;
        if ((rc = kv_str_ncpy(drive->root, entry.mnt_dir, sizeof drive->root)) != 0)
            break;
    }
    endmntent(mounts);
    if (rc != 0)
        freeList(list);
    return rc;
}

int kv_platform_mnt(kv_mount_t** list, const char* path)
{
    if (!list)
        return EINVAL;
    *list = nullptr;
    if (path) {
        auto* entry = new (std::nothrow) kv_mount_t {};
        if (!entry)
            return ENOMEM;
        int rc = kv_str_ncpy(entry->path, path, sizeof entry->path);
        if (rc == 0) {
            slashes(entry->path);
            const size_t len = strlen(entry->path);
            if (len > 2 && entry->path[0] == '/' && entry->path[1] == '/' && entry->path[len - 1] != '/')
                rc = kv_str_ncat(entry->path, "/", sizeof entry->path);
        }
        if (rc == 0)
            rc = statPath(entry->path, entry, false);
        if (rc != 0) {
            delete entry;
            return rc;
        }
        *list = entry;
        return 0;
    }

    kv_drive_t* drives = nullptr;
    int rc = kv_platform_drives(&drives);
    kv_mount_t** tail = list;
    for (kv_drive_t* d = drives; rc == 0 && d; d = d->next) {
        auto* entry = new (std::nothrow) kv_mount_t {};
        if (!entry) {
            rc = ENOMEM;
            break;
        }
        *tail = entry;
        tail = &entry->next;
        memcpy(entry->path, d->root, sizeof entry->path);
        rc = statPath(entry->path, entry, true);
    }
    kv_platform_free_drives(&drives);
    if (rc != 0)
        freeList(list);
    return rc;
}

int kv_platform_free_drives(kv_drive_t** list)
{
    if (!list)
        return EINVAL;
    freeList(list);
    return 0;
}

int kv_platform_free_mnt(kv_mount_t** list)
{
    if (!list)
        return EINVAL;
    freeList(list);
    return 0;
}

int kv_path_etc_file(const char* name, const char* executable_path, char* out, int size)
{
    if (!name || !*name || !executable_path || !out || size <= 0)
        return -1;
    char dir[KV_PATH_MAX];
    if (kv_path_parent_dir(executable_path, dir, sizeof dir) < 0)
        return -1;
    static const char* const kPlaces[] = { ".", "etc", "..", "../etc", "../..", "../../etc" };
    for (const char* place : kPlaces) {
        char folder[KV_PATH_MAX];
        char file[KV_PATH_MAX];
        if (kv_path_append(dir, place, folder, sizeof folder) != 0
            || kv_path_append(folder, name, file, sizeof file) != 0 || !kv_path_exists(file))
            continue;
        if (kv_str_ncpy(out, file, static_cast<unsigned>(size)) != 0)
            return -1;
        return static_cast<int>(strlen(out));
    }
    return -1;
}

int kv_path_etc_dir(const char* executable_path, char* out, int size)
{
    if (!executable_path || !out || size <= 0)
        return -1;
    char file[KV_PATH_MAX];
    if (kv_path_etc_file("korvel.conf", executable_path, file, sizeof file) >= 0)
        return kv_path_parent_dir(file, out, static_cast<size_t>(size));
    char root[KV_PATH_MAX];
    if (kv_path_root_dir(executable_path, root, sizeof root) < 0)
        return -1;
    const size_t length = strlen(root);
    if (length + 5 > static_cast<size_t>(size))
        return -1;
    // A root of "/" takes "etc" without a second slash.
    const bool slashEnded = length > 0 && root[length - 1] == '/';
    return snprintf(out, static_cast<size_t>(size), slashEnded ? "%setc" : "%s/etc", root);
}

} // extern "C"
