#include "tests/support/EnvelopeWriter.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace korvel::test {
namespace {

constexpr uint16_t kHeaderType = 0x8106;
constexpr uint16_t kKeyType = 0x8107;
constexpr uint16_t kHeaderLength = 120;

uint64_t splitmix(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Block randomBlock(uint64_t& state)
{
    Block b {};
    for (size_t i = 0; i < b.size(); i += 8) {
        const uint64_t v = splitmix(state);
        std::memcpy(b.data() + i, &v, 8);
    }
    return b;
}

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

Cipher aesEncryptor(const Block& key)
{
    Cipher ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1)
        throw std::runtime_error("AES key setup failed");
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return ctx;
}

void aesEncrypt(EVP_CIPHER_CTX* ctx, const uint8_t* in, uint8_t* out, size_t length)
{
    int outLength = 0;
    if (EVP_EncryptUpdate(ctx, out, &outLength, in, static_cast<int>(length)) != 1
        || outLength != static_cast<int>(length))
        throw std::runtime_error("AES encryption failed");
}

Block md5(const Block& salt, const uint8_t* data, size_t length)
{
    Bytes input(salt.begin(), salt.end());
    input.insert(input.end(), data, data + length);
    Block digest {};
    unsigned size = 0;
    if (EVP_Digest(input.data(), input.size(), digest.data(), &size, EVP_md5(), nullptr) != 1 || size != 16)
        throw std::runtime_error("MD5 failed");
    return digest;
}

Block wrapKey(const Block& dataKey, const Block& salt, const std::string& passphrase)
{
    const Block passKey = md5(salt, reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size());
    Block wrapped {};
    aesEncrypt(aesEncryptor(passKey).get(), dataKey.data(), wrapped.data(), 16);
    return wrapped;
}

void putBE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void putBE64(uint8_t* p, uint64_t v)
{
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

void appendFooter(Bytes& out, uint16_t type, size_t recordLength, bool flag)
{
    uint8_t footer[8];
    putBE16(footer, type);
    putBE16(footer + 2, static_cast<uint16_t>((recordLength & 0x7FFF) | (flag ? 0x8000 : 0)));
    footer[4] = 0xB1;
    footer[5] = 0x0B;
    footer[6] = 0xB1;
    footer[7] = 0x0B;
    out.insert(out.end(), footer, footer + 8);
}

void appendRecord(Bytes& out, const ExtraRecord& record)
{
    out.insert(out.end(), record.body.begin(), record.body.end());
    appendFooter(out, record.type, record.body.size() + 8, record.flagBit);
}

bool writeAll(FILE* f, const uint8_t* data, size_t length)
{
    return length == 0 || std::fwrite(data, 1, length, f) == length;
}

} // namespace

void encryptData(const Block& dataKey, const Block& iv, uint64_t offset, uint8_t* data, size_t length)
{
    const Cipher cipher = aesEncryptor(dataKey);
    for (size_t chunkStart = 0; chunkStart < length; chunkStart += 128) {
        const uint64_t chunk = (offset + chunkStart) / 128;
        Block v = iv;
        for (int i = 0; i < 8; ++i)
            v[i] ^= static_cast<uint8_t>(chunk >> (56 - 8 * i));
        Block s {};
        for (size_t block = 0; block < 8; ++block) {
            const size_t at = chunkStart + block * 16;
            if (at >= length)
                break;
            aesEncrypt(cipher.get(), v.data(), v.data(), 16);
            for (int i = 0; i < 16; ++i)
                s[i] ^= v[i];
            const size_t n = std::min<size_t>(16, length - at);
            Block c {};
            for (size_t i = 0; i < n; ++i)
                c[i] = data[at + i] ^ s[i];
            std::memcpy(data + at, c.data(), n);
            // The block after a partial one is never used, so the short block's
            // missing bytes do not matter.
            v = c;
            for (int i = 0; i < 16; ++i)
                s[i] = static_cast<uint8_t>(s[i] + 0x5A);
        }
    }
}

Bytes makeTrailer(uint64_t size, const EnvelopeOptions& options, EnvelopeKeys* keysOut)
{
    uint64_t state = options.seed;
    EnvelopeKeys keys;
    keys.dataKey = randomBlock(state);
    keys.salt = randomBlock(state);
    keys.iv = randomBlock(state);
    if (keysOut)
        *keysOut = keys;

    Bytes out;
    for (const ExtraRecord& record : options.leadingRecords)
        appendRecord(out, record);

    const std::string first = options.passphrases.empty() ? std::string() : options.passphrases.front();
    uint8_t header[kHeaderLength] = {};
    putBE64(header, options.declaredSize.value_or(size));
    std::memcpy(header + 8, keys.iv.data(), 16);
    const Block wrapped = wrapKey(keys.dataKey, keys.salt, first);
    std::memcpy(header + 24, wrapped.data(), 16);
    const Block digest = md5(keys.salt, keys.dataKey.data(), 16);
    std::memcpy(header + 40, digest.data(), 16);
    std::memcpy(header + 56, keys.salt.data(), 16);
    std::memcpy(header + 72, options.reserved.data(), 32);
    for (int i = 0; i < 4; ++i)
        putBE16(header + 104 + 2 * i, options.reserved16[i]);
    out.insert(out.end(), header, header + kHeaderLength - 8);
    appendFooter(out, kHeaderType, kHeaderLength, false);

    for (size_t i = 1; i < options.passphrases.size(); ++i) {
        ExtraRecord key { kKeyType, {}, false };
        const Block w = wrapKey(keys.dataKey, keys.salt, options.passphrases[i]);
        key.body.assign(w.begin(), w.end());
        appendRecord(out, key);
    }
    for (const ExtraRecord& record : options.extraRecords)
        appendRecord(out, record);
    return out;
}

Bytes makeEnvelope(const Bytes& plaintext, const EnvelopeOptions& options, EnvelopeKeys* keysOut)
{
    EnvelopeKeys keys;
    const Bytes trailer = makeTrailer(plaintext.size(), options, &keys);
    if (keysOut)
        *keysOut = keys;
    Bytes out(plaintext);
    encryptData(keys.dataKey, keys.iv, 0, out.data(), out.size());
    out.resize(out.size() + options.gapBytes, 0xEE);
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

bool writeEnvelope(const std::string& path, const Bytes& plaintext, const EnvelopeOptions& options, EnvelopeKeys* keys)
{
    const Bytes data = makeEnvelope(plaintext, options, keys);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = writeAll(f, data.data(), data.size());
    return std::fclose(f) == 0 && ok;
}

bool writeEnvelopeStreaming(const std::string& path, uint64_t size,
    const std::function<void(uint64_t, uint8_t*, size_t)>& fill, const EnvelopeOptions& options)
{
    EnvelopeKeys keys;
    const Bytes trailer = makeTrailer(size, options, &keys);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    constexpr size_t kPiece = 1 << 20; // a multiple of 128, so chunks never straddle pieces
    Bytes buffer(kPiece);
    bool ok = true;
    for (uint64_t offset = 0; ok && offset < size; offset += kPiece) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size - offset));
        fill(offset, buffer.data(), n);
        encryptData(keys.dataKey, keys.iv, offset, buffer.data(), n);
        ok = writeAll(f, buffer.data(), n);
    }
    if (ok && options.gapBytes > 0) {
        const Bytes gap(options.gapBytes, 0xEE);
        ok = writeAll(f, gap.data(), gap.size());
    }
    ok = ok && writeAll(f, trailer.data(), trailer.size());
    return std::fclose(f) == 0 && ok;
}

Bytes patternBytes(size_t length, uint64_t seed)
{
    Bytes out(length);
    uint64_t state = seed;
    for (size_t i = 0; i < length; i += 8) {
        const uint64_t v = splitmix(state);
        std::memcpy(out.data() + i, &v, std::min<size_t>(8, length - i));
    }
    return out;
}

} // namespace korvel::test
