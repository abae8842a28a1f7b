// Heap copies, number parsing and formatting, wildcards and the tokenizer.
// The hexadecimal and Base64 codecs are in kv_str_codec.cpp.
#include "kv/kv_str.h"
#include "runtime/src/kv_internal.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

using kv::internal::boundedFormat;
using kv::internal::digitValue;

namespace {

// kv_str_ahtoll_err narrowed to [low, high]: 122 outside it, *out written only on success.
template <typename T> int parseInRange(const char* text, int64_t low, int64_t high, T* out, const char** end)
{
    int64_t value;
    const int rc = kv_str_ahtoll_err(text, out ? &value : nullptr, end);
    if (rc != 0)
        return rc;
    if (value < low || value > high)
        return KV_ERR_INSUFFICIENT_BUFFER;
    *out = static_cast<T>(value);
    return 0;
}

// Pattern of kv_str_wildcard_strcmp after escapes are resolved.
struct PatternToken {
    enum Kind : unsigned char { Literal, AnyByte, Star, Never } kind;
    unsigned char byte;
};

std::vector<PatternToken> tokenizePattern(const char* pattern)
{
    std::vector<PatternToken> tokens;
    for (const char* p = pattern; *p; ++p) {
        if (*p == '\\') {
            // A trailing backslash asks for a literal zero byte, which no text byte equals.
            if (p[1] == '\0') {
                tokens.push_back({ PatternToken::Never, 0 });
                break;
            }
            ++p;
            tokens.push_back({ PatternToken::Literal, static_cast<unsigned char>(*p) });
        } else if (*p == '?') {
            tokens.push_back({ PatternToken::AnyByte, 0 });
        } else if (*p == '*') {
            tokens.push_back({ PatternToken::Star, 0 });
        } else {
            tokens.push_back({ PatternToken::Literal, static_cast<unsigned char>(*p) });
        }
    }
    return tokens;
}

// Whether tokens[k..] match text[j..], for every j, given the answers for tokens[k+1..].
// The rules follow the recursive definition: an empty text matches only an empty
// pattern or a lone "*"; a final "*" matches any rest; any other "*" needs the rest
// of the pattern to match some non-empty tail. Working row by row from the end of
// the pattern keeps the cost at pattern length times text length.
bool wildcardMatch(const std::vector<PatternToken>& tokens, const unsigned char* text, size_t n)
{
    const size_t count = tokens.size();
    std::vector<char> next(n + 1, 0), row(n + 1, 0);
    next[n] = 1; // empty pattern against the empty tail
    for (size_t k = count; k-- > 0;) {
        const PatternToken& t = tokens[k];
        const bool last = k + 1 == count;
        row[n] = (last && t.kind == PatternToken::Star) ? 1 : 0;
        char tailOr = 0; // OR of next[j..n-1]
        for (size_t j = n; j-- > 0;) {
            tailOr = static_cast<char>(tailOr | next[j]);
            switch (t.kind) {
            case PatternToken::Star:
                row[j] = last ? 1 : tailOr;
                break;
            case PatternToken::AnyByte:
                row[j] = next[j + 1];
                break;
            case PatternToken::Literal:
                row[j] = (text[j] == t.byte) ? next[j + 1] : 0;
                break;
            case PatternToken::Never:
                row[j] = 0;
                break;
            }
        }
        next.swap(row);
    }
    return next[0] != 0;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ copies

char* kv_str_ndup(const char* src, unsigned max_len)
{
    if (!src) {
        kv_err("kv_str_ndup() called with null string");
        return nullptr;
    }
    const size_t len = strnlen(src, max_len);
    char* copy = static_cast<char*>(malloc(len + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, src, len);
    copy[len] = '\0';
    return copy;
}

char* kv_str_repchr(char* str, char from, char to)
{
    if (!str)
        return nullptr;
    for (; *str; ++str) {
        if (*str == from)
            *str = to;
    }
    return str;
}

char* kv_str_tok(char* str, const char* delimiters, char** context)
{
    if (!delimiters || !context)
        return nullptr;
    return strtok_r(str, delimiters, context);
}

// ------------------------------------------------------------------ numbers

} // extern "C"

namespace kv::internal {

int digitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 36;
}

} // namespace kv::internal

extern "C" {

int kv_str_ahtoll_err(const char* text, int64_t* out, const char** end)
{
    if (!text || !out) {
        if (end)
            *end = text;
        return EINVAL;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p))
        ++p;
    const bool negative = *p == '-';
    if (negative)
        ++p;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') {
        base = 8;
        p += 1;
    } else if (p[0] == '%') {
        base = 2;
        p += 1;
    }
    // Accumulate negatively: the negative range holds one more value than the positive.
    int64_t acc = 0;
    bool any = false;
    int rc = 0;
    for (int digit; (digit = digitValue(*p)) < base; ++p) {
        int64_t scaled;
        if (__builtin_mul_overflow(acc, static_cast<int64_t>(base), &scaled)
            || __builtin_sub_overflow(scaled, static_cast<int64_t>(digit), &acc)) {
            rc = KV_ERR_INSUFFICIENT_BUFFER;
            break;
        }
        any = true;
    }
    if (end)
        *end = reinterpret_cast<const char*>(p);
    if (rc != 0)
        return rc;
    if (!any)
        return EINVAL;
    if (!negative) {
        if (acc == INT64_MIN)
            return KV_ERR_INSUFFICIENT_BUFFER;
        acc = -acc;
    }
    *out = acc;
    return 0;
}

