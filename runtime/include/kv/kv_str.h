/*
 * Korvel platform runtime: strings.
 *
 * Heap copies, number parsing with base prefixes and number formatting,
 * wildcard matching, a command-line tokenizer, and the hexadecimal and Base64
 * (standard, MIME-tolerant and URL-safe) codecs. Bounded copying (kv_str_to,
 * kv_trimmed_str_to, kv_str_ncpy, kv_str_ncat) lives in kv_core.h.
 *
 * Every function is re-entrant: it uses only its arguments and constant tables.
 * Sizes are buffer sizes in bytes, including the terminating zero where there is
 * one. This header compiles as C.
 */
#pragma once

#include "kv/kv_core.h"

KV_BEGIN_DECLS

/* ------------------------------------------------------------- copies */

/*
 * A new heap copy (malloc; release with free) of at most max_len bytes of src
 * plus a zero; null when allocation fails. A null src logs
 * "kv_str_ndup() called with null string" through kv_err and yields null.
 */
KV_API char* kv_str_ndup(const char* src, unsigned max_len);

/* Replace every byte equal to from by to, in place. Returns a pointer to the
 * string's terminating zero; null for a null string. */
KV_API char* kv_str_repchr(char* str, char from, char to);

/* Re-entrant strtok (strtok_r): the state lives in *context. A null context
 * gives null. */
KV_API char* kv_str_tok(char* str, const char* delimiters, char** context);

/* ------------------------------------------------------------- numbers */

/*
 * Parse a signed 64-bit number with a base prefix: leading white space
 * (isspace), an optional "-" (no "+"), then "0x"/"0X" for base 16, "0" followed
 * by a decimal digit for base 8, "%" for base 2, otherwise base 10 (a lone "0" is
 * zero). Digits are 0-9 and letters A-Z/a-z (10-35, any case) below the base.
 * Returns 0, 22 when no digit was read, or 122 (KV_ERR_INSUFFICIENT_BUFFER,
 * ERANGE here) when the value does not fit. *out is written only on success;
 * *end (when end is non-null) is set to the first byte not consumed, also on
 * failure. A null text or out is 22.
 */
KV_API int kv_str_ahtoll_err(const char* text, int64_t* out, const char** end);
/* As kv_str_ahtoll_err; the value must fit a signed 32-bit int, else 122. */
KV_API int kv_str_ahtoi_err(const char* text, int* out, const char** end);
/* As kv_str_ahtoll_err; the value must lie in 0..4294967295, else 122. */
KV_API int kv_str_ahtou_err(const char* text, unsigned* out, const char** end);
/* The value of kv_str_ahtoll_err, or 0 on any failure. */
KV_API int64_t kv_str_ahtoll(const char* text);
/* The value when it fits a signed 32-bit int, else 0. */
KV_API int kv_str_ahtoi(const char* text);

/* Decimal conversions of the C library (atoi, atol, atoll, atof); a null text gives 0.
 * kv_str_atol returns an int like kv_str_atoi. */
KV_API int kv_str_atoi(const char* text);
KV_API int kv_str_atol(const char* text);
KV_API int64_t kv_str_atoll(const char* text);
KV_API double kv_str_atof(const char* text);

/*
 * Number formatting into the caller's buffer, which has no size argument: the
 * buffer must hold KV_STR_NUMBER_SIZE bytes for the integer forms and
 * KV_STR_FTOA_SIZE bytes for kv_str_ftoa. The formatters never write more than
 * that. They return buffer (null for a null buffer).
 */
#define KV_STR_NUMBER_SIZE 24 /* "-9223372036854775808" and its zero with room to spare */
#define KV_STR_FTOA_SIZE 320 /* "%f" of -DBL_MAX is 317 bytes and its zero */

KV_API char* kv_str_itoa(int value, char* buffer);
KV_API char* kv_str_uitoa(unsigned value, char* buffer); /* "%u" */
KV_API char* kv_str_lltoa(int64_t value, char* buffer);
KV_API char* kv_str_ulltoa(uint64_t value, char* buffer);
KV_API char* kv_str_ftoa(double value, char* buffer); /* "%f" */

/* ----------------------------------------------------------- wildcards */

/*
 * 0 when text matches pattern, 1 when not. "?" matches any one byte, "*" any run
 * of bytes, and a backslash makes the next pattern byte literal. A "*" that is
 * the last pattern byte matches the rest of the text at once; any other "*" needs
 * the rest of the pattern to match a non-empty tail of the text. When the text is
 * used up the pattern must be used up as well, or be exactly one "*". So "a*"
 * matches "a" but "a**" does not. Runs in time proportional to the product of
 * the two lengths, whatever the number of stars. Null arguments give 1.
 */
KV_API int kv_str_wildcard_strcmp(const char* pattern, const char* text);

/* 1 when text holds an unescaped "*" or "?" (a backslash skips the next byte; a
 * trailing backslash ends the scan with 0), else 0. */
KV_API int kv_str_wildcards_present(const char* text);

/* ----------------------------------------------------------- tokenizer */

/* Most tokens a line may hold; the next one is KV_ESEPARATOR. */
#define KV_STR_MAX_TOKENS 999

