// Security envelope decryptor.
//
// The data region is decrypted chunk by chunk (128 bytes, 8 AES blocks). Within a
// chunk n, with E the AES-128 encryption under the data key:
//   S(0) = E(IV with n folded into its first 8 bytes)
//   S(j) = (S(j-1) + 0x5A bytewise) XOR E(C(j-1))
//   P(j) = C(j) XOR S(j)
// Every input of E is known before the chunk is decrypted, so a whole run of
// chunks costs one batched ECB call followed by the cheap recurrence.
#include "engine/zervcrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint16_t kHeaderType = 0x8106;
constexpr uint16_t kKeyType = 0x8107;
constexpr uint32_t kHeaderLength = 120;
constexpr uint32_t kFooterLength = 8;
constexpr uint32_t kTailWindow = 8192;
constexpr unsigned kMaxKeyRecords = 316;
constexpr uint32_t kChunk = 128;
constexpr uint32_t kBlock = 16;
constexpr uint8_t kMagic[4] = { 0xB1, 0x0B, 0xB1, 0x0B };

// Blocks encrypted per ECB call; the scratch lives on the stack.
constexpr size_t kBatchBlocks = 256;

uint16_t be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint64_t load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// v in the byte order of a big-endian 64-bit number in memory.
inline uint64_t bigEndian64(uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        return __builtin_bswap64(v);
    return v;
}

void store64(uint8_t* p, uint64_t v)
{
    std::memcpy(p, &v, 8);
}

// One AES block as sixteen byte lanes: adding two lanes adds byte by byte, with
// no carry from one byte into the next, which is exactly the 0x5A step.
typedef uint8_t Lane __attribute__((vector_size(16)));
constexpr Lane kAdd5A
    = { 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A };

inline Lane loadLane(const uint8_t* p)
{
    Lane v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storeLane(uint8_t* p, Lane v)
{
    std::memcpy(p, &v, sizeof v);
}

// ------------------------------------------------------------------ error texts

void setError(zervcrypto_file_decrypt_t* s, const char* text)
{
    unsigned pos = 0;
    kv_str_to(s->error_text, text, sizeof s->error_text, &pos);
}

// prefix + the system's text for err; err also goes to *sysError when asked for.
void setSystemError(zervcrypto_file_decrypt_t* s, const char* prefix, int err, int* sysError)
{
    char scratch[1024] = "N/A";
    const char* text = scratch;
    if (const char* t = strerror_r(err, scratch, sizeof scratch); t && *t)
        text = t;
    unsigned pos = 0;
    kv_str_to(s->error_text, prefix, sizeof s->error_text, &pos);
    if (pos + 1 < sizeof s->error_text)
        kv_str_to(s->error_text, text, sizeof s->error_text, &pos);
    if (sysError)
        *sysError = err;
}

// Reads until count bytes are in, the file ends or a read fails.
int readFully(kv_file_t* file, uint8_t* buffer, uint32_t count, uint32_t* got)
{
    *got = 0;
    while (*got < count) {
        unsigned n = 0;
        const int rc = kv_file_read(file, buffer + *got, count - *got, &n);
        if (rc != 0)
            return rc;
        if (n == 0)
            break;
        *got += n;
    }
    return 0;
}

// ------------------------------------------------------------------ ciphers

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

EVP_CIPHER_CTX* newEcb(const uint8_t key[16], bool encrypt)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx)
        return nullptr;
    if (EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1
        || EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

bool ecb(EVP_CIPHER_CTX* ctx, const uint8_t* in, uint8_t* out, size_t length)
{
    int outLength = 0;
    return EVP_CipherUpdate(ctx, out, &outLength, in, static_cast<int>(length)) == 1
        && outLength == static_cast<int>(length);
}

bool md5(const uint8_t salt[16], const uint8_t* data, size_t length, uint8_t digest[16])
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx)
        return false;
    unsigned size = 0;
    const bool ok = EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1 && EVP_DigestUpdate(ctx, salt, 16) == 1
        && EVP_DigestUpdate(ctx, data, length) == 1 && EVP_DigestFinal_ex(ctx, digest, &size) == 1 && size == 16;
    EVP_MD_CTX_free(ctx);
    return ok;
}

