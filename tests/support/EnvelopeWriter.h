// Writes security envelopes for tests, benchmarks and fuzz seeds: the inverse of
// the decryptor. Never part of the application.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::test {

using Block = std::array<uint8_t, 16>;
using Bytes = std::vector<uint8_t>;

// A trailer record of any type, written as given plus its 8-byte footer.
struct ExtraRecord {
    uint16_t type = 0x8200;
    Bytes body; // record bytes before the footer
    bool flagBit = false; // bit 15 of the length field (ignored by readers)
};

struct EnvelopeOptions {
    // passphrases[0] wraps the data key in the header record; every further one
    // gets a key record after the header, in this order (nearest the header first).
    std::vector<std::string> passphrases { "secret" };
    // Records written after the header and the key records (nearest the end of the file last).
    std::vector<ExtraRecord> extraRecords;
    // Records written before the header record (never visited by a reader).
    std::vector<ExtraRecord> leadingRecords;
    // Bytes of filler between the ciphertext and the trailer.
    uint64_t gapBytes = 0;
    // Plaintext size written into the header instead of the real one.
    std::optional<uint64_t> declaredSize;
    // Deterministic keys and vectors: every random field is derived from this seed.
    uint64_t seed = 1;
    // Reserved header fields, kept by readers and never interpreted.
    std::array<uint8_t, 32> reserved {};
    std::array<uint16_t, 4> reserved16 {};
};

// Fields the writer chose, so that tests can look inside.
struct EnvelopeKeys {
    Block dataKey {};
    Block salt {};
    Block iv {};
};

// Encrypts plaintext bytes in place as the data region of an envelope that starts
// at file offset `offset` (a multiple of 128).
void encryptData(const Block& dataKey, const Block& iv, uint64_t offset, uint8_t* data, size_t length);

// The whole envelope in memory.
Bytes makeEnvelope(const Bytes& plaintext, const EnvelopeOptions& options = {}, EnvelopeKeys* keys = nullptr);

// Just the trailer (header, key and extra records) for a plaintext of `size` bytes.
Bytes makeTrailer(uint64_t size, const EnvelopeOptions& options, EnvelopeKeys* keys = nullptr);

// Writes the envelope to path; false when the file cannot be written.
bool writeEnvelope(
    const std::string& path, const Bytes& plaintext, const EnvelopeOptions& options = {}, EnvelopeKeys* keys = nullptr);

// Streams a large envelope to path: `fill(offset, buffer, length)` supplies the
// plaintext piece by piece. False when the file cannot be written.
bool writeEnvelopeStreaming(const std::string& path, uint64_t size,
    const std::function<void(uint64_t offset, uint8_t* buffer, size_t length)>& fill,
    const EnvelopeOptions& options = {});

// Reproducible pseudo-random bytes for plaintexts.
Bytes patternBytes(size_t length, uint64_t seed = 7);

} // namespace korvel::test
