/*
 * Korvel security envelope decryptor.
 *
 * An envelope holds the ciphertext of one file followed by a trailer of records
 * (header, key records) read backwards from the end of the file. The decryptor
 * checks a passphrase against the trailer, unwraps the data key and hands out
 * the plaintext in pieces of at most 1024 bytes.
 *
 * One state per open envelope, owned by one thread at a time. This header
 * compiles as C; link the zervcrypto library (and through it the kv runtime and
 * OpenSSL's libcrypto).
 */
#pragma once

#include <kv/kv_core.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of open and read, of the functions' unsigned type. */
#define ZERVCRYPTO_OK 0u
#define ZERVCRYPTO_EPASSPHRASE 1u /* open: passphrase does not match */
#define ZERVCRYPTO_EREAD 1u /* read: any failure, or no state */
#define ZERVCRYPTO_ECORRUPT 2u /* open: the file is not a valid envelope */
#define ZERVCRYPTO_ESYSTEM 3u /* open: a system call failed, or no state */

/* Largest piece zervcrypto_file_decrypt_read hands out; its buffer must hold this. */
#define ZERVCRYPTO_PIECE_SIZE 1024
#define ZERVCRYPTO_BUFFER_SIZE 65536
#define ZERVCRYPTO_ERROR_SIZE 256

/* Header record as parsed (integers in host order). */
typedef struct zervcrypto_header_t {
    uint64_t plaintext_size;
    uint8_t iv[16];
    uint8_t wrapped_key[16];
    uint8_t key_digest[16];
    uint8_t salt[16];
    uint8_t reserved[32];
    uint16_t reserved16[4];
} zervcrypto_header_t;

/* Expanded AES-128 encrypt-direction key, opaque to callers. */
typedef struct zervcrypto_key_schedule_t {
    void* cipher; /* EVP_CIPHER_CTX* set up for AES-128-ECB encryption without padding */
} zervcrypto_key_schedule_t;

typedef struct zervcrypto_file_decrypt_t {
    kv_file_t file;
    uint8_t data_key[16];
    zervcrypto_key_schedule_t key_schedule;
    kv_stat_t file_status;
    zervcrypto_header_t header;
    uint64_t remaining;
    uint8_t iv[16];
    uint64_t position;
    uint32_t fill;
    uint32_t consumed;
    uint8_t buffer[ZERVCRYPTO_BUFFER_SIZE];
    char error_text[ZERVCRYPTO_ERROR_SIZE];
} zervcrypto_file_decrypt_t;

/* A new state with every field zero and no file open; null when memory is short. */
zervcrypto_file_decrypt_t* zervcrypto_file_decrypt_init(void);

/*
 * Open the envelope at path (UTF-8) and check passphrase (NUL-terminated bytes,
 * may be empty). sys_error, when non-null, receives the errno of a failed system
 * call. Returns a result code; on failure state->error_text says why.
 */
unsigned zervcrypto_file_decrypt_open(
    zervcrypto_file_decrypt_t* state, const char* passphrase, const char* path, int* sys_error);

/*
 * Open as zervcrypto_file_decrypt_open does, with count candidate passphrases
 * (each NUL-terminated) tried in the given order: the first that passes the key
 * check against the header and the key records opens the envelope, and its
 * index goes to *matched when matched is non-null. The trailer is read once;
 * a candidate that fails costs one key check and produces no plaintext. None
 * passing (or count 0) gives ZERVCRYPTO_EPASSPHRASE, "Passphrase doesn't match".
 */
unsigned zervcrypto_file_decrypt_open_any(zervcrypto_file_decrypt_t* state, const char* const* passphrases,
    unsigned count, const char* path, unsigned* matched, int* sys_error);

/*
 * The next piece of plaintext: 1 to 1024 bytes into buffer (which holds at least
 * 1024), its length into *length; length 0 at the end of the plaintext. Returns
 * ZERVCRYPTO_OK, or ZERVCRYPTO_EREAD with state->error_text set.
 */
unsigned zervcrypto_file_decrypt_read(zervcrypto_file_decrypt_t* state, uint8_t* buffer, uint32_t* length);

/* Close the file, free the state and set *slot to null. Null slot or *slot: nothing. */
void zervcrypto_file_decrypt_close(zervcrypto_file_decrypt_t** slot);

/* What an envelope's trailer declares, as zervcrypto_file_inspect finds it. */
typedef struct zervcrypto_envelope_info_t {
    uint64_t file_size;
    uint64_t plaintext_size; /* as the header record declares it */
    uint32_t key_records; /* key records after the header: further passphrases that open it */
    uint32_t trailer_size; /* bytes from the header record's first byte to the end of the file */
} zervcrypto_envelope_info_t;

/*
 * Reads and checks the trailer of the envelope at path as open does, without a
 * passphrase and without preparing to decrypt, and describes it in *info.
 * Returns ZERVCRYPTO_OK, ZERVCRYPTO_ECORRUPT (no envelope) or ZERVCRYPTO_ESYSTEM,
 * with state->error_text set on failure. The state keeps the parsed header; it
 * cannot be read from afterwards. Close it as after open.
 */
unsigned zervcrypto_file_inspect(
    zervcrypto_file_decrypt_t* state, const char* path, zervcrypto_envelope_info_t* info, int* sys_error);

/*
 * A cheap look, without a passphrase, at whether the file at path (UTF-8) may be
 * an envelope: it is larger than a header record and its last four bytes are
 * the record marker B1 0B B1 0B that ends every trailer record. Reads at most
 * four bytes. 1 when it may be one, 0 when it is not (or cannot be read).
 */
int zervcrypto_file_has_record_marker(const char* path);

/*
 * The same look at the file named name inside the open folder folder_fd (or, as
 * with openat, relative to the working folder for AT_FDCWD, or an absolute
 * name): a folder walk looks into each file without the system walking the
 * whole path again.
 */
int zervcrypto_file_has_record_marker_at(int folder_fd, const char* name);

#ifdef __cplusplus
}
#endif
