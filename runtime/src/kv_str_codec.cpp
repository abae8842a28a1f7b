// Hexadecimal and Base64 (standard, MIME-tolerant and URL-safe) codecs.
#include "kv/kv_str.h"
#include "runtime/src/kv_internal.h"

#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr signed char kNotInAlphabet = -1;

struct DecodeTable {
    signed char value[256];
    constexpr explicit DecodeTable(const char* alphabet)
        : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = kNotInAlphabet;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    }
    int operator()(char c) const { return value[static_cast<unsigned char>(c)]; }
};

constexpr DecodeTable kBase64Values(kBase64);
constexpr DecodeTable kBase64UrlValues(kBase64Url);

int hexValue(unsigned char c)
{
    const int value = kv::internal::digitValue(c);
    return value < 16 ? value : -1;
}

// Shared by both encoders: full groups, then the last one or two bytes, padded or not.
int encodeBase64(const void* data, unsigned length, char* out, unsigned out_size, const char* alphabet, bool pad)
{
    if (length == 0 || !data || !out)
        return EINVAL;
    const uint64_t need = 4 * ((static_cast<uint64_t>(length) + 2) / 3);
    if (out_size <= need)
        return KV_ENOSPACE;
    const unsigned char* in = static_cast<const unsigned char*>(data);
    char* o = out;
    unsigned i = 0;
    for (; length - i >= 3; i += 3) {
        const uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    const unsigned rest = length - i;
    if (rest > 0) {
        const uint32_t v = (in[i] << 16) | (rest == 2 ? in[i + 1] << 8 : 0);
        *o++ = alphabet[(v >> 18) & 63];
        *o++ = alphabet[(v >> 12) & 63];
        if (rest == 2)
            *o++ = alphabet[(v >> 6) & 63];
        else if (pad)
            *o++ = '=';
        if (pad)
            *o++ = '=';
    }
    *o = '\0';
    return 0;
}

// The group decoder shared by the strict and tolerant forms.
int decodeGroups(const char* text, unsigned length, void* out, unsigned out_size, int* out_length, bool tolerant)
{
    const char* cursor = text;
    const char* end = text + length;
    unsigned position = 0;
    int rc = 0;
    while (cursor < end && *cursor) {
        char chars[4];
        kv_str_base64_next_chars(&cursor, end, tolerant ? 1 : 0, chars);
        rc = kv_str_base64_chars_to_buf(chars, out, out_size, &position);
        if (rc == KV_EEND) {
            rc = 0;
            break;
        }
        if (rc != 0)
            break;
    }
    if (out_length)
        *out_length = static_cast<int>(position);
    return rc;
}

} // namespace

extern "C" {

// ------------------------------------------------------------------ hexadecimal

int kv_str_buf_to_base16(const void* data, unsigned length, char* out, unsigned out_size)
{
    if (!out || (!data && length > 0))
        return EINVAL;
    if (static_cast<uint64_t>(out_size) < 2 * static_cast<uint64_t>(length) + 1)
        return KV_ENOSPACE;
    const unsigned char* in = static_cast<const unsigned char*>(data);
    for (unsigned i = 0; i < length; ++i) {
        out[2 * i] = kHexDigits[in[i] >> 4];
        out[2 * i + 1] = kHexDigits[in[i] & 15];
    }
    out[2 * static_cast<size_t>(length)] = '\0';
    return 0;
}

int kv_str_base16_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length)
{
    if (!text)
        return EINVAL;
    if (length == KV_STR_LENGTH_AUTO)
        length = static_cast<unsigned>(strnlen(text, KV_STR_LENGTH_AUTO - 1));
    if (out_length)
        *out_length = static_cast<int>(length / 2);
    if (length % 2 != 0)
        return EINVAL;
    if (out_size < length / 2)
        return KV_ENOSPACE;
    if (!out && length > 0)
        return EINVAL;
    unsigned char* o = static_cast<unsigned char*>(out);
    for (unsigned i = 0; i < length; i += 2) {
        const int high = hexValue(static_cast<unsigned char>(text[i]));
        const int low = hexValue(static_cast<unsigned char>(text[i + 1]));
        if (high < 0 || low < 0) {
            const unsigned char bad = static_cast<unsigned char>(high < 0 ? text[i] : text[i + 1]);
            kv_err("Invalid char in hex string: '%c' (0x%02X)", bad, bad);
            return EINVAL;
        }
        o[i / 2] = static_cast<unsigned char>((high << 4) | low);
    }
    return 0;
}

