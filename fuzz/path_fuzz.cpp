// Canonical form and joining of paths. Input: one byte choosing the output size,
// then the base path, a zero byte, and the relative path joined to it.
//
// Asserted: nothing is written past the output, which always ends within it; the
// canonical form of a canonical form is itself (also in place and in a buffer that
// just fits); and the rules of the form hold: forward slashes only, no trailing
// "/" except in a bare prefix, no empty or "." component, ".." only leading a
// relative path; a join to a rooted base (one whose canonical form has a prefix)
// stays rooted.
#include <kv/kv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kGuard = 64;
constexpr char kGuardByte = 'G';

// Control characters as \xNN, so that the message shows the whole path.
std::string printable(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void check(bool ok, const char* what, const std::string& detail)
{
    if (ok)
        return;
    fprintf(stderr, "path_fuzz: %s: \"%s\"\n", what, printable(detail).c_str());
    abort();
}

// Runs fn into a buffer of size bytes followed by guard bytes; checks the guard
// and the zero.
template <typename Fn> int guarded(size_t size, std::string* result, Fn fn)
{
    std::vector<char> buffer(size + kGuard, kGuardByte);
    const int rc = fn(buffer.data(), size);
    for (size_t i = size; i < buffer.size(); ++i)
        check(buffer[i] == kGuardByte, "wrote past the output", std::string(buffer.data(), size));
    if (size > 0)
        check(memchr(buffer.data(), '\0', size) != nullptr, "output not terminated", std::string(buffer.data(), size));
    *result = size > 0 ? std::string(buffer.data()) : std::string();
    return rc;
}

void checkRules(const std::string& path)
{
    if (kv_path_is_zerv_uri(path.c_str()))
        return;
    check(!path.empty(), "empty result of a non-empty input", path);
    check(path.find('\\') == std::string::npos, "backslash left", path);
    check(path.find('\n') == std::string::npos, "line feed left", path);

    char prefix[KV_PATH_MAX];
    const char* rest = nullptr;
    check(kv_path_extract_prefix(path.c_str(), prefix, &rest) == 0, "prefix does not parse", path);
    const size_t prefixLength = strlen(prefix);
    check(path.compare(0, prefixLength, prefix) == 0, "prefix not in canonical form", path);
    const std::string body = path.substr(prefixLength);
    if (body.empty()) {
        check(prefixLength > 0, "nothing but an empty prefix", path);
        return;
    }
    check(body.front() != '/', "slash after the prefix", path);
    check(body.back() != '/', "trailing slash", path);
    if (prefixLength == 0 && body == ".")
        return;

    bool leading = true;
    size_t start = 0;
    for (;;) {
        const size_t end = body.find('/', start);
        const std::string component = body.substr(start, end == std::string::npos ? end : end - start);
        check(!component.empty(), "empty component", path);
        check(component != ".", "\".\" component", path);
        if (component == "..")
            check(leading && prefixLength == 0, "\"..\" that is not leading a relative path", path);
        else
            leading = false;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

// A canonical path: the rules hold and canonicalising again changes nothing.
void checkCanonical(const std::string& path)
{
    checkRules(path);
    std::string again;
    const size_t tight = path.size() + 1;
    check(
        guarded(tight, &again, [&](char* out, size_t size) { return kv_path_canonical_path(path.c_str(), out, size); })
            == 0,
        "canonical form rejected", path);
    check(again == path, "canonical form of a canonical form differs", path + "\" -> \"" + again);

    std::vector<char> same(path.begin(), path.end());
    same.push_back('\0');
    check(kv_path_canonical_path(same.data(), same.data(), same.size()) == 0 && path == same.data(),
        "canonical form in place differs", path);
}

// Rooted as canonicalisation sees it: the canonical form starts with a prefix
// ("/", a drive or UNC). kv_path_is_relative is not the measure: it skips leading
// white space, which canonicalisation keeps as part of a relative first component
// ("\rC:x" is relative to the one and a drive path to the other).
bool hasPrefix(const std::string& canonical)
{
    char prefix[KV_PATH_MAX];
    const char* rest = nullptr;
    return kv_path_extract_prefix(canonical.c_str(), prefix, &rest) == 0 && prefix[0] != '\0';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length)
{
    if (length < 1)
        return 0;
    const size_t size = 1 + (static_cast<size_t>(data[0]) * 3) % (KV_PATH_MAX + 40);
    const std::string text(reinterpret_cast<const char*>(data + 1), length - 1);
    const size_t zero = text.find('\0');
    const std::string base = text.substr(0, zero);
    const std::string rel = zero == std::string::npos ? std::string() : std::string(text.c_str() + zero + 1);

    std::string canonical;
    const int rc
        = guarded(size, &canonical, [&](char* out, size_t n) { return kv_path_canonical_path(base.c_str(), out, n); });
    if (rc == 0 && !base.empty())
        checkCanonical(canonical);
    check(rc == 0 || canonical.empty(), "failure left output behind", canonical);

    std::string joined;
    if (guarded(size, &joined, [&](char* out, size_t n) { return kv_path_append(base.c_str(), rel.c_str(), out, n); })
            == 0
        && !joined.empty()) {
        checkCanonical(joined);
        if (rc == 0 && !base.empty() && hasPrefix(canonical) && !kv_path_is_zerv_uri(base.c_str()))
            check(hasPrefix(joined), "join to a rooted base is relative", base + "\" + \"" + rel);
    }

    std::string parent;
    if (guarded(size, &parent, [&](char* out, size_t n) { return kv_path_parent_dir(base.c_str(), out, n); }) >= 0
        && !parent.empty())
        checkCanonical(parent);

    const char* sep = kv_path_next_dirsep(base.c_str());
    check(!sep || (sep >= base.c_str() && sep < base.c_str() + base.size() && *sep == '/'),
        "separator outside the path", base);
    kv_path_leaves_home_dir(rel.c_str());
    return 0;
}
