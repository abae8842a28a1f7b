/*
 * Korvel platform runtime: UTF-8 and UTF-16 conversion.
 *
 * UTF-16 strings are 16-bit units in host byte order, zero-terminated. The
 * conversions take the whole source including its terminating zero; sizes are
 * in bytes. This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/* One UTF-16 unit (the platform's wide character where it is 16 bits wide). */
typedef uint16_t kv_wchar_t;

/*
 * UTF-8 to UTF-16. Returns 0; 22 for a null src or size, a null dst with a
 * non-zero *size, or a source that is not well-formed; 122
 * (KV_ERR_INSUFFICIENT_BUFFER, ERANGE here) when *size is below the need, which is
 * then stored in *size (so a null dst with *size 0 asks for the size). *size is
 * left alone on success.
 *
 * Well-formed UTF-8: lead bytes 00-7F, C2-DF, E0-EF, F0-F4 (C0, C1 and F5-FF are
 * illegal, so are 5- and 6-byte forms); continuation bytes 80-BF, and after E0
 * the second byte A0-BF, after ED 80-9F, after F0 90-BF, after F4 80-8F; a
 * sequence cut off by the end is illegal. These bounds already exclude encoded
 * surrogates and values above 10FFFF, so lenient and strict mode accept the same
 * UTF-8; in lenient mode such a value would become U+FFFD. Values above FFFF
 * become a surrogate pair.
 */
KV_API int kv_utf8_to_utf16(const char* src, int lenient, kv_wchar_t* dst, unsigned* size);

/*
 * UTF-16 to UTF-8, the same results. A high surrogate must be followed by a low
 * one; in strict mode a lone surrogate is 22, in lenient mode it is written as a
 * value of its own (three bytes). Output uses the shortest form.
 */
KV_API int kv_utf16_to_utf8(const kv_wchar_t* src, int lenient, char* dst, unsigned* size);

/* kv_utf8_to_utf16 in strict mode. */
KV_API int kv_utf8_to_wchar(const char* src, kv_wchar_t* dst, unsigned* size);
/* kv_utf16_to_utf8 in strict mode. */
KV_API int kv_wchar_to_utf8(const kv_wchar_t* src, char* dst, unsigned* size);

/* Units before the terminating zero; 0 for null. */
KV_API unsigned kv_utf8_len(const char* str);
KV_API unsigned kv_utf16_len(const kv_wchar_t* str);

KV_END_DECLS
