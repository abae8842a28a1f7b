// Writes seed inputs for envelope_fuzz: small valid envelopes for the
// passphrase the target uses, with key records (up to the most a trailer may
// hold), foreign records and gaps.
#include "tests/support/EnvelopeWriter.h"

#include <cstdio>
#include <string>

using namespace korvel::test;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    int n = 0;
    const auto emit = [&](const Bytes& plaintext, const EnvelopeOptions& options) {
        return writeEnvelope(dir + "/seed" + std::to_string(++n), plaintext, options);
    };

    EnvelopeOptions plain;
    plain.passphrases = { "fuzz" };
    EnvelopeOptions keyRecord;
    keyRecord.passphrases = { "other", "fuzz", "third" };
    EnvelopeOptions records;
    records.passphrases = { "fuzz" };
    records.extraRecords = { ExtraRecord { 0x9001, Bytes(20, 0x41), true } };
    records.leadingRecords = { ExtraRecord { 0x8107, Bytes(16, 0x42), false } };
    records.gapBytes = 21;
    EnvelopeOptions truncated;
    truncated.passphrases = { "fuzz" };
    truncated.declaredSize = 5000;
    EnvelopeOptions wrong;
    wrong.passphrases = { "not the one" };
    // The most key records a trailer may hold (316), the matching one nearest the
    // end of the file, so the walk and the candidate list are filled to the bound.
    EnvelopeOptions fullKeys;
    fullKeys.passphrases.assign(317, "filler");
    fullKeys.passphrases.back() = "fuzz";
    // A compact chain: key records of nothing but their 8-byte footer, which the
    // walk accepts; a few more inserted records cross the bound.
    EnvelopeOptions footerKeys;
    footerKeys.passphrases = { "fuzz" };
    footerKeys.extraRecords.assign(300, ExtraRecord { 0x8107, {}, false });

    bool ok = true;
    EnvelopeOptions gap = plain;
    gap.gapBytes = 3;
    ok &= emit({}, gap);
    for (size_t size : { 1u, 16u, 129u, 1025u, 3000u })
        ok &= emit(patternBytes(size, size), plain);
    ok &= emit(patternBytes(700), keyRecord);
    ok &= emit(patternBytes(300), records);
    ok &= emit(patternBytes(1000), truncated);
    ok &= emit(patternBytes(64), wrong);
    ok &= emit(patternBytes(40), fullKeys);
    ok &= emit(patternBytes(40), footerKeys);
    return ok ? 0 : 1;
}
