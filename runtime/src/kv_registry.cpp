// The registry: string values in one file per key, changed atomically.
#include "kv/kv_registry.h"
#include "runtime/src/kv_internal.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kv::internal;

namespace {

constexpr const char* kDefaultMachineRoot = "/var/lib/korvel/registry";
constexpr const char* kUserRootBelowHome = "/.local/share/korvel/registry";

struct Value {
    std::string type;
    std::string name;
    std::string data;
};

const char* hiveName(int root)
{
    switch (root) {
    case KV_HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case KV_HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case KV_HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case KV_HKEY_USERS:
        return "HKEY_USERS";
    default:
        return nullptr;
    }
}

std::string homeDirectory()
{
    if (const char* home = getenv("HOME"); home && *home)
        return home;
    passwd pw;
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

// The hive's folder; empty for an unknown hive.
std::string hiveFolder(int root)
{
    const char* name = hiveName(root);
    if (!name)
        return {};
    std::string base;
    if (const char* redirect = getenv("KV_REGISTRY_ROOT"); redirect && *redirect)
        base = redirect;
    else if (root == KV_HKEY_CURRENT_USER)
        base = homeDirectory() + kUserRootBelowHome;
    else
        base = kDefaultMachineRoot;
    return base + "/" + name;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

// "<hive>/<a>/<b>.key" for "A\B". Names that would leave the hive folder or
// name a folder of their own are refused: 22.
int keyFile(int root, const char* key, std::string* path, std::string* hiveOut = nullptr)
{
    const std::string hive = hiveFolder(root);
    if (hive.empty() || !key)
        return EINVAL;
    std::string rel;
    const char* p = key;
    while (true) {
        const char* end = strchr(p, '\\');
        const size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        const std::string name(p, len);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
            return EINVAL;
        if (!rel.empty())
            rel += '/';
        for (char c : name)
            rel += asciiLower(c);
        if (!end)
            break;
        p = end + 1;
    }
    *path = hive + "/" + rel + ".key";
    if (hiveOut)
        *hiveOut = hive;
    return 0;
}

void escapeInto(std::string& out, const std::string& text)
{
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
}

std::string unescape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        default:
            out += text[i];
        }
    }
    return out;
}

// Lines that do not hold three tab-separated fields are skipped.
std::vector<Value> parseKey(const std::string& text)
{
    std::vector<Value> values;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t tab1 = line.find('\t');
        const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos)
            continue;
        values.push_back({ line.substr(0, tab1), unescape(line.substr(tab1 + 1, tab2 - tab1 - 1)),
            unescape(line.substr(tab2 + 1)) });
    }
    return values;
}

std::string formatKey(const std::vector<Value>& values)
{
    std::string text;
    for (const Value& v : values) {
        text += v.type;
        text += '\t';
        escapeInto(text, v.name);
        text += '\t';
        escapeInto(text, v.data);
        text += '\n';
    }
    return text;
}

int readAll(int fd, std::string* text)
{
    char buffer[8192];
    while (true) {
        const ssize_t n = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n < 0)
            return lastError();
        if (n == 0)
            return 0;
        text->append(buffer, static_cast<size_t>(n));
    }
}

int readKey(const std::string& path, std::vector<Value>* values, struct stat* st = nullptr)
{
    const int fd = openCloexec(path.c_str(), O_RDONLY);
    if (fd < 0)
        return lastError();
    std::string text;
    int rc = readAll(fd, &text);
    if (rc == 0 && st && fstat(fd, st) != 0)
        rc = lastError();
    closeFd(fd);
    if (rc == 0)
        *values = parseKey(text);
    return rc;
}