// Decrypts `blocks` 16-byte blocks of ciphertext `in`, which start at file offset
// `position` (a multiple of 128), into `out`. in and out may be the same buffer:
// each batch gathers all of its cipher inputs before it writes any output, and
// batches end on chunk boundaries, where the next input is a chunk vector.
bool decryptRun(
    EVP_CIPHER_CTX* cipher, const uint8_t iv[16], uint64_t position, const uint8_t* in, uint8_t* out, size_t blocks)
{
    alignas(16) uint8_t stream[kBatchBlocks * kBlock];
    const uint64_t ivHigh = load64(iv);
    const uint64_t ivLow = load64(iv + 8);
    const uint64_t firstChunk = position / kChunk;
    const size_t chunks = (blocks + 7) / 8;
    constexpr size_t kBatchChunks = kBatchBlocks / 8;

    for (size_t base = 0; base < chunks; base += kBatchChunks) {
        const size_t count = chunks - base < kBatchChunks ? chunks - base : kBatchChunks;
        size_t streamBytes = 0;
        for (size_t k = 0; k < count; ++k) {
            const size_t chunk = base + k;
            const size_t chunkBlocks = blocks - chunk * 8 < 8 ? blocks - chunk * 8 : 8;
            uint8_t* slot = stream + k * kChunk;
            // Block 0 takes the vector with the chunk number folded in (big-endian),
            // block j the ciphertext of block j-1.
            store64(slot, ivHigh ^ bigEndian64(firstChunk + chunk));
            store64(slot + 8, ivLow);
            std::memcpy(slot + kBlock, in + chunk * kChunk, (chunkBlocks - 1) * kBlock);
            streamBytes = k * kChunk + chunkBlocks * kBlock;
        }
        if (!ecb(cipher, stream, stream, streamBytes)) {
            OPENSSL_cleanse(stream, sizeof stream);
            return false;
        }
        for (size_t k = 0; k < count; ++k) {
            const size_t chunk = base + k;
            const size_t chunkBlocks = blocks - chunk * 8 < 8 ? blocks - chunk * 8 : 8;
            const uint8_t* e = stream + k * kChunk;
            const uint8_t* c = in + chunk * kChunk;
            uint8_t* p = out + chunk * kChunk;
            Lane sum = loadLane(e);
            storeLane(p, loadLane(c) ^ sum);
            for (size_t j = 1; j < chunkBlocks; ++j) {
                sum = (sum + kAdd5A) ^ loadLane(e + j * kBlock);
                storeLane(p + j * kBlock, loadLane(c + j * kBlock) ^ sum);
            }
        }
    }
    // The key stream gives the plaintext of any ciphertext of this run.
    OPENSSL_cleanse(stream, sizeof stream);
    return true;
}

// ------------------------------------------------------------------ open, step by step

// What one step of open reports: success, or the code to fail with and its text
// (a prefix for the system's text when a system call failed with err).
struct Outcome {
    unsigned code = ZERVCRYPTO_OK;
    const char* text = nullptr;
    int err = 0;

    bool ok() const { return code == ZERVCRYPTO_OK; }
};

constexpr Outcome kSuccess {};

Outcome corrupt()
{
    return { ZERVCRYPTO_ECORRUPT, "Input file is corrupt", 0 };
}

Outcome systemFailure(const char* prefix, int err)
{
    return { ZERVCRYPTO_ESYSTEM, prefix, err };
}

// Where the trailer lies in the tail window (offsets into the state's buffer).
struct Trailer {
    uint32_t end = 0; // bytes in the window
    uint32_t header = 0; // start of the header record
    uint32_t keys[kMaxKeyRecords]; // starts of the key records, nearest the end first
    unsigned keyCount = 0;
};

// The one way open fails: the error text is written, the code returned.
unsigned finishOpen(zervcrypto_file_decrypt_t* s, const Outcome& outcome, int* sysError)
{
    if (outcome.ok())
        return ZERVCRYPTO_OK;
    if (outcome.err != 0)
        setSystemError(s, outcome.text, outcome.err, sysError);
    else
        setError(s, outcome.text);
    return outcome.code;
}

// Opens the file and learns its size; a file no larger than a header record is
// no envelope.
Outcome openFile(zervcrypto_file_decrypt_t* s, const char* path)
{
    if (!path)
        return systemFailure("Cannot open file: ", EINVAL);
    if (int rc = kv_file_openread(path, &s->file); rc != 0)
        return systemFailure("Cannot open file: ", rc);
    if (int rc = kv_file_fstat(&s->file, &s->file_status); rc != 0)
        return systemFailure("Cannot examine file: ", rc);
    if (s->file_status.size <= kHeaderLength)
        return corrupt();
    return kSuccess;
}

