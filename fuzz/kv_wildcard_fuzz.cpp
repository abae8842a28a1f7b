// Wildcard matching against the rules written as plain recursion (kept small so
// that the recursion stays quick), plus properties that hold at any size.
#include <kv/kv.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

int reference(const char* p, const char* s)
{
    while (*p && *s) {
        if (*p == '*') {
            if (p[1] == '\0')
                return 0;
            ++p;
            for (; *s; ++s) {
                if (reference(p, s) == 0)
                    return 0;
            }
            return 1;
        }
        if (*p == '\\') {
            ++p;
            if (*p != *s)
                return 1;
        } else if (*p != '?' && *p != *s) {
            return 1;
        }
        ++p;
        ++s;
    }
    if (*p == '\0' && *s == '\0')
        return 0;
    if (p[0] == '*' && p[1] == '\0')
        return 0;
    return 1;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Pattern and text separated by the first zero byte.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t cut = all.find('\0');
    const std::string pattern = all.substr(0, cut);
    const std::string text = cut == std::string::npos ? std::string() : std::string(all.c_str() + cut + 1);

    const int got = kv_str_wildcard_strcmp(pattern.c_str(), text.c_str());
    if (got != 0 && got != 1)
        abort();
    if (std::count(pattern.begin(), pattern.end(), '*') <= 3 && pattern.size() <= 24 && text.size() <= 32) {
        if (got != reference(pattern.c_str(), text.c_str()))
            abort();
    }
    if (kv_str_wildcard_strcmp(escaped(text).c_str(), text.c_str()) != 0)
        abort(); // an escaped text matches itself
    if (kv_str_wildcard_strcmp("*", text.c_str()) != 0)
        abort();
    if (kv_str_wildcards_present(escaped(pattern).c_str()) != 0)
        abort();
    return 0;
}
