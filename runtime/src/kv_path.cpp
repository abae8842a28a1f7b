// Paths: canonical form, joining, prefixes, the executable and product root,
// search lists, home folders and the component form.
#include "kv/kv_path.h"
#include "runtime/src/kv_internal.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

using namespace kv::internal;

namespace {

constexpr const char kZervScheme[] = "zerv://";
constexpr size_t kZervSchemeLength = sizeof kZervScheme - 1;
constexpr const char kProductInfoFile[] = "product-info.mf";

bool isSep(char c)
{
    return c == '/' || c == '\\';
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool hasDriveLetter(const char* s)
{
    return isLetter(s[0]) && s[1] == ':';
}

const char* skipSeps(const char* s)
{
    while (isSep(*s))
        ++s;
    return s;
}

const char* skipSpace(const char* s)
{
    while (*s && isspace(static_cast<unsigned char>(*s)))
        ++s;
    return s;
}

// "//" followed by at least two characters and a separator after the fourth one.
bool looksLikeUnc(const char* s)
{
    if (!isSep(s[0]) || !isSep(s[1]) || s[2] == '\0' || s[3] == '\0')
        return false;
    for (const char* p = s + 4; *p; ++p)
        if (isSep(*p))
            return true;
    return false;
}

enum class PrefixKind { Relative, Rooted, Drive, Unc };

// The prefix of a path. Backslashes count as slashes; rest points into the input
// after the prefix and its separators, or is null for a UNC path that ends with
// its share.
struct Prefix {
    PrefixKind kind = PrefixKind::Relative;
    const char* rest = nullptr;
    const char* server = nullptr;
    size_t serverLength = 0;
    const char* share = nullptr;
    size_t shareLength = 0;
    char drive = 0;

    size_t length() const
    {
        switch (kind) {
        case PrefixKind::Relative:
            return 0;
        case PrefixKind::Rooted:
            return 1;
        case PrefixKind::Drive:
            return 3;
        case PrefixKind::Unc:
            return 2 + serverLength + 1 + shareLength + 1;
        }
        return 0;
    }
};

// False for a malformed UNC path.
bool parseUnc(const char* s, Prefix* prefix)
{
    const char* p = skipSeps(s);
    prefix->server = p;
    while (*p && !isSep(*p))
        ++p;
    prefix->serverLength = static_cast<size_t>(p - prefix->server);
    if (!isSep(*p) || prefix->serverLength == 0)
        return false;
    p = skipSeps(p);
    prefix->share = p;
    while (*p && !isSep(*p))
        ++p;
    prefix->shareLength = static_cast<size_t>(p - prefix->share);
    if (prefix->shareLength == 0)
        return false;
    p = skipSeps(p);
    prefix->kind = PrefixKind::Unc;
    prefix->rest = *p ? p : nullptr;
    return true;
}

bool parsePrefix(const char* s, Prefix* prefix)
{
    *prefix = Prefix();
    if (looksLikeUnc(s))
        return parseUnc(s, prefix);
    if (hasDriveLetter(s)) {
        prefix->kind = PrefixKind::Drive;
        prefix->drive = s[0];
        prefix->rest = skipSeps(s + 2);
    } else if (isSep(s[0])) {
        prefix->kind = PrefixKind::Rooted;
        prefix->rest = skipSeps(s);
    } else {
        prefix->rest = s;
    }
    return true;
}

// Writes the prefix text (always with forward slashes) into out, which must hold
// prefix.length() + 1 bytes.
void writePrefix(const Prefix& prefix, char* out)
{
    size_t pos = 0;
    switch (prefix.kind) {
    case PrefixKind::Relative:
        break;
    case PrefixKind::Rooted:
        out[pos++] = '/';
        break;
    case PrefixKind::Drive:
        out[pos++] = prefix.drive;
        out[pos++] = ':';
        out[pos++] = '/';
        break;
    case PrefixKind::Unc:
        out[pos++] = '/';
        out[pos++] = '/';
        memcpy(out + pos, prefix.server, prefix.serverLength);
        pos += prefix.serverLength;
        out[pos++] = '/';
        memcpy(out + pos, prefix.share, prefix.shareLength);
        pos += prefix.shareLength;
        out[pos++] = '/';
        break;
    }
    out[pos] = '\0';
}

int fail(char* out)
{
    out[0] = '\0';
    return -1;
}

// Scratch space for the canonical form: the input with forward slashes, and room
// for the result, which is at most two bytes longer ("C:x" gives "C:/x", "" gives
// "."). On the stack when short, on the heap otherwise.
class Scratch {
public:
    explicit Scratch(const char* text)
    {
        m_length = strlen(text);
        const size_t need = 2 * (m_length + 4);
        m_input = need <= sizeof m_local ? m_local : static_cast<char*>(malloc(need));
        if (!m_input)
            return;
        memcpy(m_input, text, m_length + 1);
        kv_path_convert_path_to_forward_slashes(m_input, m_length);
    }
    ~Scratch()
    {
        if (m_input != m_local)
            free(m_input);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    bool ok() const { return m_input != nullptr; }
    char* input() const { return m_input; }
    char* result() const { return m_input + m_length + 1; }
    size_t resultSize() const { return m_length + 7; }

private:
    char m_local[4 * KV_PATH_MAX];
    char* m_input = nullptr;
    size_t m_length = 0;
};

// The component loop of the canonical form; work holds the input with forward
// slashes. Components are written after the prefix; base marks where the removable
// components begin (after the prefix and after any ".." kept at the start of a
// relative path), so that ".." never climbs over the root or over a kept "..".
int canonicalInto(char* work, char* out, size_t size)
{
    Prefix prefix;
    if (!parsePrefix(work, &prefix))
        return fail(out);
    const size_t prefixLength = prefix.length();
    if (prefixLength >= size)
        return fail(out);
    writePrefix(prefix, out);
    if (!prefix.rest)
        return 0;

    const bool rooted = prefix.kind != PrefixKind::Relative;
    const size_t limit = size - 1;
    size_t pos = prefixLength;
    size_t base = prefixLength;
    auto put = [&](const char* text, size_t length) {
        const size_t sep = pos > prefixLength ? 1 : 0;
        if (pos + sep + length > limit)
            return false;
        if (sep)
            out[pos++] = '/';
        memcpy(out + pos, text, length);
        pos += length;
        return true;
    };

    const char* p = prefix.rest;
    while (*p) {
        while (*p == '/')
            ++p;
        if (!*p)
            break;
        const char* start = p;
        while (*p && *p != '/')
            ++p;
        const size_t length = static_cast<size_t>(p - start);
        if (length == 1 && start[0] == '.')
            continue;
        if (length == 2 && start[0] == '.' && start[1] == '.') {
            if (pos > base) {
                size_t j = pos;
                while (j > base && out[j - 1] != '/')
                    --j;
                pos = j > base ? j - 1 : base;
            } else if (!rooted) {
                if (!put(start, length))
                    return fail(out);
                base = pos;
            }
            continue;
        }
        if (!put(start, length))
            return fail(out);
    }

    if (pos == 0) {
        if (limit < 1)
            return fail(out);
        out[pos++] = '.';
    }
    out[pos] = '\0';
    // A relative path that now begins with a letter and ":" ("./C:x") would read
    // as a drive path the next time round; it has no stable canonical form.
    if (!rooted && hasDriveLetter(out))
        return fail(out);
    return 0;
}

// Separator after from, without the drive and UNC exceptions.
const char* plainNextSep(const char* from)
{
    while (*from == '/')
        ++from;
    return strchr(from, '/');
}

int findIn(const char* name, char* out, size_t size, const char* dir, size_t dirLength)
{
    const size_t nameLength = strlen(name);
    if (dirLength + nameLength + 2 > size)
        return -1;
    snprintf(out, size, "%.*s/%s", static_cast<int>(dirLength), dir, name);
    return kv_path_exists(out) ? 0 : 1;
}

bool isDotDot(const char* text, size_t length)
{
    return length >= 2 && text[0] == '.' && text[1] == '.' && (length == 2 || text[2] == '/');
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ canonical form

int kv_path_canonical_path(const char* in, char* out, size_t size)
{
    if (!out || size == 0)
        return -1;
    if (!in || !*in) {
        out[0] = '\0';
        return 0;
    }
    if (strchr(in, '\n'))
        return fail(out);
    if (kv_path_is_zerv_uri(in)) {
        const size_t length = strlen(in);
        if (length >= size)
            return fail(out);
        memmove(out, in, length + 1);
        return 0;
    }
    Scratch scratch(in);
    if (!scratch.ok() || canonicalInto(scratch.input(), scratch.result(), scratch.resultSize()) != 0)
        return fail(out);
    const size_t length = strlen(scratch.result());
    if (length >= size)
        return fail(out);
    memcpy(out, scratch.result(), length + 1);
    return 0;
}

int kv_path_append(const char* base, const char* rel, char* out, size_t size)
{
    if (size == 0)
        return 0;
    if (!out)
        return -1;
    if (!base)
        base = "";
    if (!rel)
        rel = "";
    if (!*base || (strcmp(base, ".") == 0 && rel[0] != '/'))
        return kv_path_canonical_path(rel, out, size);
    while (*rel == '/')
        ++rel;
    const size_t baseLength = strlen(base);
    const size_t relLength = strlen(rel);
    const bool sep = base[baseLength - 1] != '/';
    const size_t length = baseLength + (sep ? 1 : 0) + relLength;
    char local[2 * KV_PATH_MAX];
    char* joined = length < sizeof local ? local : static_cast<char*>(malloc(length + 1));
    if (!joined)
        return fail(out);
    memcpy(joined, base, baseLength);
    if (sep)
        joined[baseLength] = '/';
    memcpy(joined + baseLength + (sep ? 1 : 0), rel, relLength + 1);
    const int rc = kv_path_canonical_path(joined, out, size);
    if (joined != local)
        free(joined);
    return rc;
}

int kv_path_parent_dir(const char* in, char* out, size_t size)
{
    if (!out || size == 0)
        return -1;
    if (!in || !*in)
        return fail(out);
    char work[KV_PATH_MAX];
    const size_t length = strlen(in);
    const char* tail = in[length - 1] == '/' ? ".." : "/..";
    if (length + strlen(tail) >= sizeof work)
        return fail(out);
    memcpy(work, in, length);
    memcpy(work + length, tail, strlen(tail) + 1);
    if (kv_path_canonical_path(work, out, size) != 0)
        return -1;
    return static_cast<int>(strlen(out));
}

const char* kv_path_next_dirsep(const char* path)
{
    if (!path)
        return nullptr;
    const char* sep = plainNextSep(path);
    if (!sep)
        return nullptr;
    const bool driveRoot = hasDriveLetter(path) && sep == path + 2;
    const bool uncServer = path[0] == '/' && path[1] == '/';
    if (driveRoot || uncServer)
        return strchr(sep + 1, '/');
    return sep;
}

int kv_path_extract_prefix(const char* path, char* prefix, const char** rest)
{
    if (!path || !prefix || !rest)
        return -1;
    Prefix parsed;
    prefix[0] = '\0';
    *rest = nullptr;
    if (!parsePrefix(path, &parsed) || parsed.length() >= KV_PATH_MAX)
        return -1;
    writePrefix(parsed, prefix);
    *rest = parsed.rest;
    return 0;
}

int kv_path_unc_parts(const char* path, char* prefix, const char** rest)
{
    if (!path || !prefix || !rest)
        return -1;
    prefix[0] = '\0';
    *rest = nullptr;
    if (!looksLikeUnc(path))
        return -1;
    return kv_path_extract_prefix(path, prefix, rest);
}

int kv_path_convert_path_to_forward_slashes(char* path, size_t length)
{
    if (!path)
        return EINVAL;
    for (size_t i = 0; i < length && path[i]; ++i)
        if (path[i] == '\\')
            path[i] = '/';
    return 0;
}

int kv_path_has_windows_drive_letter(const char* path)
{
    if (!path)
        return 0;
    const char* p = skipSpace(path);
    if (!hasDriveLetter(p))
        return 0;
    if (!isSep(p[2]))
        kv_err("kv_path_has_windows_drive_letter: Path \"%s\" has a windows drive letter with no leading slash.", path);
    return 1;
}

// ------------------------------------------------------------------ executable, product root

int kv_path_executable_path(char* out, size_t size, const char* /*ignored*/)
{
    if (!out || size == 0)
        return -1;
    char link[4096];
    const ssize_t n = readlink("/proc/self/exe", link, sizeof link - 1);
    if (n <= 0)
        return fail(out);
    link[n] = '\0';
    if (kv_path_canonical_path(link, out, size) != 0)
        return -1;
    return static_cast<int>(strlen(out));
}

int kv_path_executable_dir(char* out, size_t size, const char* ignored)
{
    char exe[KV_PATH_MAX];
    if (!out || size == 0)
        return -1;
    if (kv_path_executable_path(exe, sizeof exe, ignored) < 0)
        return fail(out);
    return kv_path_parent_dir(exe, out, size);
}

int kv_path_executable_path_from_arg(const char* /*arg*/, char* out, size_t size)
{
    if (out && size > 0)
        out[0] = '\0';
    return -1;
}

const char* kv_path_product_info_file_name(void)
{
    return kProductInfoFile;
}

int kv_path_root_dir(const char* exe_path, char* out, size_t size)
{
    if (!out || size == 0)
        return -1;
    char dir[KV_PATH_MAX];
    char parent[KV_PATH_MAX];
    char grandparent[KV_PATH_MAX];
    if (kv_path_parent_dir(exe_path, dir, sizeof dir) < 0 || kv_path_parent_dir(dir, parent, sizeof parent) < 0
        || kv_path_parent_dir(parent, grandparent, sizeof grandparent) < 0)
        return fail(out);

    // The first candidate that holds the product file is the root; the parent otherwise.
    const char* root = parent;
    for (const char* candidate : { dir, parent, grandparent }) {
        const char* const one[] = { candidate, nullptr };
        char found[KV_PATH_MAX];
        if (kv_path_find_file_in_paths(kProductInfoFile, one, found, sizeof found) == 0) {
            root = candidate;
            break;
        }
    }
    const size_t length = strlen(root);
    if (length >= size)
        return fail(out);
    memcpy(out, root, length + 1);
    return static_cast<int>(length);
}

// ------------------------------------------------------------------ existence, search

int kv_path_exists(const char* path)
{
    kv_stat_t st;
    return path && kv_file_stat(path, &st, 0) == 0 ? 1 : 0;
}

int kv_path_is_dir(const char* path)
{
    kv_stat_t st;
    return path && kv_file_stat(path, &st, 0) == 0 && (st.mode & 0xF000) == 0x4000 ? 1 : 0;
}

int kv_path_find_file_in_paths(const char* name, const char* const* dirs, char* out, size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    if (!name || !*name || !dirs)
        return -1;
    for (const char* const* dir = dirs; *dir; ++dir) {
        const int rc = findIn(name, out, size, *dir, strlen(*dir));
        if (rc <= 0)
            return rc == 0 ? 0 : fail(out);
    }
    return fail(out);
}

int kv_path_find_file_in_string_of_paths(const char* name, const char* list, char* out, size_t size)
{
    if (!out || size == 0)
        return -1;
    out[0] = '\0';
    if (!name || !*name || !list)
        return -1;
    const char* p = list;
    for (;;) {
        const char* end = strchr(p, ':');
        const size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
        const int rc = findIn(name, out, size, p, length);
        if (rc <= 0)
            return rc == 0 ? 0 : fail(out);
        if (!end)
            break;
        p = end + 1;
    }
    return fail(out);
}

// ------------------------------------------------------------------ small rules

int kv_path_remove_trailing_slashes(const char* in, char* out, size_t size)
{
    if (!in || !out || size == 0)
        return -1;
    size_t length = strlen(in);
    if (length >= size)
        return fail(out);
    memmove(out, in, length + 1);
    while (length > 0 && out[length - 1] == '/')
        out[--length] = '\0';
    return static_cast<int>(length);
}

int kv_path_remove_redundant_slashes(char* path, size_t length)
{
    if (!path)
        return -1;
    const size_t n = strnlen(path, length);
    size_t r = 0;
    size_t w = 0;
    bool previousSlash = false;
    if (n >= 2 && path[0] == '/' && path[1] == '/') {
        r = w = 2;
        previousSlash = true;
    }
    for (; r < n; ++r) {
        const bool slash = path[r] == '/';
        if (slash && previousSlash)
            continue;
        path[w++] = path[r];
        previousSlash = slash;
    }
    const size_t tail = strlen(path + n);
    memmove(path + w, path + n, tail + 1);
    return static_cast<int>(w + tail);
}

int kv_path_is_unc_path(const char* path)
{
    return path && looksLikeUnc(path) ? 1 : 0;
}

int kv_path_is_relative(const char* path)
{
    if (!path)
        return 1;
    const char* p = skipSpace(path);
    return hasDriveLetter(p) || isSep(p[0]) ? 0 : 1;
}

int kv_path_enforce_rootedness(char* path, size_t size)
{
    if (!path)
        return EINVAL;
    const char* start = skipSpace(path);
    size_t length = strlen(start);
    memmove(path, start, length + 1);
    kv_path_convert_path_to_forward_slashes(path, length);
    if (kv_path_has_windows_drive_letter(path))
        return path[2] == '/' ? 0 : EINVAL;
    if (path[0] == '/')
        return 0;
    if (length + 2 > size)
        return KV_ERR_FILENAME_TOO_LONG;
    memmove(path + 1, path, length + 1);
    path[0] = '/';
    return 0;
}

int kv_path_is_zerv_uri(const char* path)
{
    return path && strncmp(path, kZervScheme, kZervSchemeLength) == 0 ? 1 : 0;
}

int kv_path_leaves_home_dir(const char* rel)
{
    if (!rel || !*rel)
        return 0;
    for (const char home : { 'a', 'b' }) {
        char joined[KV_PATH_MAX + 3];
        const int n = snprintf(joined, sizeof joined, "/%c/%s", home, rel);
        if (n < 0 || static_cast<size_t>(n) >= sizeof joined)
            return 1;
        if (kv_path_canonical_path(joined, joined, sizeof joined) != 0)
            return 1;
        if (joined[1] != home || (joined[2] != '/' && joined[2] != '\0'))
            return 1;
    }
    return 0;
}

// ------------------------------------------------------------------ home folders

int kv_path_home_dir(char* out, size_t size)
{
    if (!out || size == 0)
        return -1;
    const char* home = getenv("HOME");
    if (!home || !*home || strlen(home) >= KV_PATH_MAX)
        return fail(out);
    char value[KV_PATH_MAX];
    memcpy(value, home, strlen(home) + 1);
    if (kv_path_canonical_path(value, out, size) != 0)
        return -1;
    return static_cast<int>(strlen(out));
}

int kv_path_user_home_dir(const char* user, char* out, size_t* size)
{
    if (!user || !out || !size)
        return EINVAL;
    if (*size > 0)
        out[0] = '\0';
    const char* backslash = strchr(user, '\\');
    const char* name = backslash ? backslash + 1 : user;
    Account account;
    const int rc = findAccount(name, &account);
    if (rc != 0)
        return rc;
    if (account.home[0] == '\0')
        return ENOENT;
    const size_t length = strlen(account.home);
    if (length + 1 > *size) {
        *size = length + 1;
        return KV_ERR_INSUFFICIENT_BUFFER;
    }
    memcpy(out, account.home, length + 1);
    *size = length;
    return 0;
}

char* kv_path_getcwd(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return nullptr;
    return getcwd(buffer, size);
}

// ------------------------------------------------------------------ component form

int kv_path_init(kv_path_t* path)
{
    if (!path)
        return EINVAL;
    path->prefix[0] = '\0';
    path->count = 0;
    path->components[0] = { nullptr, 0 };
    return 0;
}

int kv_path_string_to_path(kv_path_t* path, const char* text)
{
    if (!path || !text)
        return -1;
    const char* p = text;
    for (;;) {
        while (*p == '/')
            ++p;
        if (!*p)
            return 0;
        const char* start = p;
        while (*p && *p != '/')
            ++p;
        if (kv_path_change_directory(path, start, static_cast<size_t>(p - start)) != 0)
            return -1;
    }
}

int kv_path_change_directory(kv_path_t* path, const char* component, size_t length)
{
    if (!path || (!component && length > 0))
        return -1;
    if (length == 0 || (length == 1 && component[0] == '.'))
        return 0;
    if (isDotDot(component, length)) {
        if (kv_path_can_go_up_a_directory(path)) {
            if (path->count > 0)
                path->components[--path->count] = { nullptr, 0 };
            return 0;
        }
        length = 2;
    }
    if (path->count < 0 || path->count >= KV_PATH_MAX_COMPONENTS)
        return -1;
    path->components[path->count++] = { component, length };
    path->components[path->count] = { nullptr, 0 };
    return 0;
}

int kv_path_can_go_up_a_directory(const kv_path_t* path)
{
    if (!path)
        return 0;
    if (path->count <= 0)
        return path->prefix[0] != '\0' ? 1 : 0;
    for (int i = 0; i < path->count; ++i) {
        const kv_path_component_t& c = path->components[i];
        if (!(c.length == 2 && c.text[0] == '.' && c.text[1] == '.'))
            return 1;
    }
    return 0;
}

int kv_path_path_to_string(const kv_path_t* path, char* out, size_t size)
{
    if (!path || !out || size == 0)
        return -1;
    size_t pos = strnlen(path->prefix, sizeof path->prefix);
    if (pos >= size)
        return fail(out);
    memcpy(out, path->prefix, pos);
    for (int i = 0; i < path->count; ++i) {
        const kv_path_component_t& c = path->components[i];
        const size_t sep = i > 0 ? 1 : 0;
        if (pos + sep + c.length >= size)
            return fail(out);
        if (sep)
            out[pos++] = '/';
        memcpy(out + pos, c.text, c.length);
        pos += c.length;
    }
    if (pos == 0) {
        if (size < 2)
            return fail(out);
        out[pos++] = '.';
    }
    out[pos] = '\0';
    return static_cast<int>(pos);
}

} // extern "C"