// Reads the tail window, the last 8192 bytes, where the trailer lies.
Outcome readTail(zervcrypto_file_decrypt_t* s, uint32_t* end)
{
    const uint64_t size = s->file_status.size;
    const uint64_t start = size > kTailWindow ? size - kTailWindow : 0;
    if (int rc = kv_file_seek(&s->file, static_cast<int64_t>(start), 0); rc != 0)
        return systemFailure("Cannot seek in file: ", rc);
    uint32_t got = 0;
    if (int rc = readFully(&s->file, s->buffer, static_cast<uint32_t>(size - start), &got); rc != 0)
        return systemFailure("Cannot read file: ", rc);
    if (got != size - start)
        return corrupt();
    *end = got;
    return kSuccess;
}

// Walks the records backwards from the end of the window until the header
// record, noting every key record on the way.
Outcome walkRecords(const uint8_t* w, Trailer* trailer)
{
    const uint32_t end = trailer->end;
    uint32_t p = end;
    int type = -1;
    while (p > kFooterLength) {
        if (type == kHeaderType)
            break;
        if (std::memcmp(w + p - 4, kMagic, 4) != 0)
            break;
        type = be16(w + p - kFooterLength);
        const uint32_t length = be16(w + p - kFooterLength + 2) & 0x7FFFu;
        // A record must at least hold its footer, and fit in what lies before it.
        if (length < kFooterLength || length > p)
            return corrupt();
        p -= length;
        if (type == kKeyType) {
            if (trailer->keyCount == kMaxKeyRecords)
                return corrupt();
            trailer->keys[trailer->keyCount++] = p;
        }
    }
    if (p == end || end - p < kHeaderLength)
        return corrupt();
    trailer->header = p;
    return kSuccess;
}

// Copies the record at h into the header and checks that it is a 120-byte
// header record.
Outcome parseHeader(const uint8_t* h, zervcrypto_header_t* hdr)
{
    uint64_t sizeBE;
    std::memcpy(&sizeBE, h, 8);
    hdr->plaintext_size = kv_ntohll(sizeBE);
    std::memcpy(hdr->iv, h + 8, 16);
    std::memcpy(hdr->wrapped_key, h + 24, 16);
    std::memcpy(hdr->key_digest, h + 40, 16);
    std::memcpy(hdr->salt, h + 56, 16);
    std::memcpy(hdr->reserved, h + 72, 32);
    for (int i = 0; i < 4; ++i)
        hdr->reserved16[i] = be16(h + 104 + 2 * i);
    if (be16(h + 112) != kHeaderType || (be16(h + 114) & 0x7FFFu) != kHeaderLength
        || std::memcmp(h + 116, kMagic, 4) != 0)
        return corrupt();
    return kSuccess;
}