int kv_str_ahtoi_err(const char* text, int* out, const char** end)
{
    return parseInRange(text, INT_MIN, INT_MAX, out, end);
}

int kv_str_ahtou_err(const char* text, unsigned* out, const char** end)
{
    return parseInRange(text, 0, UINT_MAX, out, end);
}

int64_t kv_str_ahtoll(const char* text)
{
    int64_t value;
    return kv_str_ahtoll_err(text, &value, nullptr) == 0 ? value : 0;
}

int kv_str_ahtoi(const char* text)
{
    int value;
    return kv_str_ahtoi_err(text, &value, nullptr) == 0 ? value : 0;
}

int kv_str_atoi(const char* text)
{
    return text ? atoi(text) : 0;
}

int kv_str_atol(const char* text)
{
    return text ? static_cast<int>(atol(text)) : 0;
}

int64_t kv_str_atoll(const char* text)
{
    return text ? atoll(text) : 0;
}

double kv_str_atof(const char* text)
{
    return text ? atof(text) : 0.0;
}

char* kv_str_itoa(int value, char* buffer)
{
    if (buffer)
        boundedFormat(buffer, KV_STR_NUMBER_SIZE, "%d", value);
    return buffer;
}

char* kv_str_uitoa(unsigned value, char* buffer)
{
    if (buffer)
        boundedFormat(buffer, KV_STR_NUMBER_SIZE, "%u", value);
    return buffer;
}

char* kv_str_lltoa(int64_t value, char* buffer)
{
    if (buffer)
        boundedFormat(buffer, KV_STR_NUMBER_SIZE, "%lld", static_cast<long long>(value));
    return buffer;
}

char* kv_str_ulltoa(uint64_t value, char* buffer)
{
    if (buffer)
        boundedFormat(buffer, KV_STR_NUMBER_SIZE, "%llu", static_cast<unsigned long long>(value));
    return buffer;
}

char* kv_str_ftoa(double value, char* buffer)
{
    if (buffer)
        boundedFormat(buffer, KV_STR_FTOA_SIZE, "%f", value);
    return buffer;
}

// ------------------------------------------------------------------ wildcards

int kv_str_wildcard_strcmp(const char* pattern, const char* text)
{
    if (!pattern || !text)
        return 1;
    try {
        const std::vector<PatternToken> tokens = tokenizePattern(pattern);
        return wildcardMatch(tokens, reinterpret_cast<const unsigned char*>(text), strlen(text)) ? 0 : 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

int kv_str_wildcards_present(const char* text)
{
    if (!text)
        return 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '\\') {
            if (*++p == '\0')
                return 0;
        } else if (*p == '*' || *p == '?') {
            return 1;
        }
    }
    return 0;
}

// ------------------------------------------------------------------ tokenizer

int kv_str_tokenize(const char* line, char*** tokens, unsigned* count)
{
    if (tokens)
        *tokens = nullptr;
    if (count)
        *count = 0;
    if (!line || !tokens || !count)
        return EINVAL;

    // Every token takes at most as many bytes, with its zero, as it spans in the line
    // with its separator or closing quote (the last one ends at the line's own zero).
    const size_t length = strlen(line);
    char* buffer = static_cast<char*>(malloc(length + 1));
    if (!buffer)
        return kv::internal::lastError(ENOMEM);
    size_t starts[KV_STR_MAX_TOKENS];
    unsigned found = 0;
    size_t used = 0;
    int rc = 0;
    const char* p = line;
    while (*p) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        if (found == KV_STR_MAX_TOKENS) {
            rc = KV_ESEPARATOR;
            break;
        }
        const char* begin = p;
        const char* stop;
        if (*p == '"' || *p == '\'') {
            const char* close = strchr(p + 1, *p);
            if (!close) {
                rc = KV_ESEPARATOR;
                break;
            }
            begin = p + 1;
            stop = close;
            p = close + 1;
        } else {
            stop = p + strcspn(p, " ");
            p = stop;
        }
        const size_t n = static_cast<size_t>(stop - begin);
        starts[found++] = used;
        memcpy(buffer + used, begin, n);
        used += n;
        buffer[used++] = '\0';
    }
    if (rc == 0 && found > 0) {
        char** array = static_cast<char**>(malloc(found * sizeof(char*)));
        if (!array) {
            rc = kv::internal::lastError(ENOMEM);
        } else {
            for (unsigned i = 0; i < found; ++i)
                array[i] = buffer + starts[i];
            *tokens = array;
            *count = found;
            return 0;
        }
    }
    free(buffer);
    return rc;
}

int kv_str_tokcleanup(char** tokens)
{
    if (tokens) {
        free(tokens[0]);
        free(tokens);
    }
    return 0;
}

} // extern "C"