// ------------------------------------------------------------------ Base64

int kv_str_buf_to_base64(const void* data, unsigned length, char* out, unsigned out_size)
{
    return encodeBase64(data, length, out, out_size, kBase64, true);
}

int kv_str_buf_to_base64url(const void* data, unsigned length, char* out, unsigned out_size)
{
    return encodeBase64(data, length, out, out_size, kBase64Url, false);
}

int kv_str_base64_valid_char(int c)
{
    return c >= 0 && c < 256 && kBase64Values(static_cast<char>(c)) != kNotInAlphabet;
}

int kv_str_base64_next_char(const char** cursor, const char* end, int tolerant)
{
    if (!cursor || !*cursor)
        return '=';
    const char* p = *cursor;
    if (tolerant) {
        while (p < end && *p && !kv_str_base64_valid_char(static_cast<unsigned char>(*p)))
            ++p;
    }
    if (p >= end || *p == '\0') {
        *cursor = p;
        return '=';
    }
    *cursor = p + 1;
    return static_cast<unsigned char>(*p);
}

int kv_str_base64_next_chars(const char** cursor, const char* end, int tolerant, char chars[4])
{
    if (!cursor || !*cursor || !chars)
        return EINVAL;
    for (int i = 0; i < 4; ++i)
        chars[i] = static_cast<char>(kv_str_base64_next_char(cursor, end, tolerant));
    return 0;
}

int kv_str_base64_chars_to_buf(const char chars[4], void* out, unsigned out_size, unsigned* position)
{
    if (!chars || !position)
        return EINVAL;
    if (chars[0] == '=')
        return KV_EEND;
    if (chars[1] == '=')
        return EINVAL;
    const int count = chars[2] == '=' ? 1 : (chars[3] == '=' ? 2 : 3);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        int value = 0;
        if (i <= count) {
            value = kBase64Values(chars[i]);
            if (value == kNotInAlphabet)
                return EINVAL;
        }
        v = (v << 6) | static_cast<uint32_t>(value);
    }
    unsigned char* o = static_cast<unsigned char*>(out);
    for (int i = 0; i < count; ++i) {
        if (!o || *position >= out_size)
            return KV_ENOSPACE;
        o[(*position)++] = static_cast<unsigned char>(v >> (16 - 8 * i));
    }
    return 0;
}

int kv_str_base64_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length)
{
    if (!text)
        return EINVAL;
    if (length % 4 != 0)
        return EINVAL;
    if (out_size <= length / 4 * 3)
        return KV_ENOSPACE;
    return decodeGroups(text, length, out, out_size, out_length, false);
}

int kv_str_mime_base64_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length)
{
    if (!text)
        return EINVAL;
    return decodeGroups(text, length, out, out_size, out_length, true);
}

int kv_str_base64url_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length)
{
    if (!text || length == 1)
        return EINVAL;
    if (static_cast<uint64_t>(out_size) <= (static_cast<uint64_t>(length) + 2) / 4 * 3)
        return KV_ENOSPACE;
    for (unsigned i = 0; i < length; ++i) {
        if (kBase64UrlValues(text[i]) == kNotInAlphabet)
            return EINVAL;
    }
    unsigned char* o = static_cast<unsigned char*>(out);
    if (!o)
        return EINVAL;
    unsigned written = 0;
    for (unsigned i = 0; i < length; i += 4) {
        const unsigned chars = length - i < 4 ? length - i : 4;
        if (chars == 1)
            break; // a final single character carries no whole byte
        uint32_t v = 0;
        for (unsigned k = 0; k < 4; ++k)
            v = (v << 6) | (k < chars ? static_cast<uint32_t>(kBase64UrlValues(text[i + k])) : 0);
        for (unsigned k = 0; k + 1 < chars; ++k)
            o[written++] = static_cast<unsigned char>(v >> (16 - 8 * k));
    }
    if (out_length)
        *out_length = static_cast<int>(written);
    return 0;
}

} // extern "C"
