// Both UTF conversions: the size query is exact, output stays within it, and
// strict conversions round-trip.
#include <kv/kv.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template <typename Src, typename Dst, typename Convert>
int convert(const Src* src, int lenient, std::vector<Dst>& out, Convert run)
{
    unsigned size = 0;
    int rc = run(src, lenient, nullptr, &size);
    if (rc == EINVAL)
        return rc;
    if (rc != KV_ERR_INSUFFICIENT_BUFFER || size == 0 || size % sizeof(Dst) != 0)
        abort();
    const unsigned need = size;
    // One unit short must be refused without writing.
    if (need > sizeof(Dst)) {
        std::vector<Dst> small(need / sizeof(Dst) - 1);
        size = need - sizeof(Dst);
        if (run(src, lenient, small.data(), &size) != KV_ERR_INSUFFICIENT_BUFFER || size != need)
            abort();
    }
    out.assign(need / sizeof(Dst), Dst(0x55));
    rc = run(src, lenient, out.data(), &size);
    if (rc != 0 || size != need || out.back() != 0)
        abort();
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As UTF-8 text up to the first zero.
    std::vector<char> utf8(data, data + size);
    utf8.push_back('\0');
    std::vector<kv_wchar_t> wide;
    const int strict = convert(utf8.data(), 0, wide, kv_utf8_to_utf16);
    const int lenient = convert(utf8.data(), 1, wide, kv_utf8_to_utf16);
    if (strict != lenient)
        abort(); // the well-formedness rules already exclude what lenient mode would pass
    if (strict == 0) {
        std::vector<char> back;
        if (convert(wide.data(), 0, back, kv_utf16_to_utf8) != 0 || strcmp(back.data(), utf8.data()) != 0)
            abort();
    }

    // As UTF-16 units up to the first zero.
    std::vector<kv_wchar_t> units(size / 2 + 1, 0);
    memcpy(units.data(), data, size / 2 * 2);
    std::vector<char> narrow;
    if (convert(units.data(), 1, narrow, kv_utf16_to_utf8) != 0)
        abort(); // lenient mode passes any unit sequence
    if (convert(units.data(), 0, narrow, kv_utf16_to_utf8) == 0) {
        std::vector<kv_wchar_t> again;
        if (convert(narrow.data(), 0, again, kv_utf8_to_utf16) != 0)
            abort();
        for (size_t i = 0;; ++i) {
            if (again[i] != units[i])
                abort();
            if (units[i] == 0)
                break;
        }
    }
    return 0;
}