// Unwraps the wrapped keys until one gives a data key with the stored digest:
// the header's own wrapped key, then the key records from the one nearest the
// header to the one nearest the end of the file. The data key is left in the
// state; *passed tells whether one passed.
Outcome tryPassphrase(zervcrypto_file_decrypt_t* s, const char* passphrase, const Trailer& trailer, bool* passed)
{
    *passed = false;
    const zervcrypto_header_t& hdr = s->header;
    uint8_t passKey[16];
    if (!md5(hdr.salt, reinterpret_cast<const uint8_t*>(passphrase), std::strlen(passphrase), passKey)) {
        OPENSSL_cleanse(passKey, sizeof passKey);
        return systemFailure("Cannot open file: ", ENOMEM);
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> unwrap(newEcb(passKey, false));
    OPENSSL_cleanse(passKey, sizeof passKey);
    if (!unwrap)
        return systemFailure("Cannot open file: ", ENOMEM);
    const int keyCount = static_cast<int>(trailer.keyCount);
    for (int i = keyCount; i >= 0; --i) {
        const uint8_t* wrapped = i == keyCount ? hdr.wrapped_key : s->buffer + trailer.keys[i];
        uint8_t digest[16];
        if (!ecb(unwrap.get(), wrapped, s->data_key, 16) || !md5(hdr.salt, s->data_key, 16, digest))
            return systemFailure("Cannot open file: ", ENOMEM);
        if (std::memcmp(digest, hdr.key_digest, 16) == 0) {
            *passed = true;
            return kSuccess;
        }
    }
    return kSuccess;
}

// Opens the file and finds its trailer: the header record, parsed into the
// state, and the key records after it.
Outcome readTrailer(zervcrypto_file_decrypt_t* s, const char* path, Trailer* trailer)
{
    Outcome outcome = openFile(s, path);
    if (outcome.ok())
        outcome = readTail(s, &trailer->end);
    if (outcome.ok())
        outcome = walkRecords(s->buffer, trailer);
    if (outcome.ok())
        outcome = parseHeader(s->buffer + trailer->header, &s->header);
    return outcome;
}

// Tries the candidate passphrases in order until one passes the key check.
Outcome findDataKey(zervcrypto_file_decrypt_t* s, const char* const* passphrases, unsigned count,
    const Trailer& trailer, unsigned* matched)
{
    for (unsigned i = 0; i < count; ++i) {
        bool passed = false;
        if (Outcome outcome = tryPassphrase(s, passphrases[i], trailer, &passed); !outcome.ok())
            return outcome;
        if (passed) {
            if (matched)
                *matched = i;
            return kSuccess;
        }
    }
    return { ZERVCRYPTO_EPASSPHRASE, "Passphrase doesn't match", 0 };
}

// Sets up the data cipher and goes back to the start of the ciphertext.
Outcome prepareCipher(zervcrypto_file_decrypt_t* s)
{
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(s->key_schedule.cipher));
    s->key_schedule.cipher = newEcb(s->data_key, true);
    if (!s->key_schedule.cipher)
        return systemFailure("Cannot open file: ", ENOMEM);
    s->remaining = s->header.plaintext_size;
    std::memcpy(s->iv, s->header.iv, 16);
    if (int rc = kv_file_seek(&s->file, 0, 0); rc != 0)
        return systemFailure("Cannot seek in file: ", rc);
    return kSuccess;
}

static_assert(kBatchBlocks % 8 == 0);

} // namespace

