// Number parsing with base prefixes against an independent 128-bit reference.
#include <kv/kv.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>

namespace {

struct Parsed {
    int rc;
    __int128 value;
    size_t end;
};

// The rules written out directly, with room to hold every value that does not fit.
Parsed reference(const std::string& s)
{
    size_t i = 0;
    while (i < s.size() && isspace(static_cast<unsigned char>(s[i])))
        ++i;
    const bool negative = i < s.size() && s[i] == '-';
    if (negative)
        ++i;
    int base = 10;
    if (s.compare(i, 2, "0x") == 0 || s.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    } else if (i + 1 < s.size() && s[i] == '0' && isdigit(static_cast<unsigned char>(s[i + 1]))) {
        base = 8;
        i += 1;
    } else if (i < s.size() && s[i] == '%') {
        base = 2;
        i += 1;
    }
    const __int128 limit = static_cast<__int128>(1) << 63; // magnitude of INT64_MIN
    __int128 magnitude = 0;
    bool any = false;
    for (; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int d = isdigit(c) ? c - '0' : isalpha(c) ? tolower(c) - 'a' + 10 : 99;
        if (d >= base)
            break;
        const __int128 next = magnitude * base + d;
        if (next > limit)
            return { KV_ERR_INSUFFICIENT_BUFFER, 0, i };
        magnitude = next;
        any = true;
    }
    if (!any)
        return { EINVAL, 0, i };
    if (!negative && magnitude == limit)
        return { KV_ERR_INSUFFICIENT_BUFFER, 0, i };
    return { 0, negative ? -magnitude : magnitude, i };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str(); // what a C caller would pass: up to the first zero
    const Parsed want = reference(text);

    int64_t value = 0x5a5a;
    const char* end = nullptr;
    const int rc = kv_str_ahtoll_err(text.c_str(), &value, &end);
    if (rc != want.rc || end != text.c_str() + want.end)
        abort();
    if (rc == 0 ? value != want.value : value != 0x5a5a)
        abort();

    int i = 7;
    const int irc = kv_str_ahtoi_err(text.c_str(), &i, nullptr);
    const bool fitsInt = rc == 0 && value >= INT_MIN && value <= INT_MAX;
    if ((irc == 0) != fitsInt || (fitsInt && i != value) || (!fitsInt && i != 7))
        abort();
    unsigned u = 7;
    const int urc = kv_str_ahtou_err(text.c_str(), &u, nullptr);
    const bool fitsUnsigned = rc == 0 && value >= 0 && value <= UINT_MAX;
    if ((urc == 0) != fitsUnsigned || (fitsUnsigned && u != value))
        abort();
    if (kv_str_ahtoll(text.c_str()) != (rc == 0 ? value : 0) || kv_str_ahtoi(text.c_str()) != (fitsInt ? value : 0))
        abort();
    return 0;
}