/*
 * Split a command line at blanks (the space character only). A token that starts
 * with a double or single quote runs to the next occurrence of the same quote,
 * which is consumed; the quotes are not part of the token and the next token may
 * follow at once. Any other token runs to the next blank or the end.
 * *tokens receives an array of *count pointers into one buffer holding every
 * token zero-terminated; (*tokens)[0] is the start of that buffer. Release both
 * with kv_str_tokcleanup. A missing closing quote or more than KV_STR_MAX_TOKENS
 * tokens is KV_ESEPARATOR; failed allocation is ENOMEM; null arguments 22. On any
 * failure, and when the line holds no token, *tokens is null and *count 0.
 */
KV_API int kv_str_tokenize(const char* line, char*** tokens, unsigned* count);

/* Free the token buffer (through the first pointer) and the array. Null: nothing. */
KV_API int kv_str_tokcleanup(char** tokens);

/* --------------------------------------------------------- hexadecimal */

/* Length value for kv_str_base16_to_buf meaning "up to the terminating zero". */
#define KV_STR_LENGTH_AUTO 0xFFFFFFFFu

/*
 * Two upper-case hex digits per byte, high nibble first, then a zero. out_size
 * must be at least 2 * length + 1, else KV_ENOSPACE (nothing written). Null out,
 * or null data with a non-zero length, is 22.
 */
KV_API int kv_str_buf_to_base16(const void* data, unsigned length, char* out, unsigned out_size);

/*
 * Decode length hex digits (0-9, A-F, a-f); KV_STR_LENGTH_AUTO takes the string
 * length. *out_length (when non-null) is set to length / 2 first; an odd length is
 * 22; out_size below length / 2 is KV_ENOSPACE; a non-hex byte logs
 * "Invalid char in hex string: '%c' (0x%02X)" through kv_err and returns 22.
 * No zero is appended.
 */
KV_API int kv_str_base16_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length);

/* -------------------------------------------------------------- Base64 */

/*
 * Standard alphabet ("+", "/", padded with "="). length 0 is 22; out_size must
 * exceed 4 * ceil(length / 3) (the text and its zero), else KV_ENOSPACE.
 */
KV_API int kv_str_buf_to_base64(const void* data, unsigned length, char* out, unsigned out_size);
/* URL-safe alphabet ("-", "_"), no padding; the same checks, the size rule still
 * counting 4 characters per started group. */
KV_API int kv_str_buf_to_base64url(const void* data, unsigned length, char* out, unsigned out_size);

/*
 * Strict decoder: length must be a multiple of 4 (else 22) and out_size must
 * exceed length / 4 * 3 (else KV_ENOSPACE). Groups of four characters are decoded
 * in turn; the end of the text or a zero byte reads as "="; a group that starts
 * with "=" ends decoding successfully; a group whose second character is "=" is
 * 22; a third "=" gives 1 byte, a fourth 2 bytes, otherwise 3. A byte outside the
 * standard alphabet (other than "=" and the end) is 22. *out_length (when
 * non-null) receives the number of bytes written.
 */
KV_API int kv_str_base64_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length);
/*
 * Tolerant (MIME) decoder: no length or size pre-check; bytes outside the
 * standard alphabet, "=" among them, are skipped; a zero byte ends the text;
 * missing characters at the end count as "=". Every output byte is checked
 * against out_size (KV_ENOSPACE).
 */
KV_API int kv_str_mime_base64_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length);
/*
 * URL-safe decoder: length 1 is 22; out_size must exceed ((length + 2) / 4) * 3,
 * else KV_ENOSPACE; groups of 4 give 3 bytes, a final 2 characters 1 byte, a
 * final 3 characters 2 bytes, a final single character is ignored; any byte
 * outside the URL-safe alphabet ("=" too) is 22. *out_length is set on success.
 */
KV_API int kv_str_base64url_to_buf(const char* text, unsigned length, void* out, unsigned out_size, int* out_length);

/* The steps of the standard decoders. */

/* 1 when c belongs to the standard alphabet (A-Z, a-z, 0-9, "+", "/"), else 0. */
KV_API int kv_str_base64_valid_char(int c);

/*
 * The next character at *cursor (which stops before end): with tolerant set,
 * bytes outside the alphabet are skipped first. The end or a zero byte gives "="
 * and leaves the cursor there; any other byte is returned and passed.
 */
KV_API int kv_str_base64_next_char(const char** cursor, const char* end, int tolerant);

/* Four kv_str_base64_next_char steps into chars. Null arguments 22. */
KV_API int kv_str_base64_next_chars(const char** cursor, const char* end, int tolerant, char chars[4]);

/*
 * Decode one group of four characters into out at *position (out_size bytes),
 * advancing *position. Returns 0; KV_EEND when the group starts with "=" (the
 * end of the data, nothing written); 22 for a second "=" or a byte outside the
 * alphabet; KV_ENOSPACE when a byte would pass the end of out (the bytes that
 * fit are written).
 */
KV_API int kv_str_base64_chars_to_buf(const char chars[4], void* out, unsigned out_size, unsigned* position);

KV_END_DECLS