extern "C" {

zervcrypto_file_decrypt_t* zervcrypto_file_decrypt_init(void)
{
    auto* s = static_cast<zervcrypto_file_decrypt_t*>(std::calloc(1, sizeof(zervcrypto_file_decrypt_t)));
    if (s)
        kv_file_init(&s->file); // a zero descriptor would be a real one (standard input)
    return s;
}

unsigned zervcrypto_file_decrypt_open(
    zervcrypto_file_decrypt_t* s, const char* passphrase, const char* path, int* sysError)
{
    return zervcrypto_file_decrypt_open_any(s, &passphrase, 1, path, nullptr, sysError);
}

unsigned zervcrypto_file_decrypt_open_any(zervcrypto_file_decrypt_t* s, const char* const* passphrases, unsigned count,
    const char* path, unsigned* matched, int* sysError)
{
    if (!s)
        return ZERVCRYPTO_ESYSTEM;
    if (count > 0 && !passphrases)
        return finishOpen(s, systemFailure("Cannot open file: ", EINVAL), sysError);
    for (unsigned i = 0; i < count; ++i)
        if (!passphrases[i])
            return finishOpen(s, systemFailure("Cannot open file: ", EINVAL), sysError);
    Trailer trailer;
    Outcome outcome = readTrailer(s, path, &trailer);
    if (outcome.ok())
        outcome = findDataKey(s, passphrases, count, trailer, matched);
    if (outcome.ok())
        outcome = prepareCipher(s);
    return finishOpen(s, outcome, sysError);
}

unsigned zervcrypto_file_decrypt_read(zervcrypto_file_decrypt_t* s, uint8_t* buffer, uint32_t* length)
{
    if (!s || !buffer || !length)
        return ZERVCRYPTO_EREAD;
    auto* cipher = static_cast<EVP_CIPHER_CTX*>(s->key_schedule.cipher);
    if (!cipher) {
        setError(s, "Read failed"); // never opened successfully
        return ZERVCRYPTO_EREAD;
    }

    if (s->fill == s->consumed) {
        if (s->remaining == 0) {
            *length = 0;
            return ZERVCRYPTO_OK;
        }
        // Fill the whole buffer unless the file ends: a short read in the middle
        // of the file must not move the chunk grid.
        uint32_t got = 0;
        if (int rc = readFully(&s->file, s->buffer, ZERVCRYPTO_BUFFER_SIZE, &got); rc != 0) {
            s->fill = s->consumed = 0;
            setSystemError(s, "Cannot read file: ", rc, nullptr);
            return ZERVCRYPTO_EREAD;
        }
        s->fill = got;
        // The file must supply the rest of the ciphertext rounded up to a whole
        // block (fill >= remaining + 15), written so that it cannot overflow.
        if (got < ZERVCRYPTO_BUFFER_SIZE && (got < 15 || got - 15 < s->remaining)) {
            s->fill = s->consumed = 0;
            setError(s, "Read failed");
            return ZERVCRYPTO_EREAD;
        }
        if (s->fill > s->remaining)
            s->fill = static_cast<uint32_t>(s->remaining);
        s->remaining -= s->fill;
        s->consumed = 0;
    }

    if (s->consumed != 0) {
        const uint32_t left = s->fill - s->consumed;
        const uint32_t n = left < ZERVCRYPTO_PIECE_SIZE ? left : ZERVCRYPTO_PIECE_SIZE;
        std::memcpy(buffer, s->buffer + s->consumed, n);
        s->consumed += n;
        *length = n;
        return ZERVCRYPTO_OK;
    }

    // Fresh ciphertext.
    const uint32_t rounded = (s->fill + kBlock - 1) / kBlock * kBlock;
    if (rounded <= ZERVCRYPTO_PIECE_SIZE) {
        if (!decryptRun(cipher, s->iv, s->position, s->buffer, buffer, rounded / kBlock)) {
            setError(s, "Read failed");
            return ZERVCRYPTO_EREAD;
        }
        *length = s->fill;
        s->position += s->fill;
        s->fill = 0;
        return ZERVCRYPTO_OK;
    }
    if (!decryptRun(cipher, s->iv, s->position, s->buffer, s->buffer, rounded / kBlock)) {
        s->fill = s->consumed = 0;
        setError(s, "Read failed");
        return ZERVCRYPTO_EREAD;
    }
    std::memcpy(buffer, s->buffer, ZERVCRYPTO_PIECE_SIZE);
    s->position += s->fill;
    s->consumed = ZERVCRYPTO_PIECE_SIZE;
    *length = ZERVCRYPTO_PIECE_SIZE;
    return ZERVCRYPTO_OK;
}

unsigned zervcrypto_file_inspect(
    zervcrypto_file_decrypt_t* s, const char* path, zervcrypto_envelope_info_t* info, int* sysError)
{
    if (!s)
        return ZERVCRYPTO_ESYSTEM;
    if (!info)
        return finishOpen(s, systemFailure("Cannot open file: ", EINVAL), sysError);
    Trailer trailer;
    const Outcome outcome = readTrailer(s, path, &trailer);
    if (outcome.ok()) {
        info->file_size = s->file_status.size;
        info->plaintext_size = s->header.plaintext_size;
        info->key_records = trailer.keyCount;
        info->trailer_size = trailer.end - trailer.header;
    }
    return finishOpen(s, outcome, sysError);
}

int zervcrypto_file_has_record_marker(const char* path)
{
    return path ? zervcrypto_file_has_record_marker_at(AT_FDCWD, path) : 0;
}

int zervcrypto_file_has_record_marker_at(int folder_fd, const char* name)
{
    if (!name)
        return 0;
    // The size first: a file too small for a trailer is never opened.
    struct stat status { };
    if (::fstatat(folder_fd, name, &status, 0) != 0 || !S_ISREG(status.st_mode)
        || status.st_size <= static_cast<off_t>(kHeaderLength))
        return 0;
    const int fd = ::openat(folder_fd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    uint8_t last[4] = {};
    ssize_t got;
    do
        got = ::pread(fd, last, sizeof last, status.st_size - static_cast<off_t>(sizeof last));
    while (got < 0 && errno == EINTR);
    ::close(fd);
    return got == static_cast<ssize_t>(sizeof last) && std::memcmp(last, kMagic, sizeof last) == 0 ? 1 : 0;
}

void zervcrypto_file_decrypt_close(zervcrypto_file_decrypt_t** slot)
{
    if (!slot || !*slot)
        return;
    zervcrypto_file_decrypt_t* s = *slot;
    if (kv_file_valid(&s->file))
        kv_file_close(&s->file);
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(s->key_schedule.cipher));
    // The data key and up to 64 KiB of plaintext (decrypted in place) go with it.
    OPENSSL_cleanse(s, sizeof *s);
    std::free(s);
    *slot = nullptr;
}

} // extern "C"
