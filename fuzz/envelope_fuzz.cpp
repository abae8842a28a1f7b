// Feeds arbitrary files to the decryptor: open, then read to the end.
// Properties: no crash or undefined behaviour, every piece is 1 to 1024 bytes,
// the pieces never add up to more than the header declares, and a failure
// always leaves an error text.
#include "engine/zervcrypto.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Every run writes the input to a scratch file for the decryptor to open. Rewriting
// one file in place on a disk file system waits milliseconds per run (truncating
// allocated blocks), thirty times the decryptor's own work: each run creates the
// file afresh and removes it at its end, preferably on a memory file system.
std::string scratchFolder()
{
    if (const char* dir = std::getenv("TMPDIR"); dir && *dir)
        return dir;
    if (access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

const std::string& scratchPath()
{
    static const std::string path = scratchFolder() + "/envelope_fuzz." + std::to_string(getpid());
    return path;
}

// The scratch file goes at the end of every run: libFuzzer leaves without running
// exit handlers, and a file left in /dev/shm holds memory.
struct RemoveScratch {
    ~RemoveScratch() { unlink(scratchPath().c_str()); }
};

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "envelope_fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (!f)
        return 0;
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    const RemoveScratch removeAtEnd;
    if (!written)
        return 0;

    zervcrypto_file_decrypt_t* s = zervcrypto_file_decrypt_init();
    if (!s)
        return 0;
    const unsigned rc = zervcrypto_file_decrypt_open(s, "fuzz", scratchPath().c_str(), nullptr);
    check(rc <= ZERVCRYPTO_ESYSTEM, "open returned an unknown code");
    if (rc != ZERVCRYPTO_OK) {
        check(s->error_text[0] != '\0', "open failed without an error text");
    } else {
        uint8_t piece[ZERVCRYPTO_PIECE_SIZE];
        uint64_t total = 0;
        for (;;) {
            uint32_t length = 0;
            const unsigned r = zervcrypto_file_decrypt_read(s, piece, &length);
            if (r != ZERVCRYPTO_OK) {
                check(r == ZERVCRYPTO_EREAD, "read returned an unknown code");
                check(s->error_text[0] != '\0', "read failed without an error text");
                break;
            }
            if (length == 0)
                break;
            check(length <= ZERVCRYPTO_PIECE_SIZE, "piece larger than 1024 bytes");
            total += length;
            check(total <= s->header.plaintext_size, "more plaintext than declared");
            check(total <= size, "more plaintext than the file holds");
        }
    }
    check(std::memchr(s->error_text, '\0', sizeof s->error_text) != nullptr, "error text not terminated");
    zervcrypto_file_decrypt_close(&s);
    check(s == nullptr, "close left the state pointer set");
    return 0;
}
