// UTF-8 and UTF-16 conversion.
//
// Both directions measure and write with the same decoder: the first pass runs it
// with a writer that only counts, the second with one that stores. So the second
// pass can never write more than the first pass measured and the caller's size allowed.
#include "kv/kv_utf.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool isSurrogate(uint32_t v)
{
    return v >= 0xD800 && v <= 0xDFFF;
}

// Output sinks: Counter measures in units; Writer stores into a buffer of `capacity` units.
template <typename Unit> struct Sink {
    Unit* out;
    size_t capacity;
    size_t count = 0;
    bool put(uint32_t unit)
    {
        if (out) {
            if (count >= capacity)
                return false;
            out[count] = static_cast<Unit>(unit);
        }
        ++count;
        return true;
    }
};

// Decode one UTF-8 sequence at s[i]; returns its length, or 0 when it is not well-formed.
size_t decodeUtf8(const unsigned char* s, uint32_t* value)
{
    const unsigned char lead = s[0];
    if (lead < 0x80) {
        *value = lead;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    uint32_t v;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        v = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        v = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        v = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0; // 80-BF, C0, C1, F5-FF
    }
    // A zero byte is never a continuation byte, so a sequence cut off by the end stops here.
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = s[k];
        const unsigned char lo = k == 1 ? low : 0x80;
        const unsigned char hi = k == 1 ? high : 0xBF;
        if (c < lo || c > hi)
            return 0;
        v = (v << 6) | (c & 0x3F);
    }
    *value = v;
    return length;
}

// UTF-8 (with its zero) into sink as UTF-16 units; false when not well-formed or the sink is full.
bool utf8ToUtf16(const char* src, bool lenient, Sink<kv_wchar_t>& sink)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    for (;;) {
        uint32_t v;
        const size_t length = decodeUtf8(s, &v);
        if (length == 0)
            return false;
        if (isSurrogate(v) || v > 0x10FFFF) {
            if (!lenient || !sink.put(kReplacement))
                return false;
        } else if (v > 0xFFFF) {
            const uint32_t offset = v - 0x10000;
            if (!sink.put(0xD800 | (offset >> 10)) || !sink.put(0xDC00 | (offset & 0x3FF)))
                return false;
        } else if (!sink.put(v)) {
            return false;
        }
        if (v == 0)
            return true;
        s += length;
    }
}

// UTF-16 (with its zero) into sink as UTF-8 bytes.
bool utf16ToUtf8(const kv_wchar_t* s, bool lenient, Sink<char>& sink)
{
    for (;;) {
        uint32_t v = *s++;
        if (v >= 0xD800 && v <= 0xDBFF && *s >= 0xDC00 && *s <= 0xDFFF) {
            v = 0x10000 + ((v - 0xD800) << 10) + (*s++ - 0xDC00);
        } else if (isSurrogate(v) && !lenient) {
            return false;
        }
        bool ok;
        if (v < 0x80) {
            ok = sink.put(v);
        } else if (v < 0x800) {
            ok = sink.put(0xC0 | (v >> 6)) && sink.put(0x80 | (v & 0x3F));
        } else if (v < 0x10000) {
            ok = sink.put(0xE0 | (v >> 12)) && sink.put(0x80 | ((v >> 6) & 0x3F)) && sink.put(0x80 | (v & 0x3F));
        } else {
            ok = sink.put(0xF0 | (v >> 18)) && sink.put(0x80 | ((v >> 12) & 0x3F)) && sink.put(0x80 | ((v >> 6) & 0x3F))
                && sink.put(0x80 | (v & 0x3F));
        }
        if (!ok)
            return false;
        if (v == 0)
            return true;
    }
}

// The two passes and the size rules, shared by both directions.
template <typename Src, typename Unit, typename Convert>
int convert(const Src* src, bool lenient, Unit* dst, unsigned* size, Convert run)
{
    if (!src || !size || (!dst && *size != 0))
        return EINVAL;
    Sink<Unit> counter { nullptr, 0 };
    if (!run(src, lenient, counter))
        return EINVAL;
    const uint64_t needBytes = static_cast<uint64_t>(counter.count) * sizeof(Unit);
    if (needBytes > 0xFFFFFFFFu)
        return EINVAL;
    if (*size < needBytes) {
        *size = static_cast<unsigned>(needBytes);
        return KV_ERR_INSUFFICIENT_BUFFER;
    }
    Sink<Unit> writer { dst, *size / sizeof(Unit) };
    return run(src, lenient, writer) ? 0 : EINVAL;
}

template <typename Unit> unsigned unitsBeforeZero(const Unit* str)
{
    unsigned n = 0;
    if (str) {
        while (str[n])
            ++n;
    }
    return n;
}

} // namespace

extern "C" {

int kv_utf8_to_utf16(const char* src, int lenient, kv_wchar_t* dst, unsigned* size)
{
    return convert(src, lenient != 0, dst, size, utf8ToUtf16);
}

int kv_utf16_to_utf8(const kv_wchar_t* src, int lenient, char* dst, unsigned* size)
{
    return convert(src, lenient != 0, dst, size, utf16ToUtf8);
}

int kv_utf8_to_wchar(const char* src, kv_wchar_t* dst, unsigned* size)
{
    return kv_utf8_to_utf16(src, 0, dst, size);
}

int kv_wchar_to_utf8(const kv_wchar_t* src, char* dst, unsigned* size)
{
    return kv_utf16_to_utf8(src, 0, dst, size);
}

unsigned kv_utf8_len(const char* str)
{
    return unitsBeforeZero(str);
}

unsigned kv_utf16_len(const kv_wchar_t* str)
{
    return unitsBeforeZero(str);
}

} // extern "C"