// Holds "<hive>/.lock" under an exclusive flock while alive.
class HiveLock {
public:
    explicit HiveLock(const std::string& hive)
    {
        const std::string lockPath = hive + "/.lock";
        m_fd = openCloexec(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
        if (m_fd < 0) {
            m_error = lastError();
            return;
        }
        if (retryOnEintr([&] { return flock(m_fd, LOCK_EX); }) != 0)
            m_error = lastError();
    }
    ~HiveLock()
    {
        if (m_fd >= 0)
            closeFd(m_fd); // releases the flock
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    int error() const { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

// Temporaries are "<key file>.XXXXXX" (mkostemp's six letters or digits).
bool isTemporaryName(const char* name)
{
    const size_t length = strlen(name);
    static constexpr char kSuffix[] = ".key.";
    constexpr size_t kSuffixLength = sizeof kSuffix - 1;
    if (length < kSuffixLength + 6 + 1 || memcmp(name + length - 6 - kSuffixLength, kSuffix, kSuffixLength) != 0)
        return false;
    for (size_t i = length - 6; i < length; ++i) {
        if (!isalnum(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

// A writer killed between creating its temporary and renaming it leaves the
// temporary behind. Every writer holds an flock on its temporary until the
// rename and writes only under the hive's lock, which the caller holds: a
// temporary in the key's folder whose flock can be taken belongs to a writer that
// ended, and is removed. Failures only leave a file behind.
void removeStaleTemporaries(const std::string& keyPath)
{
    const std::string folder = keyPath.substr(0, keyPath.rfind('/'));
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    const int dirFd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (!isTemporaryName(entry->d_name))
            continue;
        const int fd = retryOnEintr(
            [&] { return openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); });
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlinkat(dirFd, entry->d_name, 0);
        closeFd(fd);
    }
    closedir(dir);
}

// Make a rename in the key's folder durable: without this, a power loss may bring
// the old key back. A file system that cannot sync a folder (EINVAL) is let be.
int syncFolderOf(const std::string& keyPath)
{
    const std::string folder = keyPath.substr(0, keyPath.rfind('/'));
    const int fd = openCloexec(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return lastError();
    const int r = retryOnEintr([&] { return fsync(fd); });
    const int rc = r == 0 || errno == EINVAL ? 0 : lastError();
    closeFd(fd);
    return rc;
}

// Give the temporary the key's owner and group: a key rewritten by root would
// otherwise belong to root from then on, and its owner could no longer change
// it. Only root may give a file away; another writer keeps at least the group
// when it belongs to it, and otherwise writes as before.
int keepOwner(int fd, const struct stat& key)
{
    if (key.st_uid == geteuid() && key.st_gid == getegid())
        return 0;
    if (fchown(fd, key.st_uid, key.st_gid) == 0)
        return 0;
    if (geteuid() == 0)
        return lastError();
    if (fchown(fd, static_cast<uid_t>(-1), key.st_gid) != 0) {
        // Not a member of the key's group: the file keeps the writer's.
    }
    return 0;
}

// Read the key, let change() edit its values, and put the result in place of
// the key with a rename, all under the hive's lock.
template <typename Change> int rewriteKey(int root, const char* key, Change change)
{
    std::string path;
    std::string hive;
    if (int rc = keyFile(root, key, &path, &hive))
        return rc;
    HiveLock lock(hive);
    if (lock.error())
        return lock.error();
    std::vector<Value> values;
    struct stat st;
    if (int rc = readKey(path, &values, &st))
        return rc;
    if (int rc = change(values))
        return rc;
    removeStaleTemporaries(path);

    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return lastError();
    // Held until the rename, so that the temporary is known to be in use.
    int rc = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : lastError();
    if (rc == 0) {
        const std::string text = formatKey(values);
        rc = writeAll(fd, text.data(), text.size());
    }
    // Owner before mode: a change of owner may clear set-id bits.
    if (rc == 0)
        rc = keepOwner(fd, st);
    if (rc == 0 && fchmod(fd, st.st_mode & 07777) != 0)
        rc = lastError();
    if (rc == 0 && retryOnEintr([&] { return fsync(fd); }) != 0)
        rc = lastError();
    if (const int closed = closeFd(fd); rc == 0)
        rc = closed;
    if (rc == 0 && rename(temp.c_str(), path.c_str()) != 0)
        rc = lastError();
    if (rc != 0) {
        unlink(temp.c_str());
        return rc;
    }
    return syncFolderOf(path);
}

std::string valueName(const char* name)
{
    return name ? std::string(name) : std::string();
}

bool isString(const std::string& type)
{
    return type == "sz" || type == "expand_sz";
}

} // namespace

extern "C" {

int kv_reg_get(int root, const char* key, const char* name, char* out, unsigned* size)
{
    if (!out || !size)
        return EINVAL;
    try {
        std::string path;
        if (int rc = keyFile(root, key, &path))
            return rc;
        std::vector<Value> values;
        if (int rc = readKey(path, &values))
            return rc;
        const std::string wanted = valueName(name);
        for (const Value& v : values) {
            if (!equalNoCase(v.name, wanted))
                continue;
            if (!isString(v.type))
                return EINVAL;
            const size_t need = v.data.size() + 1;
            if (need > *size) {
                *size = static_cast<unsigned>(need);
                return KV_ENOSPACE;
            }
            memcpy(out, v.data.c_str(), need);
            *size = static_cast<unsigned>(need);
            return 0;
        }
        return ENOENT;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int kv_reg_set(int root, const char* key, const char* name, const char* value)
{
    if (!value)
        return EINVAL;
    try {
        const std::string wanted = valueName(name);
        return rewriteKey(root, key, [&](std::vector<Value>& values) {
            for (Value& v : values) {
                if (equalNoCase(v.name, wanted)) {
                    v.type = "sz";
                    v.data = value;
                    return 0;
                }
            }
            values.push_back({ "sz", wanted, value });
            return 0;
        });
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int kv_reg_del(int root, const char* key, const char* name)
{
    try {
        const std::string wanted = valueName(name);
        return rewriteKey(root, key, [&](std::vector<Value>& values) {
            for (auto it = values.begin(); it != values.end(); ++it) {
                if (equalNoCase(it->name, wanted)) {
                    values.erase(it);
                    return 0;
                }
            }
            return ENOENT;
        });
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

} // extern "C"
